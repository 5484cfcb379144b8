// The FM front end: IQ samples, one station's multiplex, channel powers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "internal.h"
#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kChannelHalfWidth = 100000.0;  // a broadcast FM channel: +-100 kHz
constexpr double kDeviation = 75000.0;
constexpr size_t kChunk = 4096;

float finite(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

void iq_to_complex(const uint8_t* raw, size_t bytes, IqFormat format, std::vector<std::complex<float>>& out) {
    size_t step = iq_sample_bytes(format);
    size_t n = bytes / step;
    size_t at = out.size();
    out.resize(at + n);
    for (size_t k = 0; k < n; k++, raw += step) {
        float i = 0, q = 0;
        switch (format) {
            case IqFormat::Cu8:
                i = (static_cast<float>(raw[0]) - 127.5f) / 127.5f;
                q = (static_cast<float>(raw[1]) - 127.5f) / 127.5f;
                break;
            case IqFormat::Cs16:
                i = static_cast<float>(static_cast<int16_t>(raw[0] | raw[1] << 8)) / 32768.0f;
                q = static_cast<float>(static_cast<int16_t>(raw[2] | raw[3] << 8)) / 32768.0f;
                break;
            case IqFormat::Cf32:
                std::memcpy(&i, raw, 4);
                std::memcpy(&q, raw + 4, 4);
                // Whatever a file holds, nothing non-finite or absurd goes on.
                i = std::clamp(finite(i), -1e3f, 1e3f);
                q = std::clamp(finite(q), -1e3f, 1e3f);
                break;
        }
        out[at + k] = {i, q};
    }
}

// The multiplex rate: 228 kHz, or 171 kHz when the IQ rate is a whole
// multiple of it and not of 228 kHz (the resampler is then a plain
// decimator). The channel is first brought down by a whole factor to the
// lowest rate that still holds it (at least 228 kHz, or the IQ rate itself
// below that), demodulated there, then resampled to the multiplex rate.
struct FmChannel::State {
    double iq_rate;
    double mid_rate;
    double out_rate;
    unsigned decim;
    uint32_t phase = 0;
    uint32_t step;
    firdecim_crcf channel = nullptr;
    msresamp_rrrf resamp = nullptr;
    std::complex<float> last{0, 0};
    double power = 0;
    bool have_power = false;
    std::vector<std::complex<float>> mixed, filtered;
    std::vector<float> demod, resampled;

    State(double rate, double offset_hz) : iq_rate(std::max(rate, 1000.0)) {
        decim = std::max(1u, static_cast<unsigned>(iq_rate / 228000.0));
        mid_rate = iq_rate / decim;
        bool whole228 = std::fmod(iq_rate, 228000.0) == 0.0;
        bool whole171 = std::fmod(iq_rate, 171000.0) == 0.0;
        out_rate = (whole171 && !whole228) || mid_rate < 228000.0 ? 171000.0 : 228000.0;
        double shift = std::fmod(-offset_hz / iq_rate, 1.0);
        if (shift < 0) shift += 1.0;
        step = static_cast<uint32_t>(std::llround(shift * 4294967296.0) & 0xFFFFFFFFll);
        // The channel filter: +-100 kHz, the decimation's anti-alias filter too.
        unsigned len = 8 * decim * 2 + 1;
        if (len < 33) len = 33;
        std::vector<float> h(len);
        float fc = static_cast<float>(std::min(kChannelHalfWidth / iq_rate, 0.45 / decim));
        liquid_firdes_kaiser(len, fc, 60.0f, 0.0f, h.data());
        float sum = std::accumulate(h.begin(), h.end(), 0.0f);
        for (auto& v : h) v /= sum;
        channel = firdecim_crcf_create(decim, h.data(), len);
        if (std::abs(out_rate - mid_rate) > 1e-6) resamp = make_resampler_rrrf(static_cast<float>(out_rate / mid_rate));
    }
    ~State() {
        firdecim_crcf_destroy(channel);
        if (resamp) msresamp_rrrf_destroy(resamp);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void push(const std::complex<float>* iq, size_t count, std::vector<float>& mpx) {
        const double scale = mid_rate / (kTwoPi * kDeviation);
        const double smooth = 1.0 / (0.05 * mid_rate);  // power over about 50 ms
        while (count > 0) {
            // Whole decimation frames only; the rest waits in `mixed`.
            size_t n = std::min(count, kChunk);
            for (size_t k = 0; k < n; k++) {
                double a = kTwoPi * static_cast<double>(phase) / 4294967296.0;
                std::complex<float> rot(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
                std::complex<float> v(finite(iq[k].real()), finite(iq[k].imag()));
                mixed.push_back(v * rot);
                phase += step;
            }
            iq += n;
            count -= n;
            size_t frames = mixed.size() / decim;
            if (frames == 0) continue;
            filtered.resize(frames);
            firdecim_crcf_execute_block(channel, mixed.data(), static_cast<unsigned>(frames), filtered.data());
            mixed.erase(mixed.begin(), mixed.begin() + static_cast<std::ptrdiff_t>(frames * decim));
            demod.resize(frames);
            for (size_t k = 0; k < frames; k++) {
                std::complex<float> z = filtered[k];
                double p = std::norm(z);
                if (!have_power) {
                    power = p;
                    have_power = true;
                }
                power += (p - power) * smooth;
                // Polar discriminator: the phase step between two samples.
                std::complex<float> d = z * std::conj(last);
                demod[k] = (d.real() == 0.0f && d.imag() == 0.0f)
                               ? 0.0f
                               : static_cast<float>(std::atan2(d.imag(), d.real()) * scale);
                last = z;
            }
            if (!resamp) {
                mpx.insert(mpx.end(), demod.begin(), demod.end());
                continue;
            }
            resampled.resize(static_cast<size_t>(static_cast<double>(frames) * out_rate / mid_rate) + 64);
            unsigned ny = 0;
            msresamp_rrrf_execute(resamp, demod.data(), static_cast<unsigned>(frames), resampled.data(), &ny);
            mpx.insert(mpx.end(), resampled.begin(), resampled.begin() + ny);
        }
    }
};

FmChannel::FmChannel(double iq_rate, double offset_hz) : state_(std::make_unique<State>(iq_rate, offset_hz)) {}
FmChannel::~FmChannel() = default;

void FmChannel::push(const std::complex<float>* iq, size_t count, std::vector<float>& mpx) {
    state_->push(iq, count, mpx);
}

double FmChannel::mpx_rate() const { return state_->out_rate; }

double FmChannel::power_db() const {
    return state_->have_power && state_->power > 1e-30 ? 10.0 * std::log10(state_->power) : -300.0;
}

// Overlap-save with a hop of three quarters of the FFT: a block of N input
// samples holds the last N/4 of the one before, which the channel filter
// (N/4 + 1 taps) needs, and gives 3N/4 new samples of every channel. The
// FFT is N = D * 256 points for a decimation D to at least 200 kHz, so that
// 256 bins around a channel's frequency are that channel at the output rate.
struct Channelizer::State {
    static constexpr unsigned kBins = 256;  // a channel's inverse FFT
    static constexpr unsigned kKeep = kBins * 3 / 4;

    struct Channel {
        unsigned bin;                                // the channel's centre, a whole bin (mod n)
        std::complex<double> fine_step, fine{1, 0};  // the rest of the offset, mixed out at the output rate
    };

    double iq_rate;
    unsigned decim, n, hop;
    uint64_t blocks = 0;
    std::vector<std::complex<float>> block, spectrum, shaped, time;
    std::vector<std::complex<float>> response;  // the channel filter on the kBins bins around 0 (inverse-FFT order)
    std::vector<Channel> channels;
    size_t fill;
    fftplan forward = nullptr, inverse = nullptr;

    explicit State(double rate) : iq_rate(std::max(rate, 200000.0)) {
        decim = std::max(1u, static_cast<unsigned>(iq_rate / 200000.0));
        n = decim * kBins;
        hop = n / 4 * 3;
        block.assign(n, {});
        spectrum.resize(n);
        shaped.resize(kBins);
        time.resize(kBins);
        fill = n - hop;  // the first block starts with a quarter of silence
        forward = fft_create_plan(n, block.data(), spectrum.data(), LIQUID_FFT_FORWARD, 0);
        inverse = fft_create_plan(kBins, shaped.data(), time.data(), LIQUID_FFT_BACKWARD, 0);
        // +-90 kHz: the channel at 200 kHz spacing, and what folds back from
        // beyond the output's Nyquist frequency is 60 dB down.
        unsigned taps = n / 4 + 1;
        std::vector<float> h(taps);
        liquid_firdes_kaiser(taps, static_cast<float>(90000.0 / iq_rate), 60.0f, 0.0f, h.data());
        float sum = std::accumulate(h.begin(), h.end(), 0.0f);
        std::vector<std::complex<float>> padded(n), hf(n);
        for (unsigned k = 0; k < taps; k++) padded[k] = h[k] / sum;
        fft_run(n, padded.data(), hf.data(), LIQUID_FFT_FORWARD, 0);
        // The causal filter as it is, delay and all: its taps then lie in the
        // quarter of the block that overlap-save throws away.
        response.resize(kBins);
        for (unsigned m = 0; m < kBins; m++) {
            int bin = m < kBins / 2 ? static_cast<int>(m) : static_cast<int>(m) - static_cast<int>(kBins);
            response[m] = hf[(bin + static_cast<int>(n)) % n] / static_cast<float>(n);
        }
    }
    ~State() {
        fft_destroy_plan(forward);
        fft_destroy_plan(inverse);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    size_t add(double offset_hz) {
        double bin_hz = iq_rate / n;
        long k = std::lround(offset_hz / bin_hz);
        double rest = offset_hz - static_cast<double>(k) * bin_hz;
        double out_rate = iq_rate / decim;
        Channel c;
        c.bin = static_cast<unsigned>((k % static_cast<long>(n) + static_cast<long>(n)) % static_cast<long>(n));
        c.fine_step = std::polar(1.0, -kTwoPi * rest / out_rate);
        channels.push_back(c);
        return channels.size() - 1;
    }

    void run_block(std::vector<std::vector<std::complex<float>>>& out) {
        fft_execute(forward);
        for (size_t i = 0; i < channels.size(); i++) {
            Channel& c = channels[i];
            for (unsigned m = 0; m < kBins; m++) {
                unsigned from = (c.bin + (m < kBins / 2 ? m : n - kBins + m)) % n;
                shaped[m] = spectrum[from] * response[m];
            }
            fft_execute(inverse);
            // Taking the bins around `bin` to 0 shifts block b by a phase of
            // its own, -2 pi bin * b * hop / n: undone, the channel runs on
            // across blocks. The fine mixing follows in the same rotation.
            uint64_t turn = (static_cast<uint64_t>(c.bin) * (blocks * hop % n)) % n;
            std::complex<double> rot = std::polar(1.0, -kTwoPi * static_cast<double>(turn) / n);
            auto& o = out[i];
            for (unsigned m = kBins - kKeep; m < kBins; m++) {
                o.push_back(std::complex<float>(rot * c.fine * std::complex<double>(time[m])));
                c.fine *= c.fine_step;
            }
            c.fine /= std::abs(c.fine);
        }
        blocks++;
        // The last quarter begins the next block.
        std::copy(block.end() - (n - hop), block.end(), block.begin());
        fill = n - hop;
    }

    void push(const std::complex<float>* iq, size_t count, std::vector<std::vector<std::complex<float>>>& out) {
        out.resize(channels.size());
        while (count > 0) {
            size_t take = std::min(count, n - fill);
            for (size_t k = 0; k < take; k++) block[fill + k] = {finite(iq[k].real()), finite(iq[k].imag())};
            fill += take;
            iq += take;
            count -= take;
            if (fill == n) run_block(out);
        }
    }
};

Channelizer::Channelizer(double iq_rate) : state_(std::make_unique<State>(iq_rate)) {}
Channelizer::~Channelizer() = default;
double Channelizer::channel_rate() const { return state_->iq_rate / state_->decim; }
size_t Channelizer::add(double offset_hz) { return state_->add(offset_hz); }
void Channelizer::push(const std::complex<float>* iq, size_t count,
                       std::vector<std::vector<std::complex<float>>>& out) {
    state_->push(iq, count, out);
}

void FmDiscriminator::push(const std::complex<float>* in, size_t count, std::vector<float>& mpx) {
    size_t at = mpx.size();
    mpx.resize(at + count);
    for (size_t k = 0; k < count; k++) {
        std::complex<float> d = in[k] * std::conj(last_);
        mpx[at + k] =
            (d.real() == 0.0f && d.imag() == 0.0f) ? 0.0f : static_cast<float>(std::atan2(d.imag(), d.real()) * scale_);
        last_ = in[k];
    }
}

struct FmModulator::State {
    msresamp_rrrf resamp = nullptr;
    double ratio, dev_step, offset_step, level, phase = 0;
    std::vector<float> up;

    State(double mpx_rate, const IqOptions& o)
        : ratio(o.iq_rate / mpx_rate),
          dev_step(kTwoPi * o.deviation_hz / o.iq_rate),
          offset_step(kTwoPi * o.offset_hz / o.iq_rate),
          level(o.level) {
        if (std::abs(ratio - 1.0) > 1e-9) resamp = make_resampler_rrrf(static_cast<float>(ratio));
    }
    ~State() {
        if (resamp) msresamp_rrrf_destroy(resamp);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void push(const float* mpx, size_t count, std::vector<std::complex<float>>& iq) {
        const float* m = mpx;
        size_t len = count;
        if (resamp) {
            up.resize(static_cast<size_t>(static_cast<double>(count) * ratio) + 64);
            unsigned ny = 0;
            if (count > 0)
                msresamp_rrrf_execute(resamp, const_cast<float*>(mpx), static_cast<unsigned>(count), up.data(), &ny);
            m = up.data();
            len = ny;
        }
        size_t at = iq.size();
        iq.resize(at + len);
        for (size_t k = 0; k < len; k++) {
            iq[at + k] = std::polar(static_cast<float>(level), static_cast<float>(phase));
            phase = std::fmod(phase + dev_step * finite(m[k]) + offset_step, kTwoPi);
        }
    }
};

FmModulator::FmModulator(double mpx_rate, const IqOptions& options)
    : state_(std::make_unique<State>(mpx_rate, options)) {}
FmModulator::~FmModulator() = default;
void FmModulator::push(const float* mpx, size_t count, std::vector<std::complex<float>>& iq) {
    state_->push(mpx, count, iq);
}

// Averaged periodograms (Hann window) of up to 1024 points; the bins of each
// 100 kHz channel (centre +-50 kHz) summed. Scaled so that a full-scale
// complex tone, or noise of that power, reads 0 dBFS.
std::vector<std::pair<int32_t, double>> channel_powers(const std::complex<float>* iq, size_t count, double iq_rate) {
    std::vector<std::pair<int32_t, double>> result;
    if (count < 16 || !(iq_rate > 0)) return result;
    unsigned n = 16;
    while (n < 1024 && n * 2 <= count) n *= 2;
    std::vector<float> window(n);
    double wenergy = 0;
    for (unsigned k = 0; k < n; k++) {
        window[k] = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * k / n));
        wenergy += static_cast<double>(window[k]) * window[k];
    }
    std::vector<double> spectrum(n, 0.0);
    std::vector<std::complex<float>> x(n), y(n);
    size_t segments = 0;
    for (size_t at = 0; at + n <= count; at += n, segments++) {
        for (unsigned k = 0; k < n; k++)
            x[k] = std::complex<float>(finite(iq[at + k].real()), finite(iq[at + k].imag())) * window[k];
        fft_run(n, x.data(), y.data(), LIQUID_FFT_FORWARD, 0);
        for (unsigned k = 0; k < n; k++) spectrum[k] += std::norm(y[k]);
    }
    // Parseval: the bins of a channel add up to its power, a tone's leakage included.
    const double scale = 1.0 / (n * wenergy * static_cast<double>(segments));
    const double bin_hz = iq_rate / n;
    int32_t lo = static_cast<int32_t>(std::ceil((-iq_rate / 2 + 50000.0) / 100000.0));
    int32_t hi = static_cast<int32_t>(std::floor((iq_rate / 2 - 50000.0) / 100000.0));
    for (int32_t c = lo; c <= hi; c++) {
        double centre = c * 100000.0;
        double sum = 0;
        for (unsigned k = 0; k < n; k++) {
            double f = (k < n / 2 ? k : static_cast<double>(k) - n) * bin_hz;
            if (f >= centre - 50000.0 && f < centre + 50000.0) sum += spectrum[k];
        }
        sum *= scale;
        result.emplace_back(static_cast<int32_t>(centre), sum > 1e-30 ? 10.0 * std::log10(sum) : -300.0);
    }
    return result;
}

// One step a dB, 0 at -60 dBFS (below an 8-bit dongle's noise in a channel)
// up to 63 at +3 dBFS: a station at -20 dBFS reads 40.
uint32_t rssi_from_power(double power_db) {
    if (!(power_db > -60.0)) return 0;
    double v = std::round(power_db + 60.0);
    return static_cast<uint32_t>(std::min(v, 63.0));
}

}  // namespace fmsim::radio
