// Real radio on the air: receivers, the queue between them and the chip, and
// the band.
#include "real_air.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <thread>

#include "recording.h"

namespace fmsim {

namespace {

constexpr size_t kChunk = 16384;  // samples a step reads: a few ms of work

// ---- the queue ---------------------------------------------------------------

class QueuedSource : public RdsSource {
public:
    explicit QueuedSource(std::unique_ptr<Receiver> receiver) : rx_(std::move(receiver)) {
        capacity_ = rx_->live() ? 8 : 16;
        thread_ = std::thread([this] { run(); });
    }
    ~QueuedSource() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    bool next(RdsGroup& group) override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty() || dry_; });
        return pop(group);
    }
    Take take(RdsGroup& group) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pop(group)) return Take::Group;
        return dry_ ? Take::None : Take::NotYet;
    }
    std::optional<uint32_t> rssi() const override {
        int r = rx_->rssi.load(std::memory_order_relaxed);
        if (r < 0) return std::nullopt;
        return static_cast<uint32_t>(r);
    }
    // Mono until the decoder has found a pilot.
    std::optional<bool> stereo() const override { return rx_->pilot.load(std::memory_order_relaxed) > 0; }

private:
    bool pop(RdsGroup& group) {
        if (queue_.empty()) return false;
        group = queue_.front();
        queue_.pop_front();
        cv_.notify_all();
        return true;
    }

    void run() {
        pthread_setname_np(pthread_self(), "fmsim-radio");
        std::vector<RdsGroup> groups;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // A recording waits for room: its groups are all wanted, in order.
                if (!rx_->live()) cv_.wait(lock, [&] { return stop_ || queue_.size() < capacity_; });
                if (stop_) return;
            }
            groups.clear();
            bool more = rx_->step(groups);
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& g : groups) {
                // Live air drops its oldest when the chip falls behind. A
                // recording keeps everything: one step may bring more groups
                // than there was room for (at low rates a chunk spans more
                // than a group), and the wait above bounds the excess.
                if (rx_->live() && queue_.size() >= capacity_) queue_.pop_front();
                queue_.push_back(g);
            }
            if (!more) dry_ = true;
            cv_.notify_all();
            if (!more) return;
        }
    }

    std::unique_ptr<Receiver> rx_;
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<RdsGroup> queue_;
    bool stop_ = false;
    bool dry_ = false;
    std::thread thread_;
};

// ---- a multiplex recording ---------------------------------------------------------

class MpxReceiver : public Receiver {
public:
    explicit MpxReceiver(const StationSource& wanted) : wanted_(wanted) {}

    bool step(std::vector<RdsGroup>& groups) override {
        if (!file_) {
            std::string error;
            std::optional<double> raw_rate;
            if (wanted_.rate) raw_rate = wanted_.rate;
            file_ = radio::MpxFile::open(wanted_.path, raw_rate, &error);
            if (!file_) {
                // The station stays silent; inside cehost stderr is the host's log.
                std::fprintf(stderr, "FMS_API: a station cannot play %s: %s\n", wanted_.path.c_str(), error.c_str());
                return false;
            }
            radio::DecoderOptions options;
            options.rate = file_->rate();
            decoder_ = std::make_unique<radio::RdsDecoder>(options);
            buffer_.resize(kChunk);
        }
        size_t n = file_->read(buffer_.data(), buffer_.size());
        if (n == 0) {
            // Looped as the hex-group recordings are. Each pass starts with
            // filler to lock on, like the first: a decoder still locked from
            // the pass before would read the filler as groups of bad blocks.
            if (++rewinds_without_group_ > 1 || !file_->rewind()) return false;
            decoder_->reset();
            return true;
        }
        size_t before = groups.size();
        decoder_->push(buffer_.data(), n, groups);
        if (groups.size() > before) rewinds_without_group_ = 0;
        pilot.store(decoder_->pilot() ? 1 : 0, std::memory_order_relaxed);
        return true;
    }

private:
    StationSource wanted_;
    std::unique_ptr<radio::MpxFile> file_;
    std::unique_ptr<radio::RdsDecoder> decoder_;
    std::vector<float> buffer_;
    int rewinds_without_group_ = 0;
};

}  // namespace

