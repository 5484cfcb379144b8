// The simulated tuner chip behind the FM_ entry points. One instance per
// process, as there is one radio. Requests change the chip's state on its
// event thread, one after another, after the delays a real chip takes;
// answers, reports and RDS data go out from that thread only, through the
// event function given to FM_Create, with no lock held (the receiver may
// call entry points again from inside it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "air.h"
#include "fms_api.h"
#include "real_air.h"

namespace fmsim {

class Chip {
public:
    static Chip& instance();
    ~Chip();

    DWORD init();
    DWORD deinit();
    DWORD create(DWORD* creation_word, FMS_EVENT_FUNCTION fn, DWORD* session);
    DWORD destroy(DWORD session);
    DWORD get_current_status(DWORD session, DWORD* words);
    DWORD enable(DWORD session);
    DWORD disable(DWORD session);
    DWORD set_band(DWORD session, BYTE band);
    DWORD tune(DWORD session, DWORD frequency);
    DWORD seek(DWORD session, DWORD stop, DWORD upwards);
    DWORD get_rssi(DWORD session);
    DWORD get_current_freq(DWORD session);
    DWORD set_rds(DWORD session, DWORD on);
    DWORD set_audio_path(DWORD session, DWORD path);
    DWORD set_volume(DWORD session, SHORT volume);
    DWORD set_most(DWORD session, DWORD mode);
    DWORD mute(DWORD session, DWORD code);
    // Plain settings and getters: stored value, answered with the command id.
    enum class Setting { Deemphasis, SearchLevel, Blend, Af, RdsRbds, PauseLevel, PauseDuration, AudioEnable };
    DWORD set(DWORD session, Setting which, DWORD value);
    enum class Getter { Deemphasis, SearchLevel, Blend, Most, Mute, Band, Volume, AfFreq };
    DWORD get(DWORD session, Getter which);

    // Test interface (fmsim_control.h).
    void set_rds_pieces(DWORD min, DWORD max);
    void set_report_period(DWORD ms);
    void reset_delivery();

private:
    using Clock = std::chrono::steady_clock;
    // A group in the RDS stream, for the delivery trace: its number among
    // the groups sent and the stream offset just past its last byte.
    struct TracedGroup {
        uint32_t seq = 0;
        RdsGroup group;
    };
    struct OutEvent {
        FmPlatformEvent event{};
        std::vector<uint8_t> bytes;          // RDS piece; the record points at it while delivered
        std::vector<TracedGroup> completed;  // groups whose last byte this piece carries (trace on)
    };
    using Out = std::vector<OutEvent>;
    using Action = std::function<void(Out&)>;

    struct Tuned {
        std::optional<Station> station;
        std::unique_ptr<RdsSource> source;
    };

    struct Seek {
        bool active = false;
        bool upwards = true;
        uint32_t from = 0, to = 0;
        uint8_t status = 0;
        Clock::time_point start, end;
        uint64_t generation = 0;
    };

    Chip();
    bool session_ok(DWORD session) const { return session_ != 0 && session == session_; }
    void stop_thread(std::unique_lock<std::mutex>& lock);
    void run();

    // Scheduling (lock held).
    Clock::time_point after(DWORD min_ms, DWORD max_ms);
    void schedule(Clock::time_point due, Action action);
    // A request the chip works on in turn: after the ones before it, plus its own time.
    void request(DWORD min_ms, DWORD max_ms, Action action);
    void answer(Out& out, uint8_t command, uint8_t status, DWORD value);
    static OutEvent status_event(uint8_t command, uint8_t status, DWORD value);

    // Chip state changes (lock held).
    void tune_to(Out& out, uint32_t frequency);
    void refresh_band();
    void scan_turn(std::unique_lock<std::mutex>& lock, Out& out);
    void signal_tick(Clock::time_point now, Out& out);
    void update_stereo(Out& out);
    void reset_radio_settings();
    uint32_t rssi_now() const;
    uint32_t seek_position(Clock::time_point now) const;
    void end_seek(Out& out, uint8_t status, uint32_t frequency);
    void rds_tick(Clock::time_point now, Out& out);
    void clear_rds_stream();
    void write_trace(const OutEvent& e, Clock::time_point handed_over);
    void report_tick(Clock::time_point now, Out& out);
    std::optional<Clock::time_point> next_wake() const;
    bool rds_flowing() const;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    std::thread::id thread_id_;
    bool running_ = false;
    bool inited_ = false;
    DWORD session_ = 0;
    DWORD session_counter_ = 0;
    FMS_EVENT_FUNCTION callback_ = nullptr;

    std::map<std::pair<Clock::time_point, uint64_t>, Action> queue_;
    uint64_t seq_ = 0;
    Clock::time_point busy_until_{};
    std::mt19937 rng_{0x7E5};

    // The chip.
    bool power_target_ = false;  // what the last Enable/Disable asked for
    bool powered_ = false;
    uint8_t band_ = FMS_CHIP_BAND_EUROPE;
    uint32_t frequency_ = FMS_EUROPE_LOW;
    Tuned tuned_;
    // The band, while the air has one: opened when its value changes.
    std::string band_value_;
    std::shared_ptr<BandAir> band_air_;
    // A seek that steps the dongle: one window a turn of the event thread,
    // measured with the lock released.
    std::optional<BandAir::Scan> scan_;
    // A source measuring real signal: its pilot is looked at now and then.
    Clock::time_point next_signal_{};
    bool stereo_ = false;
    bool rds_on_ = false;
    bool seek_requested_ = false;
    Seek seek_;
    DWORD audio_path_ = 1, volume_ = 0x7FFF, most_ = 0, mute_code_ = 0;
    bool muted_ = false;
    DWORD deemphasis_ = 0, search_level_ = 8, blend_ = 0, af_ = 0, rds_rbds_ = 0, pause_level_ = 0, pause_duration_ = 0,
          audio_enable_ = 1;

    // RDS delivery.
    std::vector<uint8_t> group_bytes_;  // the group on the air now, packed
    size_t group_handed_ = 0;           // of its bytes, those handed out
    size_t piece_len_ = 0;
    DWORD piece_min_ = 1, piece_max_ = 36;
    Clock::time_point next_group_{};  // when the group on the air is complete
    Clock::time_point rds_due_{};     // when the event thread must hand over RDS next
    bool rds_dry_ = false;            // the source has no groups at all

    // Delivery trace (FMSIM_TRACE_FILE): one line per group at the moment the
    // piece completing it is handed to the event function. -1: off.
    int trace_fd_ = -1;
    TracedGroup group_trace_;
    uint32_t groups_sent_ = 0;

    // Frequency reports.
    DWORD report_period_ = 0;
    Clock::time_point next_report_{};
};

}  // namespace fmsim
