// The simulated tuner chip: state, request processing, answers, RDS pacing.
#include "chip.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "ce_platform.h"
#include "kobject.h"

namespace fmsim {

namespace {

// 104 bits a group at 1187.5 bit/s.
constexpr double kGroupMs = 104.0 * 1000.0 / 1187.5;
constexpr uint32_t kNoiseRssi = 2;
constexpr uint32_t kStereoRssi = 20;
constexpr uint32_t kSeekStep = 100;  // kHz a seek sweeps per step
constexpr DWORD kSeekStepMs = 10;    // platform ms per step: about 2 s across a sub-band
constexpr DWORD kSignalMs = 100;     // how often a real signal's pilot is looked at

// A chip reports its frequency on its own (event 5) only when it changes by
// itself, which the simulated one never does: off by default, since every
// report restarts the FM library's reassembly and makes the driver send a
// frequency frame nobody asked for. FMSIM_REPORT_MS sets a period for a whole
// process, for tests of what a report does.
DWORD default_report_period() {
    if (const char* env = std::getenv("FMSIM_REPORT_MS"); env && *env) {
        char* end = nullptr;
        unsigned long ms = std::strtoul(env, &end, 10);
        if (end && *end == 0 && ms <= 0xFFFFFFFFul) return static_cast<DWORD>(ms);
    }
    return 0;
}

uint32_t band_low(uint8_t band) { return band == FMS_CHIP_BAND_JAPAN ? FMS_JAPAN_LOW : FMS_EUROPE_LOW; }
uint32_t band_high(uint8_t band) { return band == FMS_CHIP_BAND_JAPAN ? FMS_JAPAN_HIGH : FMS_EUROPE_HIGH; }

// FMSIM_TRACE_FILE names a file that receives, for every group, the moment
// the piece completing it was handed over (CLOCK_MONOTONIC, shared by every
// process of the machine), so that a benchmark in another process can time
// the group's way to a client. Appended to; nothing is written without it.
int open_trace_file() {
    const char* path = std::getenv("FMSIM_TRACE_FILE");
    if (!path || !*path) return -1;
    return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

}  // namespace

Chip::Chip() : trace_fd_(open_trace_file()), report_period_(default_report_period()) {}

Chip& Chip::instance() {
    static Chip chip;
    return chip;
}

Chip::~Chip() {
    std::unique_lock<std::mutex> lock(mutex_);
    stop_thread(lock);
    if (trace_fd_ >= 0) ::close(trace_fd_);
}

// ---- scheduling ---------------------------------------------------------------

Chip::Clock::time_point Chip::after(DWORD min_ms, DWORD max_ms) {
    DWORD ms = min_ms;
    if (max_ms > min_ms) ms = std::uniform_int_distribution<DWORD>(min_ms, max_ms)(rng_);
    return Clock::now() + std::chrono::microseconds(ce::platform_ms_to_real_us(ms));
}

void Chip::schedule(Clock::time_point due, Action action) {
    queue_.emplace(std::make_pair(due, seq_++), std::move(action));
    cv_.notify_all();
}

void Chip::request(DWORD min_ms, DWORD max_ms, Action action) {
    Clock::time_point due = after(min_ms, max_ms);
    Clock::time_point now = Clock::now();
    if (busy_until_ > now) due = busy_until_ + (due - now);
    busy_until_ = due;
    schedule(due, std::move(action));
}

Chip::OutEvent Chip::status_event(uint8_t command, uint8_t status, DWORD value) {
    OutEvent e;
    e.event.code = FMS_EVENT_COMMAND_STATUS;
    e.event.payload.status.command = command;
    e.event.payload.status.status = status;
    e.event.payload.status.value = value;
    return e;
}

void Chip::answer(Out& out, uint8_t command, uint8_t status, DWORD value) {
    out.push_back(status_event(command, status, value));
}

// ---- the event thread -----------------------------------------------------------

void Chip::stop_thread(std::unique_lock<std::mutex>& lock) {
    if (!thread_.joinable()) return;
    running_ = false;
    cv_.notify_all();
    if (std::this_thread::get_id() == thread_id_) {
        // Destroyed from inside its own event function: the thread ends when
        // that call returns.
        thread_.detach();
        return;
    }
    std::thread t = std::move(thread_);
    lock.unlock();
    t.join();
    lock.lock();
}

bool Chip::rds_flowing() const { return powered_ && rds_on_ && !seek_.active && tuned_.source && !rds_dry_; }

std::optional<Chip::Clock::time_point> Chip::next_wake() const {
    // Nothing due: sleep until a request, a fault or the end wakes the thread
    // (every one of them notifies), so that an idle radio costs nothing.
    std::optional<Clock::time_point> wake;
    auto earliest = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
    if (!queue_.empty()) earliest(queue_.begin()->first.first);
    if (rds_flowing() && rds_due_ != Clock::time_point{}) earliest(rds_due_);
    if (powered_ && report_period_ && next_report_ != Clock::time_point{}) earliest(next_report_);
    if (next_signal_ != Clock::time_point{}) earliest(next_signal_);
    if (scan_) earliest(Clock::now());
    return wake;
}

void Chip::run() {
    pthread_setname_np(pthread_self(), "fmsim-event");
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
        Clock::time_point now = Clock::now();
        Out out;
        while (!queue_.empty() && queue_.begin()->first.first <= now) {
            Action action = std::move(queue_.begin()->second);
            queue_.erase(queue_.begin());
            action(out);
        }
        scan_turn(lock, out);
        rds_tick(now, out);
        report_tick(now, out);
        signal_tick(now, out);
        if (out.empty()) {
            if (auto wake = next_wake()) cv_.wait_until(lock, *wake);
            else cv_.wait(lock);
            continue;
        }
        FMS_EVENT_FUNCTION fn = callback_;
        lock.unlock();
        for (auto& e : out) {
            if (e.event.code == FMS_EVENT_RDS_DATA && !e.bytes.empty())
                e.event.payload.rds.data = reinterpret_cast<ULONG_PTR>(e.bytes.data());
            Clock::time_point handed_over = Clock::now();
            if (fn) fn(&e.event);
            if (!e.completed.empty()) write_trace(e, handed_over);
        }
        lock.lock();
    }
}

// ---- RDS and reports -----------------------------------------------------------

// A chip hands over each group when its last block has arrived: one group
// every 104 bit times, never several at once. A group may come in pieces,
// handed over one after the other at its time (one wake-up a group); a piece
// never reaches into the next group.
void Chip::rds_tick(Clock::time_point now, Out& out) {
    rds_due_ = {};
    if (!rds_flowing()) {
        next_group_ = {};
        return;
    }
    auto interval = std::chrono::nanoseconds(static_cast<int64_t>(std::llround(kGroupMs * 1e6 * ce::time_scale())));
    if (interval.count() <= 0) interval = std::chrono::nanoseconds(1);
    if (next_group_ == Clock::time_point{}) next_group_ = now + interval;
    // A stall of the thread is caught up, within bounds: a long one is dropped
    // as a real receiver would lose those groups.
    if (now - next_group_ > std::chrono::milliseconds(500)) next_group_ = now;
    for (int produced = 0; produced < 256; produced++) {
        if (group_bytes_.empty()) {
            RdsGroup g;
            RdsSource::Take got = tuned_.source->take(g);
            if (got == RdsSource::Take::None) {
                rds_dry_ = true;
                return;
            }
            if (got == RdsSource::Take::NotYet) {
                // Real signal decoded at its own pace: nothing at this slot
                // yet means it stays empty, as a chip hands over no group it
                // has not received.
                if (next_group_ > now) {
                    rds_due_ = next_group_;
                    return;
                }
                next_group_ += interval;
                continue;
            }
            append_packed(g, group_bytes_);
            group_handed_ = 0;
            group_trace_ = {++groups_sent_, g};
        }
        if (next_group_ > now) {
            rds_due_ = next_group_;
            return;
        }
        while (group_handed_ < group_bytes_.size()) {
            if (piece_len_ == 0) piece_len_ = std::uniform_int_distribution<DWORD>(piece_min_, piece_max_)(rng_);
            size_t end = std::min(group_handed_ + piece_len_, group_bytes_.size());
            OutEvent e;
            e.event.code = FMS_EVENT_RDS_DATA;
            e.event.payload.rds.count = static_cast<WORD>(end - group_handed_);
            e.bytes.assign(group_bytes_.begin() + static_cast<ptrdiff_t>(group_handed_),
                           group_bytes_.begin() + static_cast<ptrdiff_t>(end));
            if (trace_fd_ >= 0 && end == group_bytes_.size()) e.completed.push_back(group_trace_);
            out.push_back(std::move(e));
            group_handed_ = end;
            piece_len_ = 0;  // the rest of a piece cut at the group's end is not carried over
        }
        group_bytes_.clear();
        next_group_ += interval;
    }
    rds_due_ = now;  // a long catch-up goes on at the next turn
}

void Chip::clear_rds_stream() {
    group_bytes_.clear();
    group_handed_ = 0;
    piece_len_ = 0;
    next_group_ = rds_due_ = {};
}

void Chip::write_trace(const OutEvent& e, Clock::time_point handed_over) {
    // "<monotonic ns> <group number> <A> <B> <C> <D> <bad blocks>", one line a
    // group; one write a piece, so that lines never interleave.
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(handed_over.time_since_epoch()).count();
    std::string text;
    char line[96];
    for (const auto& t : e.completed) {
        int n = std::snprintf(line, sizeof line, "%lld %u %04X %04X %04X %04X %u\n", ns, t.seq, t.group.block[0],
                              t.group.block[1], t.group.block[2], t.group.block[3], t.group.bad);
        if (n > 0) text.append(line, static_cast<size_t>(n));
    }
    ssize_t w = ::write(trace_fd_, text.data(), text.size());
    (void)w;
}

void Chip::report_tick(Clock::time_point now, Out& out) {
    if (!powered_ || report_period_ == 0 || seek_.active) {
        next_report_ = {};
        return;
    }
    auto period = std::chrono::microseconds(ce::platform_ms_to_real_us(report_period_));
    if (next_report_ == Clock::time_point{}) {
        next_report_ = now + period;
        return;
    }
    if (now < next_report_) return;
    next_report_ = now + period;
    OutEvent e;
    e.event.code = FMS_EVENT_FREQUENCY_REPORT;
    e.event.payload.report.frequency = frequency_;
    out.push_back(e);
}

void Chip::signal_tick(Clock::time_point now, Out& out) {
    if (!powered_ || seek_.active || !tuned_.source || !tuned_.source->stereo()) {
        next_signal_ = {};
        return;
    }
    if (next_signal_ != Clock::time_point{} && now < next_signal_) return;
    next_signal_ = now + std::chrono::microseconds(ce::platform_ms_to_real_us(kSignalMs));
    update_stereo(out);
}

// One window of a seek over the dongle, measured with the lock released so
// that requests keep coming in; a stop or a tune meanwhile ends the seek and
// the window's result is dropped.
void Chip::scan_turn(std::unique_lock<std::mutex>& lock, Out& out) {
    if (!scan_) return;
    if (!powered_ || !seek_.active || !band_air_) {
        scan_.reset();
        return;
    }
    std::shared_ptr<BandAir> air = band_air_;
    BandAir::Scan scan = *scan_;
    uint64_t generation = seek_.generation;
    lock.unlock();
    air->scan_step(scan);
    lock.lock();
    if (!scan_ || !seek_.active || seek_.generation != generation) return;
    *scan_ = scan;
    if (!scan.done) return;
    scan_.reset();
    if (scan.found) end_seek(out, FMS_SEEK_SUCCESSED, *scan.found);
    else end_seek(out, FMS_SEEK_BAND_LIMIT, seek_.to);
}

// ---- chip state -------------------------------------------------------------------

uint32_t Chip::rssi_now() const {
    if (!powered_ || seek_.active || !tuned_.station) return kNoiseRssi;
    if (tuned_.source)
        if (auto measured = tuned_.source->rssi()) return std::min(*measured, kMaxRssi);
    return tuned_.station->rssi;
}

void Chip::update_stereo(Out& out) {
    bool pilot = tuned_.station && tuned_.station->rssi >= kStereoRssi;
    if (tuned_.source)
        if (auto measured = tuned_.source->stereo()) pilot = *measured;
    bool stereo = powered_ && !seek_.active && most_ == 0 && tuned_.station && pilot;
    if (stereo == stereo_) return;
    stereo_ = stereo;
    OutEvent e;
    e.event.code = FMS_EVENT_STEREO_MODE;
    e.event.payload.stereoMode = stereo ? 1 : 0;
    // The pilot is detected a moment after the tune settles.
    schedule(after(20, 40), [e](Out& o) { o.push_back(e); });
}

void Chip::refresh_band() {
    std::string value = read_band_value();
    if (value == band_value_ && (band_air_ || value.empty())) return;
    // The old band's dongle is let go before a new one is opened.
    tuned_ = Tuned{};
    scan_.reset();
    band_air_.reset();
    band_value_ = value;
    if (value.empty()) return;
    BandPlan band;
    std::string error;
    if (!parse_band(value, band, &error) || !(band_air_ = BandAir::open(band, &error)))
        std::fprintf(stderr, "FMS_API: the band cannot be received: %s\n", error.c_str());
}

void Chip::tune_to(Out& out, uint32_t frequency) {
    frequency_ = frequency;
    tuned_ = Tuned{};
    clear_rds_stream();
    rds_dry_ = false;
    refresh_band();
    if (!band_value_.empty()) {
        // A band set is the air, heard or not: the stations wait.
        if (band_air_) {
            Station st{frequency, band_air_->live() ? kNoiseRssi : band_air_->strength(frequency), ""};
            if (st.rssi > 0 && (tuned_.source = band_air_->tune(frequency))) tuned_.station = st;
        }
    } else if (auto st = read_station(frequency); st && st->rssi > 0) {
        tuned_.station = st;
        StationSource wanted;
        if (parse_source(st->source, wanted)) tuned_.source = make_source(wanted, frequency ^ session_counter_);
    }
    update_stereo(out);
}

uint32_t Chip::seek_position(Clock::time_point now) const {
    if (!seek_.active) return frequency_;
    if (scan_) return scan_->reached ? scan_->reached : seek_.from;
    double span = std::chrono::duration<double>(seek_.end - seek_.start).count();
    double done = span <= 0 ? 1.0 : std::chrono::duration<double>(now - seek_.start).count() / span;
    done = std::clamp(done, 0.0, 1.0);
    uint32_t distance = seek_.to > seek_.from ? seek_.to - seek_.from : seek_.from - seek_.to;
    uint32_t swept = static_cast<uint32_t>(distance * done) / kSeekStep * kSeekStep;
    return seek_.to > seek_.from ? seek_.from + swept : seek_.from - swept;
}

void Chip::end_seek(Out& out, uint8_t status, uint32_t frequency) {
    // A stopped seek frees the chip for what comes next at once.
    busy_until_ = std::min(busy_until_, Clock::now());
    seek_.active = false;
    seek_.generation++;
    seek_requested_ = false;
    scan_.reset();
    tune_to(out, frequency);
    answer(out, FMS_CMD_SEEK, status, frequency);
}

void Chip::reset_radio_settings() {
    // What the receiver's registers hold after it powers up; audio routing
    // and volume live outside it and keep their values.
    most_ = 0;
    mute_code_ = 0;
    muted_ = false;
    deemphasis_ = 0;
    search_level_ = 8;
    blend_ = 0;
    af_ = 0;
    rds_rbds_ = 0;
    pause_level_ = 0;
    pause_duration_ = 0;
    audio_enable_ = 1;
}

// ---- entry points -----------------------------------------------------------------

DWORD Chip::init() {
    std::lock_guard<std::mutex> lock(mutex_);
    inited_ = true;
    return FMS_SUCCESSED;
}

DWORD Chip::deinit() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (session_) {
        stop_thread(lock);
        session_ = 0;
        callback_ = nullptr;
    }
    inited_ = false;
    return FMS_SUCCESSED;
}

