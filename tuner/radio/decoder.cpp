// The RDS decoder: multiplex in, groups out.
//
// 1. Two heterodynes at 19 kHz and 57 kHz from one phase accumulator (the
//    57 kHz one is exactly three times the 19 kHz one), each followed by a
//    multi-stage resampler to 9500 Hz: 8 samples a bit.
// 2. A PLL on the pilot; while it is locked the subcarrier's phase is three
//    times the pilot's, and a slow Costas loop only takes out the constant
//    phase between them. Without a pilot the Costas loop runs free with a
//    bandwidth wide enough to pull in the subcarrier tens of hertz off.
// 3. The real part, levelled, through the matched filter of one half of the
//    shaped biphase symbol (a root-raised-cosine pulse at 2375 Hz) inside
//    liquid's polyphase symbol synchroniser: one soft value a half-bit. The
//    two halves of a symbol are paired (the pairing whose halves differ
//    most), their difference is the soft bit, its sign the differentially
//    coded bit; differential decoding makes a 180 degree carrier ambiguity
//    harmless.
// 4. Block synchronisation on the bit stream (see the rules at BlockSync).
// 5. Blocks corrected from the soft values (decode_block_soft: the least
//    sure coded symbols flipped), and with the PI known between groups; or
//    from the hard bits alone, bursts of up to max_burst bits.
#include <algorithm>
#include <array>
#include <cmath>
#include <deque>

#include "internal.h"
#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = kTwoPi / 2;
constexpr int kSamplesPerHalf = 4;                                // samples a half-bit
constexpr double kBasebandRate = 2 * kBitRate * kSamplesPerHalf;  // 9500 Hz
constexpr unsigned kFilterBank = 32;                              // symbol synchroniser's polyphase filters
constexpr size_t kChunk = 4096;

// Loop gains of a second-order loop with damping 0.707 and noise bandwidth
// bn_hz at the baseband rate (phase detector gain 1).
struct LoopGains {
    double alpha, beta;
};
LoopGains loop_gains(double bn_hz) {
    const double zeta = 0.7071;
    double wn = 2.0 * bn_hz / (zeta + 1.0 / (4.0 * zeta));
    double t = 1.0 / kBasebandRate;
    return {2.0 * zeta * wn * t, (wn * t) * (wn * t)};
}

double wrap(double a) {
    while (a > kPi) a -= kTwoPi;
    while (a < -kPi) a += kTwoPi;
    return a;
}

int slot(Offset o) { return o == Offset::Cprime ? 2 : o == Offset::D ? 3 : static_cast<int>(o); }

// Block synchronisation.
//
// Acquiring: every bit, the last 26 bits are checked against the five
// offsets exactly (no correction). Two blocks whose offsets are consistent
// with the distance between them (one to four blocks apart, C or C' in the
// third place) fix the block and group phase. The groups already in the bit
// history (16 groups, 1.4 s, are kept) are then decoded too, so a signal's
// first groups are not lost: back through the groups received with an open
// eye (a signal was there), from the earliest of them that has a block
// checking exactly at its place. Groups of noise or silence never go out.
//
// Synchronised: every 26 bits a block is decoded for the offset its place
// expects, with burst correction up to max_burst bits; the third block may
// be C or C'. Each group goes out after its fourth block, a failed block
// with its bad bit and the bits as received.
//
// Losing sync, two ways:
//  - a slip: while the last four blocks at the current phase all failed,
//    two consistent blocks turn up at another phase: sync moves there;
//  - a real loss: more than 45 of the last 50 blocks failed AND the soft
//    bits show no eye (their mean magnitude under twice their spread, as
//    noise or silence gives). A run of bad blocks from a station that is
//    still received cleanly (a recording's bad blocks, sent as such) never
//    drops sync however long it is: the bit clock is intact.
class BlockSync {
public:
    BlockSync(int max_burst, bool soft) : max_burst_(std::clamp(max_burst, 0, kMaxBurst)), soft_(soft) {
        for (int o = 0; o < 5; o++) offset_syndrome_[o] = syndrome(kOffsetWord[o]);
        limits_.max_burst = max_burst_;
    }