std::unique_ptr<RdsSource> make_queued_source(std::unique_ptr<Receiver> receiver) {
    return std::make_unique<QueuedSource>(std::move(receiver));
}

std::unique_ptr<Receiver> make_mpx_receiver(const StationSource& wanted) {
    return std::make_unique<MpxReceiver>(wanted);
}

// ---- the band -------------------------------------------------------------------------

// The dongle and the lock on it: its tuned source reads it while the chip
// holds that source; a seek's scan reads it while none is held.
struct BandAir::Shared {
    std::mutex mutex;
    std::unique_ptr<IqDevice> device;
    std::vector<std::complex<float>> block;
};

// A centre off the 100 kHz grid is brought onto it first, so that the
// channels measured are the band's.
std::vector<std::pair<uint32_t, double>> measure_channels(std::vector<std::complex<float>>& iq, uint64_t center,
                                                          double rate) {
    uint64_t grid = (center + 50000) / 100000 * 100000;
    double shift = static_cast<double>(center) - static_cast<double>(grid);
    if (shift != 0) {
        double step = 2 * M_PI * shift / rate, phase = 0;
        for (auto& s : iq) {
            s *= std::complex<float>(static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase)));
            phase = std::fmod(phase + step, 2 * M_PI);
        }
    }
    std::vector<std::pair<uint32_t, double>> out;
    // A channel needs its 200 kHz inside the recorded band.
    double usable = rate / 2 - 100000;
    for (auto [offset, power] : radio::channel_powers(iq.data(), iq.size(), rate)) {
        if (std::abs(static_cast<double>(offset)) > usable) continue;
        int64_t hz = static_cast<int64_t>(grid) + offset;
        if (hz <= 0) continue;
        out.emplace_back(static_cast<uint32_t>(hz / 1000), power);
    }
    return out;
}

namespace {

// One channel out of IQ, decoded.
class ChannelReceiver : public Receiver {
public:
    // A recording's own device, or the band's dongle (retuned at the first step).
    ChannelReceiver(std::unique_ptr<IqDevice> own, std::shared_ptr<void> keep, std::mutex* lock, IqDevice* device,
                    std::optional<uint64_t> retune, double offset_hz)
        : own_(std::move(own)),
          keep_(std::move(keep)),
          lock_(lock),
          device_(own_ ? own_.get() : device),
          retune_(retune),
          offset_(offset_hz) {}

    bool live() const override { return device_->live(); }

    bool step(std::vector<RdsGroup>& groups) override {
        std::unique_lock<std::mutex> hold;
        if (lock_) hold = std::unique_lock<std::mutex>(*lock_);
        if (!channel_) {
            if (retune_ && !device_->set_center(*retune_)) {
                std::fprintf(stderr, "FMS_API: the dongle cannot tune to %llu Hz\n",
                             static_cast<unsigned long long>(*retune_));
                return false;
            }
            channel_ = std::make_unique<radio::FmChannel>(device_->rate(), offset_);
            radio::DecoderOptions options;
            options.rate = channel_->mpx_rate();
            decoder_ = std::make_unique<radio::RdsDecoder>(options);
            iq_.resize(kChunk);
            last_group_pass_ = seen_passes_ = device_->passes();
        }
        size_t n = device_->read(iq_.data(), iq_.size());
        if (n == 0) return false;
        mpx_.clear();
        channel_->push(iq_.data(), n, mpx_);
        size_t before = groups.size();
        decoder_->push(mpx_.data(), mpx_.size(), groups);
        rssi.store(static_cast<int>(radio::rssi_from_power(channel_->power_db())), std::memory_order_relaxed);
        pilot.store(decoder_->pilot() ? 1 : 0, std::memory_order_relaxed);
        if (groups.size() > before) last_group_pass_ = device_->passes();
        if (device_->passes() != seen_passes_) {
            // A recording started over: its lead-in is filler to lock on
            // again, which a decoder locked on the old pass would read as
            // groups of bad blocks.
            seen_passes_ = device_->passes();
            decoder_->reset();
        }
        // A whole pass of a recording without a group: the channel has no RDS.
        return device_->passes() < last_group_pass_ + 2;
    }

private:
    std::unique_ptr<IqDevice> own_;
    std::shared_ptr<void> keep_;
    std::mutex* lock_;
    IqDevice* device_;
    std::optional<uint64_t> retune_;
    double offset_;
    std::unique_ptr<radio::FmChannel> channel_;
    std::unique_ptr<radio::RdsDecoder> decoder_;
    std::vector<std::complex<float>> iq_;
    std::vector<float> mpx_;
    uint64_t last_group_pass_ = 0, seen_passes_ = 0;
};

}  // namespace

