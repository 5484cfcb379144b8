// The programme beside the RDS: audio (a sound file, or noise) made into
// what a broadcast puts on the multiplex.
//
// 1. The audio, at its own rate, resampled to 48 kHz; there one windowed-
//    sinc kernel is at once the 15 kHz cut and the pre-emphasis
//    (1 + j 2 pi f tau): both exact in the band, and nothing left from
//    16.2 kHz up. That edge matters: on the 38 kHz carrier audio at f lands
//    at 38 + f, and the RDS band starts at 54.6 kHz.
// 2. To the multiplex rate by a short kernel that takes out the images of
//    the 48 kHz samples (from 31.8 kHz up), pilot and RDS bands included.
// 3. A look-ahead peak limiter at the multiplex rate on L and R: the gain is
//    the running mean of a running minimum of the gain each sample needs,
//    so it is never more than any sample under it allows, and it moves
//    smoothly (a few hundred hertz of modulation, not a clipper's spray of
//    harmonics across the pilot and the RDS band).

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <random>

#include "internal.h"
#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kWorkRate = 48000.0;  // where the programme is cut and pre-emphasised
constexpr double kPassHz = 15000.0;
constexpr double kStopHz = 16200.0;
constexpr double kMinAudioRate = 8000.0;
constexpr double kMaxAudioRate = 384000.0;
constexpr double kStopbandDb = 80.0;
constexpr int kKernelRes = 256;             // kernel table points per input sample
constexpr double kLimiterSeconds = 0.0025;  // look-ahead, and the gain's smoothing either side
constexpr size_t kReadFrames = 1024;

double bessel_i0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 60; k++) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
        if (term < 1e-14 * sum) break;
    }
    return sum;
}

// The ideal low-pass at fc (cycles a sample) with the pre-emphasis
// 1 + tau d/dt applied (tau in samples), at t samples.
double emphasised_lowpass(double t, double fc, double tau) {
    const double w = 2 * kPi * fc;
    if (std::abs(t) < 1e-9) return 2 * fc;
    double h = std::sin(w * t) / (kPi * t);
    double dh = (w * t * std::cos(w * t) - std::sin(w * t)) / (kPi * t * t);
    return h + tau * dh;
}

// Stereo resampling by a Kaiser-windowed kernel, evaluated at each output
// instant from a table of its phases (one phase at a ratio of 1: a plain
// FIR). Input before the first frame is silence.
class KernelResampler {
public:
    // fc, width: the cut and the transition's width in cycles an input sample.
    KernelResampler(double in_rate, double out_rate, double fc, double width, double tau) : step_(in_rate / out_rate) {
        const double beta = 0.1102 * (kStopbandDb - 8.7);
        const int half = static_cast<int>(std::ceil((kStopbandDb - 7.95) / (2.285 * 2 * kPi * width) / 2)) + 1;
        half_ = half;
        taps_ = static_cast<size_t>(2 * half);
        phases_ = step_ == 1.0 ? 1 : kKernelRes;
        // Row p: the taps for an instant p / phases past a frame, in the
        // order of the frames they weigh (the earliest first), and one row
        // more for the interpolation to reach.
        table_.resize((phases_ + 1) * taps_);
        const double norm = bessel_i0(beta);
        for (size_t p = 0; p <= phases_; p++)
            for (size_t i = 0; i < taps_; i++) {
                double t = static_cast<double>(p) / static_cast<double>(phases_) + half - 1 - static_cast<double>(i);
                double x = t / half;
                double window = std::abs(x) < 1 ? bessel_i0(beta * std::sqrt(1 - x * x)) / norm : 0.0;
                table_[p * taps_ + i] = static_cast<float>(emphasised_lowpass(t, fc, tau) * window);
            }
        left_.assign(taps_, 0.0f);
        right_.assign(taps_, 0.0f);
        base_ = -static_cast<int64_t>(taps_);
        h_.resize(taps_);
    }