    // d: the bit; cost: how sure its symbol (the later of its two) is.
    void bit(uint8_t d, bool eye, float cost, std::vector<RdsGroup>& out) {
        int64_t i = nbits_++;
        history_.push_back(static_cast<uint8_t>((d & 1) | (eye ? 2 : 0)));
        cost_.push_back(cost);
        if (history_.size() > 2 * kHistory) {
            history_.erase(history_.begin(), history_.begin() + kHistory);
            cost_.erase(cost_.begin(), cost_.begin() + kHistory);
            history_base_ += kHistory;
        }
        reg_ = ((reg_ << 1) | d) & ((1u << 26) - 1);
        if (nbits_ >= 26) search(i);
        if (synced_) decode_pending(out);
        if (synced_ && window_len_ == kWindow && window_fails_ > kMaxFails && !eye) synced_ = false;
    }

    bool synced() const { return synced_; }
    uint64_t received() const { return received_; }
    uint64_t failed() const { return failed_; }

private:
    static constexpr size_t kHistory = 16 * kBitsPerGroup;
    static constexpr int kWindow = 50;
    static constexpr int kMaxFails = 45;
    // Taking a failed block for the PI's: at most this cost and flips.
    static constexpr float kPiCost = 2.5f;
    static constexpr int kPiFlips = 4;

    struct Match {
        int64_t end;  // index of the block's last bit
        int slot;
    };

    void search(int64_t i) {
        uint16_t s = syndrome(reg_);
        int found = -1;
        for (int o = 0; o < 5; o++)
            if (s == offset_syndrome_[o]) found = slot(static_cast<Offset>(o));
        while (!matches_.empty() && matches_.front().end < i - 4 * kBitsPerBlock) matches_.pop_front();
        if (found < 0) return;
        bool pair = false;
        for (const auto& m : matches_) {
            int64_t dist = i - m.end;
            if (dist % kBitsPerBlock != 0) continue;
            int k = static_cast<int>(dist / kBitsPerBlock);
            if (k >= 1 && k <= 4 && (m.slot + k) % 4 == found) pair = true;
        }
        matches_.push_back({i, found});
        if (!pair) return;
        int64_t group_start = i - (kBitsPerBlock - 1) - static_cast<int64_t>(kBitsPerBlock) * found;
        if (!synced_) {
            acquire(group_start);
        } else if (((group_start - group_start_) % kBitsPerGroup + kBitsPerGroup) % kBitsPerGroup != 0 &&
                   fail_run_ >= 4) {
            acquire(group_start);
        }
    }

    uint32_t word_at(int64_t start) const {
        uint32_t w = 0;
        for (int b = 0; b < kBitsPerBlock; b++)
            w = (w << 1) | (history_[static_cast<size_t>(start - history_base_ + b)] & 1u);
        return w;
    }

    bool any_exact_block(int64_t start) const {
        for (int b = 0; b < 4; b++) {
            uint16_t s = syndrome(word_at(start + b * kBitsPerBlock));
            for (int o = 0; o < 5; o++)
                if (s == offset_syndrome_[o] && slot(static_cast<Offset>(o)) == b) return true;
        }
        return false;
    }

    bool eye_open(int64_t start) const {
        for (int b = 0; b < kBitsPerGroup; b++)
            if (!(history_[static_cast<size_t>(start - history_base_ + b)] & 2)) return false;
        return true;
    }

