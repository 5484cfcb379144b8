// `cectl air` and the air step of `cectl init`, run as the built program on a
// temporary root, checked through the registry as the tuner reads it.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <filesystem>

#include "air.h"
#include "iq_device.h"
#include "radio/radio.h"
#include "test_support.h"

namespace {

struct CectlResult {
    int status = -1;
    std::string out, err;
};

class TunerCectl : public ::testing::Test {
protected:
    // wrapper: a command that runs cectl, given as its arguments.
    CectlResult cectl(const std::string& args, const std::string& wrapper = "") {
        std::string out = root.path() + "/.out", err = root.path() + "/.err";
        std::string cmd = wrapper + "'" + (cetest::build_dir() / "bin" / "cectl").string() + "' --root '" +
                          root.path() + "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
        int rc = std::system(cmd.c_str());
        CectlResult r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream f(path);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    void expect_error(const std::string& args) {
        CectlResult r = cectl(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err.rfind("cectl: ", 0), 0u) << args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    }
    cetest::TempRoot root;
};

TEST_F(TunerCectl, InitProvisionsADefaultAirAndKeepsAUsersOwn) {
    ASSERT_EQ(cectl("init").status, 0);
    auto air = fmsim::read_air();
    ASSERT_GE(air.size(), 5u);
    int tmc = 0, plain = 0, below_band0 = 0;
    for (const auto& st : air) {
        fmsim::StationSource wanted;
        ASSERT_TRUE(fmsim::parse_source(st.source, wanted)) << st.source;
        EXPECT_EQ(wanted.kind, fmsim::StationSource::Synthetic);
        (wanted.tmc ? tmc : plain)++;
        below_band0 += st.frequency < 87500;
    }
    EXPECT_GE(tmc, 1);
    EXPECT_GE(plain, 1);
    EXPECT_GE(below_band0, 1);
    CectlResult list = cectl("air list");
    EXPECT_NE(list.out.find("87600\t44\tsynthetic D301 tmc\n"), std::string::npos) << list.out;

    ASSERT_EQ(cectl("air clear").status, 0);
    ASSERT_EQ(cectl("air set 90000 40 synthetic 9602 tmc").status, 0);
    ASSERT_EQ(cectl("init").status, 0);
    EXPECT_EQ(fmsim::read_air().size(), 1u) << "init keeps an air of the user's own";
    ASSERT_EQ(cectl("init --force").status, 0);
    EXPECT_EQ(fmsim::read_air().size(), air.size());
}

TEST_F(TunerCectl, SetRemoveClearAndErrors) {
    std::string rec = root.path() + "/station.spy";
    std::ofstream(rec) << "9602 4401 C9DE FDC4 @2019/05/04 17:55:00.91\n";
    ASSERT_EQ(cectl("air set 90000 40 synthetic 9602 tmc errors 3").status, 0);
    ASSERT_EQ(cectl("air set 76100 63 synthetic 1a").status, 0);
    ASSERT_EQ(cectl("air set 94000 20 capture '" + rec + "'").status, 0);
    EXPECT_EQ(cectl("air list").out,
              "76100\t63\tsynthetic 001A\n"
              "90000\t40\tsynthetic 9602 tmc errors 3\n"
              "94000\t20\tcapture " +
                  rec + "\n");
    auto st = fmsim::read_station(94000);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->rssi, 20u);
    ASSERT_EQ(cectl("air remove 76100").status, 0);
    EXPECT_FALSE(fmsim::read_station(76100));

    expect_error("air remove 76100");
    expect_error("air set 75000 40 synthetic 1234");
    expect_error("air set 90000 64 synthetic 1234");
    expect_error("air set 90000 40 synthetic 0000");
    // What is not a regular file is refused with what it is.
    std::string fifo = root.path() + "/air.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_NE(cectl("air set 90000 40 capture " + fifo).err.find("is a FIFO"), std::string::npos);
    EXPECT_NE(cectl("air set 90000 40 capture " + root.path()).err.find("is a folder"), std::string::npos);
    // The error names the PI that was given.
    EXPECT_NE(cectl("air set 90000 40 synthetic G12").err.find("not 'G12'"), std::string::npos);
    expect_error("air set 90000 40 synthetic 1234 tmc extra");
    expect_error("air set 90000 40 capture /no/such/file.spy");
    expect_error("air set 90000 40 radio 1234");
    expect_error("air fly");
    EXPECT_EQ(fmsim::read_air().size(), 2u) << "a refused set changes nothing";