    void push(const float* lr, size_t frames) {
        for (size_t k = 0; k < frames; k++) {
            left_.push_back(lr[2 * k]);
            right_.push_back(lr[2 * k + 1]);
        }
    }

    // Every output frame the input so far makes, appended (interleaved).
    void pull(std::vector<float>& out) {
        const int64_t known = base_ + static_cast<int64_t>(left_.size());
        for (;;) {
            double t = static_cast<double>(n_) * step_;
            double whole = std::floor(t);
            // The kernel covers frames whole - half + 1 .. whole + half.
            auto first = static_cast<int64_t>(whole) - half_ + 1;
            if (first + static_cast<int64_t>(taps_) > known) break;
            double pos = (t - whole) * static_cast<double>(phases_);
            auto p = std::min(static_cast<size_t>(pos), phases_ - 1);
            const float* h = &table_[p * taps_];
            if (phases_ > 1) {
                auto f = static_cast<float>(pos - static_cast<double>(p));
                const float* next = h + taps_;
                for (size_t i = 0; i < taps_; i++) h_[i] = h[i] + (next[i] - h[i]) * f;
                h = h_.data();
            }
            const auto at = static_cast<size_t>(first - base_);
            out.push_back(dot(h, &left_[at]));
            out.push_back(dot(h, &right_[at]));
            n_++;
        }
        // Frames no later output reaches.
        auto oldest = static_cast<int64_t>(std::floor(static_cast<double>(n_) * step_)) - half_ + 1;
        if (oldest - base_ > 8192) {
            auto drop = static_cast<std::ptrdiff_t>(oldest - base_);
            left_.erase(left_.begin(), left_.begin() + drop);
            right_.erase(right_.begin(), right_.begin() + drop);
            base_ = oldest;
        }
    }

private:
    // Eight sums side by side: the compiler keeps them in one vector register.
    float dot(const float* h, const float* x) const {
        float part[8] = {};
        size_t i = 0;
        for (; i + 8 <= taps_; i += 8)
            for (size_t u = 0; u < 8; u++) part[u] += h[i + u] * x[i + u];
        float sum = 0;
        for (; i < taps_; i++) sum += h[i] * x[i];
        for (float v : part) sum += v;
        return sum;
    }

    double step_;
    int half_ = 1;
    size_t taps_ = 2, phases_ = 1;
    std::vector<float> table_;
    std::vector<float> left_, right_;  // frames from base_ on
    std::vector<float> h_;
    int64_t base_ = 0;
    int64_t n_ = 0;  // the next output frame
};

// L and R held under a peak; the output is the input 2w frames late.
class Limiter {
public:
    Limiter(int w, double peak)
        : w_(w),
          peak_(peak * (1 - 1e-6)),
          delay_(static_cast<size_t>(4 * w), 0.0f),
          box_(static_cast<size_t>(2 * w + 1), 0) {}

    void process(const float* lr, size_t frames, std::vector<float>& out) {
        for (size_t k = 0; k < frames; k++, j_++) {
            float l = lr[2 * k], r = lr[2 * k + 1];
            double m = std::max(std::abs(l), std::abs(r));
            double need = m > peak_ ? peak_ / m : 1.0;
            // Fixed point, rounded down: the sum of the box is exact, and
            // the mean never exceeds the least gain within it.
            auto q = static_cast<int64_t>(std::floor(need * kOne));
            while (!mins_.empty() && mins_.back().second >= q) mins_.pop_back();
            mins_.emplace_back(j_, q);
            while (mins_.front().first < j_ - 2 * w_) mins_.pop_front();
            // The box starts empty (gain 0): the first frames fade in rather
            // than be let through by a gain that never saw them.
            sum_ += mins_.front().second - box_[box_at_];
            box_[box_at_] = mins_.front().second;
            box_at_ = (box_at_ + 1) % box_.size();
            double gain = static_cast<double>(sum_) / static_cast<double>(box_.size()) / kOne;
            float* late = &delay_[2 * delay_at_];
            out.push_back(static_cast<float>(late[0] * gain));
            out.push_back(static_cast<float>(late[1] * gain));
            late[0] = l;
            late[1] = r;
            delay_at_ = (delay_at_ + 1) % (delay_.size() / 2);
        }
    }

private:
    static constexpr double kOne = 1 << 30;
    int w_;
    double peak_;
    std::vector<float> delay_;  // 2w frames
    size_t delay_at_ = 0;
    std::vector<int64_t> box_;  // the last 2w + 1 running minima
    size_t box_at_ = 0;
    int64_t sum_ = 0;
    std::deque<std::pair<int64_t, int64_t>> mins_;  // frame, gain: rising gains
    int64_t j_ = 0;
};