DWORD Chip::create(DWORD* creation_word, FMS_EVENT_FUNCTION fn, DWORD* session) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!inited_) return FMS_BT_NOT_INITIALIZED;
    if (!fn || !session) return FMS_INVALID_PARAMETER;
    if (session_) return FMS_FAILED;  // one session at a time, as one radio
    stop_thread(lock);                // a thread left from a destroy on itself
    session_counter_++;
    session_ = 0x46D00000u | (session_counter_ & 0xFFFF);
    callback_ = fn;
    // A fresh session meets a chip that is off.
    power_target_ = powered_ = false;
    band_ = FMS_CHIP_BAND_EUROPE;
    frequency_ = band_low(band_);
    tuned_ = Tuned{};
    scan_.reset();
    next_signal_ = {};
    stereo_ = false;
    rds_on_ = false;
    seek_ = Seek{};
    seek_requested_ = false;
    queue_.clear();
    busy_until_ = {};
    clear_rds_stream();
    next_report_ = {};
    rng_.seed(0x7E5 + session_counter_);
    reset_radio_settings();
    audio_path_ = 1;
    volume_ = 0x7FFF;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    thread_id_ = thread_.get_id();
    *session = session_;
    (void)creation_word;  // the device's library keeps its own use of it
    return FMS_SUCCESSED;
}

