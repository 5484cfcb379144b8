// The platform's command-status answers, the two waits for an answer, and
// the trace sink.
#include <atomic>
#include <cstdarg>

#include "fm_session.h"

namespace {

std::atomic<FmDebugFunction> g_traceSink{nullptr};

const WCHAR* const kCommandNames[] = {
    u"power on",
    u"power off",
    u"set Mo/St",
    u"set band",
    u"set mute",
    u"set volume",
    u"set rds",
    u"tune",
    u"get rssi",
    u"seek",
    u"set AF",
    u"set stereo blend",
    u"set deemphasis mode",
    u"set rssi search level",
    u"set pause level",
    u"set pause duration",
    u"set RDS/RBDS mode",
    u"get Mo/St",
    u"audio enable",
    u"handle get int",
    u"read rds",
    u"handle AF jump",
    u"handle stereo change",
    u"get current status",
    u"get deemphasis mode",
    u"get mute mode",
    u"get band mode",
    u"get volume",
    u"get rssi search level",
    u"get Mo/St blend",
    u"get AF freq",
    u"handle hw mal",
};
const WCHAR* const kStatusWords[] = {
    u"successed",
    u"failed",
    u"pending",
    u"invalid parameter",
    u"BT not initialized",
    u"failed FM not on",
    u"FM already on",
    u"Seek reached band limit",
    u"Seek stopped",
    u"Seek successed",
    u"Stop seek",
    u"pending update cmd params",
    u"failed already pending",
};
constexpr BYTE kCommandCount = sizeof(kCommandNames) / sizeof(kCommandNames[0]);
constexpr BYTE kStatusCount = sizeof(kStatusWords) / sizeof(kStatusWords[0]);
static_assert(kCommandCount == 32 && kStatusCount == 13, "trace tables");

void CacheUpdate(DWORD id, DWORD value) {
    if (CacheGet(id) != value) CacheSet(id, value);
}

}  // namespace

FmDebugFunction FMSetDebugFunction(FmDebugFunction fn) {
    g_traceSink.store(fn);
    return fn;
}

void FmTrace(const WCHAR* text) {
    FmDebugFunction sink = g_traceSink.load();
    if (sink) sink(text);
}

void FmTraceFormat(size_t bufferUnits, const WCHAR* format, ...) {
    FmDebugFunction sink = g_traceSink.load();
    if (!sink) return;  // nothing is formatted without a sink
    WCHAR text[256] = {};
    if (bufferUnits > 256) bufferUnits = 256;
    va_list args;
    va_start(args, format);
    // Cut to fit; the zero-filled last unit keeps the text terminated.
    _vsnwprintf(text, bufferUnits - 1, format, args);
    va_end(args);
    sink(text);
}

// ---- replies ------------------------------------------------------------------------

void FmSession::ClearReply() { replyReceived.store(0, std::memory_order_relaxed); }

// Release: whoever sees the reply also sees the value the answer cached.
void FmSession::RaiseReply() { replyReceived.store(1, std::memory_order_release); }

// Looks every 5 ms, as the device's library does, rather than waiting on an
// object: between looks the caller's timers are served, which a plain wait
// would hold up for as long as the tuner takes to answer.
bool FmSession::WaitForReply() {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < FM_WAIT_MS) {
        Sleep(FM_REPLY_POLL_MS);
        if (replyReceived.load(std::memory_order_acquire)) break;
        // Keep the caller's timers alive while it waits; nothing else is touched.
        MSG msg;
        if (PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return replyReceived.load(std::memory_order_acquire) != 0;
}

bool FmSession::WaitForPowerOn() { return WaitForSingleObject(powerOnEvent, FM_WAIT_MS) == WAIT_OBJECT_0; }

// ---- command status (event 1) ----------------------------------------------------------

void FmSession::OnFMRadioCommandStatus(BYTE command, BYTE status, DWORD value) {
    switch (command) {
        case FMS_CMD_POWER_ON:
            if (status == FMS_SUCCESSED || status == FMS_FM_ALREADY_ON) SetPowered(true);
            SetEvent(powerOnEvent);
            break;
        case FMS_CMD_POWER_OFF:
            SetPowered(false);
            RaiseReply();
            break;
        case FMS_CMD_SET_BAND:
        case FMS_CMD_GET_RSSI:
            CacheUpdate(FMPROP_RSSI, value);
            RaiseReply();
            break;
        case FMS_CMD_TUNE:
            if (reportNextTune.load(std::memory_order_relaxed)) FrequencyNotification(value, FMFREQ_TUNED);
            else reportNextTune.store(1, std::memory_order_relaxed);
            break;
        case FMS_CMD_SEEK: SeekEnd(status, value); break;
        case FMS_CMD_GET_MOST:
            if (status == FMS_SUCCESSED) CacheSet(FMPROP_MONO_STEREO, value);
            RaiseReply();
            break;
        case FMS_CMD_GET_DEEMPHASIS:
            if (status == FMS_SUCCESSED) CacheSet(FMPROP_DEEMPHASIS, value);
            RaiseReply();
            break;
        case FMS_CMD_GET_MUTE_MODE:
            if (status == FMS_SUCCESSED) {
                const bool alt = g_altMuteCodes.load(std::memory_order_relaxed) != 0;
                const bool muted = alt ? value == 2 : value != 0;
                CacheSet(FMPROP_MUTE, muted ? 1 : 0);
            }
            RaiseReply();
            break;
        case FMS_CMD_GET_RSSI_SEARCH_LEVEL:
            CacheSet(FMPROP_RSSI_SEARCH_LEVEL, status == FMS_SUCCESSED ? value : 0);
            RaiseReply();
            break;
        case FMS_CMD_GET_MOST_BLEND:
            if (status == FMS_SUCCESSED) CacheSet(FMPROP_STEREO_BLEND, value);
            RaiseReply();
            break;
        default: break;
    }

    if (command < kCommandCount && status < kStatusCount) {
        FmTraceFormat(256, u"Status: cmd: %s, status: %s, value: %d .\r\n", kCommandNames[command],
                      kStatusWords[status], static_cast<int>(value));
    } else {
        FmTraceFormat(256, u"Invalid cmd: %d, status: %d, value: %d .\r\n", static_cast<int>(command),
                      static_cast<int>(status), static_cast<int>(value));
    }
}

void FmSession::SeekEnd(BYTE status, DWORD value) {
    if (status != FMS_SEEK_BAND_LIMIT) {
        FrequencyNotification(value, FMFREQ_SEEK_END);
        return;
    }
    if (CacheGet(FMPROP_BAND) == FMBAND_WORLD && value >= FMS_EUROPE_LOW && value <= FMS_JAPAN_HIGH) {
        // The world band is two sub-bands on the chip: a seek that stopped at
        // a sub-band edge inside their overlap goes on in the other one.
        reportNextTune.store(0, std::memory_order_relaxed);
        const DWORD next = chipBand.load(std::memory_order_relaxed) == 1 ? 0 : 1;
        SetChipBand(next);
        api.FM_Tune(platformSession, value);
        api.FM_Seek(platformSession, 0, next == 0 ? 1 : 0);
        return;
    }
    FrequencyNotification(value, FMFREQ_BAND_LIMIT);
}

void FmSession::OnFMRadioStereoModeChanged(BYTE mode) {
    FmTraceFormat(256, u"OnFMRadioStereoModeChanged %d\r\n", static_cast<int>(mode));
}
