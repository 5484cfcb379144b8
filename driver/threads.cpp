// The threads that produce the port's output (status, FM notifications, GPS)
// and the read path that hands it to the client.
#include <cstring>

#include "driver.h"

TERVALON_EXPORT DWORD COM_Read(DEVCONTEXT, LPVOID buffer, DWORD count) {
    ActiveCall call;
    if (ShuttingDown.load(std::memory_order_relaxed)) return 0;
    if (!buffer && count) return 0;

    if (OutputLength.load(std::memory_order_relaxed) == OutputReadPos.load(std::memory_order_relaxed)) {
        if (LogMode & LOG_EVENT) LogTextW(u"Read waiting...", FALSE, TRUE);
        // Every append sets the event; a reader that finds nothing gets 0 after
        // at most a second. Without the event (unloading) the wait fails at once.
        HANDLE ready = DataReadyEvent.load(std::memory_order_relaxed);
        if (!ready || WaitForSingleObject(ready, 1000) == WAIT_FAILED) {
            if (ShuttingDown.load(std::memory_order_relaxed)) return 0;
        }
        if (ShuttingDown.load(std::memory_order_relaxed)) return 0;
        if (ReadReleased.load(std::memory_order_relaxed)) return 0;
    }

    EnterCriticalSection(&OutputLock);
    DWORD end = OutputLength.load(std::memory_order_relaxed);
    DWORD start = OutputReadPos.load(std::memory_order_relaxed);
    if (end == start) {
        LeaveCriticalSection(&OutputLock);
        return 0;
    }
    DWORD available = end - start;
    DWORD returned;
    if (available < count) {
        memcpy(buffer, OutputBuffer + start, available);
        OutputReadPos.store(0, std::memory_order_relaxed);
        OutputLength.store(0, std::memory_order_relaxed);
        returned = available;
    } else {
        // When exactly the queued amount is asked for the positions stay; the
        // next append continues behind them.
        memcpy(buffer, OutputBuffer + start, count);
        OutputReadPos.store(start + count, std::memory_order_relaxed);
        returned = count;
    }
    LeaveCriticalSection(&OutputLock);

    if (LogMode & LOG_EVENT) {
        LogFormatW(TRUE, u"COM_Read: Bytes asked:%d, bytes returned:%d, remaining: %d", count, returned,
                   OutputLength.load(std::memory_order_relaxed) - OutputReadPos.load(std::memory_order_relaxed));
    }
    return returned;
}

DWORD StatusThread(LPVOID) {
    const DWORD period = Protocol == 1 ? 1000 : 5000;
    for (;;) {
        DWORD wait = WaitForSingleObject(TickEvent.load(std::memory_order_relaxed), period);
        bool byEvent = wait == WAIT_OBJECT_0;
        if (ShuttingDown.load(std::memory_order_relaxed)) {
            TickThreadId = 0;
            return 0;
        }
        bool open = PortOpen.load(std::memory_order_relaxed) != 0;
        if (Protocol == 1 && Data == 0 && open) EmitGpsFiller();
        if (Protocol == 1 && byEvent && open) EmitGnsFrequencyReport();
        if (Protocol == 0 && open) {
            EmitRdsStatus();
            if (!byEvent) {
                // Station search: stay while TMC groups keep coming; otherwise,
                // with the automatic search on, move on to the next station.
                if (TmcSeen.load(std::memory_order_relaxed) || !AutoScan.load(std::memory_order_relaxed)) {
                    if (++SilentTicks == 6) {
                        SilentTicks = 0;
                        TmcSeen.store(0, std::memory_order_relaxed);
                    }
                } else {
                    HANDLE fm = FmHandle.load(std::memory_order_relaxed);
                    if (Frequency.load(std::memory_order_relaxed) == BandHigh) FMSetProp(fm, FMPROP_FREQUENCY, BandLow);
                    else FMSeek(fm, FMSEEK_UP);
                }
            }
            RdsQuality.store(0, std::memory_order_relaxed);
        }
    }
}

DWORD FmNotifyThread(LPVOID) {
    for (;;) {
        HANDLE event = FmEvent.load();
        if (!event) break;
        WaitForSingleObject(event, INFINITE);
        if (!FmEvent.load()) {
            NotifyThreadId = 0;
            return 0;
        }
        // FmEvent is auto-reset and set once per queued record: fetch until the
        // queue is empty, or records queued together would be left behind.
        // While unloading, fetching goes on: a frequency change that arrives
        // then is still the one that is saved for the next load.
        while (PortOpen.load(std::memory_order_relaxed)) {
            FmNotification* record = nullptr;
            FMGetNotification(FmHandle.load(std::memory_order_relaxed), &record);
            if (!record) break;
            if (record->kind == FMNOTIFY_FREQUENCY) {
                OnFrequencyChange(record->value);
            } else if (record->kind == FMNOTIFY_RDS) {
                OnRdsGroups(reinterpret_cast<const FmRdsGroup*>(record->data), record->value);
            }
        }
    }
    NotifyThreadId = 0;
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
    if (!PortOpen.load(std::memory_order_relaxed)) return;
    AppendOutput(length, bytes, TRUE);
    if (LogMode & LOG_DATA) {
        char text[GPS_CHUNK + 1];
        memcpy(text, bytes, length);
        text[length] = 0;
        LogText(text, FALSE, FALSE);
    }
}

}  // namespace

DWORD GpsReaderThread(LPVOID) {
    // The port this reader serves; once COM_Deinit has taken it away, a failed
    // wait means the port is closed and the reader ends, radio or not.
    HANDLE port = GpsPort.load();
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
        } else if (GpsPort.load() == port) {
            // A failed wait on a port that is still ours: do not spin on it.
            Sleep(100);
        }
        if (ShuttingDown.load(std::memory_order_relaxed) || GpsPort.load() != port) {
            GpsThreadId = 0;
            return 0;
        }
    }
}
