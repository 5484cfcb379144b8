// Real radio for the simulated tuner: the block code checked against the
// RDS rules by independent arithmetic, burst correction, bad blocks that
// stay bad, and groups through the modulator, FM, the front end and the
// decoder under the conditions a real signal brings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "radio.h"
#include "recording.h"
#include "synthetic.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace fmsim;
using namespace fmsim::radio;

namespace {

// ---- The block code by hand ---------------------------------------------------

// Polynomial long division over GF(2): the remainder of `value` (bit i the
// coefficient of x^i) by the generator x^10+x^8+x^7+x^5+x^4+x^3+1, one
// subtraction per leading term, as it is done on paper.
uint32_t long_division_remainder(uint64_t value) {
    const uint64_t generator = (1u << 10) | (1u << 8) | (1u << 7) | (1u << 5) | (1u << 4) | (1u << 3) | 1u;
    for (int degree = 63; degree >= 10; degree--)
        if (value >> degree & 1) value ^= generator << (degree - 10);
    return static_cast<uint32_t>(value);
}

// The published syndromes of the offset words, as a receiver sees an
// error-free block: A, B, C, C', D.
constexpr uint16_t kPublishedSyndrome[5] = {0x3D8, 0x3D4, 0x25C, 0x3CC, 0x258};

TEST(RadioBlocks, PublishedSyndromesOfTheOffsetWords) {
    for (int o = 0; o < 5; o++) {
        SCOPED_TRACE(o);
        // A syndrome S of the received word r satisfies S(x) x^16 = r(x)
        // modulo the generator: for a zero information word r is the offset.
        EXPECT_EQ(long_division_remainder(static_cast<uint64_t>(kPublishedSyndrome[o]) << 16), kOffsetWord[o]);
        for (uint16_t info : {0x0000, 0x9602, 0xFFFF, 0x1234, 0xE40D})
            EXPECT_EQ(syndrome(encode_block(info, static_cast<Offset>(o))), kPublishedSyndrome[o]) << std::hex << info;
    }
}

TEST(RadioBlocks, CheckWordsByLongDivision) {
    // Each information bit's check word (the generator matrix, first row the
    // first bit sent): x^(10+i) modulo the generator.
    const uint16_t rows[16] = {0x077, 0x2E7, 0x3AF, 0x30B, 0x359, 0x370, 0x1B8, 0x0DC,
                               0x06E, 0x037, 0x2C7, 0x3BF, 0x303, 0x35D, 0x372, 0x1B9};
    for (int i = 0; i < 16; i++) EXPECT_EQ(long_division_remainder(uint64_t{1} << (25 - i)), rows[i]) << i;
    for (uint16_t info : {0x0001, 0x8000, 0x9602, 0x2400, 0x464F, 0xCD46, 0xFFFF}) {
        uint16_t by_rows = 0;
        for (int i = 0; i < 16; i++)
            if (info >> (15 - i) & 1) by_rows ^= rows[i];
        EXPECT_EQ(check_word(info), by_rows) << std::hex << info;
        EXPECT_EQ(check_word(info), long_division_remainder(static_cast<uint64_t>(info) << 10));
        EXPECT_EQ(encode_block(info, Offset::B), (static_cast<uint32_t>(info) << 10) | (by_rows ^ 0x198u));
    }
}

TEST(RadioBlocks, BurstsUpToTheLimitAreCorrectedLongerOnesDetected) {
    std::mt19937 rng(7);
    for (int max_burst : {2, 5}) {
        for (int trial = 0; trial < 6; trial++) {
            uint16_t info = static_cast<uint16_t>(rng());
            auto offset = static_cast<Offset>(trial % 5);
            uint32_t sent = encode_block(info, offset);
            for (int len = 1; len <= max_burst + 1; len++) {
                uint32_t inner = len > 2 ? 1u << (len - 2) : 1;
                for (uint32_t mid = 0; mid < inner; mid++) {
                    uint32_t shape = len == 1 ? 1 : (1u | (mid << 1) | (1u << (len - 1)));
                    for (int at = 0; at + len <= 26; at++) {
                        BlockDecode d = decode_block(sent ^ (shape << at), offset, max_burst);
                        if (len <= max_burst) {
                            ASSERT_TRUE(d.ok) << len << " at " << at;
                            ASSERT_EQ(d.info, info);
                            ASSERT_EQ(d.corrected, __builtin_popcount(shape));
                        } else if (max_burst == 2) {
                            // Three bits: never silently "corrected" into another word.
                            ASSERT_FALSE(d.ok) << len << " at " << at;
                        }
                    }
                }
            }
            EXPECT_FALSE(decode_block(sent ^ 1u, offset, 0).ok);
        }
    }
}

TEST(RadioBlocks, BadBlocksStayBadWithTheirInformationWord) {
    const Offset slots[5][2] = {{Offset::A, Offset::A}, {Offset::B, Offset::B}, {Offset::C, Offset::Cprime},
                                {Offset::Cprime, Offset::C}, {Offset::D, Offset::D}};
    uint16_t offset_syndromes[5];
    for (int o = 0; o < 5; o++) offset_syndromes[o] = syndrome(kOffsetWord[o]);
    for (uint32_t info = 0; info < 65536; info++) {
        for (int o = 0; o < 5; o++) {
            uint32_t bits = encode_bad_block(static_cast<uint16_t>(info), static_cast<Offset>(o));
            ASSERT_EQ(bits >> 10, info);
            for (Offset expected : slots[o]) {
                BlockDecode d = decode_block(bits, expected, kMaxBurst);
                ASSERT_FALSE(d.ok) << info << " " << o;
                ASSERT_EQ(d.info, info);
            }
            uint16_t s = syndrome(bits);
            for (uint16_t os : offset_syndromes) ASSERT_NE(s, os);
        }
    }
}

// ---- End to end ----------------------------------------------------------------

enum class Path { Mpx, Iq };

struct Condition {
    const char* name;
    Path path;
    double rate;  // multiplex or IQ
    IqFormat format = IqFormat::Cu8;
    double subcarrier_offset = 0;
    double ppm = 0;
    bool pilot = true;
    double snr_db = 30;
    bool random_chunks = false;
    bool dropout = false;
};

std::vector<RdsGroup> test_groups(size_t n, unsigned error_percent, uint32_t seed) {
    SyntheticBroadcaster gen({0xD301, true, error_percent, seed, 1700000000});
    std::vector<RdsGroup> groups;
    for (size_t i = 0; i < n; i++) groups.push_back(gen.next());
    return groups;
}

std::vector<RdsGroup> decode(const Condition& c, const std::vector<float>& mpx, double mpx_rate, bool* pilot) {
    RdsDecoder dec({mpx_rate, 2});
    std::vector<RdsGroup> out;
    std::mt19937 rng(3);
    size_t at = 0;
    while (at < mpx.size()) {
        size_t n = c.random_chunks ? std::uniform_int_distribution<size_t>(1, 3000)(rng) : 4096;
        n = std::min(n, mpx.size() - at);
        dec.push(mpx.data() + at, n, out);
        at += n;
    }
    if (pilot) *pilot = dec.pilot();
    return out;
}

class RadioEndToEnd : public ::testing::TestWithParam<Condition> {};

TEST_P(RadioEndToEnd, GroupsComeOutBitExact) {
    const Condition& c = GetParam();
    const size_t n = 40;
    std::vector<RdsGroup> sent = test_groups(n, 5, 11);
    MpxOptions mo;
    mo.rate = c.path == Path::Mpx ? c.rate : 228000.0;
    mo.pilot = c.pilot;
    mo.subcarrier_offset_hz = c.subcarrier_offset;
    mo.clock_ppm = c.path == Path::Mpx ? c.ppm : 0.0;
    if (c.path == Path::Mpx) mo.snr_db = c.snr_db;
    std::vector<float> mpx;
    if (c.dropout) {
        // Half the groups, a second of silence or noise, the rest.
        MpxModulator mod(mo);
        mod.filler(kLeadInSeconds, mpx);
        mod.modulate(std::vector<RdsGroup>(sent.begin(), sent.begin() + n / 2), mpx);
        std::mt19937 rng(5);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (size_t k = 0; k < static_cast<size_t>(0.6 * mo.rate); k++) mpx.push_back(c.snr_db > 25 ? 0.0f : noise(rng));
        mod.modulate(std::vector<RdsGroup>(sent.begin() + n / 2, sent.end()), mpx);
        mod.filler(kTailSeconds, mpx);
    } else {
        mpx = make_mpx(sent, mo);
    }
    double mpx_rate = mo.rate;
    if (c.path == Path::Iq) {
        IqOptions io;
        io.iq_rate = c.rate;
        io.offset_hz = 100000.0;
        io.clock_ppm = c.ppm;
        io.snr_db = c.snr_db;
        std::vector<uint8_t> raw = fm_modulate(mpx, mo.rate, io, c.format);
        FmChannel channel(c.rate, io.offset_hz);
        std::vector<std::complex<float>> iq;
        iq_to_complex(raw.data(), raw.size(), c.format, iq);
        mpx.clear();
        for (size_t at = 0; at < iq.size(); at += 65536)
            channel.push(iq.data() + at, std::min<size_t>(65536, iq.size() - at), mpx);
        mpx_rate = channel.mpx_rate();
    }
    bool pilot = false;
    std::vector<RdsGroup> got = decode(c, mpx, mpx_rate, &pilot);
    EXPECT_EQ(pilot, c.pilot);
    if (!c.dropout) {
        ASSERT_EQ(got.size(), sent.size());
        for (size_t i = 0; i < n; i++) EXPECT_EQ(got[i], sent[i]) << "group " << i;
        return;
    }
    // Everything before the dropout, and after it from the re-synchronisation on.
    ASSERT_GE(got.size(), n / 2);
    for (size_t i = 0; i < n / 2; i++) EXPECT_EQ(got[i], sent[i]) << "group " << i;
    const size_t tail = n / 2 - 8;
    ASSERT_GE(got.size(), tail);
    for (size_t i = 0; i < tail; i++)
        EXPECT_EQ(got[got.size() - tail + i], sent[n - tail + i]) << "group " << n - tail + i;
}

const Condition kConditions[] = {
    {"mpx228", Path::Mpx, 228000},
    {"mpx171", Path::Mpx, 171000},
    {"mpx192_chunks", Path::Mpx, 192000, IqFormat::Cu8, 0, 0, true, 30, true},
    {"mpx228_plus20Hz_plus100ppm", Path::Mpx, 228000, IqFormat::Cu8, 20, 100},
    {"mpx171_minus20Hz_minus100ppm_nopilot", Path::Mpx, 171000, IqFormat::Cu8, -20, -100, false},
    {"mpx192_nopilot_plus20Hz_12dB", Path::Mpx, 192000, IqFormat::Cu8, 20, 0, false, 12},
    {"mpx228_dropout_silence", Path::Mpx, 228000, IqFormat::Cu8, 0, 0, true, 30, true, true},
    {"mpx171_dropout_noise_nopilot", Path::Mpx, 171000, IqFormat::Cu8, 0, 0, false, 20, false, true},
    {"iq250k_cs16", Path::Iq, 250000, IqFormat::Cs16, 0, 50},
    {"iq2400k_cu8_nopilot", Path::Iq, 2400000, IqFormat::Cu8, -20, -100, false, 25, true},
    {"iq2400k_cf32", Path::Iq, 2400000, IqFormat::Cf32, 20, 100},
};

INSTANTIATE_TEST_SUITE_P(Conditions, RadioEndToEnd, ::testing::ValuesIn(kConditions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