    ASSERT_EQ(cectl("air clear").status, 0);
    EXPECT_TRUE(fmsim::read_air().empty());
    EXPECT_EQ(cectl("air clear").status, 0);
    EXPECT_EQ(cectl("air list").out, "");
}

// A multiplex made from a hex-group recording goes on the air as an mpx
// station; what cannot be read as one is refused when set, not found out at
// the next tune.
TEST_F(TunerCectl, MpxMakeAndMpxStations) {
    std::string spy = root.path() + "/station.spy";
    std::ofstream(spy) << "9602 4401 C9DE FDC4 @2019/05/04 17:55:00.91\n9602 040A 645A 204B\n";
    std::string wav = root.path() + "/station.wav";
    CectlResult made = cectl("air mpx-make '" + spy + "' '" + wav + "'");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out.rfind(wav + ": 2 groups", 0), 0u) << made.out;
    ASSERT_EQ(cectl("air set 90000 40 mpx '" + wav + "'").status, 0);
    // With a programme the groups still come back whole.
    std::string loud = root.path() + "/programme.wav";
    made = cectl("air mpx-make '" + spy + "' '" + loud + "' --noise --preemphasis 75 --rate 192000");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find(", programme noise"), std::string::npos) << made.out;
    {
        auto file = fmsim::radio::MpxFile::open(loud, std::nullopt);
        ASSERT_TRUE(file);
        std::vector<float> mpx(1 << 20);
        mpx.resize(file->read(mpx.data(), mpx.size()));
        fmsim::radio::RdsDecoder dec({file->rate(), 2});
        std::vector<fmsim::RdsGroup> got;
        dec.push(mpx.data(), mpx.size(), got);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[1].block[1], 0x040A);
    }
    std::string raw = root.path() + "/station.raw";
    std::ofstream(raw) << std::string(4096, '\0');
    ASSERT_EQ(cectl("air set 91000 30 mpx '" + raw + "' --rate 192000").status, 0);
    EXPECT_EQ(cectl("air list").out, "90000\t40\tmpx " + wav + "\n91000\t30\tmpx " + raw + " rate 192000\n");

    std::string empty = root.path() + "/empty.spy";
    std::ofstream(empty) << "not a group\n";
    for (const std::string& bad : std::vector<std::string>{
             "air mpx-make '" + empty + "' " + root.path() + "/x.wav",                      // no group in it
             "air mpx-make /no/such.spy " + root.path() + "/x.wav",                         // no file
             "air mpx-make '" + spy + "' " + root.path() + "/x.mp3",                        // not WAV nor FLAC
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --rate 48000",           // too slow for RDS
             "air mpx-make '" + spy + "' /no/such/folder/x.wav",                            // cannot be written
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --audio '" + spy + "'",  // not sound
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --audio /no/such.wav",
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --audio '" + wav + "' --noise",  // which?
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --noise --preemphasis 60",
             "air mpx-make '" + spy + "' " + root.path() + "/x.wav --preemphasis 75",  // of no programme
             "air set 92000 40 mpx '" + spy + "'",                                     // text, not sound
             "air set 92000 40 mpx '" + raw + "' --rate 100000",                       // too slow for RDS
             std::string("air set 92000 40 mpx /no/such.wav"),
             "air set 92000 40 mpx '" + wav + "' --speed 2",
         }) {
        SCOPED_TRACE(bad);
        expect_error(bad);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/x.wav")) << "a refused make leaves no file";
    EXPECT_EQ(fmsim::read_air().size(), 2u);
}

// A made multiplex replaces OUT whole or not at all: whatever fails, an
// older OUT stays byte for byte and nothing is left beside it.
struct MakeFailure {
    const char* name;
    bool full_disk;        // OUT on a file system too small for the new file
    bool named_temporary;  // where no unnamed file can be made (no /proc)
    const char* input;
    const char* says;
};

void PrintTo(const MakeFailure& c, std::ostream* os) { *os << c.name; }

class TunerMpxMake : public TunerCectl, public ::testing::WithParamInterface<MakeFailure> {
protected:
    void TearDown() override {
        if (mounted_) umount2(folder().c_str(), MNT_DETACH);
    }
    std::string folder() const { return root.path() + "/made"; }
    bool mounted_ = false;
};

TEST_P(TunerMpxMake, AFailureLeavesTheOldFileAndNothingBesideIt) {
    const MakeFailure& c = GetParam();
    ASSERT_EQ(mkdir(folder().c_str(), 0700), 0);
    if (c.full_disk) {
        // Room for the old file, not for the new one (about 190 kB).
        if (mount("tmpfs", folder().c_str(), "tmpfs", 0, "size=16k") != 0)
            GTEST_SKIP() << "mounting a small file system is not permitted here";
        mounted_ = true;
    }
    std::string wrapper;
    if (c.named_temporary) {
        wrapper = "unshare -m sh -c 'mount -t tmpfs none /proc && exec \"$@\"' - ";
        if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace here";
    }
    std::string in = root.path() + "/in.spy", out = folder() + "/station.wav";
    std::ofstream(in) << c.input;
    const std::string older = "RIFF an older multiplex";
    std::ofstream(out) << older;

    CectlResult r = cectl("air mpx-make '" + in + "' '" + out + "'", wrapper);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(slurp(out), older);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder())) left.push_back(entry.path().string());
    EXPECT_EQ(left, std::vector<std::string>{out});
}

