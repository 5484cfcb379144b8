// Real radio on the air: a station demodulated from a multiplex recording, and
// a whole band from an IQ recording or a live dongle. The decoding runs on a
// thread of each tuned source, off the chip's lock; the chip takes what it
// has decoded at each group time.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "air.h"
#include "iq_device.h"

namespace fmsim {

// One bounded piece of receiving work at a time (a chunk read and decoded).
class Receiver {
public:
    virtual ~Receiver() = default;
    // Appends the groups the chunk completed. False when nothing more will
    // come: a whole pass of a recording without a group, or a device that failed.
    virtual bool step(std::vector<RdsGroup>& groups) = 0;
    virtual bool live() const { return false; }
    // Measured so far; -1 while unknown.
    std::atomic<int> rssi{-1};
    std::atomic<int> pilot{-1};
};

// A receiver's groups behind a small queue filled by a thread of its own. A
// recording is decoded just ahead of its use and loses nothing; a live device
// runs at its own pace, and when nobody takes its groups the oldest go.
std::unique_ptr<RdsSource> make_queued_source(std::unique_ptr<Receiver> receiver);

// The station of an mpx Source: its file is opened and read on the source's thread.
std::unique_ptr<Receiver> make_mpx_receiver(const StationSource& wanted);

// The powers (dBFS) of the channels in a block of IQ taken at center, keyed
// by the channel's frequency in kHz: those whose 200 kHz lie inside the
// block's band. The block is mixed in place.
std::vector<std::pair<uint32_t, double>> measure_channels(std::vector<std::complex<float>>& iq, uint64_t center,
                                                          double rate);

// The air while a Band is set.
class BandAir {
public:
    // Opens what the band names: an IQ recording (measured once for its
    // channels' strengths) or the dongle. Null with a reason.
    static std::shared_ptr<BandAir> open(const BandPlan& band, std::string* error = nullptr);
    ~BandAir();

    const BandPlan& band() const { return band_; }
    bool live() const { return band_.kind == BandPlan::Rtl; }
    // An IQ recording's stations: the channels stronger than both their
    // neighbours (an FM signal spills into the channels beside it), by frequency.
    const std::vector<Station>& stations() const { return stations_; }
    // The strength to report for a channel until its tuned source has measured it.
    uint32_t strength(uint32_t khz) const;
    // A source on the channel; null where the band cannot receive it.
    std::unique_ptr<RdsSource> tune(uint32_t khz);

    // A seek with the dongle: one window of channels measured per step.
    struct Scan {
        uint32_t from = 0, lo = 0, hi = 0, level = 0;
        bool up = true;
        uint32_t reached = 0;  // the last channel measured
        std::optional<double> reached_power;
        bool done = false;
        std::optional<uint32_t> found;
    };
    void scan_step(Scan& scan);

private:
    struct Shared;
    explicit BandAir(const BandPlan& band);
    BandPlan band_;
    std::vector<Station> channels_, stations_;
    std::shared_ptr<Shared> shared_;  // the dongle, shared with its tuned source
};

// A hex-group recording (any form load_recording reads) modulated into a
// multiplex file, WAV or FLAC by OUT's name, a slice of groups at a time:
// a long recording never sits whole in memory. progress(done, total) after
// each slice. OUT is replaced only by a whole file: after a failure an
// existing OUT is as it was and nothing is left beside it.
constexpr uint32_t kMpxMakeRate = 228000;  // 192 samples a bit: a loop joins cleanly
struct MpxMade {
    size_t groups = 0;
    double seconds = 0;
};
bool make_mpx_file(const std::string& in, const std::string& out, uint32_t rate,
                   const std::function<void(size_t done, size_t total)>& progress, MpxMade& made,
                   std::string* error = nullptr);
// The same with a programme beside the RDS: a sound file's audio (looped or
// cut to the groups' length), or noise; the RDS then at kProgrammeRdsLevel.
struct MpxProgramme {
    std::string audio;  // a sound file, or empty
    bool noise = false;
    double preemphasis_us = 50.0;
};
bool make_mpx_file(const std::string& in, const std::string& out, uint32_t rate, const MpxProgramme& programme,
                   const std::function<void(size_t done, size_t total)>& progress, MpxMade& made,
                   std::string* error = nullptr);

}  // namespace fmsim
