// The twelve exports and the operations behind them: open and close, power,
// seek, property reads and writes, the volume and the mute codes.
#include <atomic>
#include <mutex>

#include "fm_session.h"

// The first two bands are the chip's sub-bands under the same numbers (a band
// is handed to the chip as it is); the world band spans both.
static_assert(FMBAND_EUROPE == FMS_CHIP_BAND_EUROPE && FMBAND_JAPAN == FMS_CHIP_BAND_JAPAN);
static_assert(FM_BAND_EDGES[FMBAND_EUROPE].low == FMS_EUROPE_LOW &&
              FM_BAND_EDGES[FMBAND_EUROPE].high == FMS_EUROPE_HIGH &&
              FM_BAND_EDGES[FMBAND_JAPAN].low == FMS_JAPAN_LOW && FM_BAND_EDGES[FMBAND_JAPAN].high == FMS_JAPAN_HIGH &&
              FM_BAND_EDGES[FMBAND_WORLD].low == FMS_JAPAN_LOW && FM_BAND_EDGES[FMBAND_WORLD].high == FMS_EUROPE_HIGH);

// ---- library-wide state -----------------------------------------------------------

std::atomic<FmSession*> g_currentSession{nullptr};
std::atomic<FmSession*> g_openHandle{nullptr};
std::atomic<BYTE> g_powered{0};
std::atomic<BYTE> g_altMuteCodes{0};
std::atomic<DWORD> FmPropertyCache[FM_PROPERTY_COUNT] = {0, 1, 0, 0, FM_BAND_EDGES[FMBAND_EUROPE].low, 8, 0,
                                                         0, 0, 0, 50};

namespace {

// Open and close are serialised, so that two opens cannot both find no
// session, and a close cannot run twice.
std::mutex g_openMutex;
// Exports in progress on a session; a close waits for them before it tears
// the session down.
std::atomic<int> g_inFlight{0};

class FmCall {
public:
    explicit FmCall(HANDLE handle) {
        g_inFlight.fetch_add(1);
        FmSession* open = g_openHandle.load();
        session_ = (handle != nullptr && handle == open) ? open : nullptr;
    }
    ~FmCall() {
        if (g_inFlight.fetch_sub(1) == 1) g_inFlight.notify_all();
    }
    FmCall(const FmCall&) = delete;
    FmCall& operator=(const FmCall&) = delete;
    FmSession* session() const { return session_; }

private:
    FmSession* session_;
};

bool Accepted(DWORD rc) { return rc == FMS_SUCCESSED || rc == FMS_PENDING; }

const HWAVEOUT kWaveMapper = reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER));

// Writes one system volume value; a key that does not exist is not created.
void WriteVolumeValue(const WCHAR* keyPath, const WCHAR* valueName, DWORD word) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word), sizeof word);
    RegCloseKey(key);
}

void PublishSystemVolume(DWORD word) {
    WriteVolumeValue(u"ControlPanel\\Volume", u"Volume", word);
    WriteVolumeValue(u"ControlPanel\\Notifications\\ShellOverrides", u"SavedVolume", word);
    AudioUpdateFromRegistry();
}

// Closes an open session when the library goes away with the handle still
// open, whether it is unloaded or the process ends: the one unload path.
// Made at the first open, so that at process exit it runs before the
// platform library, loaded by that open, has torn down its own state.
struct FmUnloadGuard {
    ~FmUnloadGuard() { FmLibraryUnload(); }
};

}  // namespace

// ---- operations -------------------------------------------------------------------

void FmSession::SetChipBand(DWORD band) {
    chipBand.store(band, std::memory_order_relaxed);
    api.FM_SetBand(platformSession, static_cast<BYTE>(band));
}

void FmSession::RdsSwitch() {
    const bool on = Powered() && Registered();
    api.FM_SetRDS(platformSession, on ? 1 : 0);
}

DWORD FmSession::PowerOn(DWORD band) {
    ResetEvent(powerOnEvent);
    api.FM_Enable(platformSession);
    if (!WaitForPowerOn()) {
        SetPowered(false);
        return ERROR_GEN_FAILURE;
    }
    if (!Powered()) return ERROR_OPEN_FAILED;  // the tuner answered with a failure

    SetProp(FMPROP_BAND, band);
    SetProp(FMPROP_MUTE, 0);

    // Re-assert the system volume, which the tuner's audio path may have
    // changed. A volume that cannot be read is left alone.
    DWORD word = 0;
    if (waveOutGetVolume(kWaveMapper, &word) == MMSYSERR_NOERROR) {
        waveOutSetVolume(kWaveMapper, word);
        PublishSystemVolume(word);
    }
    RdsSwitch();
    return ERROR_SUCCESS;
}

