// The RDS modulator: groups to a multiplex, and a multiplex to FM in IQ.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "internal.h"
#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kSpan = kPulseSpan;
constexpr int kTableRes = 512;           // pulse table points per bit
constexpr double kNoiseBandHz = 4800.0;  // the band RDS occupies: 57 kHz +- 2.4 kHz

// The spectral shaping of one half of a biphase symbol: H(f) = cos(pi f T / 4)
// for f up to 2/T and nothing above. Its impulse response, t in bits.
double shaping(double u) {
    double d = 1.0 - 64.0 * u * u;
    if (std::abs(d) < 1e-9) return kTwoPi / 8.0;  // the limit at u = +-1/8: pi/4
    return std::cos(2.0 * kTwoPi * u) / d;
}

}  // namespace

// The transmitted pulse of one differentially coded bit: the biphase symbol
// (an impulse, then its opposite half a bit later) through the shaping
// filter, sampled over [-kSpan, kSpan + 0.5] bits.
std::vector<float> biphase_pulse(int per_bit, double& energy_per_bit) {
    int n = static_cast<int>((2 * kSpan + 0.5) * per_bit) + 1;
    std::vector<float> p(static_cast<size_t>(n));
    double peak = 0;
    for (int i = 0; i < n; i++) {
        double u = -kSpan + static_cast<double>(i) / per_bit;
        double v = shaping(u) - shaping(u - 0.5);
        p[static_cast<size_t>(i)] = static_cast<float>(v);
        peak = std::max(peak, std::abs(v));
    }
    double e = 0;
    for (auto& v : p) {
        v = static_cast<float>(v / peak);
        e += static_cast<double>(v) * v;
    }
    energy_per_bit = e / per_bit;
    return p;
}

struct MpxModulator::State {
    MpxOptions o;
    double true_rate;  // the recording's real sample clock
    std::vector<float> pulse;
    std::vector<float> symbols;  // +-1 per differentially coded bit
    int64_t first_symbol = 0;    // index of symbols[0]
    int64_t sample = 0;          // next sample's index
    uint8_t last_bit = 0;        // differential coder
    double pilot_phase = 0;
    double pilot_step;
    double noise_sigma = 0;
    std::mt19937 rng;
    std::normal_distribution<float> gauss{0.0f, 1.0f};
    std::unique_ptr<ProgrammeChain> programme;

    explicit State(const MpxOptions& options) : o(options), rng(options.seed) {
        true_rate = o.rate * (1.0 + o.clock_ppm * 1e-6);
        double energy;
        pulse = biphase_pulse(kTableRes, energy);
        pilot_step = kTwoPi * (kPilotHz + o.subcarrier_offset_hz / 3.0) / true_rate;
        if (o.programme) {
            // The programme gets what the pilot and the RDS at their highest leave of full deviation.
            double room = 1.0 - (o.pilot ? std::abs(o.pilot_level) : 0.0) - std::abs(o.rds_level) * rds_peak();
            programme = std::make_unique<ProgrammeChain>(o.programme, o.rate, std::max(0.0, o.preemphasis_us),
                                                         std::max(0.05, room));
        }
        if (o.snr_db) {
            // Random bits: the baseband's mean square is the pulse energy per
            // bit; the carrier halves it.
            double p_rds = o.rds_level * o.rds_level * energy / 2.0;
            double in_band = p_rds / std::pow(10.0, *o.snr_db / 10.0);
            noise_sigma = std::sqrt(in_band * (o.rate / 2.0) / kNoiseBandHz);
        }
    }

    // The RDS baseband's highest magnitude: every symbol's pulse at its worst sign.
    double rds_peak() const {
        double peak = 0;
        const auto per_bit = static_cast<size_t>(kTableRes);
        for (size_t i = 0; i < per_bit; i++) {
            double sum = 0;
            for (size_t k = i; k < pulse.size(); k += per_bit) sum += std::abs(pulse[k]);
            peak = std::max(peak, sum);
        }
        return peak;
    }

