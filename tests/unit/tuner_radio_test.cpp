// Real radio for the simulated tuner: the block code checked against the
// RDS rules by independent arithmetic, burst correction, bad blocks that
// stay bad, and groups through the modulator, FM, the front end and the
// decoder under the conditions a real signal brings.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "radio.h"
#include "recording.h"
#include "survey.h"
#include "synthetic.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace fmsim;
using namespace fmsim::radio;

namespace {

constexpr double kTwoPiForTest = 6.283185307179586;

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

// The 26 bits received when some coded symbols are wrong, by differential
// coding done by hand: symbol 0 is the one before the block, symbol i + 1
// the one that carries bit i (bit 0 sent first).
uint32_t with_symbols_flipped(uint32_t sent, const std::vector<int>& symbols) {
    uint8_t sym[kSymbolsPerBlock] = {0};
    for (int i = 0; i < kBitsPerBlock; i++) sym[i + 1] = static_cast<uint8_t>(sym[i] ^ (sent >> (25 - i) & 1));
    for (int j : symbols) sym[j] ^= 1;
    uint32_t out = 0;
    for (int i = 0; i < kBitsPerBlock; i++) out = out << 1 | static_cast<uint32_t>(sym[i + 1] ^ sym[i]);
    return out;
}

// One, two or three wrong symbols anywhere (the block's edges included) are
// corrected when they were the unsure ones; sure symbols are never flipped
// more than one at a time to make a block check.
TEST(RadioBlocks, SoftDecisionsFlipTheUnsureSymbols) {
    std::mt19937 rng(5);
    const SoftLimits limits;
    for (int o = 0; o < 5; o++) {
        auto offset = static_cast<Offset>(o);
        uint16_t info = static_cast<uint16_t>(rng());
        uint32_t sent = encode_block(info, offset);
        for (int j = 0; j < kSymbolsPerBlock; j++) {
            for (int k = j; k < kSymbolsPerBlock; k++) {
                for (bool three : {false, true}) {
                    std::vector<int> wrong = {j};
                    if (k != j) wrong.push_back(k);
                    int third = (j + k + 13) % kSymbolsPerBlock;
                    if (three && (k == j || third == j || third == k)) continue;
                    if (three) wrong.push_back(third);
                    uint32_t got = with_symbols_flipped(sent, wrong);
                    if (decode_block(got, offset, 0).ok) continue;  // three symbols can make another word
                    float cost[kSymbolsPerBlock];
                    std::fill(cost, cost + kSymbolsPerBlock, 1.0f);
                    if (wrong.size() > 1) {
                        // Some words are three symbols apart: two wrong
                        // symbols may read as another word one symbol away,
                        // as the hard decoder reads a burst of two.
                        BlockDecode sure = decode_block_soft(got, cost, offset, limits);
                        if (sure.ok) ASSERT_EQ(sure.corrected, 1) << o << ": " << j << " " << k << " " << three;
                        else ASSERT_EQ(sure.info, got >> 10);
                    }
                    for (int w : wrong) cost[w] = 0.3f;
                    BlockDecode unsure = decode_block_soft(got, cost, offset, limits);
                    ASSERT_TRUE(unsure.ok) << o << ": " << j << " " << k << " " << three;
                    ASSERT_EQ(unsure.info, info);
                    ASSERT_EQ(unsure.corrected, static_cast<int>(wrong.size()));
                }
            }
        }
    }
}

TEST(RadioBlocks, BadBlocksStayBadWithTheirInformationWord) {
    const Offset slots[5][2] = {{Offset::A, Offset::A},
                                {Offset::B, Offset::B},
                                {Offset::C, Offset::Cprime},
                                {Offset::Cprime, Offset::C},
                                {Offset::D, Offset::D}};
    uint16_t offset_syndromes[5];
    for (int o = 0; o < 5; o++) offset_syndromes[o] = syndrome(kOffsetWord[o]);
    // Soft decisions with the very symbols the spoiling changed unsure: the
    // cheapest way to undo it, and still never taken.
    std::vector<int> spoiled;
    {
        uint32_t any = encode_block(0x1234, Offset::A);
        uint8_t flip = 0;
        for (int i = 0; i < kBitsPerBlock; i++) {
            flip ^= static_cast<uint8_t>(bad_check_pattern() >> (25 - i) & 1);
            if (flip) spoiled.push_back(i + 1);
        }
        ASSERT_EQ(with_symbols_flipped(any, spoiled), encode_bad_block(0x1234, Offset::A));
    }
    float unsure[kSymbolsPerBlock];
    std::fill(unsure, unsure + kSymbolsPerBlock, 1.0f);
    for (int j : spoiled) unsure[j] = 0.1f;
    for (uint32_t info = 0; info < 65536; info++) {
        for (int o = 0; o < 5; o++) {
            uint32_t bits = encode_bad_block(static_cast<uint16_t>(info), static_cast<Offset>(o));
            ASSERT_EQ(bits >> 10, info);
            for (Offset expected : slots[o]) {
                BlockDecode d = decode_block(bits, expected, kMaxBurst);
                ASSERT_FALSE(d.ok) << info << " " << o;
                ASSERT_EQ(d.info, info);
                d = decode_block_soft(bits, unsure, expected, SoftLimits{});
                ASSERT_FALSE(d.ok) << info << " " << o;
                ASSERT_EQ(d.info, info);
                // And with noise on one more unsure symbol: nearer the block
                // sent bad than any good one, so still bad.
                if (info % 251 != 0 || expected != static_cast<Offset>(o)) continue;
                for (int j = 0; j < kSymbolsPerBlock; j++) {
                    float cost[kSymbolsPerBlock];
                    std::copy(unsure, unsure + kSymbolsPerBlock, cost);
                    cost[j] = 0.1f;
                    ASSERT_FALSE(decode_block_soft(with_symbols_flipped(bits, {j}), cost, expected, SoftLimits{}).ok)
                        << info << " " << o << " " << j;
                }
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
    bool programme = false;  // stereo noise beside the RDS (mono without a pilot), RDS at 3.5 %
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
    // 40 groups (3.5 s of signal); 16 at 2.4 MS/s, which costs ten times more a second.
    const size_t n = c.path == Path::Iq && c.rate > 1e6 ? 16 : 40;
    std::vector<RdsGroup> sent = test_groups(n, 5, 11);
    MpxOptions mo;
    mo.rate = c.path == Path::Mpx ? c.rate : 228000.0;
    mo.pilot = c.pilot;
    mo.subcarrier_offset_hz = c.subcarrier_offset;
    mo.clock_ppm = c.path == Path::Mpx ? c.ppm : 0.0;
    if (c.path == Path::Mpx) mo.snr_db = c.snr_db;
    if (c.programme) {
        mo.programme = ProgrammeAudio::noise(9);
        mo.rds_level = kProgrammeRdsLevel;
    }
    std::vector<float> mpx;
    if (c.dropout) {
        // Half the groups, a second of silence or noise, the rest.
        MpxModulator mod(mo);
        mod.filler(kLeadInSeconds, mpx);
        mod.modulate(std::vector<RdsGroup>(sent.begin(), sent.begin() + n / 2), mpx);
        std::mt19937 rng(5);
        std::normal_distribution<float> noise(0.0f, 0.05f);
        for (size_t k = 0; k < static_cast<size_t>(0.6 * mo.rate); k++)
            mpx.push_back(c.snr_db > 25 ? 0.0f : noise(rng));
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
    const size_t tail = n / 2 - 10;
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
    {"mpx228_programme", Path::Mpx, 228000, IqFormat::Cu8, 0, 0, true, 30, false, false, true},
    {"mpx171_programme_plus20Hz_minus100ppm_12dB", Path::Mpx, 171000, IqFormat::Cu8, 20, -100, true, 12, false, false,
     true},
    {"mpx192_programme_mono_nopilot_chunks", Path::Mpx, 192000, IqFormat::Cu8, -20, 0, false, 20, true, false, true},
    {"mpx228_programme_dropout_noise", Path::Mpx, 228000, IqFormat::Cu8, 0, 0, true, 20, false, true, true},
    {"iq2400k_cu8_programme", Path::Iq, 2400000, IqFormat::Cu8, 20, 100, true, 25, false, false, true},
};

INSTANTIATE_TEST_SUITE_P(Conditions, RadioEndToEnd, ::testing::ValuesIn(kConditions),
                         [](const auto& info) { return std::string(info.param.name); });

// A receiver that joins a station mid-group (a dongle tuned to it) has the
// first group's end only: decoding starts at the next whole group, in any
// place the signal is cut.
TEST(RadioDecoder, JoiningMidGroupStartsAtTheNextWholeGroup) {
    const size_t n = 12;
    std::vector<RdsGroup> sent = test_groups(n, 0, 7);
    MpxOptions mo;
    std::vector<float> mpx = make_mpx(sent, mo);
    const double group_samples = kBitsPerGroup / kBitRate * mo.rate;
    for (double cut : {0.3, 0.55, 0.8}) {
        SCOPED_TRACE(cut);
        size_t skip = static_cast<size_t>(kLeadInSeconds * mo.rate + cut * group_samples);
        std::vector<float> joined(mpx.begin() + static_cast<ptrdiff_t>(skip), mpx.end());
        std::vector<RdsGroup> got = decode({"joined", Path::Mpx, mo.rate}, joined, mo.rate, nullptr);
        ASSERT_GE(got.size(), n - 3);
        ASSERT_LT(got.size(), n);
        for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i], sent[n - got.size() + i]) << "group " << i;
    }
}

// ---- Soft decisions against noise ---------------------------------------------

// A group is recovered when every block sent good comes out good and right
// and every block sent bad comes out bad; a block passed as good with other
// bits (or one sent bad passed as good) is wrong. Each group out is placed
// by the bits the decoder had made when it came out, so a sync lost in the
// noise shifts nothing.
struct Tally {
    size_t recovered = 0;
    size_t wrong = 0;
};

Tally tally(const std::vector<RdsGroup>& sent, const std::vector<float>& mpx, double rate, bool soft) {
    DecoderOptions options;
    options.rate = rate;
    options.soft = soft;
    RdsDecoder dec(options);
    std::vector<bool> recovered(sent.size());
    Tally t;
    const size_t step = static_cast<size_t>(rate * kBitsPerGroup / kBitRate / 10);
    std::vector<RdsGroup> got;
    for (size_t at = 0; at < mpx.size(); at += step) {
        got.clear();
        dec.push(mpx.data() + at, std::min(step, mpx.size() - at), got);
        for (size_t i = 0; i < got.size(); i++) {
            double end = static_cast<double>(dec.bits()) - static_cast<double>(got.size() - 1 - i) * kBitsPerGroup;
            long g = std::lround((end - kLeadInSeconds * kBitRate - 6) / kBitsPerGroup) - 1;
            bool known = g >= 0 && g < static_cast<long>(sent.size());
            int right = 0;
            for (int b = 0; b < 4; b++) {
                bool bad = got[i].bad >> b & 1;
                if (known && (sent[static_cast<size_t>(g)].bad >> b & 1)) right += bad;
                else if (known && (bad || got[i].block[b] == sent[static_cast<size_t>(g)].block[b])) right += !bad;
                else if (!bad) t.wrong++;
                if (known && !bad && (sent[static_cast<size_t>(g)].bad >> b & 1)) t.wrong++;
            }
            if (known && right == 4) recovered[static_cast<size_t>(g)] = true;
        }
    }
    for (bool r : recovered) t.recovered += r;
    return t;
}

struct SnrCase {
    double snr_db;
    double min_recovered;  // of the groups sent, by the soft decisions
};

class RadioSoftDecisions : public ::testing::TestWithParam<SnrCase> {};

// One signal decoded with hard and with soft decisions: the soft ones
// recover at least the floor and at least as much as the hard ones, pass no
// wrong block from 1 dB up, and below that no more than the hard ones do.
// One group in twenty has a bad block, sent spoiled: those stay bad.
TEST_P(RadioSoftDecisions, RecoverMorePassNoMoreWrongBlocks) {
    const SnrCase& c = GetParam();
    const size_t n = 120;  // 10.5 s of signal
    std::vector<RdsGroup> sent = test_groups(n, 5, 21);
    MpxOptions mo;
    mo.rate = 171000;
    mo.snr_db = c.snr_db;
    mo.seed = static_cast<uint32_t>(40 + 2 * c.snr_db);
    std::vector<float> mpx = make_mpx(sent, mo);
    Tally hard = tally(sent, mpx, mo.rate, false);
    Tally soft = tally(sent, mpx, mo.rate, true);
    RecordProperty("recovered_hard", std::to_string(hard.recovered));
    RecordProperty("recovered_soft", std::to_string(soft.recovered));
    EXPECT_GE(static_cast<double>(soft.recovered), c.min_recovered * n) << "hard " << hard.recovered;
    EXPECT_GE(soft.recovered, hard.recovered);
    if (c.snr_db >= 1) EXPECT_EQ(soft.wrong, 0u);
    else EXPECT_LE(soft.wrong, hard.wrong);
}

INSTANTIATE_TEST_SUITE_P(Snr, RadioSoftDecisions,
                         ::testing::Values(SnrCase{-2, 0.90}, SnrCase{-1, 0.97}, SnrCase{1, 0.99}, SnrCase{4, 1.0},
                                           SnrCase{10, 1.0}),
                         [](const auto& info) {
                             int db = static_cast<int>(info.param.snr_db);
                             return (db < 0 ? "minus" : "plus") + std::to_string(std::abs(db)) + "dB";
                         });

// ---- Real recordings -----------------------------------------------------------

// The stretch of a recording around its longest run of bad blocks, started
// with its first group: every group comes back exactly, bad bits included,
// and sync holds through the run (the bit clock is intact all along).
class RadioRecording : public ::testing::TestWithParam<const char*> {};

TEST_P(RadioRecording, ComesBackExactlyThroughItsLongestBadRun) {
    CE_REQUIRE_CAPTURE(path, GetParam());
    std::string error;
    auto rec = load_recording(path.string(), &error);
    ASSERT_TRUE(rec) << error;
    const auto& all = rec->groups;
    size_t best_end = 0, best = 0, run = 0;
    for (size_t g = 0; g < all.size(); g++)
        for (int b = 0; b < 4; b++) {
            run = (all[g].bad >> b & 1) ? run + 1 : 0;
            if (run > best) best = run, best_end = g;
        }
    size_t from = best_end > best / 4 + 8 ? best_end - best / 4 - 8 : 0;
    size_t to = std::min(all.size(), best_end + 8);
    std::vector<RdsGroup> sent(all.begin() + static_cast<std::ptrdiff_t>(from),
                               all.begin() + static_cast<std::ptrdiff_t>(to));
    MpxOptions mo;
    mo.rate = 171000;
    mo.snr_db = 25;
    std::vector<float> mpx = make_mpx(sent, mo);
    RdsDecoder dec({mo.rate, 2});
    std::vector<RdsGroup> got;
    dec.push(mpx.data(), mpx.size(), got);
    ASSERT_EQ(got.size(), sent.size()) << best << " bad blocks in a row";
    for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ(got[i], sent[i]) << "group " << from + i;
}

INSTANTIATE_TEST_SUITE_P(Captures, RadioRecording,
                         ::testing::Values("dk-9602-tmc.spy", "fr-fe37-tmc.spy", "nl-8116-no-tmc.spy",
                                           "us-5cbc-tmc-encrypted.spy"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

// A multiplex from another modulator (its own coding and shaping, a stereo
// programme beside the RDS, a 171 kHz resampling): every group it sent comes
// back, in order, and nothing it did not send. The listing stops one group
// short of the file: the encoder's next group (its cycle of 26 goes on) ends
// 40 ms before the file does and is whole in it, every block exact.
TEST(RadioForeignMultiplex, EveryGroupOfAnIndependentStereoMultiplex) {
    CE_REQUIRE_CAPTURE(flac, "grrds-stereo-171k.flac");
    CE_REQUIRE_CAPTURE(spy, "grrds-stereo-171k.spy");
    std::string error;
    auto listed = load_recording(spy.string(), &error);
    ASSERT_TRUE(listed) << error;
    ASSERT_EQ(listed->groups.size(), 284u);
    std::vector<RdsGroup> sent = listed->groups;
    sent.push_back(sent[sent.size() - 26]);
    auto file = MpxFile::open(flac.string(), std::nullopt, &error);
    ASSERT_TRUE(file) << error;
    for (int max_burst : {0, 2}) {
        SCOPED_TRACE(max_burst);
        ASSERT_TRUE(file->rewind());
        RdsDecoder dec({file->rate(), max_burst});
        std::vector<RdsGroup> got;
        std::vector<float> buf(4096);
        while (size_t n = file->read(buf.data(), buf.size())) dec.push(buf.data(), n, got);
        EXPECT_TRUE(dec.pilot());
        EXPECT_EQ(dec.blocks_failed(), 0u);
        EXPECT_EQ(got, sent);
    }
}

// ---- The programme ----------------------------------------------------------------

constexpr double kTwoPi = 6.283185307179586;

// A tone's complex amplitude in x (a cos of amplitude a and phase p gives
// a e^jp), Hann-weighted over the samples from `from` on.
std::complex<double> tone(const std::vector<float>& x, double rate, double f, size_t from) {
    const size_t n = x.size() - from;
    const std::complex<double> step = std::polar(1.0, -kTwoPi * f / rate);
    std::complex<double> rotor = std::polar(1.0, -kTwoPi * f * static_cast<double>(from) / rate), sum = 0;
    double weights = 0;
    for (size_t k = 0; k < n; k++, rotor *= step) {
        double w = 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(k) / static_cast<double>(n));
        sum += w * static_cast<double>(x[from + k]) * rotor;
        weights += w;
    }
    return 2.0 * sum / weights;
}

// Power between f0 and f1 over all the power, in dB: Hann-windowed
// periodograms of 4096 samples, averaged.
double band_db(const std::vector<float>& x, double rate, double f0, double f1, size_t from) {
    const size_t len = 4096;
    std::vector<double> hann(len);
    for (size_t k = 0; k < len; k++) hann[k] = 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(k) / len);
    double band = 0, all = 0;
    for (size_t at = from, n = 0; at + len <= x.size() && n < 40; at += len, n++) {
        for (size_t k = 0; k < len; k++) all += hann[k] * hann[k] * x[at + k] * x[at + k];
        for (auto bin = static_cast<size_t>(std::ceil(f0 / rate * len)); bin * rate / len <= f1; bin++) {
            const std::complex<double> step = std::polar(1.0, -kTwoPi * static_cast<double>(bin) / len);
            std::complex<double> sum = 0, rotor = 1;
            for (size_t k = 0; k < len; k++, rotor *= step) sum += hann[k] * x[at + k] * rotor;
            band += 2 * std::norm(sum) / len;  // both signs of frequency
        }
    }
    return 10 * std::log10(band / all);
}

struct ProgrammeCase {
    const char* name;
    double audio_rate;  // 0: noise
    int channels;
    double mpx_rate;
    double preemphasis_us;
    double level;  // of each tone
};

void PrintTo(const ProgrammeCase& c, std::ostream* os) { *os << c.name; }

class RadioProgramme : public ::testing::TestWithParam<ProgrammeCase> {};

// Tones in a sound file (left 1 and 10 kHz, right 3 kHz; a mono file the
// first two) come out on the multiplex as a stereo receiver would take them
// apart: L+R, L-R on 38 kHz in phase with the pilot, the pre-emphasis's
// rise, one side silent where the other plays. Noise stays out of the
// pilot's and the RDS's bands. Loud or not, the multiplex stays in range.
TEST_P(RadioProgramme, PlacedAsABroadcastPlacesIt) {
    const ProgrammeCase& c = GetParam();
    cetest::TempRoot root;
    MpxOptions mo;
    mo.rate = c.mpx_rate;
    mo.preemphasis_us = c.preemphasis_us;
    mo.rds_level = c.audio_rate ? kProgrammeRdsLevel : 0.0;
    if (c.audio_rate) {
        std::string wav = root.path() + "/tones.wav", error;
        SF_INFO info{};
        info.samplerate = static_cast<int>(c.audio_rate);
        info.channels = c.channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(wav.c_str(), SFM_WRITE, &info);
        ASSERT_TRUE(f) << sf_strerror(nullptr);
        // A second and a half: the file loops under 2.6 s of groups.
        for (int n = 0; n < static_cast<int>(1.5 * c.audio_rate); n++) {
            auto at = [&](double hz) { return c.level * std::sin(kTwoPi * hz * n / c.audio_rate); };
            float frame[2] = {static_cast<float>(at(1000) + at(10000)), static_cast<float>(at(3000))};
            sf_writef_float(f, frame, 1);
        }
        sf_close(f);
        mo.programme = ProgrammeAudio::open(wav, &error);
        ASSERT_TRUE(mo.programme) << error;
    } else {
        mo.programme = ProgrammeAudio::noise(3);
    }
    std::vector<float> mpx = make_mpx(test_groups(30, 0, 2), mo);
    // Past the lead-in: a whole number of tone periods matters not with Hann.
    const size_t from = static_cast<size_t>(0.1 * mo.rate);
    float peak = 0;
    for (float v : mpx) peak = std::max(peak, std::abs(v));
    EXPECT_LE(peak, 1.0f);
    std::complex<double> pilot = tone(mpx, mo.rate, kPilotHz, from);
    EXPECT_NEAR(std::abs(pilot), 0.09, 0.002);
    if (!c.audio_rate) {
        EXPECT_GT(peak, 0.7f) << "the noise is loud enough to be limited";
        EXPECT_LT(band_db(mpx, mo.rate, 54600, 59400, from), -50) << "in the RDS band";
        EXPECT_LT(band_db(mpx, mo.rate, 17000, 18500, from), -50) << "below the pilot";
        EXPECT_LT(band_db(mpx, mo.rate, 19500, 21000, from), -50) << "above the pilot";
        return;
    }
    // L = M + S, R = M - S; S from its upper sideband, the carrier's phase
    // twice the pilot's.
    const std::complex<double> carrier = std::polar(1.0, -2 * std::arg(pilot));
    auto sides = [&](double hz) {
        std::complex<double> m = tone(mpx, mo.rate, hz, from), d = 2.0 * tone(mpx, mo.rate, 38000 + hz, from) * carrier;
        return std::pair{std::abs(m + d), std::abs(m - d)};
    };
    auto emphasis = [&](double hz) { return std::hypot(1.0, kTwoPi * hz * c.preemphasis_us * 1e-6); };
    auto [l1, r1] = sides(1000);
    auto [l10, r10] = sides(10000);
    auto [l3, r3] = sides(3000);
    if (c.channels == 1) std::swap(l3, r3);  // a mono file's right is its left
    const double limited = l1 / (c.level * emphasis(1000));
    if (c.level < 0.2) EXPECT_NEAR(20 * std::log10(limited), 0.0, 0.3) << "not limited";
    else EXPECT_LT(limited, 0.8) << "limited";
    EXPECT_NEAR(20 * std::log10(l10 / l1), 20 * std::log10(emphasis(10000) / emphasis(1000)), 0.3);
    if (c.channels == 2) {
        EXPECT_LT(r1, 0.01 * l1);
        EXPECT_LT(r10, 0.01 * l10);
        EXPECT_LT(l3, 0.01 * r3);
    } else {
        EXPECT_NEAR(r1, l1, 0.01 * l1);
        EXPECT_NEAR(r10, l10, 0.01 * l10);
        EXPECT_LT(r3, 0.01 * l1) << "no 3 kHz in a mono file";
    }
}

const ProgrammeCase kProgrammes[] = {
    {"stereo_44k1_to_228k_50us", 44100, 2, 228000, 50, 0.1},
    {"stereo_48k_to_171k_75us", 48000, 2, 171000, 75, 0.1},
    {"mono_22k05_to_192k_50us", 22050, 1, 192000, 50, 0.1},
    {"stereo_96k_loud_limited", 96000, 2, 228000, 50, 0.5},
    {"noise_228k", 0, 2, 228000, 50, 0},
    {"noise_171k_75us", 0, 2, 171000, 75, 0},
};

INSTANTIATE_TEST_SUITE_P(Programmes, RadioProgramme, ::testing::ValuesIn(kProgrammes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Front end -------------------------------------------------------------------

TEST(RadioFrontEnd, ChannelPowersFindTheStation) {
    std::vector<float> mpx = make_mpx(test_groups(2, 0, 1), MpxOptions{});
    IqOptions io;
    io.iq_rate = 1000000;
    io.offset_hz = -300000;
    io.level = 0.3;
    io.snr_db = 30;
    std::vector<uint8_t> raw = fm_modulate(mpx, 228000, io, IqFormat::Cs16);
    std::vector<std::complex<float>> iq;
    iq_to_complex(raw.data(), raw.size(), IqFormat::Cs16, iq);
    auto powers = channel_powers(iq.data(), iq.size(), io.iq_rate);
    ASSERT_FALSE(powers.empty());
    auto best = *std::max_element(powers.begin(), powers.end(),
                                  [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(best.first, -300000);
    EXPECT_NEAR(best.second, 20 * std::log10(0.3), 1.5);  // the carrier's power, dBFS
    for (const auto& [f, p] : powers)
        if (std::abs(f - best.first) > 100000) EXPECT_LT(p, best.second - 20) << f;
    EXPECT_EQ(rssi_from_power(best.second), static_cast<uint32_t>(std::lround(best.second + 60)));

    FmChannel channel(io.iq_rate, io.offset_hz);
    std::vector<float> out;
    channel.push(iq.data(), iq.size(), out);
    EXPECT_NEAR(channel.power_db(), 20 * std::log10(0.3), 1.0);
    EXPECT_NEAR(static_cast<double>(out.size()), static_cast<double>(iq.size()) * channel.mpx_rate() / io.iq_rate, 200);
}

TEST(RadioFrontEnd, RatesFormatsAndSignalStrength) {
    EXPECT_EQ(FmChannel(2400000, 0).mpx_rate(), 228000);
    EXPECT_EQ(FmChannel(1710000, 0).mpx_rate(), 171000);
    EXPECT_EQ(FmChannel(200000, 0).mpx_rate(), 171000);
    EXPECT_EQ(rssi_from_power(-300), 0u);
    EXPECT_EQ(rssi_from_power(-60), 0u);
    EXPECT_EQ(rssi_from_power(-20), 40u);
    EXPECT_EQ(rssi_from_power(10), 63u);
    EXPECT_EQ(rssi_from_power(std::nan("")), 0u);
    for (IqFormat f : {IqFormat::Cu8, IqFormat::Cs16, IqFormat::Cf32}) {
        IqFormat back;
        ASSERT_TRUE(parse_iq_format(iq_format_name(f), back));
        EXPECT_EQ(back, f);
    }
    IqFormat unused;
    EXPECT_FALSE(parse_iq_format("s8", unused));
    // The dongle's bytes: 127.5 is the centre; a trailing half sample is left.
    const uint8_t cu8[] = {0, 255, 128, 127, 9};
    std::vector<std::complex<float>> iq;
    iq_to_complex(cu8, sizeof cu8, IqFormat::Cu8, iq);
    ASSERT_EQ(iq.size(), 2u);
    EXPECT_FLOAT_EQ(iq[0].real(), -1.0f);
    EXPECT_FLOAT_EQ(iq[0].imag(), 1.0f);
    EXPECT_NEAR(iq[1].real(), 0.0039f, 1e-3);
    // Non-finite floats never reach the filters.
    const float cf32[] = {std::nanf(""), INFINITY};
    iq.clear();
    iq_to_complex(reinterpret_cast<const uint8_t*>(cf32), sizeof cf32, IqFormat::Cf32, iq);
    ASSERT_EQ(iq.size(), 1u);
    EXPECT_TRUE(std::isfinite(iq[0].real()) && std::isfinite(iq[0].imag()));
}

// Every channel of a span at once: a tone beside each channel's frequency
// comes out of it as the same tone at baseband, at full level, its phase
// running on across the channelizer's blocks (the instantaneous frequency
// holds at every sample, also where a channel's frequency falls between
// the FFT's bins), and the tone of a channel 200 kHz away stays out.
class RadioChannelizer : public ::testing::TestWithParam<double> {};

TEST_P(RadioChannelizer, ChannelsComeOutAsBasebandAcrossBlocks) {
    const double rate = GetParam();
    // Both edges of the span (which the FFT sees 200 kHz apart), one between
    // the bins and one without a tone, as far as the span holds them.
    const double span = rate / 2 - 100000;
    std::vector<double> channels = {-span};
    if (span >= 100000) channels.push_back(span);
    if (span >= 300000) channels.insert(channels.end(), {-123456.0, 150000.0});
    const double tone = 7000, level = 0.25;
    std::vector<std::complex<float>> iq(static_cast<size_t>(rate * 0.05));
    for (size_t n = 0; n < iq.size(); n++)
        for (size_t i = 0; i < channels.size() && i < 3; i++)
            iq[n] +=
                std::polar(static_cast<float>(level),
                           static_cast<float>(std::fmod(
                               kTwoPiForTest * (channels[i] + tone) * static_cast<double>(n) / rate, kTwoPiForTest)));
    Channelizer ch(rate);
    EXPECT_GE(ch.channel_rate(), 200000);
    for (double c : channels) ch.add(c);
    std::vector<std::vector<std::complex<float>>> out;
    std::mt19937 rng(5);
    for (size_t at = 0; at < iq.size();) {
        size_t n = std::min<size_t>(1 + rng() % 5000, iq.size() - at);
        ch.push(iq.data() + at, n, out);
        at += n;
    }
    ASSERT_EQ(out.size(), channels.size());
    for (size_t i = 0; i < channels.size(); i++) {
        SCOPED_TRACE(channels[i]);
        const auto& base = out[i];
        EXPECT_NEAR(static_cast<double>(base.size()), static_cast<double>(iq.size()) * ch.channel_rate() / rate, 400);
        // After the filter has filled.
        const size_t settled = base.size() / 2;
        ASSERT_GT(base.size(), settled + 1000);
        double power = 0;
        for (size_t k = settled; k < base.size(); k++) power += std::norm(base[k]);
        power /= static_cast<double>(base.size() - settled);
        if (i == 3) {
            EXPECT_LT(power, level * level * 1e-5) << "the neighbours' tones stay out";
            continue;
        }
        EXPECT_NEAR(power, level * level, level * level * 0.05);
        FmDiscriminator fm(ch.channel_rate());
        std::vector<float> mpx;
        fm.push(base.data() + settled, base.size() - settled, mpx);
        // A neighbour 60 dB down still ripples the frequency by tens of
        // hertz; a phase step between blocks would throw one sample kilohertz
        // off, and a channel left between two bins by a few hundred hertz.
        for (size_t k = 1; k < mpx.size(); k++) ASSERT_NEAR(mpx[k] * 75000.0, tone, 100.0) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, RadioChannelizer, ::testing::Values(250000.0, 1024000.0, 2048000.0, 2400000.0),
                         [](const auto& info) { return std::to_string(static_cast<int>(info.param)); });

// What a survey takes from a station's groups: only blocks received
// without error; the PI once two groups agree (a version-B group's third
// block counts); the name by segments; TMC from an 8A group or the TMC
// application announced in a 3A group, not from another application.
TEST(RadioSurveyLog, TakesPiNameAndTmcFromGoodBlocks) {
    struct Case {
        const char* name;
        std::vector<RdsGroup> groups;
        std::optional<uint16_t> pi;
        std::string ps;
        bool tmc;
    };
    const RdsGroup ps0{{0x9602, 0x0000, 0xE0CD, 0x5445}}, ps1{{0x9602, 0x0001, 0xE0CD, 0x5354}};
    const RdsGroup ps2{{0x9602, 0x0002, 0xE0CD, 0x2046}}, ps3{{0x9602, 0x0003, 0xE0CD, 0x4D20}};
    const RdsGroup bad_name{{0x9602, 0x0000, 0xE0CD, 0x5858}, 0x9};
    const std::vector<Case> cases = {
        {"Whole", {ps0, ps1, ps2, ps3}, 0x9602, "TEST FM ", false},
        {"OneGroupIsNoPi", {ps0}, std::nullopt, std::string("TE\0\0\0\0\0\0", 8), false},
        {"BadBlocksAreNotRead",
         {ps0, bad_name, RdsGroup{{0x1111, 0x0001, 0, 0x5354}, 0x3}},
         std::nullopt,
         std::string("TE\0\0\0\0\0\0", 8),
         false},
        {"VersionBCarriesThePiTwice",
         {RdsGroup{{0x9602, 0x0800, 0x9602, 0x4142}}},
         0x9602,
         std::string("AB\0\0\0\0\0\0", 8),
         false},
        {"EightA", {RdsGroup{{0x9602, 0x8000, 0, 0}}, ps0}, 0x9602, std::string("TE\0\0\0\0\0\0", 8), true},
        {"EightBIsNot", {RdsGroup{{0x9602, 0x8800, 0x9602, 0}}}, 0x9602, "", false},
        {"ThreeATmc", {RdsGroup{{0x9602, 0x3010, 0, 0xCD47}}}, std::nullopt, "", true},
        {"ThreeAOtherApplication", {RdsGroup{{0x9602, 0x3010, 0, 0x4BD7}}}, std::nullopt, "", false},
        {"ThreeAWithABadAid", {RdsGroup{{0x9602, 0x3010, 0, 0xCD46}, 0x8}}, std::nullopt, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StationLog log;
        for (const auto& g : c.groups) log.add(g);
        EXPECT_EQ(log.pi(), c.pi);
        EXPECT_EQ(log.ps(), c.ps);
        EXPECT_EQ(log.tmc(), c.tmc);
    }
    SurveyStation st{95100, 30, 0x9602, std::string("T\tST\0FM ", 8), true};
    EXPECT_EQ(format_survey_line(st), "95100\t30\t9602\tT?ST?FM\ttmc") << "tabs, gaps and spaces at the end";
    EXPECT_EQ(format_survey_line({89000, 12, std::nullopt, "", false}), "89000\t12\t----\t-\t-");
}

// ---- Files -------------------------------------------------------------------------

class RadioFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("radio_files_" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    static std::string read_file(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
};

TEST_F(RadioFiles, MultiplexRoundTripsThroughWavFlacAndRaw) {
    MpxOptions mo;
    mo.rate = 192000;
    std::vector<RdsGroup> sent = test_groups(6, 0, 4);
    std::vector<float> mpx = make_mpx(sent, mo);
    for (const char* name : {"m.wav", "m.flac", "m.raw", "m.rf64"}) {
        SCOPED_TRACE(name);
        std::string error;
        std::unique_ptr<MpxFile> f;
        if (std::string(name) == "m.rf64") {
            // The form of a multiplex past 4 GiB, here as a small one.
            SF_INFO info{};
            info.samplerate = 192000;
            info.channels = 1;
            info.format = SF_FORMAT_RF64 | SF_FORMAT_PCM_16;
            SNDFILE* rf64 = sf_open(path(name).c_str(), SFM_WRITE, &info);
            ASSERT_TRUE(rf64) << sf_strerror(nullptr);
            EXPECT_EQ(sf_write_float(rf64, mpx.data(), static_cast<sf_count_t>(mpx.size())),
                      static_cast<sf_count_t>(mpx.size()));
            sf_close(rf64);
            ASSERT_EQ(read_file(path(name)).substr(0, 4), "RF64");
            f = MpxFile::open(path(name), std::nullopt, &error);
        } else if (std::string(name) == "m.raw") {
            std::ofstream raw(path(name), std::ios::binary);
            for (float v : mpx) {
                auto s = static_cast<int16_t>(std::lround(v * 32767));
                raw.put(static_cast<char>(s & 0xFF)).put(static_cast<char>((s >> 8) & 0xFF));
            }
            raw.close();
            f = MpxFile::open(path(name), 192000.0, &error);
        } else {
            ASSERT_TRUE(write_mpx(path(name), mpx, mo.rate, &error)) << error;
            f = MpxFile::open(path(name), std::nullopt, &error);
        }
        ASSERT_TRUE(f) << error;
        EXPECT_EQ(f->rate(), 192000);
        // Read it twice (a loop goes back through rewind), in odd pieces.
        for (int pass = 0; pass < 2; pass++) {
            RdsDecoder dec({f->rate(), 2});
            std::vector<RdsGroup> got;
            std::vector<float> buf(777);
            size_t total = 0;
            while (size_t n = f->read(buf.data(), buf.size())) {
                dec.push(buf.data(), n, got);
                total += n;
            }
            EXPECT_EQ(total, mpx.size());
            EXPECT_EQ(got, sent);
            ASSERT_TRUE(f->rewind());
        }
    }
}

// A WAV counts its sizes in 32 bits: a multiplex that would pass 4 GiB is
// RF64, a smaller one stays a plain WAV, byte for byte as it always was.
TEST_F(RadioFiles, AMultiplexPast4GiBIsWrittenAsRf64) {
    const uint64_t four_gib_of_samples = (uint64_t{1} << 32) / 2;
    EXPECT_EQ(mpx_format_for("m.wav", 0), MpxFormat::Wav);
    EXPECT_EQ(mpx_format_for("m.wav", four_gib_of_samples - 1000000), MpxFormat::Wav);
    EXPECT_EQ(mpx_format_for("m.wav", four_gib_of_samples), MpxFormat::Rf64);
    EXPECT_EQ(mpx_format_for("m.wav", 10 * four_gib_of_samples), MpxFormat::Rf64);
    EXPECT_EQ(mpx_format_for("m.FLAC", 10 * four_gib_of_samples), MpxFormat::Flac);

    std::vector<float> mpx(1000, 0.25f);
    std::string error;
    ASSERT_TRUE(write_mpx(path("small.wav"), mpx, 228000, &error)) << error;
    std::string wav = read_file(path("small.wav"));
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(12, 8), std::string("fmt \x10\0\0\0", 8)) << "a plain PCM header";
    EXPECT_EQ(wav.size(), 44 + 2 * mpx.size());
}

TEST_F(RadioFiles, RefusalsSayWhy) {
    std::string error;
    std::vector<float> mpx(48000, 0.0f);
    ASSERT_TRUE(write_mpx(path("low.wav"), mpx, 48000, &error)) << error;
    EXPECT_FALSE(MpxFile::open(path("low.wav"), std::nullopt, &error));
    EXPECT_NE(error.find("160 kHz"), std::string::npos) << error;
    { std::ofstream(path("any.raw")) << "abcd"; }
    EXPECT_FALSE(MpxFile::open(path("any.raw"), 100000.0, &error));
    EXPECT_NE(error.find("160 kHz"), std::string::npos) << error;
    EXPECT_FALSE(MpxFile::open(path("any.raw"), 2e9, &error));
    EXPECT_NE(error.find("10 MHz"), std::string::npos) << error;
    {
        // A WAV header that claims 2.1 GHz (found by fuzzing: the decoder's
        // resampler could not span the ratio and liquid crashed).
        static const char header[] =
            "RIFF\xF4\x07\0\0WAVEfmt \x10\0\0\0\1\0\1\0\xF8\x9B\x02\x7E\xF0\x27\x05\0\2\0\x10\0"
            "data\x08\0\0\0\1\0\2\0\3\0\4\0";
        std::ofstream(path("huge.wav"), std::ios::binary).write(header, sizeof header - 1);
    }
    EXPECT_FALSE(MpxFile::open(path("huge.wav"), std::nullopt, &error));
    EXPECT_NE(error.find("10 MHz"), std::string::npos) << error;
    RdsDecoder absurd({2e9, 2});  // a rate nothing should ask for is still safe
    std::vector<RdsGroup> none;
    absurd.push(mpx.data(), mpx.size(), none);
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(MpxFile::open(path("any.raw"), std::nullopt, &error));  // not WAV/FLAC, no rate given
    EXPECT_NE(error.find("rate"), std::string::npos) << error;
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    for (const std::string& p : {path("fifo"), dir_.string()}) {
        error.clear();
        EXPECT_FALSE(MpxFile::open(p, 228000.0, &error));
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
        error.clear();
        EXPECT_FALSE(IqFile::open(p, IqFormat::Cu8, &error));
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    }
    EXPECT_FALSE(IqFile::open(path("missing"), IqFormat::Cu8, &error));
    EXPECT_FALSE(write_mpx(path("no/such/dir.wav"), mpx, 228000, &error));
}

TEST_F(RadioFiles, IqFileReadsInChunksWhatTheBytesHold) {
    std::vector<uint8_t> raw(4 * 10001 + 3);
    for (size_t i = 0; i < raw.size(); i++) raw[i] = static_cast<uint8_t>(i * 37 + 11);
    {
        std::ofstream f(path("iq.cs16"), std::ios::binary);
        f.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    }
    std::vector<std::complex<float>> want;
    iq_to_complex(raw.data(), raw.size(), IqFormat::Cs16, want);
    std::string error;
    auto f = IqFile::open(path("iq.cs16"), IqFormat::Cs16, &error);
    ASSERT_TRUE(f) << error;
    for (int pass = 0; pass < 2; pass++) {
        std::vector<std::complex<float>> got, buf(3001);
        while (size_t n = f->read(buf.data(), buf.size()))
            got.insert(got.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(got, want);
        ASSERT_TRUE(f->rewind());
    }
}

}  // namespace