DWORD FmSession::PowerOff() {
    SetProp(FMPROP_MUTE, 1);  // refused while not powered; that is fine
    Sleep(100);               // the device library's pause: muted before off, so switching off is not heard
    ClearReply();
    api.FM_Disable(platformSession);
    if (WaitForReply()) return ERROR_SUCCESS;  // the answer cleared `powered`
    SetPowered(false);
    return ERROR_GEN_FAILURE;
}

DWORD FmSession::Seek(DWORD direction) {
    if (!Powered()) return ERROR_NOT_READY;
    const bool world = CacheGet(FMPROP_BAND) == FMBAND_WORLD;
    const FmBandEdges& edges = FM_BAND_EDGES[FMBAND_WORLD];
    switch (direction) {
        case FMSEEK_UP:
            if (world && CacheGet(FMPROP_FREQUENCY) == edges.high) {
                // Top of the world band: go round to its bottom, quietly.
                reportNextTune.store(0, std::memory_order_relaxed);
                SetChipBand(FMS_CHIP_BAND_JAPAN);
                api.FM_Tune(platformSession, edges.low);
            }
            api.FM_Seek(platformSession, 0, 1);
            return ERROR_SUCCESS;
        case FMSEEK_DOWN:
            if (world && CacheGet(FMPROP_FREQUENCY) == edges.low) {
                reportNextTune.store(0, std::memory_order_relaxed);
                SetChipBand(FMS_CHIP_BAND_EUROPE);
                api.FM_Tune(platformSession, edges.high);
            }
            api.FM_Seek(platformSession, 0, 0);
            return ERROR_SUCCESS;
        case FMSEEK_STOP: api.FM_Seek(platformSession, 1, 0); return ERROR_SUCCESS;
        default: return ERROR_NOT_SUPPORTED;
    }
}

DWORD FmSession::SetProp(DWORD id, DWORD value) {
    if (id != FMPROP_AUDIO_PATH && id != FMPROP_VOLUME) {
        if (id == FMPROP_POWER_STATE) return ERROR_INVALID_PARAMETER;
        if (!Powered()) return ERROR_NOT_READY;
        if (id > FMPROP_STEREO_BLEND) return ERROR_NOT_SUPPORTED;
    }
    const auto result = [](DWORD rc) { return Accepted(rc) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER; };

    switch (id) {
        case FMPROP_AF: {
            CacheSet(id, value);
            if (!Accepted(api.FM_SetAF(platformSession, value))) return ERROR_INVALID_PARAMETER;
            if (Powered()) api.FM_SetRDS(platformSession, 1);
            return ERROR_SUCCESS;
        }
        case FMPROP_AUDIO_PATH: CacheSet(id, value); return result(api.FM_SetAudioPath(platformSession, value));
        case FMPROP_BAND:
            if (value >= FMBAND_COUNT) return ERROR_INVALID_PARAMETER;
            // The chip covers the world band as two sub-bands; start in the lower.
            SetChipBand(value == FMBAND_WORLD ? FMS_CHIP_BAND_JAPAN : value);
            CacheSet(id, value);
            return ERROR_SUCCESS;
        case FMPROP_DEEMPHASIS:
            CacheSet(id, value);
            return result(api.FM_SetDeemphasisMode(platformSession, static_cast<BYTE>(value)));
        case FMPROP_FREQUENCY: {
            const DWORD band = CacheGet(FMPROP_BAND);
            if (band >= FMBAND_COUNT) return ERROR_INVALID_PARAMETER;
            if (value < FM_BAND_EDGES[band].low || value > FM_BAND_EDGES[band].high) return ERROR_INVALID_PARAMETER;
            if (band == FMBAND_WORLD) {
                // The chip covers the world band as its two sub-bands; in their
                // overlap it stays where it is.
                const DWORD chip = chipBand.load(std::memory_order_relaxed);
                if (chip == FMS_CHIP_BAND_JAPAN && value > FMS_JAPAN_HIGH) SetChipBand(FMS_CHIP_BAND_EUROPE);
                else if (chip == FMS_CHIP_BAND_EUROPE && value < FMS_EUROPE_LOW) SetChipBand(FMS_CHIP_BAND_JAPAN);
            }
            if (!Accepted(api.FM_Tune(platformSession, value))) return ERROR_INVALID_PARAMETER;
            CacheSet(id, value);
            return ERROR_SUCCESS;
        }
        case FMPROP_RSSI_SEARCH_LEVEL:
            CacheSet(id, value);
            return result(api.FM_RssiSearchLevel(platformSession, value));
        case FMPROP_MONO_STEREO: CacheSet(id, value); return result(api.FM_SetMoSt(platformSession, value));
        case FMPROP_MUTE: {
            CacheSet(id, value);
            const bool alt = g_altMuteCodes.load(std::memory_order_relaxed) != 0;
            const DWORD code = value == 0 ? (alt ? 1 : 2) : (alt ? 2 : 0);
            return result(api.FM_MuteRadio(platformSession, code));
        }
        case FMPROP_RSSI: return ERROR_INVALID_PARAMETER;
        case FMPROP_STEREO_BLEND: CacheSet(id, value); return result(api.FM_SetStereoBlend(platformSession, value));
        case FMPROP_VOLUME: {
            if (value > 100) return ERROR_INVALID_PARAMETER;
            api.FM_SetVolume(platformSession, static_cast<SHORT>(static_cast<WORD>(value * 65535 / 100)), 0);
            const DWORD step = static_cast<DWORD>(value * 16 / 107.0 + 0.5);
            const DWORD word = step * 0x11111111u;
            waveOutSetVolume(kWaveMapper, word);
            PublishSystemVolume(word);
            CacheSet(id, value);
            return ERROR_SUCCESS;
        }
        default: return ERROR_NOT_SUPPORTED;
    }
}

