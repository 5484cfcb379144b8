// Drives libFMS_API.so through its entry points alone, as the FM library
// does, and records every event it delivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fms_api.h"
#include "fmsim_control.h"
#include "test_support.h"
#include "windows.h"

namespace tunertest {

struct Seen {
    FmPlatformEvent event{};
    std::vector<uint8_t> bytes;  // event 8: the bytes it pointed at
};

class Recorder {
public:
    static Recorder& get() {
        static Recorder r;
        return r;
    }
    static DWORD event_function(FmPlatformEvent* e) {
        Seen s;
        s.event = *e;
        if (e->code == FMS_EVENT_RDS_DATA && e->payload.rds.count && e->payload.rds.data) {
            const auto* p = reinterpret_cast<const uint8_t*>(e->payload.rds.data);
            s.bytes.assign(p, p + e->payload.rds.count);
        }
        auto& r = get();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.events.push_back(std::move(s));
        if (r.hook) r.hook(*e);
        r.cv.notify_all();
        return 0;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
        consumed = 0;
    }
    // The next event matching pred (after those already consumed by this
    // call), within a generous real-time bound.
    std::optional<Seen> wait(const std::function<bool(const Seen&)>& pred, int real_ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
        for (;;) {
            for (size_t i = consumed; i < events.size(); i++) {
                if (pred(events[i])) {
                    consumed = i + 1;
                    return events[i];
                }
            }
            if (cv.wait_until(lock, deadline) == std::cv_status::timeout) return std::nullopt;
        }
    }
    std::vector<Seen> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Seen> events;
    size_t consumed = 0;
    std::function<void(const FmPlatformEvent&)> hook;  // runs on the event thread
};

// The entry points and the test interface, bound by name.
struct Api {
#define TUNERTEST_PFN(name, params, args) PFN_##name name = nullptr;
    FMS_API_ENTRY_POINTS(TUNERTEST_PFN)
#undef TUNERTEST_PFN
    PFN_FMSIM_SetRdsPieces SetRdsPieces = nullptr;
    PFN_FMSIM_SetReportPeriod SetReportPeriod = nullptr;
    PFN_FMSIM_Reset Reset = nullptr;

    HMODULE module = nullptr;

    // By name, as the FM library loads it: the program's ../lib has it.
    bool load(const char16_t* name = u"FMS_API.dll") {
        module = LoadLibraryW(name);
        if (!module) return false;
        bool ok = true;
#define TUNERTEST_BIND(name, params, args)                \
    name = reinterpret_cast<PFN_##name>(proc(u"" #name)); \
    ok = ok && name;
        FMS_API_ENTRY_POINTS(TUNERTEST_BIND)
#undef TUNERTEST_BIND
#define TUNERTEST_SIM(name)                                           \
    name = reinterpret_cast<PFN_FMSIM_##name>(proc(u"FMSIM_" #name)); \
    ok = ok && name;
        TUNERTEST_SIM(SetRdsPieces)
        TUNERTEST_SIM(SetReportPeriod)
        TUNERTEST_SIM(Reset)
#undef TUNERTEST_SIM
        return ok;
    }
    void unload() {
        if (module) FreeLibrary(module);
        module = nullptr;
    }
    void* proc(const char16_t* name) { return reinterpret_cast<void*>(GetProcAddressW(module, name)); }
};

inline bool is_answer(const Seen& s, uint8_t command) {
    return s.event.code == FMS_EVENT_COMMAND_STATUS && s.event.payload.status.command == command;
}

}  // namespace tunertest
