// Load and unload of the driver, its settings and its state record.
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver.h"
#include "mmsystem.h"
#include "pm.h"

DriverState Driver;
std::atomic<LONG> ActiveCalls;

namespace {

// The one live context: a second instance would share the record. It is
// what tells a load from none, so it is kept beside the record.
std::atomic<DeviceContext*> LiveContext;

// Lives as long as the library, like the count it signals.
struct CallsDone {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~CallsDone() { CloseHandle(event); }
};

// Every field back to its value before the first load.
void ResetDriverState() {
    std::destroy_at(&Driver);
    std::construct_at(&Driver);
}

// Waits for a driver thread to leave and closes its handle. The bound only
// guards against a platform call that never returns; every wait the threads
// make is itself bounded or released by unloading.
void EndThread(HANDLE* thread) {
    if (!*thread) return;
    WaitForSingleObject(*thread, 30000);
    CloseHandle(*thread);
    *thread = nullptr;
}

void SendHeadsetMessage(DWORD on) {
    UINT devices = waveOutGetNumDevs();
    for (UINT i = 0; i < devices; i++)
        waveOutMessage(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(i)), WAVE_MSG_HEADSET, on, 0);
}

// The headset rule: with the loudspeaker chosen, a plugged-in headset must not
// take the radio's sound away from it.
void ApplyHeadsetRule() {
    DWORD headset = 0;
    RegistryGetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, &headset);
    if (Driver.Settings.Sound == 0 && headset == 1) SendHeadsetMessage(1);
}

}  // namespace

DeviceContext* LiveDeviceContext() { return LiveContext.load(); }

HANDLE CallsDoneEvent() {
    static CallsDone done;
    return done.event;
}

void SetFrequencyText(DWORD frequency) {
    char text[16] = {0};
    FormatFrequencyText(frequency, text);
    uint64_t words[2] = {0, 0};
    memcpy(words, text, FREQUENCY_TEXT_SIZE);
    Driver.Radio.FrequencyText[1].store(words[1], std::memory_order_relaxed);
    Driver.Radio.FrequencyText[0].store(words[0], std::memory_order_relaxed);
}

void GetFrequencyText(char* out) {
    uint64_t words[2] = {Driver.Radio.FrequencyText[0].load(std::memory_order_relaxed),
                         Driver.Radio.FrequencyText[1].load(std::memory_order_relaxed)};
    memcpy(out, words, FREQUENCY_TEXT_SIZE);
    out[FREQUENCY_TEXT_SIZE - 1] = 0;
}

void ReadSettings() {
    HKEY key = nullptr;
    wcscpy(Driver.Settings.SettingsKeyPath, TERVALON_SETTINGS_KEY);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Driver.Settings.SettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        key = nullptr;
        wcscpy(Driver.Settings.SettingsKeyPath, TERVALON_BUILTIN_SETTINGS_KEY);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Driver.Settings.SettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
            key = nullptr;
    }
    DWORD frequency = 90000;
    if (key) {
        // Exactly 4 bytes offered: longer data is refused and leaves the
        // default, shorter data replaces its low bytes.
        const SettingField fields[] = {
            {SETTING_BAND, &Driver.Settings.Band}, {SETTING_DATA, &Driver.Settings.Data},
            {SETTING_MUTE, &Driver.Settings.Mute}, {SETTING_SOUND, &Driver.Settings.Sound},
            {SETTING_FREQUENCY, &frequency},       {SETTING_LOGMODE, &Driver.Settings.LogMode},
        };
        ReadTervalonSettings(key, fields, SETTING_SIZE_AT_MOST_4);
        // The event log never comes without the data log.
        if (Driver.Settings.LogMode == 2) Driver.Settings.LogMode = 3;
        const SettingField protocol[] = {{SETTING_PROTOCOL, &Driver.Settings.Protocol}};
        ReadTervalonSettings(key, protocol, SETTING_SIZE_AT_MOST_4);
        RegCloseKey(key);
    }
    Driver.Radio.Frequency = frequency;
}