class SoundFileAudio : public ProgrammeAudio {
public:
    explicit SoundFileAudio(std::unique_ptr<SoundFile> file) : file_(std::move(file)) {}
    double rate() const override { return file_->info().samplerate; }
    size_t read(float* lr, size_t frames) override {
        const auto channels = static_cast<size_t>(file_->info().channels);
        frames = std::min(frames, kReadFrames);
        buf_.resize(frames * channels);
        size_t got = file_->read(buf_.data(), frames);
        for (size_t k = 0; k < got; k++)
            for (size_t c = 0; c < 2; c++) {
                // A float file may hold anything: nothing non-finite or wild reaches the filters.
                float v = buf_[k * channels + std::min(c, channels - 1)];
                lr[2 * k + c] = std::isfinite(v) ? std::clamp(v, -16.0f, 16.0f) : 0.0f;
            }
        return got;
    }
    bool rewind() override { return file_->rewind(); }

private:
    std::unique_ptr<SoundFile> file_;
    std::vector<float> buf_;
};

class NoiseAudio : public ProgrammeAudio {
public:
    explicit NoiseAudio(uint32_t seed) : seed_(seed), rng_(seed) {}
    double rate() const override { return kWorkRate; }
    size_t read(float* lr, size_t frames) override {
        // Half of each side's power common to both: the sum is 4.8 dB over
        // the difference, as with most stereo programmes. The one-pole
        // falls as the pre-emphasis rises, so the multiplex gets a flat
        // spectrum up to 15 kHz, the most a broadcast puts next to the pilot
        // and, on the 38 kHz carrier, next to the RDS band.
        const float a = static_cast<float>(std::exp(-1.0 / (50e-6 * kWorkRate)));
        for (size_t k = 0; k < frames; k++) {
            float c = gauss_(rng_), l = gauss_(rng_), r = gauss_(rng_);
            left_ = a * left_ + (1 - a) * kLevel * (c + l);
            right_ = a * right_ + (1 - a) * kLevel * (c + r);
            lr[2 * k] = left_;
            lr[2 * k + 1] = right_;
        }
        return frames;
    }
    bool rewind() override {
        rng_.seed(seed_);
        left_ = right_ = 0;
        return true;
    }

private:
    // Each side about 0.2 of full deviation (RMS) in the multiplex: its
    // peaks, four times that and more, meet a limit of about 0.87 now and then.
    static constexpr float kLevel = 0.18f;
    uint32_t seed_;
    std::mt19937 rng_;
    std::normal_distribution<float> gauss_{0.0f, 1.0f};
    float left_ = 0, right_ = 0;
};

}  // namespace

std::unique_ptr<ProgrammeAudio> ProgrammeAudio::open(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<ProgrammeAudio> {
        if (error) *error = why;
        return nullptr;
    };
    auto sound = SoundFile::open(path, "a sound file", "", error);
    if (!sound) return nullptr;
    const SF_INFO info = sound->info();
    auto audio = std::make_unique<SoundFileAudio>(std::move(sound));
    if (info.channels < 1 || info.channels > 2)
        return fail(path + ": " + std::to_string(info.channels) + " channels; a programme is mono or stereo");
    if (info.samplerate < kMinAudioRate || info.samplerate > kMaxAudioRate)
        return fail(path + ": sample rate " + std::to_string(info.samplerate) + " Hz; a programme is 8 to 384 kHz");
    if (info.frames <= 0) return fail(path + ": holds no sound");
    return audio;
}

