// IQ devices: an RTL-SDR dongle through librtlsdr, and a recording that
// plays as a fixed receiver or stands in for a dongle.
#include "iq_device.h"

#include <rtl-sdr.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ce_platform.h"

namespace fmsim {

namespace {

using Clock = std::chrono::steady_clock;

class RecordingDevice : public IqDevice {
public:
    RecordingDevice(const BandPlan& band, std::unique_ptr<radio::IqFile> file, bool as_dongle)
        : band_(band), file_(std::move(file)), as_dongle_(as_dongle), center_(band.center) {
        // Standing in for a dongle, a recording made at a multiple of its
        // rate is brought down to it: the wider recording lets a retune move
        // stations out of the window instead of folding them back into it.
        if (as_dongle_ && band_.rate > kRtlRate && band_.rate % kRtlRate == 0) {
            factor_ = band_.rate / kRtlRate;
            const int taps = 16 * static_cast<int>(factor_) + 1;
            double cutoff = 0.5 / factor_;
            for (int i = 0; i < taps; i++) {
                double x = i - (taps - 1) / 2.0;
                double sinc = x == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * x) / (M_PI * x);
                double window = 0.54 - 0.46 * std::cos(2 * M_PI * i / (taps - 1));  // Hamming
                taps_.push_back(static_cast<float>(sinc * window));
            }
            history_.assign(taps_.size(), {});
        }
    }

    double rate() const override { return static_cast<double>(band_.rate) / factor_; }
    uint64_t center() const override { return center_; }
    bool set_center(uint64_t hz) override {
        if (!as_dongle_) return hz == center_;
        center_ = hz;
        choose_view();
        return true;
    }
    bool set_gain(std::optional<double>) override { return true; }
    uint64_t passes() const override { return passes_; }
    bool live() const override { return as_dongle_; }

    size_t read(std::complex<float>* out, size_t count) override {
        if (factor_ == 1) return read_file(out, count);
        wide_.resize(count * factor_);
        size_t n = read_file(wide_.data(), wide_.size());
        size_t made = 0;
        for (size_t i = 0; i < n; i++) {
            history_[at_] = wide_[i];
            at_ = (at_ + 1) % history_.size();
            if (++phase_count_ < factor_) continue;
            phase_count_ = 0;
            std::complex<float> sum{};
            size_t k = at_;
            for (float t : taps_) {
                sum += history_[k] * t;
                k = (k + 1) % history_.size();
            }
            out[made++] = sum;
        }
        return made;
    }

private:
    size_t read_file(std::complex<float>* out, size_t count) {
        size_t got = 0;
        int empty_rewinds = 0;
        while (got < count) {
            size_t n = file_->read(out + got, count - got);
            if (n == 0) {
                // An empty file would loop forever without a sample.
                if (++empty_rewinds > 1 || !file_->rewind()) break;
                passes_++;
                continue;
            }
            empty_rewinds = 0;
            got += n;
        }
        if (as_dongle_) {
            if (view_ == View::Nothing) std::fill(out, out + got, std::complex<float>{});
            if (view_ == View::Part) band_pass(out, got);
            shift(out, got);
            pace(got);
        }
        return got;
    }