const char kTwoGroups[] = "9602 4401 C9DE FDC4\n9602 040A 645A 204B\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, TunerMpxMake,
    ::testing::Values(MakeFailure{"FullDisk", true, false, kTwoGroups, "No space left"},
                      MakeFailure{"FullDiskNamedTemporary", true, true, kTwoGroups, "No space left"},
                      MakeFailure{"InputWithoutGroups", false, false, "no group\n", "holds no RDS group"}),
    [](const ::testing::TestParamInfo<MakeFailure>& info) { return info.param.name; });

TEST_F(TunerCectl, BandsComeFirstAndTheStationsReturn) {
    ASSERT_EQ(cectl("air set 90000 40 synthetic 9602 tmc").status, 0);
    const std::string stations = "90000\t40\tsynthetic 9602 tmc\n";
    std::string iq = root.path() + "/band.cu8";
    std::ofstream(iq) << std::string(8192, '\x80');
    ASSERT_EQ(cectl("air iq '" + iq + "' --center 95000000 --rate 2048000").status, 0);
    EXPECT_EQ(cectl("air list").out, "band\tiq " + iq + " center 95000000 rate 2048000 format cu8\n" + stations);
    ASSERT_EQ(cectl("air iq '" + iq + "' --rate 1024000 --center 94000000 --format cs16").status, 0);
    EXPECT_EQ(fmsim::read_band_value(), "iq " + iq + " center 94000000 rate 1024000 format cs16");
    for (const std::string& bad : std::vector<std::string>{
             "air iq '" + iq + "' --rate 2048000",                   // no centre
             "air iq '" + iq + "' --center 95000000 --rate 100000",  // too narrow for a channel
             "air iq '" + iq + "' --center 95000000 --rate 2048000 --format u8",
             std::string("air iq /no/such.cu8 --center 95000000 --rate 2048000"),
             "air iq '" + iq + "' --center 95000000 --rate",
         }) {
        SCOPED_TRACE(bad);
        expect_error(bad);
    }
    ASSERT_EQ(cectl("air stations").status, 0);
    EXPECT_EQ(cectl("air list").out, stations) << "the list is today's once the band is gone";
    ASSERT_EQ(cectl("air iq '" + iq + "' --center 95000000 --rate 2048000").status, 0);
    ASSERT_EQ(cectl("air clear").status, 0);
    EXPECT_EQ(cectl("air list").out, "");
}

TEST_F(TunerCectl, RtlNeedsADongle) {
    ASSERT_EQ(cectl("air set 90000 40 synthetic 9602 tmc").status, 0);
    unsetenv("FMSIM_RTL_FAKE");
    if (fmsim::rtl_present(0)) GTEST_SKIP() << "a dongle is attached to this machine";
    CectlResult r = cectl("air rtl --gain 30");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cectl: air rtl: no RTL-SDR dongle found\n");
    EXPECT_EQ(fmsim::read_band_value(), "") << "the air is unchanged";
    EXPECT_EQ(cectl("air list").out, "90000\t40\tsynthetic 9602 tmc\n");

    // A recording standing in for the dongle.
    std::string iq = root.path() + "/band.cu8";
    std::ofstream(iq) << std::string(8192, '\x80');
    setenv("FMSIM_RTL_FAKE", ("iq " + iq + " center 95000000 rate 2048000 format cu8").c_str(), 1);
    ASSERT_EQ(cectl("air rtl --ppm -3 --gain 40.2").status, 0);
    EXPECT_EQ(cectl("air list").out, "band\trtl device 0 ppm -3 gain 40.2\n90000\t40\tsynthetic 9602 tmc\n");
    expect_error("air rtl --device 1");  // the stand-in is dongle 0
    expect_error("air rtl --gain loud");
    expect_error("air rtl --ppm 0.5");
    EXPECT_EQ(fmsim::read_band_value(), "rtl device 0 ppm -3 gain 40.2");
    unsetenv("FMSIM_RTL_FAKE");
}

