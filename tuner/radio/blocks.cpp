// RDS blocks: the (26,16) shortened cyclic code, its offset words, the
// syndrome and burst-error correction.
#include <array>

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