    void acquire(int64_t group_start) {
        // A pair in the first bits of a stream (a dongle's, joined mid-group)
        // can place its group's start before the first bit received: that
        // group is not whole, the next one is the first.
        while (group_start < history_base_) group_start += kBitsPerGroup;
        // Back through the history, whole groups received with an open eye,
        // never into bits that already went out in a group: from the
        // earliest of them with a block that checks exactly at its place.
        int64_t from = group_start;
        for (int64_t g = group_start - kBitsPerGroup; g >= history_base_ && g >= emitted_until_ && eye_open(g);
             g -= kBitsPerGroup)
            if (any_exact_block(g)) from = g;
        synced_ = true;
        group_start_ = from;
        next_block_ = from;
        block_ = 0;
        group_ = RdsGroup{};
        window_ = 0;
        window_len_ = 0;
        window_fails_ = 0;
        fail_run_ = 0;
    }

    void decode_pending(std::vector<RdsGroup>& out) {
        while (synced_ && next_block_ + kBitsPerBlock <= nbits_) {
            uint32_t w = word_at(next_block_);
            BlockDecode d;
            if (soft_) {
                d = decode_soft(w);
            } else if (block_ == 2) {
                bool version_b = !(group_.bad & 2) && (group_.block[1] >> 11 & 1);
                Offset first = version_b ? Offset::Cprime : Offset::C;
                Offset second = version_b ? Offset::C : Offset::Cprime;
                d = decode_block(w, first, 0);
                if (!d.ok) d = decode_block(w, second, 0);
                if (!d.ok) d = decode_block(w, first, max_burst_);
                if (!d.ok) d = decode_block(w, second, max_burst_);
            } else {
                d = decode_block(w, static_cast<Offset>(block_ == 3 ? 4 : block_), max_burst_);
            }
            group_.block[block_] = d.info;
            if (!d.ok) group_.bad |= static_cast<uint8_t>(1u << block_);
            received_++;
            if (!d.ok) failed_++;
            fail_run_ = d.ok ? 0 : fail_run_ + 1;
            // The last kWindow blocks, newest in bit 0.
            if (window_len_ == kWindow && (window_ >> (kWindow - 1) & 1)) window_fails_--;
            window_ = ((window_ << 1) | (d.ok ? 0u : 1u)) & ((uint64_t{1} << kWindow) - 1);
            if (!d.ok) window_fails_++;
            window_len_ = std::min(window_len_ + 1, kWindow);
            next_block_ += kBitsPerBlock;
            if (++block_ == 4) {
                out.push_back(group_);
                emitted_until_ = next_block_;
                group_start_ = next_block_;
                group_ = RdsGroup{};
                block_ = 0;
            }
        }
    }

    BlockDecode decode_soft(uint32_t w) {
        float cost[kSymbolsPerBlock];
        for (int j = 0; j < kSymbolsPerBlock; j++) {
            int64_t at = next_block_ - 1 + j;
            cost[j] = at >= history_base_ ? cost_[static_cast<size_t>(at - history_base_)] : 1e9f;
        }
        if (block_ == 0) return with_pi(decode_block_soft(w, cost, Offset::A, limits_), w, cost, Offset::A);
        if (block_ != 2) return decode_block_soft(w, cost, block_ == 1 ? Offset::B : Offset::D, limits_);
        bool b_known = !(group_.bad & 2);
        bool version_b = b_known && (group_.block[1] >> 11 & 1);
        Offset first = version_b ? Offset::Cprime : Offset::C;
        Offset second = version_b ? Offset::C : Offset::Cprime;
        if (reads_as_bad_block(w, first) || reads_as_bad_block(w, second)) return decode_block(w, first, 0);
        BlockDecode d = decode_block_soft(w, cost, first, limits_);
        Offset used = first;
        if (!(d.ok && d.corrected == 0)) {
            BlockDecode e = decode_block_soft(w, cost, second, limits_);
            if (e.ok && (!d.ok || e.cost < d.cost)) d = e, used = second;
        }
        if (d.ok && d.corrected == 0) {
            if (used == Offset::Cprime) note_pi(d.info);
            return d;
        }
        // A block sent bad with the other offset may be nearer still.
        if (d.ok && bad_block_cost(w, cost, used == first ? second : first, limits_, d.cost) <= d.cost)
            d = BlockDecode{false, static_cast<uint16_t>(w >> 10)};
        if (!version_b) return d;
        // A version-B group repeats the PI in its third block.
        if (d.ok && used != Offset::Cprime) d = BlockDecode{false, static_cast<uint16_t>(w >> 10)};
        return with_pi(d, w, cost, Offset::Cprime);
    }