    void push_bit(uint8_t bit) {
        last_bit ^= bit & 1;
        symbols.push_back(last_bit ? 1.0f : -1.0f);
    }

    float baseband(double u) const {
        // Symbol k's pulse covers u in [k - kSpan, k + kSpan + 0.5].
        int64_t k_lo = static_cast<int64_t>(std::ceil(u - kSpan - 0.5));
        int64_t k_hi = static_cast<int64_t>(std::floor(u + kSpan));
        float s = 0;
        for (int64_t k = std::max(k_lo, first_symbol); k <= k_hi; k++) {
            double x = (u - static_cast<double>(k) + kSpan) * kTableRes;
            size_t i = static_cast<size_t>(x);
            if (i + 1 >= pulse.size()) continue;
            float f = static_cast<float>(x - static_cast<double>(i));
            float v = pulse[i] + (pulse[i + 1] - pulse[i]) * f;
            s += symbols[static_cast<size_t>(k - first_symbol)] * v;
        }
        return s;
    }

    // Every sample whose pulses are all known.
    void generate(std::vector<float>& out) {
        int64_t known = first_symbol + static_cast<int64_t>(symbols.size());
        const double bits_per_sample = kBitRate / true_rate;
        for (;;) {
            double u = static_cast<double>(sample) * bits_per_sample;
            if (u + kSpan >= static_cast<double>(known)) break;
            float rds = baseband(u);
            float v = static_cast<float>(o.rds_level * rds * std::cos(3.0 * pilot_phase));
            if (o.pilot) v += static_cast<float>(o.pilot_level * std::cos(pilot_phase));
            if (programme) {
                // L+R as it is, L-R on 38 kHz in phase with the pilot's second harmonic.
                float sum, difference;
                programme->next(sum, difference);
                v += sum;
                if (o.pilot) v += static_cast<float>(difference * std::cos(2.0 * pilot_phase));
            }
            if (noise_sigma > 0) v += static_cast<float>(noise_sigma) * gauss(rng);
            out.push_back(v);
            sample++;
            pilot_phase += pilot_step;
            if (pilot_phase > kTwoPi) pilot_phase -= kTwoPi;
        }
        // Symbols no sample to come needs.
        double u = static_cast<double>(sample) * bits_per_sample;
        int64_t keep_from = static_cast<int64_t>(std::floor(u - kSpan - 1.0));
        if (keep_from > first_symbol) {
            size_t drop =
                static_cast<size_t>(std::min<int64_t>(keep_from - first_symbol, static_cast<int64_t>(symbols.size())));
            symbols.erase(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(drop));
            first_symbol += static_cast<int64_t>(drop);
        }
    }
};

MpxModulator::MpxModulator(const MpxOptions& options) : state_(std::make_unique<State>(options)) {}
MpxModulator::~MpxModulator() = default;

void MpxModulator::modulate(const std::vector<RdsGroup>& groups, std::vector<float>& out) {
    for (const auto& g : groups)
        for (uint8_t bit : group_bits(g)) state_->push_bit(bit);
    state_->generate(out);
}

void MpxModulator::filler(double seconds, std::vector<float>& out) {
    // Ones: the symbols alternate, which gives the receiver's bit clock an
    // unambiguous eye, and no 26 bits of them make a block of any offset.
    auto bits = static_cast<long>(std::lround(std::max(0.0, seconds) * kBitRate));
    for (long i = 0; i < bits; i++) state_->push_bit(1);
    state_->generate(out);
}

double MpxModulator::rate() const { return state_->o.rate; }

std::vector<float> make_mpx(const std::vector<RdsGroup>& groups, const MpxOptions& options, double lead_in_s) {
    MpxModulator mod(options);
    std::vector<float> out;
    mod.filler(lead_in_s, out);
    mod.modulate(groups, out);
    mod.filler(kTailSeconds, out);
    return out;
}