BandAir::BandAir(const BandPlan& band) : band_(band), shared_(std::make_shared<Shared>()) {}
BandAir::~BandAir() = default;

std::shared_ptr<BandAir> BandAir::open(const BandPlan& band, std::string* error) {
    std::shared_ptr<BandAir> air(new BandAir(band));
    if (band.kind == BandPlan::Iq) {
        // The channels' strengths from the first quarter second of the recording.
        auto device = open_iq_recording(band, error);
        if (!device) return nullptr;
        std::vector<std::complex<float>> block(static_cast<size_t>(band.rate / 4));
        block.resize(device->read(block.data(), block.size()));
        if (block.empty()) {
            if (error) *error = "the IQ recording holds no samples";
            return nullptr;
        }
        auto powers = measure_channels(block, band.center, band.rate);
        std::sort(powers.begin(), powers.end());
        for (size_t i = 0; i < powers.size(); i++) {
            auto [khz, power] = powers[i];
            Station st{khz, radio::rssi_from_power(power), ""};
            air->channels_.push_back(st);
            bool peak =
                (i == 0 || powers[i - 1].second <= power) && (i + 1 == powers.size() || powers[i + 1].second <= power);
            if (peak && st.rssi > 0) air->stations_.push_back(st);
        }
        return air;
    }
    if (band.kind == BandPlan::Rtl) {
        air->shared_->device = open_rtl(band, error);
        if (!air->shared_->device) return nullptr;
        return air;
    }
    if (error) *error = "no band";
    return nullptr;
}

uint32_t BandAir::strength(uint32_t khz) const {
    for (const auto& c : channels_)
        if (c.frequency == khz) return c.rssi;
    return 0;
}

std::unique_ptr<RdsSource> BandAir::tune(uint32_t khz) {
    double hz = khz * 1000.0;
    if (band_.kind == BandPlan::Iq) {
        double offset = hz - static_cast<double>(band_.center);
        if (std::abs(offset) > band_.rate / 2.0 - 100000) return nullptr;
        std::string error;
        auto device = open_iq_recording(band_, &error);
        if (!device) {
            // The channel stays silent; inside cehost stderr is the host's log.
            std::fprintf(stderr, "FMS_API: the band's recording cannot be read: %s\n", error.c_str());
            return nullptr;
        }
        return make_queued_source(
            std::make_unique<ChannelReceiver>(std::move(device), nullptr, nullptr, nullptr, std::nullopt, offset));
    }
    // The dongle sits beside the station, away from its own spike at 0 Hz.
    uint64_t center = static_cast<uint64_t>(hz - kRtlStationOffset);
    return make_queued_source(std::make_unique<ChannelReceiver>(nullptr, shared_, &shared_->mutex,
                                                                shared_->device.get(), center, kRtlStationOffset));
}

void BandAir::scan_step(Scan& scan) {
    if (scan.done) return;
    if (scan.reached == 0) scan.reached = scan.from;
    // Three new channels a window, 400 to 200 kHz to one side of the dongle's
    // centre, and the one beyond them (100 kHz from the centre, clear of its
    // spike) to tell a station from the spill of its neighbour.
    const int sign = scan.up ? 1 : -1;
    auto channel = [&](int i) { return static_cast<uint32_t>(static_cast<int64_t>(scan.reached) + sign * 100 * i); };
    uint64_t center = static_cast<uint64_t>(channel(5)) * 1000;
    std::vector<std::pair<uint32_t, double>> powers;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        IqDevice* device = shared_->device.get();
        if (!device || !device->set_center(center)) {
            scan.done = true;
            return;
        }
        auto& block = shared_->block;
        block.resize(32768);
        block.resize(device->read(block.data(), block.size()));
        if (block.empty()) {
            scan.done = true;
            return;
        }
        powers = measure_channels(block, center, device->rate());
    }
    auto power = [&](uint32_t khz) -> std::optional<double> {
        for (auto [f, p] : powers)
            if (f == khz) return p;
        return std::nullopt;
    };
    for (int i = 1; i <= 3; i++) {
        uint32_t khz = channel(i);
        if (khz > scan.hi || khz < scan.lo) {
            scan.done = true;
            return;
        }
        std::optional<double> p = power(khz), before = scan.reached_power, beyond = power(channel(i + 1));
        scan.reached = khz;
        scan.reached_power = p;
        if (!p) continue;
        uint32_t strength = radio::rssi_from_power(*p);
        if (strength == 0 || strength < scan.level) continue;
        if ((before && *before > *p) || (beyond && *beyond > *p)) continue;
        scan.found = khz;
        scan.done = true;
        return;
    }
}

