// RDS blocks: the (26,16) shortened cyclic code, its offset words, the
// syndrome, burst-error correction and soft-decision correction.
#include <algorithm>
#include <array>
#include <limits>

#include "radio.h"

namespace fmsim::radio {

namespace {

constexpr uint32_t kGenerator = 0x5B9;  // x^10 + x^8 + x^7 + x^5 + x^4 + x^3 + 1
constexpr uint32_t kMask26 = (1u << 26) - 1;

// The remainder of a polynomial of up to 26 terms divided by the generator.
uint16_t remainder26(uint32_t bits) {
    for (int b = 25; b >= 10; b--)
        if (bits >> b & 1) bits ^= kGenerator << (b - 10);
    return static_cast<uint16_t>(bits & 0x3FF);
}

// Multiplies by x^-1 modulo the generator: the generator's constant term
// makes an odd remainder divisible by x once the generator is added.
uint16_t divide_by_x(uint16_t r) { return static_cast<uint16_t>((r & 1) ? (r ^ kGenerator) >> 1 : r >> 1); }

// Burst patterns by syndrome: for every syndrome the shortest burst (first
// and last bit set, up to kMaxBurst long) anywhere in the 26 bits that
// produces it. The code tells all bursts of up to five bits apart.
struct BurstTable {
    std::array<uint32_t, 1024> pattern{};
    std::array<uint8_t, 1024> length{};
    BurstTable() {
        for (int len = 1; len <= kMaxBurst; len++) {
            uint32_t inner = len > 2 ? 1u << (len - 2) : 1;
            for (uint32_t mid = 0; mid < inner; mid++) {
                uint32_t shape = len == 1 ? 1 : (1u | (mid << 1) | (1u << (len - 1)));
                for (int at = 0; at + len <= 26; at++) {
                    uint32_t e = shape << at;
                    uint16_t s = syndrome(e);
                    if (length[s] == 0) {
                        length[s] = static_cast<uint8_t>(len);
                        pattern[s] = e;
                    }
                }
            }
        }
    }
};

const BurstTable& bursts() {
    static const BurstTable table;
    return table;
}

uint16_t offset_syndrome(Offset o) { return syndrome(kOffsetWord[static_cast<int>(o)]); }

// The check-word corruption of a block sent as bad: a fixed pattern on the
// ten check bits whose syndrome is neither a burst of up to five bits away
// from the block's own offset (nor from C' for C, or C for C'), nor exactly
// any offset's syndrome. The receiver then reports the block bad with its
// information word unchanged, and never takes it for a block of any offset.
uint16_t find_bad_pattern() {
    const auto& t = bursts();
    for (uint16_t e = 0x3FF; e > 0; e--) {
        uint16_t se = syndrome(e);
        bool usable = true;
        for (int o = 0; o < 5 && usable; o++) {
            for (int p = 0; p < 5 && usable; p++) {
                uint16_t d = offset_syndrome(static_cast<Offset>(o)) ^ offset_syndrome(static_cast<Offset>(p));
                if ((se ^ d) == 0) usable = false;  // reads as offset p exactly
                bool same_slot = o == p || (o >= 2 && o <= 3 && p >= 2 && p <= 3);
                if (same_slot && t.length[se ^ d] != 0) usable = false;
            }
        }
        if (usable) return e;
    }
    return 0;  // never: the search finds one (checked by the tests)
}

}  // namespace

uint16_t check_word(uint16_t info) { return remainder26(static_cast<uint32_t>(info) << 10); }

uint32_t encode_block(uint16_t info, Offset offset) {
    return (static_cast<uint32_t>(info) << 10) | (check_word(info) ^ kOffsetWord[static_cast<int>(offset)]);
}

// The syndrome is the received polynomial times x^-16 modulo the
// generator: that scaling makes the first ten bits of the block map to
// themselves, so the offset words' syndromes are the published ones.
uint16_t syndrome(uint32_t bits26) {
    uint16_t r = remainder26(bits26 & kMask26);
    for (int i = 0; i < 16; i++) r = divide_by_x(r);
    return r;
}

uint16_t bad_check_pattern() {
    static const uint16_t pattern = find_bad_pattern();
    return pattern;
}

uint32_t encode_bad_block(uint16_t info, Offset offset) { return encode_block(info, offset) ^ bad_check_pattern(); }

BlockDecode decode_block(uint32_t bits26, Offset expected, int max_burst) {
    bits26 &= kMask26;
    BlockDecode d;
    d.info = static_cast<uint16_t>(bits26 >> 10);
    uint16_t s = syndrome(bits26) ^ offset_syndrome(expected);
    if (s == 0) {
        d.ok = true;
        return d;
    }
    if (max_burst > kMaxBurst) max_burst = kMaxBurst;
    const auto& t = bursts();
    if (max_burst > 0 && t.length[s] != 0 && t.length[s] <= max_burst) {
        uint32_t fixed = bits26 ^ t.pattern[s];
        d.ok = true;
        d.info = static_cast<uint16_t>(fixed >> 10);
        d.corrected = __builtin_popcount(t.pattern[s]);
    }
    return d;
}

namespace {

// What flipping one coded symbol does to a block's 26 bits (bit 25 first
// sent). Symbol 0 is the one before the block: it enters the first bit
// only. Symbol j (1..26) is the symbol of bit j-1, which enters bits j-1 and
// j; the last one enters bit 25 here and the next block's first bit.
struct SymbolFlips {
    std::array<uint32_t, kSymbolsPerBlock> pattern{};
    std::array<uint16_t, kSymbolsPerBlock> syn{};
    // By syndrome, the single symbol whose flip gives it (-1: none).
    std::array<int8_t, 1024> single{};
    SymbolFlips() {
        single.fill(-1);
        pattern[0] = 1u << 25;
        for (int j = 1; j < kBitsPerBlock; j++) pattern[j] = 3u << (kBitsPerBlock - 1 - j);
        pattern[kBitsPerBlock] = 1u;
        for (int j = 0; j < kSymbolsPerBlock; j++) {
            syn[j] = syndrome(pattern[j]);
            if (single[syn[j]] < 0) single[syn[j]] = static_cast<int8_t>(j);
        }
    }
};

const SymbolFlips& symbol_flips() {
    static const SymbolFlips table;
    return table;
}

// The cost of an error pattern on the bits as symbol flips: bit i is symbol
// i+1 against symbol i, so the symbols flipped follow from the pattern once
// the first one is chosen, either way; the cheaper way counts.
float bits_cost(uint32_t pattern, const float* cost, int* flips) {
    float best = std::numeric_limits<float>::infinity();
    for (int first = 0; first < 2; first++) {
        int f = first, n = f;
        float c = f ? cost[0] : 0.0f;
        for (int i = 0; i < kBitsPerBlock; i++) {
            f ^= static_cast<int>(pattern >> (kBitsPerBlock - 1 - i) & 1);
            if (f) c += cost[i + 1], n++;
        }
        if (c < best) best = c, *flips = n;
    }
    return best;
}

// Combinations of up to `most` symbols out of a list sorted by cost, each
// given to visit(syndrome, pattern, cost, flips) while its cost stays
// within the bound visit returns (the list being sorted, a costlier
// combination ends the loop).
template <typename Visit>
void combinations(const int8_t* list, int n, const float* cost, int most, int from, uint16_t syn, uint32_t pattern,
                  float sum, int flips, Visit& visit) {
    const SymbolFlips& t = symbol_flips();
    for (int i = from; i < n; i++) {
        int j = list[i];
        float c = sum + cost[j];
        if (c > visit.bound()) return;
        uint16_t s = syn ^ t.syn[j];
        uint32_t p = pattern ^ t.pattern[j];
        visit(s, p, c, flips + 1);
        if (flips + 1 < most) combinations(list, n, cost, most, i + 1, s, p, c, flips + 1, visit);
    }
}

// The least reliable symbols first: the ones whose combinations are tried.
int unsure_symbols(const float* cost, const SoftLimits& limits, std::array<int8_t, kSymbolsPerBlock>& order) {
    for (int j = 0; j < kSymbolsPerBlock; j++) order[j] = static_cast<int8_t>(j);
    int n = std::clamp(limits.candidates, 0, kSymbolsPerBlock);
    std::partial_sort(order.begin(), order.begin() + n, order.end(),
                      [cost](int8_t x, int8_t y) { return cost[x] < cost[y]; });
    return n;
}

struct Found {
    uint16_t target;
    float cost;  // at most this, while nothing is found
    uint32_t pattern = 0;
    int flips = 0;  // 0: nothing found
    float bound() const { return cost; }
    void take(uint32_t p, float c, int n) {
        if (c < cost || (flips == 0 && c <= cost)) cost = c, pattern = p, flips = n;
    }
    void operator()(uint16_t syn, uint32_t p, float c, int n) {
        if (syn == target) take(p, c, n);
    }
};

// The cheapest correction whose syndrome is the target and whose cost is
// within the bound: a burst the hard decoder would take (costed as the
// symbol flips it is), one symbol anywhere, or a combination of unsure ones.
Found cheapest(const float* cost, uint16_t target, const SoftLimits& limits, float bound) {
    Found best{target, bound};
    const auto& b = bursts();
    if (b.length[target] != 0 && b.length[target] <= std::clamp(limits.max_burst, 0, kMaxBurst)) {
        int flips = 0;
        float c = bits_cost(b.pattern[target], cost, &flips);
        best.take(b.pattern[target], c, flips);
    }
    const SymbolFlips& t = symbol_flips();
    if (int j = t.single[target]; j >= 0) best.take(t.pattern[j], cost[j], 1);
    std::array<int8_t, kSymbolsPerBlock> order;
    int n = unsure_symbols(cost, limits, order);
    combinations(order.data(), n, cost, std::clamp(limits.max_flips, 1, 4), 0, 0, 0, 0.0f, 0, best);
    return best;
}

uint16_t spoiled_syndrome() {
    static const uint16_t s = syndrome(bad_check_pattern());
    return s;
}

}  // namespace

BlockDecode decode_block_soft(uint32_t bits26, const float* cost, Offset expected, const SoftLimits& limits) {
    bits26 &= kMask26;
    BlockDecode d;
    d.info = static_cast<uint16_t>(bits26 >> 10);
    const uint16_t s = syndrome(bits26) ^ offset_syndrome(expected);
    if (s == 0) {
        d.ok = true;
        return d;
    }
    d.cost = std::numeric_limits<float>::infinity();
    if (s == spoiled_syndrome()) return d;  // sent bad
    Found best = cheapest(cost, s, limits, limits.max_cost);
    if (best.flips == 0) return d;
    d.cost = best.cost;
    // Blocks sent bad are words too: bits nearer one of them than any good
    // block were most likely sent bad.
    if (bad_block_cost(bits26, cost, expected, limits, best.cost) <= best.cost) return d;
    // Any syndrome at all is met by some combination of unreliable symbols
    // when a block has many of them: a correction is only believable when
    // few combinations are as cheap as it, so that noise matching the
    // syndrome by chance is unlikely (1 in 1024 for each of them).
    struct Rivals {
        float cost;
        int count = 0;
        float bound() const { return cost; }
        void operator()(uint16_t, uint32_t, float, int) { count++; }
    } rivals{best.cost};
    std::array<int8_t, kSymbolsPerBlock> order;
    int n = unsure_symbols(cost, limits, order);
    combinations(order.data(), n, cost, std::clamp(limits.max_flips, 1, 4), 0, 0, 0, 0.0f, 0, rivals);
    for (int j = 0; j < kSymbolsPerBlock; j++)
        if (cost[j] <= best.cost && std::find(order.begin(), order.begin() + n, j) == order.begin() + n) rivals.count++;
    if (rivals.count > limits.max_rivals) return d;
    d.ok = true;
    d.info = static_cast<uint16_t>((bits26 ^ best.pattern) >> 10);
    d.corrected = best.flips;
    return d;
}

float bad_block_cost(uint32_t bits26, const float* cost, Offset offset, const SoftLimits& limits, float bound) {
    uint16_t s = syndrome(bits26 & kMask26) ^ offset_syndrome(offset) ^ spoiled_syndrome();
    if (s == 0) return 0;
    Found f = cheapest(cost, s, limits, bound);
    return f.flips ? f.cost : std::numeric_limits<float>::infinity();
}

bool reads_as_bad_block(uint32_t bits26, Offset offset) {
    return (syndrome(bits26 & kMask26) ^ offset_syndrome(offset)) == spoiled_syndrome();
}

float block_cost(uint32_t bits26, const float* cost, uint32_t sent26, int* flips) {
    int n = 0;
    float c = bits_cost((bits26 ^ sent26) & kMask26, cost, &n);
    if (flips) *flips = n;
    return c;
}

std::vector<uint8_t> group_bits(const RdsGroup& group) {
    std::vector<uint8_t> bits;
    bits.reserve(kBitsPerGroup);
    bool version_b = group.block[1] >> 11 & 1;
    const Offset offsets[4] = {Offset::A, Offset::B, version_b ? Offset::Cprime : Offset::C, Offset::D};
    for (int b = 0; b < 4; b++) {
        uint32_t word = (group.bad >> b & 1) ? encode_bad_block(group.block[b], offsets[b])
                                             : encode_block(group.block[b], offsets[b]);
        for (int i = 25; i >= 0; i--) bits.push_back(static_cast<uint8_t>(word >> i & 1));
    }
    return bits;
}

}  // namespace fmsim::radio
