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