// ---- making a multiplex -----------------------------------------------------------------

bool make_mpx_file(const std::string& in, const std::string& out, uint32_t rate,
                   const std::function<void(size_t, size_t)>& progress, MpxMade& made, std::string* error) {
    return make_mpx_file(in, out, rate, MpxProgramme{}, progress, made, error);
}

bool make_mpx_file(const std::string& in, const std::string& out, uint32_t rate, const MpxProgramme& programme,
                   const std::function<void(size_t, size_t)>& progress, MpxMade& made, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    bool flac = out.size() > 5 && out.compare(out.size() - 5, 5, ".flac") == 0;
    bool wav = out.size() > 4 && out.compare(out.size() - 4, 4, ".wav") == 0;
    if (!flac && !wav) return fail("the multiplex file's name ends in .wav or .flac");
    if (rate < 160000) return fail("a multiplex needs 160000 samples per second or more");
    if (flac && rate > 655350) return fail("FLAC holds rates up to 655350; write a .wav");
    std::string why;
    auto rec = load_recording(in, &why);
    if (!rec) return fail(why);
    if (rec->groups.empty()) return fail(in + " holds no RDS group");
    radio::MpxOptions options;
    options.rate = rate;
    if (!programme.audio.empty() || programme.noise) {
        if (!programme.audio.empty() && programme.noise) return fail("a programme is a sound file or noise, not both");
        if (programme.audio.empty()) options.programme = radio::ProgrammeAudio::noise();
        else if (!(options.programme = radio::ProgrammeAudio::open(programme.audio, &why))) return fail(why);
        options.rds_level = radio::kProgrammeRdsLevel;
        options.preemphasis_us = programme.preemphasis_us;
    }

    // The samples to come, with a second to spare: the writer's form (WAV,
    // or RF64 past 4 GiB) is chosen before the first is written.
    const double seconds = radio::kLeadInSeconds + radio::kTailSeconds + 1.0 +
                           static_cast<double>(rec->groups.size()) * radio::kBitsPerGroup / radio::kBitRate;
    auto file = radio::MpxWriter::create(out, rate, static_cast<uint64_t>(seconds * rate), &why);
    if (!file) return fail("cannot write " + why);

    radio::MpxModulator modulator(options);
    const size_t total = rec->groups.size(), slice = 256;
    // Filler before the first group lets a receiver lock on before it, and
    // again at the end pushes the last bits out: every pass of the loop then
    // decodes whole, its first group included.
    std::vector<float> samples;
    modulator.filler(radio::kLeadInSeconds, samples);
    uint64_t written = 0;
    for (size_t at = 0; at < total; at += slice) {
        size_t end = std::min(total, at + slice);
        std::vector<RdsGroup> part(rec->groups.begin() + static_cast<ptrdiff_t>(at),
                                   rec->groups.begin() + static_cast<ptrdiff_t>(end));
        modulator.modulate(part, samples);
        if (end == total) modulator.filler(radio::kTailSeconds, samples);
        // A failure leaves OUT as it was: half a file would play as a station cut short.
        if (!file->write(samples.data(), samples.size(), &why)) return fail("cannot write " + why);
        written += samples.size();
        samples.clear();
        if (progress) progress(end, total);
    }
    if (!file->finish(&why)) return fail("cannot write " + why);
    made.groups = total;
    made.seconds = static_cast<double>(written) / rate;
    return true;
}

}  // namespace fmsim