void OnHeadsetChange(HREGNOTIFY, DWORD userData, const PBYTE, const UINT) {
    if (userData != HEADSET_USER_DATA) return;
    ApplyHeadsetRule();
}

TERVALON_EXPORT DEVCONTEXT COM_Init(LPCWSTR, LPCVOID) {
    if (LiveContext.load()) return 0;  // one instance per process only
    DeviceContext* context = static_cast<DeviceContext*>(LocalAlloc(LPTR, sizeof(DeviceContext)));
    if (!context) return 0;
    context->Signature = DEVICE_SIGNATURE;
    context->State = &Driver;
    ResetDriverState();
    LiveContext = context;
    DriverState& driver = *context->State;

    ReadSettings();

    FMGetNumDevs();
    driver.Radio.FmHandle = FMOpen(0);

    driver.Output.Create();
    SetFrequencyText(driver.Radio.Frequency);
    // The read path waits on this event also when there is no radio, so that
    // GPS data still reaches a waiting reader at once.
    driver.Port.DataReadyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    HANDLE fm = driver.Radio.FmHandle.load();
    if (fm) {
        PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE);
        driver.Threads.TickEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

        DWORD id = 0;
        driver.Threads.TickThread = CreateThread(nullptr, 0, StatusThread, &driver, 0, &id);
        driver.Threads.TickThreadId = driver.Threads.TickThread ? id : 0;

        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        driver.Threads.FmEvent = event;
        FMRegisterEvent(fm, event);
        id = 0;
        driver.Threads.NotifyThread = CreateThread(nullptr, 0, FmNotifyThread, &driver, 0, &id);
        driver.Threads.NotifyThreadId = driver.Threads.NotifyThread ? id : 0;

        // An unknown band leaves the radio off and the band's edges at 0.
        DWORD result = 100;
        if (driver.Settings.Band < FMBAND_COUNT) {
            result = FMPowerOn(fm, 1, driver.Settings.Band);
            driver.Radio.BandLow = FM_BAND_EDGES[driver.Settings.Band].low;
            driver.Radio.BandHigh = FM_BAND_EDGES[driver.Settings.Band].high;
        }
        if (driver.Settings.LogMode & LOG_DATA) LogFormatW(TRUE, u"COM_Init: FM Power On result=%d", result);

        FMSetProp(fm, FMPROP_AUDIO_PATH, driver.Settings.Sound);
        FMSetProp(fm, FMPROP_MUTE, driver.Settings.Mute);
        ApplyHeadsetRule();
        FMSetProp(fm, FMPROP_FREQUENCY, driver.Radio.Frequency);
        RegistryNotifyCallback(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, OnHeadsetChange, HEADSET_USER_DATA,
                               nullptr, &driver.Threads.HeadsetNotify);
    }

    if (driver.Settings.LogMode & LOG_DATA) {
        char separator[67];
        memset(separator, '_', 66);
        separator[66] = 0;
        LogText(separator, TRUE, TRUE);
        LogFormatW(TRUE, u"COM_Init hFM=%X", LogWord(fm));
    }
    return reinterpret_cast<DEVCONTEXT>(context);
}

