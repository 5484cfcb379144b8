// Golden transcripts: what a client reads from the driver for a fixed RDS
// input, in both dialects, compared byte for byte with what tests/golden
// keeps. Any change in what reaches the client, in the reassembly or in the
// sentences, shows up here; scripts/golden shows it as a diff, to be read and
// then fixed or stored.
//
// The input takes the live way without threads or timing: each group packed
// into its 12 raw bytes as the tuner sends them, handed to Wavelo's
// reassembly in pieces that never reach into the next group (as the chip
// hands them over), every batch of groups it completes passed to the
// driver's sentence writer as the notification thread does, and the queue
// read back with COM_Read as the client would.
//
// Synthetic stations have their whole transcript stored. The recordings are
// not ours to copy, nor what they turn into: for them only the figures are
// stored (groups in, lines out, a digest of the transcript), and they are
// skipped when ../shared/captures is missing. With CE_GOLDEN_OUT set, every
// transcript made is also written there (scripts/golden uses that).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "air.h"
#include "driver_test_env.h"
#include "fm_rds.h"
#include "real_air.h"
#include "recording.h"
#include "synthetic.h"

using namespace drvtest;

namespace {

namespace fs = std::filesystem;

// A synthetic station sends this many groups from its start: every TMC
// message twice over, its system information, the whole radiotext and the
// clock-time pair at its start.
constexpr size_t kSyntheticGroups = 300;
// 2026-03-02 07:45:00 UTC, so that the clock-time groups are the same each run.
constexpr int64_t kSyntheticClock = 1772437500;
// Piece lengths, taken in turn; each piece ends at its group's end at the
// latest. The chip cuts at random; a fixed round keeps the stream the same
// and still covers whole groups, single bytes and odd cuts.
constexpr int kPieces[] = {12, 5, 1, 9, 3, 12, 7, 2, 12, 4, 11};

// Air Source values of the synthetic stations, and recordings by file name.
const char* const kSources[] = {
    "synthetic D301 tmc", "synthetic D302",     "synthetic D303 tmc errors 4", "dk-9602-tmc.spy",
    "fr-fe37-tmc.spy",    "nl-8116-no-tmc.spy", "us-5cbc-tmc-encrypted.spy",
};

enum class Dialect { Royaltek, Gns };

struct Case {
    std::string source;
    Dialect dialect;
    bool synthetic() const { return source.rfind("synthetic ", 0) == 0; }
    const char* dialect_name() const { return dialect == Dialect::Royaltek ? "royaltek" : "gns"; }
    // "synthetic-D301-tmc.royaltek.txt", "dk-9602-tmc.gns.txt"
    std::string file_name() const {
        std::string base = synthetic() ? source : fs::path(source).stem().string();
        std::replace(base.begin(), base.end(), ' ', '-');
        return base + "." + dialect_name() + ".txt";
    }
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.source << ", " << c.dialect_name(); }

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const char* source : kSources) {
        cases.push_back({source, Dialect::Royaltek});
        cases.push_back({source, Dialect::Gns});
    }
    return cases;
}

