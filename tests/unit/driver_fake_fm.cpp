#include "driver_fake_fm.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace fakefm {
namespace {

struct Record {
    FmNotification n{};
    std::vector<FmRdsGroup> groups;
};

struct State {
    std::mutex mutex;
    std::vector<Call> calls;
    std::deque<Record> queue;
    Record current;  // handed out until the next FMGetNotification
    HANDLE event = nullptr;
    bool open = false;
    bool no_radio = false;
    DWORD rssi = 0;
    bool rssi_ok = true;
    std::function<void()> rssi_hook;
    DWORD power_state = 1;
    bool auto_answer = false;
    DWORD seek_step = 1000;
    DWORD band = 0;
    DWORD frequency = 87500;
};

State& s() {
    static State state;
    return state;
}

int session_token;
HANDLE session() { return &session_token; }

void record(const char* name, DWORD a = 0, DWORD b = 0) { s().calls.push_back({name, a, b}); }

void queue_locked(Record r, bool set_event) {
    if (r.n.kind == FMNOTIFY_FREQUENCY) s().queue.clear();  // the old station's records go
    s().queue.push_back(std::move(r));
    if (set_event && s().event) SetEvent(s().event);
}

// A band the library does not know is taken as the world band.
void band_edges(DWORD band, DWORD& low, DWORD& high) {
    const FmBandEdges& edges = FM_BAND_EDGES[band < FMBAND_COUNT ? band : FMBAND_WORLD];
    low = edges.low;
    high = edges.high;
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> lock(s().mutex);
    s().calls.clear();
    s().queue.clear();
    s().current = Record{};
    s().event = nullptr;
    s().open = false;
    s().no_radio = false;
    s().rssi = 0;
    s().rssi_ok = true;
    s().rssi_hook = nullptr;
    s().power_state = 1;
    s().auto_answer = false;
    s().seek_step = 1000;
    s().band = 0;
    s().frequency = 87500;
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(s().mutex);
    return s().calls;
}

void clear_calls() {
    std::lock_guard<std::mutex> lock(s().mutex);
    s().calls.clear();
}

int count(const std::string& name) {
    int n = 0;
    for (const auto& c : calls()) n += c.name == name;
    return n;
}

std::vector<DWORD> set_values(DWORD id) {
    std::vector<DWORD> v;
    for (const auto& c : calls())
        if (c.name == "FMSetProp" && c.a == id) v.push_back(c.b);
    return v;
}

std::vector<DWORD> seeks() {
    std::vector<DWORD> v;
    for (const auto& c : calls())
        if (c.name == "FMSeek") v.push_back(c.a);
    return v;
}

void set_no_radio(bool none) {
    std::lock_guard<std::mutex> l(s().mutex);
    s().no_radio = none;
}
void on_rssi_query(std::function<void()> hook) {
    std::lock_guard<std::mutex> l(s().mutex);
    s().rssi_hook = std::move(hook);
}
void set_rssi(DWORD value, bool ok) {
    std::lock_guard<std::mutex> l(s().mutex);
    s().rssi = value;
    s().rssi_ok = ok;
}
void set_power_state(DWORD state) {
    std::lock_guard<std::mutex> l(s().mutex);
    s().power_state = state;
}
void set_auto_answer(bool on, DWORD seek_step) {
    std::lock_guard<std::mutex> l(s().mutex);
    s().auto_answer = on;
    s().seek_step = seek_step;
}

void push_frequency(DWORD khz, bool set_event) {
    std::lock_guard<std::mutex> lock(s().mutex);
    Record r;
    r.n.kind = FMNOTIFY_FREQUENCY;
    r.n.tick = GetTickCount();
    r.n.value = khz;
    r.n.data = FMFREQ_TUNED;
    s().frequency = khz;
    queue_locked(std::move(r), set_event);
}

void push_rds(const std::vector<FmRdsGroup>& groups, bool set_event) {
    std::lock_guard<std::mutex> lock(s().mutex);
    Record r;
    r.n.kind = FMNOTIFY_RDS;
    r.n.tick = GetTickCount();
    r.n.value = static_cast<DWORD>(groups.size());
    r.groups = groups;
    queue_locked(std::move(r), set_event);
}

size_t queued() {
    std::lock_guard<std::mutex> lock(s().mutex);
    return s().queue.size();
}

HANDLE registered_event() {
    std::lock_guard<std::mutex> lock(s().mutex);
    return s().event;
}

FmRdsGroup group(WORD a, WORD b, WORD c, WORD d, DWORD errors) {
    FmRdsGroup g{};
    g.size = 16;
    g.blockA = a;
    g.blockB = b;
    g.blockC = c;
    g.blockD = d;
    g.errorFlags = errors;
    return g;
}

}  // namespace fakefm