TERVALON_EXPORT BOOL COM_Deinit(DEVCONTEXT device) {
    DeviceContext* context = reinterpret_cast<DeviceContext*>(device);
    if (!LiveContext.load()) return TRUE;  // not loaded: nothing to undo
    // Whatever context comes, it is the live load that is undone.
    DriverState& driver = *LiveContext.load()->State;
    // The context is freed last, once nothing can look at it any more.
    bool owned = context && context == LiveContext.load() && context->Signature == DEVICE_SIGNATURE;

    if (driver.Settings.LogMode & LOG_DATA) LogFormatW(TRUE, u"COM_Deinit");

    // The sleeps below are the device driver's timing, kept as they are:
    // there they are all that lets a thread leave before the handle it uses
    // goes. Here each thread is also waited for by its handle, and the entry
    // points still under way are counted, so they do not make unloading safe;
    // they make it take as long as on the device.
    HANDLE fm = driver.Radio.FmHandle.load();
    HANDLE fmEvent = nullptr;
    if (fm) {
        driver.Threads.ShuttingDown = 1;

        HANDLE tick = driver.Threads.TickEvent.load();
        SetEvent(tick);
        Sleep(500);  // the status thread wakes, finds ShuttingDown and leaves
        EndThread(&driver.Threads.TickThread);
        driver.Threads.TickEvent = nullptr;
        CloseHandle(tick);

        // A waiting COM_Read returns; later ones see ShuttingDown.
        SetEvent(driver.Port.DataReadyEvent.load());
        Sleep(100);  // the read that was waiting for data returns 0

        // The FM notification thread waits on FmEvent without a time-out: take
        // the event away and wake it, so that it leaves before the FM library
        // goes. The event itself stays open until FMClose, since the library
        // may still set it until then.
        fmEvent = driver.Threads.FmEvent.exchange(nullptr);
        SetEvent(fmEvent);
        EndThread(&driver.Threads.NotifyThread);

        FMSetProp(fm, FMPROP_AUDIO_PATH, 1);
        FMSetProp(fm, FMPROP_MUTE, 0);
        if (driver.Settings.Sound == 0) SendHeadsetMessage(0);
        RegistryCloseNotification(driver.Threads.HeadsetNotify);
        driver.Threads.HeadsetNotify = nullptr;

        DWORD powerState = 1;
        DWORD result = 0;
        FMGetProp(fm, FMPROP_POWER_STATE, &powerState);
        if (powerState == 1) result = FMPowerOn(fm, 0, 0);
        if (driver.Settings.LogMode & LOG_EVENT)
            LogFormatW(TRUE, u"PowerOffFM Finished: Result %d, previous state %d", result, powerState);
    } else {
        SetEvent(driver.Port.DataReadyEvent.load());
    }

    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driver.Settings.SettingsKeyPath, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        DWORD frequency = driver.Radio.Frequency;
        RegSetValueExW(key, TERVALON_SETTING_NAMES[SETTING_FREQUENCY], 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&frequency), sizeof(frequency));
        RegCloseKey(key);
    }

    // Closing the GPS port ends the GPS reader: its port wait fails and it
    // finds the port gone, with or without a radio.
    HANDLE gps = driver.Port.GpsPort.exchange(INVALID_HANDLE_VALUE);
    if (gps != INVALID_HANDLE_VALUE) CloseHandle(gps);
    EndThread(&driver.Threads.GpsThread);
    Sleep(5000);  // the GPS reader, whose port wait fails now, leaves

    FMClose(fm);
    // Closing does not wait for the tuner's answer to switching off: the chip
    // gets this long to power down before the device may sleep again.
    Sleep(1000);
    driver.Radio.FmHandle = nullptr;
    if (fmEvent) CloseHandle(fmEvent);
    PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE);

    // No entry point may still be inside the driver when the lock goes. The
    // bound only guards against a platform call that never returns.
    driver.Threads.ShuttingDown = 1;
    SetEvent(driver.Port.DataReadyEvent.load());
    const DWORD start = GetTickCount();
    while (ActiveCalls.load() > 0) {
        const DWORD waited = GetTickCount() - start;
        if (waited >= 30000) break;
        // Auto-reset: a signal left from an earlier call's leaving costs one
        // more turn, and a call leaving after the count was read sets it anew.
        WaitForSingleObject(CallsDoneEvent(), 30000 - waited);
    }
    HANDLE ready = driver.Port.DataReadyEvent.exchange(nullptr);
    if (ready) CloseHandle(ready);
    driver.Output.Destroy();

    if (owned) {
        context->Signature = 0;
        LocalFree(context);
    }
    if (context == LiveContext.load()) LiveContext = nullptr;
    return TRUE;
}

// The library's entry point: nothing to do for any reason.
TERVALON_EXPORT BOOL DllMain(HANDLE, DWORD, LPVOID) { return TRUE; }