DWORD Chip::destroy(DWORD session) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    stop_thread(lock);
    session_ = 0;
    callback_ = nullptr;
    queue_.clear();
    power_target_ = powered_ = false;
    tuned_ = Tuned{};
    scan_.reset();
    band_air_.reset();  // the dongle is free for others
    band_value_.clear();
    return FMS_SUCCESSED;
}

DWORD Chip::get_current_status(DWORD session, DWORD* words) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session) || !words) return FMS_INVALID_PARAMETER;
    words[0] = powered_ ? frequency_ : 0;
    words[1] = powered_ ? 1 : 0;
    words[2] = audio_path_;
    return FMS_SUCCESSED;
}

DWORD Chip::enable(DWORD session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    power_target_ = true;
    request(80, 120, [this](Out& out) {
        if (powered_) {
            answer(out, FMS_CMD_POWER_ON, FMS_FM_ALREADY_ON, 0);
            return;
        }
        powered_ = true;
        band_ = FMS_CHIP_BAND_EUROPE;
        rds_on_ = false;
        reset_radio_settings();
        tune_to(out, band_low(band_));
        answer(out, FMS_CMD_POWER_ON, FMS_SUCCESSED, 0);
    });
    return FMS_PENDING;
}

DWORD Chip::disable(DWORD session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    power_target_ = false;
    seek_requested_ = false;
    request(30, 50, [this](Out& out) {
        if (!powered_) {
            answer(out, FMS_CMD_POWER_OFF, FMS_FAILED_FM_NOT_ON, 0);
            return;
        }
        powered_ = false;
        rds_on_ = false;
        seek_.active = false;
        seek_.generation++;
        scan_.reset();
        tuned_ = Tuned{};
        clear_rds_stream();
        update_stereo(out);
        answer(out, FMS_CMD_POWER_OFF, FMS_SUCCESSED, 0);
    });
    return FMS_PENDING;
}