    // What is known between groups: the PI, once two blocks in a row that
    // carry it checked without correction and agreed. A corrected block
    // that would carry another PI is not believed; a block that fails but
    // is the PI's block but for a few unsure symbols is taken as the PI.
    BlockDecode with_pi(BlockDecode d, uint32_t w, const float* cost, Offset offset) {
        if (offset == Offset::A && d.ok && d.corrected == 0) {
            note_pi(d.info);
            return d;
        }
        if (pi_seen_ < 2 || reads_as_bad_block(w, offset)) return d;
        if (d.ok && d.info != pi_) d = BlockDecode{false, static_cast<uint16_t>(w >> 10)};
        if (d.ok) return d;
        // Not when the PI's block sent bad, or any block sent bad, is as
        // near: a bad block is five flips from its good form, more than
        // are ever taken, but noise can bring it nearer.
        int flips = 0;
        float c = block_cost(w, cost, encode_block(pi_, offset), &flips);
        if (c <= kPiCost && flips <= kPiFlips && block_cost(w, cost, encode_bad_block(pi_, offset)) > c &&
            bad_block_cost(w, cost, offset, limits_, c) > c)
            d = BlockDecode{true, pi_, flips, c};
        return d;
    }

    void note_pi(uint16_t pi) {
        if (pi == pi_) {
            pi_seen_++;
        } else {
            pi_ = pi;
            pi_seen_ = 1;
        }
    }

    int max_burst_;
    bool soft_;
    SoftLimits limits_;
    uint16_t offset_syndrome_[5];
    std::vector<uint8_t> history_;
    std::vector<float> cost_;
    uint16_t pi_ = 0;
    int pi_seen_ = 0;
    int64_t history_base_ = 0;
    int64_t nbits_ = 0;
    uint32_t reg_ = 0;
    std::deque<Match> matches_;
    bool synced_ = false;
    int64_t group_start_ = 0;
    int64_t next_block_ = 0;
    int64_t emitted_until_ = 0;
    int block_ = 0;
    RdsGroup group_;
    uint64_t window_ = 0;
    int window_len_ = 0;
    int window_fails_ = 0;
    int fail_run_ = 0;
    uint64_t received_ = 0;
    uint64_t failed_ = 0;
};

// sin/cos by a 32-bit phase.
struct PhaseTable {
    static constexpr int kBits = 12;
    std::array<std::complex<float>, 1 << kBits> rot{};
    PhaseTable() {
        for (size_t i = 0; i < rot.size(); i++) {
            double a = -kTwoPi * static_cast<double>(i) / static_cast<double>(rot.size());
            rot[i] = {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
        }
    }
    std::complex<float> down(uint32_t phase) const { return rot[phase >> (32 - kBits)]; }
};

const PhaseTable& phase_table() {
    static const PhaseTable t;
    return t;
}

}  // namespace

struct RdsDecoder::State {
    DecoderOptions o;
    uint32_t phase19 = 0;
    uint32_t step19;
    msresamp_crcf pilot_rs = nullptr;
    msresamp_crcf rds_rs = nullptr;
    symsync_rrrf sync = nullptr;
    std::vector<std::complex<float>> mix_p, mix_r, base_p, base_r;
    std::vector<float> soft_in, soft_out;

    // Pilot PLL.
    LoopGains pilot_gains = loop_gains(30.0);
    double pilot_phase = 0, pilot_freq = 0;
    double lock_re = 0, lock_mag = 0;
    bool pilot_locked = false;

    // Subcarrier: a Costas loop on what the pilot leaves, or on everything.
    LoopGains free_gains = loop_gains(50.0);
    LoopGains locked_gains = loop_gains(8.0);
    double costas_phase = 0, costas_freq = 0;
    double level = 0;  // mean power of the subcarrier's baseband