DWORD FmSession::GetProp(DWORD id, DWORD* value) {
    if (id != FMPROP_AUDIO_PATH && id != FMPROP_VOLUME && id != FMPROP_POWER_STATE) {
        if (!Powered()) return ERROR_NOT_READY;
        if (id > FMPROP_STEREO_BLEND) return ERROR_NOT_SUPPORTED;
    }

    switch (id) {
        case FMPROP_AUDIO_PATH:
        case FMPROP_POWER_STATE: {
            DWORD words[3] = {0, 0, 0};
            if (!Accepted(api.FM_GetCurrentStatus(platformSession, words))) return ERROR_GEN_FAILURE;
            *value = id == FMPROP_AUDIO_PATH ? words[2] : words[1];
            return ERROR_SUCCESS;
        }
        case FMPROP_VOLUME: {
            DWORD word = 0;
            if (waveOutGetVolume(kWaveMapper, &word) != MMSYSERR_NOERROR) return ERROR_GEN_FAILURE;
            *value = ((word & 0xF) * 107) >> 4;
            return ERROR_SUCCESS;
        }
        case FMPROP_AF:
        case FMPROP_BAND:
        case FMPROP_FREQUENCY: *value = CacheGet(id); return ERROR_SUCCESS;
        case FMPROP_DEEMPHASIS:
        case FMPROP_RSSI_SEARCH_LEVEL:
        case FMPROP_MONO_STEREO:
        case FMPROP_MUTE:
        case FMPROP_STEREO_BLEND: {
            PFN_FM_GetDemphMode getter = id == FMPROP_DEEMPHASIS          ? api.FM_GetDemphMode
                                         : id == FMPROP_RSSI_SEARCH_LEVEL ? api.FM_GetRSSISearchLevel
                                         : id == FMPROP_MONO_STEREO       ? api.FM_GetMoSt
                                         : id == FMPROP_MUTE              ? api.FM_GetMuteMode
                                                                          : api.FM_GetMostBlend;
            ClearReply();
            if (!Accepted(getter(platformSession))) return ERROR_GEN_FAILURE;
            WaitForReply();  // without an answer the cached value stands
            *value = CacheGet(id);
            return ERROR_SUCCESS;
        }
        case FMPROP_RSSI:
            ClearReply();
            if (!Accepted(api.FM_RssiGet(platformSession))) return ERROR_INVALID_PARAMETER;
            if (!WaitForReply()) return ERROR_GEN_FAILURE;
            *value = CacheGet(id);
            return ERROR_SUCCESS;
        default: return ERROR_NOT_SUPPORTED;
    }
}

void FmSession::Close() {
    if (!Powered()) PowerOn(0);  // the tuner shuts down cleanly only from on

    api.FM_SetRDS(platformSession, 0);
    SetProp(FMPROP_MUTE, 1);
    Sleep(50);  // as at power-off: muted before the tuner goes off
    api.FM_Disable(platformSession);
    api.FM_Destroy(platformSession);
    platformSession = 0;
    api.FM_Deinit();
}

