// The port side: open and close for the one client, the serial requests it
// forwards to the GPS multiplexer port, and the output queue that carries
// every byte the client reads.
#include <cstring>

#include "driver.h"

namespace {

// Only the live context is ever dereferenced: a stale or foreign value fails
// the test without being read.
DeviceContext* CheckContext(DEVCONTEXT value) {
    DeviceContext* context = reinterpret_cast<DeviceContext*>(value);
    if (!context) return nullptr;
    // COM_Init's context is the only valid one; compare before reading it.
    if (context != LiveDeviceContext() || context->Signature != DEVICE_SIGNATURE) return nullptr;
    return context;
}

LONG ReadCount(DeviceContext* context) { return __atomic_load_n(&context->OpenCount, __ATOMIC_SEQ_CST); }

// The GPS multiplexer port's device name, "" when it is not configured.
void ReadGpsPortName(WCHAR* name) {
    name[0] = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, GPS_MUX_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD type = 0;
    DWORD size = MAX_PATH;  // 260 bytes
    if (RegQueryValueExW(key, GPS_MUX_VALUE, nullptr, &type, reinterpret_cast<LPBYTE>(name), &size) == ERROR_SUCCESS) {
        DWORD chars = size / sizeof(WCHAR);
        name[chars < MAX_PATH / 2 ? chars : MAX_PATH / 2 - 1] = 0;
    } else {
        name[0] = 0;
    }
    RegCloseKey(key);
}

}  // namespace

void AppendOutput(DWORD length, const void* bytes, BOOL append) {
    if (!Driver.Port.PortOpen.load(std::memory_order_relaxed)) return;
    Driver.Output.Append(bytes, length, append);
    SetEvent(Driver.Port.DataReadyEvent.load(std::memory_order_relaxed));
}

void ResetOutput() { Driver.Output.Reset(); }

TERVALON_EXPORT DEVCONTEXT COM_Open(DEVCONTEXT device, DWORD accessCode, DWORD shareMode) {
    ActiveCall call;
    DeviceContext* context = CheckContext(device);
    if (!context) return 0;
    DriverState& driver = *context->State;

    LONG count = InterlockedIncrement(&context->OpenCount);
    if (count >= 2) {
        // One client at a time.
        if (driver.Settings.LogMode & LOG_DATA) LogFormatW(TRUE, u"COM_Open: numopens=%d, Exiting...", count);
        InterlockedDecrement(&context->OpenCount);
        return 0;
    }
    driver.Port.PortOpen = 1;
    driver.Port.ReadReleased = 0;
    RotateLog();
    driver.Gns.GnsScanning = 0;
    driver.Gns.GnsAppliedFrequency = 0;
    driver.Gns.GnsRequestedFrequency = 0;

    WCHAR name[MAX_PATH / 2];
    ReadGpsPortName(name);
    if (driver.Port.GpsPort.load() == INVALID_HANDLE_VALUE) {
        HANDLE port = CreateFileW(name, accessCode, shareMode, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE && port != nullptr) {
            driver.Port.GpsPort = port;
            if (driver.Settings.Data == 1) {
                DWORD id = 0;
                driver.Threads.GpsThread = CreateThread(nullptr, 0, GpsReaderThread, &driver, 0, &id);
                driver.Threads.GpsThreadId = driver.Threads.GpsThread ? id : 0;
            }
        }
    }
    if (driver.Settings.LogMode & LOG_DATA)
        LogFormatW(TRUE, u"COM_Open: numopens=%d, GPS:%X", ReadCount(context), LogWord(driver.Port.GpsPort.load()));

    if (driver.Port.GpsPort.load() == INVALID_HANDLE_VALUE) {
        driver.Port.PortOpen = 0;
        InterlockedDecrement(&context->OpenCount);
        return 0;
    }
    return device;
}

// The device manager calls this before it waits for the client's calls to
// return: a read waiting for data must not keep the port from the next
// client (a client killed inside a read closes through here).
TERVALON_EXPORT BOOL COM_PreClose(DEVCONTEXT open) {
    DeviceContext* context = CheckContext(open);
    if (!context) return FALSE;
    context->State->Port.ReadReleased = 1;
    SetEvent(context->State->Port.DataReadyEvent.load());
    return TRUE;
}

TERVALON_EXPORT BOOL COM_Close(DEVCONTEXT open) {
    ActiveCall call;
    DeviceContext* context = CheckContext(open);
    if (!context) {
        // Not this load's context: the live record (if any) says what to log.
        if (Driver.Settings.LogMode & LOG_EVENT) LogFormatW(TRUE, u"COM_Close: FAILED");
        return FALSE;
    }
    DriverState& driver = *context->State;
    if (driver.Settings.LogMode & LOG_DATA) LogFormatW(TRUE, u"COM_Close: numopens=%d", ReadCount(context));
    driver.Port.PortOpen = 0;
    // Never below 0, also when two closes race.
    LONG count = ReadCount(context);
    while (count > 0 && InterlockedCompareExchange(&context->OpenCount, count - 1, count) != count)
        count = ReadCount(context);
    return TRUE;
}

TERVALON_EXPORT DWORD COM_Seek(DEVCONTEXT, LONG, WORD) { return 0; }

TERVALON_EXPORT BOOL COM_IOControl(DEVCONTEXT, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer, DWORD outSize,
                                   PDWORD returned) {
    ActiveCall call;
    if (code == IOCTL_SERIAL_PURGE) ResetOutput();
    if (Driver.Settings.LogMode & LOG_EVENT) {
        // Without a returned-count pointer the count shows 0.
        WCHAR line[LOG_LINE];
        int n = _snwprintf(line, LOG_LINE, u"COM_IOControl Req: %X, %d, %X, %d, %d", LogWord(inBuffer), inSize,
                           LogWord(outBuffer), outSize, returned ? *returned : 0);
        if (n < 0) line[LOG_LINE - 1] = 0;
        LogTextW(line, FALSE, TRUE);
    }
    BOOL result =
        DeviceIoControl(Driver.Port.GpsPort.load(), code, inBuffer, inSize, outBuffer, outSize, returned, nullptr);
    return code == IOCTL_SERIAL_PURGE ? TRUE : result;
}

TERVALON_EXPORT void COM_PowerDown(DEVCONTEXT) {
    if (Driver.Settings.LogMode & LOG_EVENT) LogFormatW(TRUE, u"COM_PowerDown");
}

TERVALON_EXPORT void COM_PowerUp(DEVCONTEXT) {
    if (Driver.Settings.LogMode & LOG_EVENT) LogFormatW(TRUE, u"COM_PowerUp");
}