// The transcript as text, one sentence or frame a line, rendered so that
// two different outputs never look alike: a Royaltek line ends where the
// output has "\r\n", and any other byte outside printable ASCII (or a
// backslash) shows as \xNN; a GNS frame is its ten bytes in hex, a shorter
// remainder a line of its own.
std::string Render(const std::string& wire, Dialect dialect) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    if (dialect == Dialect::Gns) {
        for (size_t i = 0; i < wire.size(); i++) {
            unsigned char c = static_cast<unsigned char>(wire[i]);
            if (i % 10 != 0) text += ' ';
            text += digits[c >> 4];
            text += digits[c & 15];
            if (i % 10 == 9 || i + 1 == wire.size()) text += '\n';
        }
        return text;
    }
    for (size_t i = 0; i < wire.size(); i++) {
        unsigned char c = static_cast<unsigned char>(wire[i]);
        if (c == '\r' && i + 1 < wire.size() && wire[i + 1] == '\n') {
            text += '\n';
            i++;
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    return text;
}

// 64-bit FNV-1a, as 16 hex digits.
std::string Digest(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Where two transcripts first part, for the failure message (the whole
// difference is scripts/golden's to show).
std::string FirstDifference(const std::string& want, const std::string& got) {
    std::istringstream a(want), b(got);
    std::string la, lb;
    for (int line = 1;; line++) {
        bool ha = static_cast<bool>(std::getline(a, la));
        bool hb = static_cast<bool>(std::getline(b, lb));
        if (!ha && !hb) return "same lines, different endings";
        if (!ha || !hb || la != lb) {
            return "line " + std::to_string(line) + ": stored \"" + (ha ? la : "<end>") + "\", made \"" +
                   (hb ? lb : "<end>") + "\"";
        }
    }
}

// The stored figures line of a recording in one dialect, "" when there is none.
std::string StoredFigures(const std::string& recording, const char* dialect) {
    std::istringstream in(ReadText(fs::path(CE_GOLDEN_DIR) / "recordings.txt"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name, d;
        if (words >> name >> d && name == recording && d == dialect) return line;
    }
    return "";
}

// The driver with no radio (no driver thread adds output of its own) and a
// client, in one dialect.
class TranscriptTest : public DriverTest {
protected:
    void LoadIn(Dialect dialect) {
        fakefm::set_no_radio(true);
        SetSetting(u"Protocol", dialect == Dialect::Royaltek ? 0 : 1);
        Load();
        ASSERT_TRUE(Open());
    }

    // Everything the client reads for these groups.
    std::string Transmit(const std::vector<fmsim::RdsGroup>& groups) {
        FmRdsState rds;
        EXPECT_TRUE(FmRdsInit(&rds));
        std::string wire;
        size_t turn = 0;
        BYTE raw[FMS_RDS_GROUP_BYTES];
        // Larger than the queue, so that one read takes all of it.
        static char buffer[OUTPUT_SIZE + 1];
        for (const auto& g : groups) {
            fmsim::pack_group(g, raw);
            for (int at = 0; at < FMS_RDS_GROUP_BYTES;) {
                int n = std::min(kPieces[turn++ % std::size(kPieces)], FMS_RDS_GROUP_BYTES - at);
                DWORD count = 0;
                FmRdsGroup* batch = FmRdsTakeBytes(&rds, raw + at, n, &count);
                at += n;
                if (!batch) continue;
                OnRdsGroups(batch, count);
                LocalFree(batch);
                wire.append(buffer, COM_Read(open_, buffer, sizeof buffer));
            }
        }
        FmRdsFree(&rds);
        return wire;
    }
};

class GoldenTranscriptTest : public TranscriptTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        TranscriptTest::SetUp();
        LoadIn(GetParam().dialect);
    }
};

TEST_P(GoldenTranscriptTest, MatchesStored) {
    const Case& c = GetParam();
    std::vector<fmsim::RdsGroup> groups;
    if (c.synthetic()) {
        fmsim::StationSource source;
        std::string error;
        ASSERT_TRUE(fmsim::parse_source(c.source, source, &error)) << error;
        fmsim::SyntheticConfig config;
        config.pi = source.pi;
        config.tmc = source.tmc;
        config.error_percent = source.error_percent;
        config.fixed_clock = kSyntheticClock;
        fmsim::SyntheticBroadcaster station(config);
        for (size_t i = 0; i < kSyntheticGroups; i++) groups.push_back(station.next());
    } else {
        CE_REQUIRE_CAPTURE(path, c.source);
        std::string error;
        auto parsed = fmsim::load_recording(path.string(), &error);
        ASSERT_TRUE(parsed) << error;
        groups = parsed->groups;
    }

    std::string transcript = Render(Transmit(groups), c.dialect);
    size_t lines = static_cast<size_t>(std::count(transcript.begin(), transcript.end(), '\n'));
    const char* out = std::getenv("CE_GOLDEN_OUT");

    if (c.synthetic()) {
        if (out) WriteText(fs::path(out) / c.file_name(), transcript);
        fs::path stored_path = fs::path(CE_GOLDEN_DIR) / c.file_name();
        ASSERT_TRUE(fs::exists(stored_path)) << stored_path << " is missing; scripts/golden --update makes it";
        std::string stored = ReadText(stored_path);
        EXPECT_TRUE(transcript == stored) << c.file_name() << " differs at " << FirstDifference(stored, transcript)
                                          << "; scripts/golden shows the whole difference";
        return;
    }

    char figures[160];
    std::snprintf(figures, sizeof figures, "%s %s %zu %zu %s", c.source.c_str(), c.dialect_name(), groups.size(), lines,
                  Digest(transcript).c_str());
    if (out) {
        WriteText(fs::path(out) / "recordings" / c.file_name(), transcript);
        std::string name = c.file_name();
        WriteText(fs::path(out) / "recordings" / (name.substr(0, name.size() - 4) + ".line"),
                  std::string(figures) + "\n");
    }
    EXPECT_EQ(StoredFigures(c.source, c.dialect_name()), figures)
        << "recording dialect groups-in lines-out fnv1a64; scripts/golden shows the difference";
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.file_name();
    name = name.substr(0, name.size() - 4);  // without ".txt"
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenTranscriptTest, ::testing::ValuesIn(AllCases()), CaseName);

// Each recording modulated into a multiplex and put on the air as an mpx
// station: the groups its source demodulates, first pass, give the client
// the very bytes the recording played as hex groups gives, in both dialects.
class MpxTranscriptTest : public TranscriptTest, public ::testing::WithParamInterface<std::string> {
protected:
    std::string TranscriptOf(const std::vector<fmsim::RdsGroup>& groups, Dialect dialect) {
        LoadIn(dialect);
        std::string wire = Transmit(groups);
        Close();
        Unload();
        return Render(wire, dialect);
    }
};

TEST_P(MpxTranscriptTest, SentencesEqualThoseOfTheHexGroups) {
    CE_REQUIRE_CAPTURE(path, GetParam());
    auto recording = fmsim::load_recording(path.string());
    ASSERT_TRUE(recording);
    std::vector<fmsim::RdsGroup> want = recording->groups;
#ifdef CE_TEST_ASAN
    // Under the sanitizers the demodulation is many times slower: the whole
    // recordings are compared in the release build, their first part here.
    std::string piece = root_->path() + "/piece.spy";
    if (want.size() > 1200) {
        want.resize(1200);
        std::ofstream out(piece);
        for (const auto& g : want) {
            for (int b = 0; b < 4; b++) {
                char word[8];
                std::snprintf(word, sizeof word, b ? " %04X" : "%04X", g.block[b]);
                out << ((g.bad >> b & 1) ? (b ? " ----" : "----") : word);
            }
            out << "\n";
        }
        path = piece;
    }
#endif
    // 171 kHz: 144 samples a bit, the cheapest of the usual rates to decode.
    std::string wav = root_->path() + "/station.wav";
    fmsim::MpxMade made;
    std::string error;
    ASSERT_TRUE(fmsim::make_mpx_file(path.string(), wav, 171000, nullptr, made, &error)) << error;
    ASSERT_EQ(made.groups, want.size());

    fmsim::StationSource wanted;
    ASSERT_TRUE(fmsim::parse_source("mpx " + wav, wanted, &error)) << error;
    auto source = fmsim::make_source(wanted, 1);
    ASSERT_TRUE(source);
    std::vector<fmsim::RdsGroup> got;
    fmsim::RdsGroup g;
    while (got.size() < want.size() && source->next(g)) got.push_back(g);
    ASSERT_EQ(got.size(), want.size()) << "the station went dry";
    source.reset();

    for (Dialect dialect : {Dialect::Royaltek, Dialect::Gns}) {
        SCOPED_TRACE(dialect == Dialect::Royaltek ? "royaltek" : "gns");
        std::string hex = TranscriptOf(want, dialect), mpx = TranscriptOf(got, dialect);
        EXPECT_GT(hex.size(), 0u);
        EXPECT_TRUE(hex == mpx) << "first difference at " << FirstDifference(hex, mpx);
    }
}

INSTANTIATE_TEST_SUITE_P(Recordings, MpxTranscriptTest,
                         ::testing::Values("dk-9602-tmc.spy", "fr-fe37-tmc.spy", "nl-8116-no-tmc.spy",
                                           "us-5cbc-tmc-encrypted.spy"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