DWORD Chip::set_band(DWORD session, BYTE band) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    if (band > FMS_CHIP_BAND_JAPAN) return FMS_INVALID_PARAMETER;
    // The band takes effect at once, so that a tune right after it is
    // checked against it.
    band_ = band;
    request(20, 40, [this](Out& out) {
        if (frequency_ < band_low(band_) || frequency_ > band_high(band_))
            tune_to(out, std::clamp(frequency_, band_low(band_), band_high(band_)));
        // The chip reports its signal strength with the band change.
        answer(out, FMS_CMD_SET_BAND, FMS_SUCCESSED, rssi_now());
    });
    return FMS_PENDING;
}

DWORD Chip::tune(DWORD session, DWORD frequency) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    if (frequency < band_low(band_) || frequency > band_high(band_)) return FMS_INVALID_PARAMETER;
    seek_requested_ = false;
    request(40, 70, [this, frequency](Out& out) {
        if (seek_.active) end_seek(out, FMS_SEEK_STOPPED, seek_position(Clock::now()));
        tune_to(out, frequency);
        answer(out, FMS_CMD_TUNE, FMS_SUCCESSED, frequency);
    });
    return FMS_PENDING;
}

DWORD Chip::seek(DWORD session, DWORD stop, DWORD upwards) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    if (stop) {
        // A stop does not queue behind the running seek: it ends it, or the
        // one asked for that has not begun to sweep.
        bool requested = seek_requested_;
        seek_requested_ = false;
        schedule(after(10, 20), [this, requested](Out& out) {
            if (seek_.active) end_seek(out, FMS_SEEK_STOPPED, seek_position(Clock::now()));
            else if (requested) answer(out, FMS_CMD_SEEK, FMS_SEEK_STOPPED, frequency_);
            else answer(out, FMS_CMD_SEEK, FMS_STOP_SEEK, frequency_);
        });
        return FMS_PENDING;
    }
    if (seek_requested_ || seek_.active) return FMS_FAILED_ALREADY_PENDING;
    seek_requested_ = true;
    bool up = upwards != 0;
    request(20, 30, [this, up](Out& out) {
        if (!seek_requested_ || !powered_) return;  // stopped or switched off meanwhile
        uint32_t lo = band_low(band_), hi = band_high(band_);
        uint32_t from = std::clamp(frequency_, lo, hi);
        // The next station at or above the search level, strictly beyond the
        // current frequency, within the chip band; else the band edge.
        uint32_t to = up ? hi : lo;
        uint8_t status = FMS_SEEK_BAND_LIMIT;
        tuned_ = Tuned{};
        refresh_band();
        if (band_air_ && band_air_->live()) {
            // The dongle is stepped over the band a window at a time
            // (scan_turn) and the seek ends where it finds a channel.
            clear_rds_stream();
            seek_ = Seek{true, up, from, to, status, Clock::now(), Clock::now(), seek_.generation + 1};
            scan_ = BandAir::Scan{};
            scan_->from = from;
            scan_->lo = lo;
            scan_->hi = hi;
            scan_->up = up;
            scan_->level = search_level_;
            update_stereo(out);
            // Requests wait as for a sweep to the band edge; end_seek frees
            // the chip as soon as the scan ends.
            uint32_t steps = (to > from ? to - from : from - to) / kSeekStep;
            seek_.end = seek_.start + std::chrono::microseconds(ce::platform_ms_to_real_us(30 + steps * kSeekStepMs));
            busy_until_ = std::max(busy_until_, seek_.end);
            cv_.notify_all();
            return;
        }
        std::vector<Station> candidates;
        if (band_air_) candidates = band_air_->stations();
        else if (band_value_.empty()) candidates = read_air();
        for (const auto& st : candidates) {
            if (st.rssi < search_level_ || st.rssi == 0 || st.frequency < lo || st.frequency > hi) continue;
            if (up && st.frequency > from && st.frequency <= to) {
                to = st.frequency;
                status = FMS_SEEK_SUCCESSED;
            } else if (!up && st.frequency < from && st.frequency >= to) {
                to = st.frequency;
                status = FMS_SEEK_SUCCESSED;
            }
        }
        tuned_ = Tuned{};
        clear_rds_stream();
        seek_.active = true;
        seek_.upwards = up;
        seek_.from = from;
        seek_.to = to;
        seek_.status = status;
        seek_.start = Clock::now();
        uint32_t steps = (to > from ? to - from : from - to) / kSeekStep;
        seek_.end = seek_.start + std::chrono::microseconds(ce::platform_ms_to_real_us(30 + steps * kSeekStepMs));
        uint64_t generation = ++seek_.generation;
        update_stereo(out);
        busy_until_ = std::max(busy_until_, seek_.end);
        schedule(seek_.end, [this, generation](Out& o) {
            if (!seek_.active || seek_.generation != generation) return;
            end_seek(o, seek_.status, seek_.to);
        });
    });
    return FMS_PENDING;
}