    // Half-bits and soft bits.
    float last_half = 0;
    int parity = 0, use_parity = 0;
    double pair_metric[2] = {0, 0};
    bool have_last = false;
    uint8_t last_symbol = 0;
    double soft_mean = 0, soft_var = 0;
    uint64_t bits = 0;

    BlockSync blocks;

    explicit State(const DecoderOptions& options) : o(options), blocks(options.max_burst, options.soft) {
        // Kept where the resamplers can span the ratio (liquid fails beyond
        // 16 halving stages); the files refuse rates outside 160 kHz..10 MHz.
        double rate = std::clamp(o.rate, 1000.0, 100e6);
        step19 = static_cast<uint32_t>(std::llround(kPilotHz / rate * 4294967296.0));
        float r = static_cast<float>(kBasebandRate / rate);
        pilot_rs = make_resampler_crcf(r);
        rds_rs = make_resampler_crcf(r);
        // Each half of a biphase symbol is a root-raised-cosine pulse (roll-off
        // 1) at twice the bit rate: the shaping filter is exactly that, so its
        // matched filter is too, and the synchroniser times half-bits. A
        // half-bit clock has one stable point; timing whole biphase symbols
        // would also settle halfway between two equal symbols.
        sync = make_half_bit_sync(kSamplesPerHalf, 3, 1.0f, kFilterBank);
        symsync_rrrf_set_lf_bw(sync, 0.02f);
        mix_p.resize(kChunk);
        mix_r.resize(kChunk);
        size_t most = static_cast<size_t>(kChunk * r) + 64;
        base_p.resize(most);
        base_r.resize(most);
        soft_in.resize(most);
        soft_out.resize(most + 16);
    }

    ~State() {
        msresamp_crcf_destroy(pilot_rs);
        msresamp_crcf_destroy(rds_rs);
        symsync_rrrf_destroy(sync);
    }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void set_pilot_locked(bool locked) {
        if (locked == pilot_locked) return;
        // Keep the subcarrier's phase and frequency continuous across the switch.
        if (locked) {
            costas_phase = wrap(costas_phase - 3.0 * pilot_phase);
            costas_freq = 0;
        } else {
            costas_phase = wrap(costas_phase + 3.0 * pilot_phase);
            costas_freq = 3.0 * pilot_freq;
        }
        pilot_locked = locked;
    }

    float baseband(std::complex<float> zp, std::complex<float> zr) {
        // Pilot PLL.
        std::complex<float> rot(static_cast<float>(std::cos(pilot_phase)), static_cast<float>(-std::sin(pilot_phase)));
        std::complex<float> y = zp * rot;
        double mag = std::abs(y);
        double err = mag > 1e-12 ? std::atan2(y.imag(), y.real()) : 0.0;
        pilot_freq += pilot_gains.beta * err;
        pilot_phase = wrap(pilot_phase + pilot_freq + pilot_gains.alpha * err);
        const double a = 1.0 / (0.02 * kBasebandRate);
        lock_re += a * (y.real() - lock_re);
        lock_mag += a * (mag - lock_mag);
        double quality = lock_mag > 1e-9 ? lock_re / lock_mag : 0.0;
        if (!pilot_locked && quality > 0.85) set_pilot_locked(true);
        else if (pilot_locked && quality < 0.6) set_pilot_locked(false);

        // Subcarrier.
        double theta = costas_phase + (pilot_locked ? 3.0 * pilot_phase : 0.0);
        std::complex<float> v =
            zr * std::complex<float>(static_cast<float>(std::cos(theta)), static_cast<float>(-std::sin(theta)));
        double p = std::norm(v);
        level = level == 0 ? p : level + (p - level) / (0.01 * kBasebandRate);
        double norm = level > 1e-20 ? level : 1e-20;
        double e = std::clamp(static_cast<double>(v.real()) * v.imag() / norm, -1.0, 1.0);
        if (pilot_locked) {
            costas_phase = wrap(costas_phase + locked_gains.alpha * e);
        } else {
            costas_freq += free_gains.beta * e;
            costas_phase = wrap(costas_phase + costas_freq + free_gains.alpha * e);
        }
        return static_cast<float>(v.real() / std::sqrt(norm));
    }