// ---- library hooks ----------------------------------------------------------------

void FmLibraryLoad() {
    WCHAR oem[128] = {};
    if (!SystemParametersInfoW(SPI_GETOEMINFO, 127, oem, 0)) return;
    oem[127] = 0;
    // The T828/T535/T737 family takes other mute codes.
    const bool alt = wcsstr(oem, u"T828") || wcsstr(oem, u"T535") || wcsstr(oem, u"T737");
    g_altMuteCodes.store(alt ? 1 : 0, std::memory_order_relaxed);
}

void FmLibraryUnload() {
    FmSession* open = g_openHandle.load();
    if (open) FMClose(open);
}

__attribute__((constructor)) static void WaveloLoaded() { FmLibraryLoad(); }

// ---- exports ----------------------------------------------------------------------

DWORD FMGetNumDevs() { return 1; }

DWORD FMGetDevInfo(DWORD device, FmDevInfo* info) {
    if (device != 0 || !info || info->size != sizeof(FmDevInfo)) return ERROR_INVALID_PARAMETER;
    info->infoWord1 = 0x00060001;
    info->infoWord2 = 0x00020001;
    info->infoWord3 = 0xFFFEFFFF;
    static const WCHAR kName[] = u"HTC_BRF6350_1";
    for (size_t i = 0; i < sizeof(info->name) / sizeof(info->name[0]); ++i)
        info->name[i] = i < sizeof(kName) / sizeof(kName[0]) ? kName[i] : 0;
    return ERROR_SUCCESS;
}

HANDLE FMOpen(DWORD device) {
    if (device != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (g_openHandle.load()) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return nullptr;
    }
    FmSession* session = FmBindPlatform();
    if (!session) return nullptr;
    static FmUnloadGuard unloadGuard;
    (void)unloadGuard;
    g_openHandle.store(session);
    return session;
}

DWORD FMPowerOn(HANDLE handle, DWORD on, DWORD band) {
    FmCall call(handle);
    if (!call.session()) return ERROR_INVALID_PARAMETER;
    return on ? call.session()->PowerOn(band) : call.session()->PowerOff();
}

DWORD FMSeek(HANDLE handle, DWORD direction) {
    FmCall call(handle);
    if (!call.session()) return ERROR_INVALID_PARAMETER;
    return call.session()->Seek(direction);
}

DWORD FMGetProp(HANDLE handle, DWORD id, DWORD* value) {
    FmCall call(handle);
    if (!call.session() || !value) return ERROR_INVALID_PARAMETER;
    return call.session()->GetProp(id, value);
}

DWORD FMSetProp(HANDLE handle, DWORD id, DWORD value) {
    FmCall call(handle);
    if (!call.session()) return ERROR_INVALID_PARAMETER;
    return call.session()->SetProp(id, value);
}

DWORD FMRegisterEvent(HANDLE handle, HANDLE event) {
    FmCall call(handle);
    if (!call.session()) return ERROR_INVALID_PARAMETER;
    call.session()->notifyEvent.store(event, std::memory_order_relaxed);
    call.session()->RdsSwitch();
    return ERROR_SUCCESS;
}

DWORD FMRegisterNotification(HANDLE handle, HWND window, UINT message) {
    FmCall call(handle);
    if (!call.session()) return ERROR_INVALID_PARAMETER;
    call.session()->notifyMessage.store(message, std::memory_order_relaxed);
    call.session()->notifyWindow.store(window, std::memory_order_relaxed);
    call.session()->RdsSwitch();
    return ERROR_SUCCESS;
}

DWORD FMGetNotification(HANDLE handle, FmNotification** record) {
    FmCall call(handle);
    if (!call.session() || !record) return ERROR_INVALID_PARAMETER;
    *record = call.session()->TakeNotification();
    return ERROR_SUCCESS;
}

DWORD FMClose(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_openMutex);
    FmSession* session = g_openHandle.load();
    if (!handle || handle != session) return ERROR_INVALID_PARAMETER;
    // No new call reaches the session from here on; let those under way end.
    g_openHandle.store(nullptr);
    for (int n = g_inFlight.load(); n > 0; n = g_inFlight.load()) g_inFlight.wait(n);

    session->Close();
    delete session;  // releases the records, unloads the platform library
    return ERROR_SUCCESS;
}