DWORD Chip::get_rssi(DWORD session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    request(20, 40, [this](Out& out) { answer(out, FMS_CMD_GET_RSSI, FMS_SUCCESSED, rssi_now()); });
    return FMS_PENDING;
}

DWORD Chip::get_current_freq(DWORD session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    // There is no status for it: the chip answers with a frequency report.
    request(10, 20, [this](Out& out) {
        OutEvent e;
        e.event.code = FMS_EVENT_FREQUENCY_REPORT;
        e.event.payload.report.frequency = frequency_;
        out.push_back(e);
    });
    return FMS_PENDING;
}

DWORD Chip::set_rds(DWORD session, DWORD on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    request(20, 40, [this, on](Out& out) {
        bool was = rds_on_;
        rds_on_ = on != 0;
        if (!was && rds_on_) {
            clear_rds_stream();
        }
        answer(out, FMS_CMD_SET_RDS, FMS_SUCCESSED, on ? 1 : 0);
    });
    return FMS_PENDING;
}

DWORD Chip::set_audio_path(DWORD session, DWORD path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (path > 1) return FMS_INVALID_PARAMETER;
    // A switch in the audio routing: done at once, powered or not.
    audio_path_ = path;
    return FMS_SUCCESSED;
}

DWORD Chip::set_volume(DWORD session, SHORT volume) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    DWORD v = static_cast<uint16_t>(volume);
    volume_ = v;
    request(10, 20, [this, v](Out& out) { answer(out, FMS_CMD_SET_VOLUME, FMS_SUCCESSED, v); });
    return FMS_PENDING;
}