using fakefm::s;

extern "C" {

DWORD FMGetNumDevs() {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMGetNumDevs");
    return 1;
}

DWORD FMGetDevInfo(DWORD device, FmDevInfo*) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMGetDevInfo", device);
    return ERROR_INVALID_PARAMETER;
}

HANDLE FMOpen(DWORD device) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMOpen", device);
    if (s().no_radio || device != 0 || s().open) return nullptr;
    s().open = true;
    return fakefm::session();
}

DWORD FMPowerOn(HANDLE h, DWORD on, DWORD band) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMPowerOn", on, band);
    if (h != fakefm::session()) return ERROR_INVALID_PARAMETER;
    if (on) s().band = band;
    return 0;
}

DWORD FMSeek(HANDLE h, DWORD direction) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMSeek", direction);
    if (h != fakefm::session()) return ERROR_INVALID_PARAMETER;
    if (s().auto_answer) {
        DWORD low, high;
        fakefm::band_edges(s().band, low, high);
        DWORD f = s().frequency;
        f = direction == FMSEEK_UP ? std::min(high, f + s().seek_step) : std::max(low, f - s().seek_step);
        s().frequency = f;
        fakefm::Record r;
        r.n.kind = FMNOTIFY_FREQUENCY;
        r.n.value = f;
        r.n.data = FMFREQ_SEEK_END;
        fakefm::queue_locked(std::move(r), true);
    }
    return 0;
}

DWORD FMGetProp(HANDLE h, DWORD id, DWORD* value) {
    if (id == FMPROP_RSSI) {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(s().mutex);
            hook = s().rssi_hook;
        }
        if (hook) hook();
    }
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMGetProp", id);
    if (h != fakefm::session() || !value) return ERROR_INVALID_PARAMETER;
    if (id == FMPROP_RSSI) {
        if (!s().rssi_ok) return ERROR_GEN_FAILURE;
        *value = s().rssi;
        return 0;
    }
    if (id == FMPROP_POWER_STATE) {
        *value = s().power_state;
        return 0;
    }
    if (id == FMPROP_FREQUENCY) {
        *value = s().frequency;
        return 0;
    }
    return ERROR_NOT_SUPPORTED;
}

DWORD FMSetProp(HANDLE h, DWORD id, DWORD value) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMSetProp", id, value);
    if (h != fakefm::session()) return ERROR_INVALID_PARAMETER;
    if (id == FMPROP_FREQUENCY) {
        DWORD low, high;
        fakefm::band_edges(s().band, low, high);
        if (value < low || value > high) return ERROR_INVALID_PARAMETER;
        if (s().auto_answer) {
            s().frequency = value;
            fakefm::Record r;
            r.n.kind = FMNOTIFY_FREQUENCY;
            r.n.value = value;
            fakefm::queue_locked(std::move(r), true);
        }
    }
    return 0;
}

DWORD FMRegisterEvent(HANDLE h, HANDLE event) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMRegisterEvent");
    if (h != fakefm::session()) return ERROR_INVALID_PARAMETER;
    s().event = event;
    return 0;
}

DWORD FMRegisterNotification(HANDLE h, HWND, UINT) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMRegisterNotification");
    return h == fakefm::session() ? 0 : ERROR_INVALID_PARAMETER;
}

DWORD FMGetNotification(HANDLE h, FmNotification** out) {
    std::lock_guard<std::mutex> lock(s().mutex);
    if (h != fakefm::session() || !out) return ERROR_INVALID_PARAMETER;
    // The record handed out last time is released now: scribble over it so a
    // driver that kept it would be caught.
    for (auto& g : s().current.groups) g = fakefm::group(0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD, 0xFFFF);
    s().current = fakefm::Record{};
    if (s().queue.empty()) {
        *out = nullptr;
        return 0;
    }
    s().current = std::move(s().queue.front());
    s().queue.pop_front();
    s().current.n.data = s().current.n.kind == FMNOTIFY_RDS ? reinterpret_cast<ULONG_PTR>(s().current.groups.data())
                                                            : s().current.n.data;
    *out = &s().current.n;
    return 0;
}

DWORD FMClose(HANDLE h) {
    std::lock_guard<std::mutex> lock(s().mutex);
    fakefm::record("FMClose");
    if (h != fakefm::session()) return ERROR_INVALID_PARAMETER;
    s().open = false;
    s().event = nullptr;
    return 0;
}

FmDebugFunction FMSetDebugFunction(FmDebugFunction fn) { return fn; }

}  // extern "C"
