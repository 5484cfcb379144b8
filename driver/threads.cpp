// The threads that produce the port's output (status, FM notifications, GPS)
// and the read path that hands it to the client.
#include <cstring>

#include "driver.h"

TERVALON_EXPORT DWORD COM_Read(DEVCONTEXT, LPVOID buffer, DWORD count) {
    ActiveCall call;
    if (Driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) return 0;
    if (!buffer && count) return 0;

    if (Driver.Output.Pending() == 0) {
        if (Driver.Settings.LogMode & LOG_EVENT) LogTextW(u"Read waiting...", FALSE, TRUE);
        // Every append sets the event; a reader that finds nothing gets 0 after
        // at most a second. Without the event (unloading) there is nothing to wait for.
        HANDLE ready = Driver.Port.DataReadyEvent.load(std::memory_order_relaxed);
        if (ready) WaitForSingleObject(ready, 1000);
        if (Driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) return 0;
        if (Driver.Port.ReadReleased.load(std::memory_order_relaxed)) return 0;
    }

    DWORD returned = Driver.Output.Take(buffer, count);
    if (returned == 0) return 0;
    if (Driver.Settings.LogMode & LOG_EVENT) {
        DWORD remaining = Driver.Output.Pending();
        LogFormatW(TRUE, u"COM_Read: Bytes asked:%d, bytes returned:%d, remaining: %d", count, returned, remaining);
    }
    return returned;
}

DWORD StatusThread(LPVOID parameter) {
    DriverState& driver = *static_cast<DriverState*>(parameter);
    const DWORD period = driver.Settings.Protocol == PROTOCOL_GNS ? 1000 : 5000;
    for (;;) {
        DWORD wait = WaitForSingleObject(driver.Threads.TickEvent.load(std::memory_order_relaxed), period);
        bool byEvent = wait == WAIT_OBJECT_0;
        if (driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) {
            driver.Threads.TickThreadId = 0;
            return 0;
        }
        bool open = driver.Port.PortOpen.load(std::memory_order_relaxed) != 0;
        if (driver.Settings.Protocol == PROTOCOL_GNS && driver.Settings.Data == 0 && open) EmitGpsFiller();
        if (driver.Settings.Protocol == PROTOCOL_GNS && byEvent && open) EmitGnsFrequencyReport();
        if (driver.Settings.Protocol == PROTOCOL_ROYALTEK && open) {
            EmitRdsStatus();
            if (!byEvent) {
                // Station search: stay while TMC groups keep coming; otherwise,
                // with the automatic search on, move on to the next station.
                if (driver.Radio.TmcSeen.load(std::memory_order_relaxed) ||
                    !driver.Radio.AutoScan.load(std::memory_order_relaxed)) {
                    if (++driver.Radio.SilentTicks == 6) {
                        driver.Radio.SilentTicks = 0;
                        driver.Radio.TmcSeen.store(0, std::memory_order_relaxed);
                    }
                } else {
                    HANDLE fm = driver.Radio.FmHandle.load(std::memory_order_relaxed);
                    if (driver.Radio.Frequency.load(std::memory_order_relaxed) == driver.Radio.BandHigh)
                        FMSetProp(fm, FMPROP_FREQUENCY, driver.Radio.BandLow);
                    else FMSeek(fm, FMSEEK_UP);
                }
            }
            driver.Radio.RdsQuality.store(0, std::memory_order_relaxed);
        }
    }
}

DWORD FmNotifyThread(LPVOID parameter) {
    DriverState& driver = *static_cast<DriverState*>(parameter);
    for (;;) {
        HANDLE event = driver.Threads.FmEvent.load();
        if (!event) break;
        WaitForSingleObject(event, INFINITE);
        if (!driver.Threads.FmEvent.load()) {
            driver.Threads.NotifyThreadId = 0;
            return 0;
        }
        // FmEvent is auto-reset and set once per queued record: fetch until the
        // queue is empty, or records queued together would be left behind.
        // While unloading, fetching goes on: a frequency change that arrives
        // then is still the one that is saved for the next load.
        while (driver.Port.PortOpen.load(std::memory_order_relaxed)) {
            FmNotification* record = nullptr;
            FMGetNotification(driver.Radio.FmHandle.load(std::memory_order_relaxed), &record);
            if (!record) break;
            if (record->kind == FMNOTIFY_FREQUENCY) {
                OnFrequencyChange(record->value);
            } else if (record->kind == FMNOTIFY_RDS) {
                OnRdsGroups(reinterpret_cast<const FmRdsGroup*>(record->data), record->value);
            }
        }
    }
    driver.Threads.NotifyThreadId = 0;
    return 0;
}

void GpsTakeBytes(GpsLineBuffer* line, DWORD n, void (*emit)(const char* bytes, DWORD length)) {
    DWORD total = line->held + n;
    if (total > GPS_CHUNK) total = GPS_CHUNK;
    DWORD end = total;
    while (end > 0 && line->bytes[end - 1] != '\n') end--;
    if (end > 0) {
        emit(line->bytes, end);
        memmove(line->bytes, line->bytes + end, total - end);
        line->held = total - end;
    } else if (total == GPS_CHUNK) {
        // A "line" longer than the buffer is no NMEA sentence: pass it on as it is.
        emit(line->bytes, total);
        line->held = 0;
    } else {
        line->held = total;
    }
}

namespace {

void EmitGpsBytes(const char* bytes, DWORD length) {
    if (!Driver.Port.PortOpen.load(std::memory_order_relaxed)) return;
    AppendOutput(length, bytes, TRUE);
    if (Driver.Settings.LogMode & LOG_DATA) {
        char text[GPS_CHUNK + 1];
        memcpy(text, bytes, length);
        text[length] = 0;
        LogText(text, FALSE, FALSE);
    }
}

}  // namespace

DWORD GpsReaderThread(LPVOID parameter) {
    DriverState& driver = *static_cast<DriverState*>(parameter);
    // The port this reader serves; once COM_Deinit has taken it away, a failed
    // wait means the port is closed and the reader ends, radio or not.
    HANDLE port = driver.Port.GpsPort.load();
    GpsLineBuffer line;
    line.held = 0;
    SetCommMask(port, GPS_EVENT_MASK);
    for (;;) {
        DWORD mask = 0;
        if (WaitCommEvent(port, &mask, nullptr)) {
            DWORD read = 0;
            if (!ReadFile(port, line.bytes + line.held, GPS_CHUNK - line.held, &read, nullptr)) read = 0;
            if (read > GPS_CHUNK - line.held) read = GPS_CHUNK - line.held;
            if (read) GpsTakeBytes(&line, read, EmitGpsBytes);
        } else if (driver.Port.GpsPort.load() == port) {
            // A failed wait on a port that is still ours (a client may have
            // cleared the event mask the reader shares with it): nothing
            // signals when the port works again, so try again at a slow pace
            // instead of spinning. Unloading takes the port away first.
            Sleep(100);
        }
        if (driver.Threads.ShuttingDown.load(std::memory_order_relaxed) || driver.Port.GpsPort.load() != port) {
            driver.Threads.GpsThreadId = 0;
            return 0;
        }
    }
}