DWORD Chip::set_most(DWORD session, DWORD mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    if (mode > 1) return FMS_INVALID_PARAMETER;
    request(20, 40, [this, mode](Out& out) {
        most_ = mode;  // 1 forces mono
        update_stereo(out);
        answer(out, FMS_CMD_SET_MOST, FMS_SUCCESSED, mode);
    });
    return FMS_PENDING;
}

// The device family from the OEM text, as the FM library tells it.
static bool alt_mute_family() {
    WCHAR oem[128] = {};
    if (!SystemParametersInfoW(SPI_GETOEMINFO, 127, oem, 0)) return false;
    oem[127] = 0;
    return wcsstr(oem, u"T828") || wcsstr(oem, u"T535") || wcsstr(oem, u"T737");
}

DWORD Chip::mute(DWORD session, DWORD code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    if (code > 2) return FMS_INVALID_PARAMETER;
    // Which code mutes depends on the device family: 0 on most, 2 on the
    // T828/T535/T737 family (where 1 unmutes). The query answers the state.
    const bool muted = code == (alt_mute_family() ? 2u : 0u);
    request(20, 40, [this, code, muted](Out& out) {
        mute_code_ = code;
        muted_ = muted;
        answer(out, FMS_CMD_SET_MUTE, FMS_SUCCESSED, code);
    });
    return FMS_PENDING;
}