std::unique_ptr<ProgrammeAudio> ProgrammeAudio::noise(uint32_t seed) { return std::make_unique<NoiseAudio>(seed); }

struct ProgrammeChain::State {
    std::shared_ptr<ProgrammeAudio> audio;
    bool silent = false;  // the audio gave nothing even from its start
    // To 48 kHz, loosely: what folds below 16.2 kHz or images there is
    // stopped, the rest the cut takes. A short kernel at any audio rate.
    std::optional<KernelResampler> to_work;
    KernelResampler cut;  // at 48 kHz: the 15 kHz cut and the pre-emphasis
    KernelResampler interpolate;
    Limiter limiter;
    std::vector<float> read_buf, work, cut_out, raw, ready;
    size_t at = 0;

    State(std::shared_ptr<ProgrammeAudio> a, double mpx_rate, double preemphasis_us, double peak)
        : audio(std::move(a)),
          cut(kWorkRate, kWorkRate, (kPassHz + kStopHz) / 2 / kWorkRate, (kStopHz - kPassHz) / kWorkRate,
              preemphasis_us * 1e-6 * kWorkRate),
          // Pass what the cut leaves, stop its images from 48 - 16.2 kHz up.
          interpolate(kWorkRate, mpx_rate, 0.5, (kWorkRate - 2 * kStopHz) / kWorkRate, 0.0),
          limiter(std::max(1, static_cast<int>(std::lround(kLimiterSeconds * mpx_rate))), peak) {
        const double rate = std::clamp(audio->rate(), kMinAudioRate, kMaxAudioRate);
        if (rate != kWorkRate) {
            // Up to 16.2 kHz passes (less for audio that holds less); from
            // there to the images of a slow rate, or to what folds onto the
            // pass band from a fast one, is the transition.
            double pass = std::min(kStopHz, 0.45 * rate);
            double stop = std::min(rate, kWorkRate) - pass;
            to_work.emplace(rate, kWorkRate, (pass + stop) / 2 / rate, (stop - pass) / rate, 0.0);
        }
        read_buf.resize(2 * kReadFrames);
    }

    // The audio's next frames, from its start again at its end.
    size_t read() {
        size_t got = silent ? 0 : audio->read(read_buf.data(), kReadFrames);
        if (got == 0 && !silent) {
            if (audio->rewind()) got = audio->read(read_buf.data(), kReadFrames);
            silent = got == 0;
        }
        if (got == 0) {
            std::fill(read_buf.begin(), read_buf.end(), 0.0f);
            got = kReadFrames;
        }
        return got;
    }

    void refill() {
        ready.clear();
        at = 0;
        while (ready.empty()) {
            size_t got = read();
            const float* at_work = read_buf.data();
            if (to_work) {
                to_work->push(read_buf.data(), got);
                work.clear();
                to_work->pull(work);
                at_work = work.data();
                got = work.size() / 2;
            }
            cut.push(at_work, got);
            cut_out.clear();
            cut.pull(cut_out);
            interpolate.push(cut_out.data(), cut_out.size() / 2);
            raw.clear();
            interpolate.pull(raw);
            limiter.process(raw.data(), raw.size() / 2, ready);
        }
    }
};

ProgrammeChain::ProgrammeChain(std::shared_ptr<ProgrammeAudio> audio, double mpx_rate, double preemphasis_us,
                               double peak)
    : state_(std::make_unique<State>(std::move(audio), mpx_rate, preemphasis_us, peak)) {}
ProgrammeChain::~ProgrammeChain() = default;

void ProgrammeChain::next(float& sum, float& difference) {
    State& s = *state_;
    if (s.at >= s.ready.size()) s.refill();
    float l = s.ready[s.at], r = s.ready[s.at + 1];
    s.at += 2;
    sum = (l + r) / 2;
    difference = (l - r) / 2;
}

}  // namespace fmsim::radio