    // What of the recording a dongle tuned to center_ sees. Moving samples
    // in frequency wraps round the recording's rate: a retune far enough
    // would bring its other edge into the window (and beyond the recording,
    // the whole of it again). So the part the window truly covers is cut
    // out first, and a window beyond the recording hears nothing.
    void choose_view() {
        const double rate = band_.rate, half = rate / 2, window = this->rate() / 2;
        const double delta = static_cast<double>(center_) - static_cast<double>(band_.center);
        view_ = std::abs(delta) <= half - window   ? View::Whole
                : std::abs(delta) >= half + window ? View::Nothing
                                                   : View::Part;
        if (view_ != View::Part) return;
        const double lo = std::max(-half, delta - window), hi = std::min(half, delta + window);
        const double cutoff = (hi - lo) / 2 / rate, mid = (hi + lo) / 2 / rate;
        const int taps = 32 * static_cast<int>(factor_) + 1;
        pass_taps_.assign(static_cast<size_t>(taps), {});
        for (int i = 0; i < taps; i++) {
            double x = i - (taps - 1) / 2.0;
            double sinc = x == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * x) / (M_PI * x);
            double w = 0.54 - 0.46 * std::cos(2 * M_PI * i / (taps - 1));  // Hamming
            // Oldest sample first (band_pass()), so the taps run backwards in time.
            pass_taps_[static_cast<size_t>(i)] =
                std::polar(static_cast<float>(sinc * w), static_cast<float>(-2 * M_PI * mid * x));
        }
        pass_history_.assign(pass_taps_.size(), {});
        pass_at_ = 0;
    }
    void band_pass(std::complex<float>* iq, size_t count) {
        const size_t len = pass_history_.size();
        for (size_t i = 0; i < count; i++) {
            pass_history_[pass_at_] = iq[i];
            pass_at_ = (pass_at_ + 1) % len;
            std::complex<float> sum{};
            for (size_t t = 0, k = pass_at_; t < len; t++, k = (k + 1) % len) sum += pass_history_[k] * pass_taps_[t];
            iq[i] = sum;
        }
    }

    // A dongle tuned elsewhere sees the recorded band moved by the difference.
    void shift(std::complex<float>* iq, size_t count) {
        double hz = static_cast<double>(band_.center) - static_cast<double>(center_);
        if (hz == 0) return;
        double step = 2 * M_PI * hz / band_.rate;
        for (size_t i = 0; i < count; i++) {
            iq[i] *= std::complex<float>(static_cast<float>(std::cos(phase_)), static_cast<float>(std::sin(phase_)));
            phase_ += step;
        }
        phase_ = std::fmod(phase_, 2 * M_PI);
    }
    // Samples come no faster than the platform clock lets a dongle send them.
    void pace(size_t count) {
        Clock::time_point now = Clock::now();
        if (produced_ == 0 || now - due_ > std::chrono::seconds(1)) {
            start_ = now;
            produced_ = 0;
        }
        produced_ += count;
        double real_s = static_cast<double>(produced_) / band_.rate * ce::time_scale();
        due_ = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(real_s));
        if (due_ > now) std::this_thread::sleep_until(due_);
    }

    BandPlan band_;
    std::unique_ptr<radio::IqFile> file_;
    bool as_dongle_;
    uint64_t center_;
    uint64_t passes_ = 0;
    double phase_ = 0;
    Clock::time_point start_{}, due_{};
    uint64_t produced_ = 0;
    // Down to the dongle's rate: a windowed-sinc low-pass, every factor_-th output.
    uint32_t factor_ = 1;
    std::vector<float> taps_;
    std::vector<std::complex<float>> history_, wide_;
    size_t at_ = 0;
    uint32_t phase_count_ = 0;
    enum class View { Whole, Part, Nothing } view_ = View::Whole;
    std::vector<std::complex<float>> pass_taps_, pass_history_;
    size_t pass_at_ = 0;
};

class RtlDevice : public IqDevice {
public:
    explicit RtlDevice(rtlsdr_dev_t* dev) : dev_(dev) {}
    ~RtlDevice() override { rtlsdr_close(dev_); }

    double rate() const override { return kRtlRate; }
    uint64_t center() const override { return center_; }
    bool set_center(uint64_t hz) override {
        if (hz > 0xFFFFFFFFu || rtlsdr_set_center_freq(dev_, static_cast<uint32_t>(hz)) != 0) return false;
        center_ = hz;
        // What was buffered belongs to the old frequency, and the tuner's
        // PLL takes a moment to settle: both are thrown away.
        rtlsdr_reset_buffer(dev_);
        settle_ = true;
        return true;
    }
    bool set_gain(std::optional<double> db) override {
        if (!db) return rtlsdr_set_tuner_gain_mode(dev_, 0) == 0;
        if (rtlsdr_set_tuner_gain_mode(dev_, 1) != 0) return false;
        // The tuner knows a few steps only: the nearest one (tenths of a dB).
        int gains[64];
        int n = rtlsdr_get_tuner_gains(dev_, nullptr);
        if (n <= 0 || n > 64) return false;
        rtlsdr_get_tuner_gains(dev_, gains);
        int want = static_cast<int>(std::lround(*db * 10)), best = gains[0];
        for (int i = 1; i < n; i++)
            if (std::abs(gains[i] - want) < std::abs(best - want)) best = gains[i];
        return rtlsdr_set_tuner_gain(dev_, best) == 0;
    }
    bool live() const override { return true; }