// A hex-group recording of a station that sends its name and, with tmc,
// announces the TMC application in 3A groups (and sends no 8A group).
std::string name_groups(uint16_t pi, const std::string& ps, bool tmc) {
    std::string text = "% RDS hexgroups\n";
    char line[64];
    for (int seg = 0; seg < 4; seg++) {
        std::snprintf(line, sizeof line, "%04X %04X E0CD %02X%02X\n", pi, seg, static_cast<uint8_t>(ps[seg * 2]),
                      static_cast<uint8_t>(ps[seg * 2 + 1]));
        text += line;
        if (tmc && seg % 2) {
            std::snprintf(line, sizeof line, "%04X 3010 0000 CD46\n", pi);
            text += line;
        }
    }
    return text;
}

// One line a station: kHz, strength, PI, PS, tmc. The strength as made,
// within a step.
void expect_survey(const std::string& out, const std::vector<std::string>& want) {
    std::istringstream lines(out);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), want.size()) << out;
    for (size_t i = 0; i < want.size(); i++) {
        auto fields = [](const std::string& line) {
            std::vector<std::string> f;
            std::istringstream in(line);
            for (std::string x; std::getline(in, x, '\t');) f.push_back(x);
            return f;
        };
        auto g = fields(got[i]), w = fields(want[i]);
        ASSERT_EQ(g.size(), 5u) << got[i];
        EXPECT_EQ(g[0], w[0]);
        EXPECT_NEAR(std::stoi(g[1]), std::stoi(w[1]), 1) << got[i];
        EXPECT_EQ(std::vector<std::string>(g.begin() + 2, g.end()), std::vector<std::string>(w.begin() + 2, w.end()))
            << got[i];
    }
}

// A band made of four stations (a synthetic one with TMC, a recording that
// announces TMC in 3A alone, a multiplex without, one below the level) is
// surveyed from the recording and from the same recording standing in for a
// dongle stepped across it: each station above the level with its PI, name
// and TMC, the weak one not.
TEST_F(TunerCectl, SurveyOfAMadeBand) {
    std::string rec = root.path() + "/9602.rds", spy = root.path() + "/8116.rds", wav = root.path() + "/8116.wav";
    std::ofstream(rec) << name_groups(0x9602, "TEST FM ", true);
    std::ofstream(spy) << name_groups(0x8116, "MPX 8116", false);
    ASSERT_EQ(cectl("air mpx-make '" + spy + "' '" + wav + "'").status, 0);
    // Centred off the 100 kHz grid: the channels lie between the FFT's bins.
    std::string band = root.path() + "/band.cu8";
    CectlResult made =
        cectl("air iq-make '" + band + "' --rate 2048000 --center 95050000 --seconds 1.5 " +
              "94700:40:synthetic:D301:tmc 95100:30:'" + rec + "' 95500:20:'" + wav + "' 94300:3:synthetic:5555");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<std::string> want = {"94700\t40\tD301\tTMC D301\ttmc", "95100\t30\t9602\tTEST FM\ttmc",
                                           "95500\t20\t8116\tMPX 8116\t-"};
    ASSERT_EQ(cectl("air iq '" + band + "' --center 95050000 --rate 2048000").status, 0);
    CectlResult r = cectl("air survey --seconds 1.5");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_survey(r.out, want);

    setenv("FMSIM_RTL_FAKE", ("iq " + band + " center 95050000 rate 2048000 format cu8").c_str(), 1);
    setenv("CE_TIME_SCALE", "0.05", 1);
    ASSERT_EQ(cectl("air rtl").status, 0);
    r = cectl("air survey --seconds 1.5 --from 93000 --to 97000");
    unsetenv("FMSIM_RTL_FAKE");
    unsetenv("CE_TIME_SCALE");
    ASSERT_EQ(r.status, 0) << r.err;
    expect_survey(r.out, want);

    for (const std::string& bad : std::vector<std::string>{
             "air iq-make '" + band + "' --rate 2048000 --center 95050000 96100:30:synthetic:1234",  // outside
             "air iq-make '" + band + "' --rate 2048000 --center 95050000 95000:61:synthetic:1234",  // too strong
             "air iq-make '" + band + "' --rate 2048000 --center 95050000 95000:30:'" + root.path() + "'",
             "air iq-make '" + band + "' --rate 2048000 --center 95050000 95000:30:synthetic:1234:rds",
             "air iq-make '" + band + "' --rate 2048000 --center 95050000",  // no station
             "air survey --level 64",
         }) {
        SCOPED_TRACE(bad);
        expect_error(bad);
    }
    EXPECT_EQ(std::filesystem::file_size(band), 2048000u * 3) << "a refused make leaves the old file";
    ASSERT_EQ(cectl("air stations").status, 0);
    expect_error("air survey");
}

}  // namespace