    // One half-bit. A biphase symbol's two halves are opposite, so of the two
    // ways to pair half-bits the right one shows the larger differences
    // (the other only where two neighbouring symbols differ); the pairing
    // follows whichever has been larger lately.
    void half(float y, std::vector<RdsGroup>& out) {
        float prev = last_half;
        last_half = y;
        parity ^= 1;
        double diff = std::abs(prev - y);
        pair_metric[parity] += 0.02 * (diff - pair_metric[parity]);
        if (pair_metric[parity ^ 1] > pair_metric[parity] * 1.2 + 1e-9) {
            // The other pairing has been the better one: move to it.
            use_parity = parity ^ 1;
        } else if (pair_metric[parity] > pair_metric[parity ^ 1] * 1.2 + 1e-9) {
            use_parity = parity;
        }
        if (parity != use_parity) return;
        symbol((prev - y) / 2.0f, out);
    }

    void symbol(float y, std::vector<RdsGroup>& out) {
        uint8_t s = y > 0 ? 1 : 0;
        double m = std::abs(y);
        soft_mean += 0.02 * (m - soft_mean);
        soft_var += 0.02 * ((m - soft_mean) * (m - soft_mean) - soft_var);
        if (!have_last) {
            have_last = true;
            last_symbol = s;
            return;
        }
        uint8_t d = s ^ last_symbol;
        last_symbol = s;
        bits++;
        bool eye = soft_mean > 1e-3 && soft_mean > 2.0 * std::sqrt(std::max(soft_var, 0.0));
        blocks.bit(d, eye, static_cast<float>(m / std::max(soft_mean, 1e-9)), out);
    }

    void push(const float* x, size_t count, std::vector<RdsGroup>& out) {
        const PhaseTable& t = phase_table();
        while (count > 0) {
            size_t n = std::min(count, kChunk);
            for (size_t k = 0; k < n; k++) {
                float v = std::isfinite(x[k]) ? x[k] : 0.0f;
                mix_p[k] = v * t.down(phase19);
                mix_r[k] = v * t.down(phase19 * 3u);
                phase19 += step19;
            }
            unsigned np = 0, nr = 0;
            msresamp_crcf_execute(pilot_rs, mix_p.data(), static_cast<unsigned>(n), base_p.data(), &np);
            msresamp_crcf_execute(rds_rs, mix_r.data(), static_cast<unsigned>(n), base_r.data(), &nr);
            unsigned nb = std::min(np, nr);
            for (unsigned k = 0; k < nb; k++) soft_in[k] = baseband(base_p[k], base_r[k]);
            unsigned ns = 0;
            symsync_rrrf_execute(sync, soft_in.data(), nb, soft_out.data(), &ns);
            for (unsigned k = 0; k < ns; k++) half(soft_out[k], out);
            x += n;
            count -= n;
        }
    }
};

RdsDecoder::RdsDecoder(const DecoderOptions& options) : state_(std::make_unique<State>(options)) {}
RdsDecoder::~RdsDecoder() = default;

void RdsDecoder::push(const float* mpx, size_t count, std::vector<RdsGroup>& groups) {
    state_->push(mpx, count, groups);
}

void RdsDecoder::reset() {
    DecoderOptions o = state_->o;
    state_ = std::make_unique<State>(o);
}

bool RdsDecoder::synchronised() const { return state_->blocks.synced(); }
bool RdsDecoder::pilot() const { return state_->pilot_locked; }
uint64_t RdsDecoder::bits() const { return state_->bits; }
uint64_t RdsDecoder::blocks_received() const { return state_->blocks.received(); }
uint64_t RdsDecoder::blocks_failed() const { return state_->blocks.failed(); }

}  // namespace fmsim::radio