    size_t read(std::complex<float>* out, size_t count) override {
        if (settle_) {
            settle_ = false;
            read_raw(16384);
        }
        size_t got = 0;
        std::vector<std::complex<float>> samples;
        while (got < count) {
            size_t want = std::min<size_t>(count - got, 16384);
            if (!read_raw(want)) break;
            samples.clear();
            radio::iq_to_complex(raw_.data(), raw_.size(), radio::IqFormat::Cu8, samples);
            size_t n = std::min(samples.size(), count - got);
            std::copy(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(n), out + got);
            got += n;
            if (n == 0) break;
        }
        return got;
    }

private:
    bool read_raw(size_t samples) {
        // librtlsdr reads whole 512-byte blocks.
        size_t bytes = (samples * 2 + 511) / 512 * 512;
        raw_.resize(bytes);
        int n = 0;
        if (rtlsdr_read_sync(dev_, raw_.data(), static_cast<int>(bytes), &n) != 0 || n <= 0) return false;
        raw_.resize(static_cast<size_t>(n));
        return true;
    }

    rtlsdr_dev_t* dev_;
    uint64_t center_ = 0;
    bool settle_ = true;
    std::vector<uint8_t> raw_;
};

// The recording that stands in for a dongle, when the environment names one.
std::optional<BandPlan> fake_rtl() {
    const char* text = std::getenv("FMSIM_RTL_FAKE");
    if (!text || !*text) return std::nullopt;
    BandPlan band;
    if (!parse_band(text, band) || band.kind != BandPlan::Iq) return std::nullopt;
    return band;
}

}  // namespace

std::unique_ptr<IqDevice> open_iq_recording(const BandPlan& band, std::string* error) {
    if (band.kind != BandPlan::Iq) {
        if (error) *error = "not an IQ recording";
        return nullptr;
    }
    auto file = radio::IqFile::open(band.path, band.format, error);
    if (!file) return nullptr;
    return std::make_unique<RecordingDevice>(band, std::move(file), false);
}

std::unique_ptr<IqDevice> open_rtl(const BandPlan& band, std::string* error) {
    if (auto fake = fake_rtl()) {
        if (band.device != 0) {
            if (error) *error = "no RTL-SDR dongle " + std::to_string(band.device);
            return nullptr;
        }
        auto file = radio::IqFile::open(fake->path, fake->format, error);
        if (!file) return nullptr;
        return std::make_unique<RecordingDevice>(*fake, std::move(file), true);
    }
    if (band.device >= rtlsdr_get_device_count()) {
        if (error) *error = "no RTL-SDR dongle found";
        return nullptr;
    }
    rtlsdr_dev_t* dev = nullptr;
    if (rtlsdr_open(&dev, band.device) != 0 || !dev) {
        if (error) *error = "the RTL-SDR dongle cannot be opened (in use, or no access to its USB device)";
        return nullptr;
    }
    auto device = std::make_unique<RtlDevice>(dev);
    if (rtlsdr_set_sample_rate(dev, kRtlRate) != 0) {
        if (error) *error = "the RTL-SDR dongle refuses its sample rate";
        return nullptr;
    }
    // The same correction again answers -2: not a failure.
    if (band.ppm != 0) rtlsdr_set_freq_correction(dev, band.ppm);
    device->set_gain(band.gain);
    rtlsdr_reset_buffer(dev);
    return device;
}

bool rtl_present(uint32_t index, std::string* name) {
    if (fake_rtl()) {
        if (name) *name = "recording standing in for a dongle";
        return index == 0;
    }
    if (index >= rtlsdr_get_device_count()) return false;
    if (name) {
        const char* n = rtlsdr_get_device_name(index);
        *name = n ? n : "";
    }
    return true;
}

}  // namespace fmsim