DWORD Chip::set(DWORD session, Setting which, DWORD value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    DWORD* field = nullptr;
    uint8_t command = 0;
    switch (which) {
        case Setting::Deemphasis:
            field = &deemphasis_;
            command = FMS_CMD_SET_DEEMPHASIS;
            break;
        case Setting::SearchLevel:
            field = &search_level_;
            command = FMS_CMD_SET_RSSI_SEARCH_LEVEL;
            break;
        case Setting::Blend:
            field = &blend_;
            command = FMS_CMD_SET_STEREO_BLEND;
            break;
        case Setting::Af:
            field = &af_;
            command = FMS_CMD_SET_AF;
            break;
        case Setting::RdsRbds:
            field = &rds_rbds_;
            command = FMS_CMD_SET_RDS_RBDS;
            break;
        case Setting::PauseLevel:
            field = &pause_level_;
            command = FMS_CMD_SET_PAUSE_LEVEL;
            break;
        case Setting::PauseDuration:
            field = &pause_duration_;
            command = FMS_CMD_SET_PAUSE_DURATION;
            break;
        case Setting::AudioEnable:
            field = &audio_enable_;
            command = FMS_CMD_AUDIO_ENABLE;
            break;
    }
    request(20, 40, [this, field, command, value](Out& out) {
        *field = value;
        answer(out, command, FMS_SUCCESSED, value);
    });
    return FMS_PENDING;
}