// ---- IQ ------------------------------------------------------------------------

bool parse_iq_format(const std::string& text, IqFormat& format) {
    if (text == "cu8") format = IqFormat::Cu8;
    else if (text == "cs16") format = IqFormat::Cs16;
    else if (text == "cf32") format = IqFormat::Cf32;
    else return false;
    return true;
}

const char* iq_format_name(IqFormat format) {
    switch (format) {
        case IqFormat::Cu8: return "cu8";
        case IqFormat::Cs16: return "cs16";
        case IqFormat::Cf32: return "cf32";
    }
    return "?";
}

size_t iq_sample_bytes(IqFormat format) {
    switch (format) {
        case IqFormat::Cu8: return 2;
        case IqFormat::Cs16: return 4;
        case IqFormat::Cf32: return 8;
    }
    return 2;
}

std::vector<uint8_t> fm_modulate(const std::vector<float>& mpx, double mpx_rate, const IqOptions& options,
                                 IqFormat format) {
    const double true_rate = options.iq_rate * (1.0 + options.clock_ppm * 1e-6);
    // The multiplex at the IQ rate.
    std::vector<float> m;
    {
        msresamp_rrrf q = make_resampler_rrrf(static_cast<float>(true_rate / mpx_rate));
        std::vector<float> in(mpx);
        m.resize(static_cast<size_t>(static_cast<double>(mpx.size()) * true_rate / mpx_rate) + 64);
        unsigned ny = 0;
        if (!in.empty()) msresamp_rrrf_execute(q, in.data(), static_cast<unsigned>(in.size()), m.data(), &ny);
        m.resize(ny);
        msresamp_rrrf_destroy(q);
    }
    double sigma = 0;
    if (options.snr_db) {
        double channel = options.level * options.level / std::pow(10.0, *options.snr_db / 10.0);
        sigma = std::sqrt(channel * options.iq_rate / 200000.0 / 2.0);
    }
    std::mt19937 rng(options.seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    const double dev_step = kTwoPi * options.deviation_hz / true_rate;
    const double offset_step = kTwoPi * options.offset_hz / true_rate;
    std::vector<uint8_t> out(m.size() * iq_sample_bytes(format));
    double phase = 0;
    for (size_t n = 0; n < m.size(); n++) {
        float i = static_cast<float>(options.level * std::cos(phase));
        float q = static_cast<float>(options.level * std::sin(phase));
        if (sigma > 0) {
            i += static_cast<float>(sigma) * gauss(rng);
            q += static_cast<float>(sigma) * gauss(rng);
        }
        phase += dev_step * m[n] + offset_step;
        if (phase > kTwoPi) phase -= kTwoPi;
        if (phase < 0) phase += kTwoPi;
        uint8_t* o = out.data() + n * iq_sample_bytes(format);
        switch (format) {
            case IqFormat::Cu8:
                o[0] = static_cast<uint8_t>(std::clamp(std::lround(127.5 + 127.5 * i), 0L, 255L));
                o[1] = static_cast<uint8_t>(std::clamp(std::lround(127.5 + 127.5 * q), 0L, 255L));
                break;
            case IqFormat::Cs16: {
                auto a = static_cast<int16_t>(std::clamp(std::lround(32767.0 * i), -32768L, 32767L));
                auto b = static_cast<int16_t>(std::clamp(std::lround(32767.0 * q), -32768L, 32767L));
                o[0] = static_cast<uint8_t>(a & 0xFF);
                o[1] = static_cast<uint8_t>((a >> 8) & 0xFF);
                o[2] = static_cast<uint8_t>(b & 0xFF);
                o[3] = static_cast<uint8_t>((b >> 8) & 0xFF);
                break;
            }
            case IqFormat::Cf32:
                std::memcpy(o, &i, 4);
                std::memcpy(o + 4, &q, 4);
                break;
        }
    }
    return out;
}

}  // namespace fmsim::radio