DWORD Chip::get(DWORD session, Getter which) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!session_ok(session)) return FMS_INVALID_PARAMETER;
    if (!power_target_) return FMS_FAILED_FM_NOT_ON;
    request(20, 40, [this, which](Out& out) {
        switch (which) {
            case Getter::Deemphasis: answer(out, FMS_CMD_GET_DEEMPHASIS, FMS_SUCCESSED, deemphasis_); break;
            case Getter::SearchLevel: answer(out, FMS_CMD_GET_RSSI_SEARCH_LEVEL, FMS_SUCCESSED, search_level_); break;
            case Getter::Blend: answer(out, FMS_CMD_GET_MOST_BLEND, FMS_SUCCESSED, blend_); break;
            case Getter::Most: answer(out, FMS_CMD_GET_MOST, FMS_SUCCESSED, most_); break;
            // Nonzero (2) means muted, which every family's driver reads as muted.
            case Getter::Mute: answer(out, FMS_CMD_GET_MUTE_MODE, FMS_SUCCESSED, muted_ ? 2 : 0); break;
            case Getter::Band: answer(out, FMS_CMD_GET_BAND_MODE, FMS_SUCCESSED, band_); break;
            case Getter::Volume: answer(out, FMS_CMD_GET_VOLUME, FMS_SUCCESSED, volume_); break;
            case Getter::AfFreq: answer(out, FMS_CMD_GET_AF_FREQ, FMS_SUCCESSED, 0); break;  // no AF list on the air
        }
    });
    return FMS_PENDING;
}

// ---- test interface -----------------------------------------------------------------

void Chip::set_rds_pieces(DWORD min, DWORD max) {
    std::lock_guard<std::mutex> lock(mutex_);
    min = std::clamp<DWORD>(min, 1, 65535);
    max = std::clamp<DWORD>(max, min, 65535);
    piece_min_ = min;
    piece_max_ = max;
    piece_len_ = 0;
}

void Chip::set_report_period(DWORD ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_period_ = ms;
    next_report_ = {};
    cv_.notify_all();
}

void Chip::reset_delivery() {
    std::lock_guard<std::mutex> lock(mutex_);
    piece_min_ = 1;
    piece_max_ = 36;
    piece_len_ = 0;
    report_period_ = default_report_period();
    next_report_ = {};
    cv_.notify_all();
}

}  // namespace fmsim
