// The simulated tuner as the FM library meets it: entry points, answers,
// seeks over the air, RDS delivery.
#include <sys/stat.h>
#include <algorithm>
#include <fstream>
#include <set>

#include "air.h"
#include "ce_platform.h"
#include "rds_group.h"
#include "recording.h"
#include "tuner_harness.h"

using namespace tunertest;

namespace {

// Platform time runs five times faster than real time in these tests.
const bool kScaled = (setenv("CE_TIME_SCALE", "0.2", 0), true);

class TunerChip : public ::testing::Test {
protected:
    void SetUp() override {
        put(87600, 44, "synthetic D301 tmc");
        put(91500, 30, "synthetic D302");
        put(99200, 25, "synthetic D304");
        put(103300, 6, "synthetic D305");  // below the default search level 8
        put(107900, 36, "synthetic D306 tmc");
        put(76500, 38, "synthetic 1A01");
        ASSERT_TRUE(api.load()) << "FMS_API.dll not found";
        api.Reset();
        api.SetReportPeriod(0);
        Recorder::get().clear();
        ASSERT_EQ(api.FM_Init(), FMS_SUCCESSED);
        DWORD word = 0;
        ASSERT_EQ(api.FM_Create(&word, &Recorder::event_function, &session), FMS_SUCCESSED);
        ASSERT_NE(session, 0u);
    }
    void TearDown() override {
        api.FM_Destroy(session);
        api.FM_Deinit();
        api.Reset();
        Recorder::get().hook = nullptr;
        api.unload();
    }
    void put(uint32_t freq, uint32_t rssi, const std::string& source) {
        ASSERT_EQ(fmsim::write_station({freq, rssi, source}), 0);
    }
    // Requests and waits for the answer with the command id.
    std::optional<FmCommandStatus> answer(uint8_t command) {
        auto s = Recorder::get().wait([&](const Seen& e) { return is_answer(e, command); });
        if (!s) return std::nullopt;
        return s->event.payload.status;
    }
    void power_on() {
        ASSERT_EQ(api.FM_Enable(session), FMS_PENDING);
        auto a = answer(FMS_CMD_POWER_ON);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->status, FMS_SUCCESSED);
    }
    void tune(DWORD freq) {
        ASSERT_EQ(api.FM_Tune(session, freq), FMS_PENDING);
        auto a = answer(FMS_CMD_TUNE);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->value, freq);
    }
    // Starts a seek and returns its ending answer.
    FmCommandStatus seek(bool up) {
        EXPECT_EQ(api.FM_Seek(session, 0, up ? 1 : 0), FMS_PENDING);
        auto a = answer(FMS_CMD_SEEK);
        EXPECT_TRUE(a);
        return a.value_or(FmCommandStatus{});
    }

    cetest::TempRoot root;
    Api api;
    DWORD session = 0;
};

TEST_F(TunerChip, SessionLifecycleAndHandles) {
    DWORD word = 0, other = 0;
    EXPECT_EQ(api.FM_Create(&word, &Recorder::event_function, &other), FMS_FAILED) << "one session at a time";
    EXPECT_EQ(api.FM_Enable(session + 1), FMS_INVALID_PARAMETER);
    DWORD words[3] = {9, 9, 9};
    EXPECT_EQ(api.FM_GetCurrentStatus(session, words), FMS_SUCCESSED);
    EXPECT_EQ(words[1], 0u) << "off after creation";
    EXPECT_EQ(words[2], 1u) << "headset path by default";
    EXPECT_EQ(api.FM_GetCurrentStatus(session, nullptr), FMS_INVALID_PARAMETER);
    EXPECT_EQ(api.FM_Destroy(session), FMS_SUCCESSED);
    EXPECT_EQ(api.FM_Destroy(session), FMS_INVALID_PARAMETER);
    EXPECT_EQ(api.FM_Deinit(), FMS_SUCCESSED);
    EXPECT_EQ(api.FM_Create(&word, &Recorder::event_function, &other), FMS_BT_NOT_INITIALIZED);
    ASSERT_EQ(api.FM_Init(), FMS_SUCCESSED);
    ASSERT_EQ(api.FM_Create(&word, &Recorder::event_function, &session), FMS_SUCCESSED);
}

TEST_F(TunerChip, PowerAnswersAndRefusalsWhileOff) {
    // Off: requests that need the radio are refused at once, with no answer.
    EXPECT_EQ(api.FM_Tune(session, 90000), FMS_FAILED_FM_NOT_ON);
    EXPECT_EQ(api.FM_Seek(session, 0, 1), FMS_FAILED_FM_NOT_ON);
    EXPECT_EQ(api.FM_RssiGet(session), FMS_FAILED_FM_NOT_ON);
    EXPECT_EQ(api.FM_SetRDS(session, 1), FMS_FAILED_FM_NOT_ON);
    // Audio path and volume work off, as the FM library relies on.
    EXPECT_EQ(api.FM_SetAudioPath(session, 0), FMS_SUCCESSED);
    EXPECT_EQ(api.FM_SetVolume(session, static_cast<SHORT>(0xFFFF), 0), FMS_PENDING);
    auto vol = answer(FMS_CMD_SET_VOLUME);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->value, 0xFFFFu);

    power_on();
    DWORD words[3] = {};
    ASSERT_EQ(api.FM_GetCurrentStatus(session, words), FMS_SUCCESSED);
    EXPECT_EQ(words[1], 1u);
    EXPECT_EQ(words[2], 0u);
    ASSERT_EQ(api.FM_Enable(session), FMS_PENDING);
    auto again = answer(FMS_CMD_POWER_ON);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, FMS_FM_ALREADY_ON);

    ASSERT_EQ(api.FM_Disable(session), FMS_PENDING);
    auto off = answer(FMS_CMD_POWER_OFF);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->status, FMS_SUCCESSED);
    ASSERT_EQ(api.FM_GetCurrentStatus(session, words), FMS_SUCCESSED);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(api.FM_Tune(session, 90000), FMS_FAILED_FM_NOT_ON);
}

TEST_F(TunerChip, TuneWithinTheChipBandOnly) {
    power_on();
    tune(108000);
    tune(87500);
    EXPECT_EQ(api.FM_Tune(session, 87400), FMS_INVALID_PARAMETER);
    EXPECT_EQ(api.FM_Tune(session, 76500), FMS_INVALID_PARAMETER);
    EXPECT_EQ(api.FM_Tune(session, 108100), FMS_INVALID_PARAMETER);
    // Sub-band 1 is 76..91 MHz; a tune right after the band change is checked against it.
    ASSERT_EQ(api.FM_SetBand(session, FMS_CHIP_BAND_JAPAN), FMS_PENDING);
    EXPECT_EQ(api.FM_Tune(session, 95000), FMS_INVALID_PARAMETER);
    auto band = answer(FMS_CMD_SET_BAND);
    ASSERT_TRUE(band);
    EXPECT_EQ(band->status, FMS_SUCCESSED);
    tune(91000);
    tune(76500);
    EXPECT_EQ(api.FM_SetBand(session, 2), FMS_INVALID_PARAMETER);
    // No answer came for any refused tune.
    for (const auto& e : Recorder::get().snapshot())
        if (is_answer(e, FMS_CMD_TUNE)) EXPECT_NE(e.event.payload.status.value, 87400u);
}

TEST_F(TunerChip, SeeksLandOnTheNextStationAndStopAtTheBandEdge) {
    power_on();  // the chip starts at 87500 in sub-band 0
    auto s = seek(true);
    EXPECT_EQ(s.status, FMS_SEEK_SUCCESSED);
    EXPECT_EQ(s.value, 87600u);
    s = seek(true);
    EXPECT_EQ(s.value, 91500u);
    s = seek(true);
    EXPECT_EQ(s.value, 99200u);
    s = seek(true);
    EXPECT_EQ(s.value, 107900u) << "103300 is below the search level";
    s = seek(true);
    EXPECT_EQ(s.status, FMS_SEEK_BAND_LIMIT);
    EXPECT_EQ(s.value, 108000u);
    s = seek(false);
    EXPECT_EQ(s.status, FMS_SEEK_SUCCESSED);
    EXPECT_EQ(s.value, 107900u);
    s = seek(false);
    EXPECT_EQ(s.value, 99200u);

    // A lower search level lets the seek stop at the weak station.
    ASSERT_EQ(api.FM_RssiSearchLevel(session, 5), FMS_PENDING);
    s = seek(true);
    EXPECT_EQ(s.value, 103300u);

    // Sub-band 1: the station below 87.5 MHz, then the lower edge; upwards
    // the sub-band ends at 91 MHz even though 91500 is on the air.
    ASSERT_EQ(api.FM_SetBand(session, FMS_CHIP_BAND_JAPAN), FMS_PENDING);
    tune(80000);
    s = seek(false);
    EXPECT_EQ(s.value, 76500u);
    s = seek(false);
    EXPECT_EQ(s.status, FMS_SEEK_BAND_LIMIT);
    EXPECT_EQ(s.value, 76000u);
    tune(88000);
    s = seek(true);
    EXPECT_EQ(s.status, FMS_SEEK_BAND_LIMIT);
    EXPECT_EQ(s.value, 91000u);

    // The air is read at each seek: a new station is found at once.
    put(90000, 40, "synthetic 4444");
    tune(88000);
    s = seek(true);
    EXPECT_EQ(s.value, 90000u);
}

TEST_F(TunerChip, StopEndsARunningSeek) {
    ASSERT_EQ(fmsim::clear_air(), 0);
    power_on();
    ASSERT_EQ(api.FM_Seek(session, 0, 1), FMS_PENDING);
    EXPECT_EQ(api.FM_Seek(session, 0, 1), FMS_FAILED_ALREADY_PENDING);
    // An empty band takes the seek the whole way (about 2 s of platform
    // time); stop it on its way.
    Recorder::get().wait([](const Seen&) { return false; }, 60);
    ASSERT_EQ(api.FM_Seek(session, 1, 0), FMS_PENDING);
    auto s = answer(FMS_CMD_SEEK);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, FMS_SEEK_STOPPED);
    EXPECT_GE(s->value, 87500u);
    EXPECT_LT(s->value, 108000u);
    EXPECT_EQ(s->value % 100, 0u);
    // A stop right after the start ends it before it sweeps.
    ASSERT_EQ(api.FM_Seek(session, 0, 0), FMS_PENDING);
    ASSERT_EQ(api.FM_Seek(session, 1, 0), FMS_PENDING);
    auto early = answer(FMS_CMD_SEEK);
    ASSERT_TRUE(early);
    EXPECT_EQ(early->status, FMS_SEEK_STOPPED);
    EXPECT_EQ(early->value, s->value);
    // No seek asked for: the stop itself is answered.
    ASSERT_EQ(api.FM_Seek(session, 1, 0), FMS_PENDING);
    s = answer(FMS_CMD_SEEK);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->status, FMS_STOP_SEEK);
    // Nothing else came: the stopped seeks never ended on their own.
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return is_answer(e, FMS_CMD_SEEK); }, 600));
    tune(101000);
}

TEST_F(TunerChip, GettersAnswerWithTheirCommandIds) {
    power_on();
    tune(95800);  // nothing on the air there
    ASSERT_EQ(api.FM_RssiGet(session), FMS_PENDING);
    auto a = answer(FMS_CMD_GET_RSSI);
    ASSERT_TRUE(a);
    EXPECT_LT(a->value, 8u) << "noise only";
    tune(87600);
    ASSERT_EQ(api.FM_RssiGet(session), FMS_PENDING);
    a = answer(FMS_CMD_GET_RSSI);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->status, FMS_SUCCESSED);
    EXPECT_EQ(a->value, 44u);

    struct Case {
        std::function<DWORD()> set;
        uint8_t set_cmd;
        std::function<DWORD()> get;
        uint8_t get_cmd;
        DWORD value;
    };
    std::vector<Case> cases = {
        {[&] { return api.FM_SetDeemphasisMode(session, 1); }, FMS_CMD_SET_DEEMPHASIS,
         [&] { return api.FM_GetDemphMode(session); }, FMS_CMD_GET_DEEMPHASIS, 1},
        {[&] { return api.FM_RssiSearchLevel(session, 17); }, FMS_CMD_SET_RSSI_SEARCH_LEVEL,
         [&] { return api.FM_GetRSSISearchLevel(session); }, FMS_CMD_GET_RSSI_SEARCH_LEVEL, 17},
        {[&] { return api.FM_SetMoSt(session, 1); }, FMS_CMD_SET_MOST, [&] { return api.FM_GetMoSt(session); },
         FMS_CMD_GET_MOST, 1},
        // The mute query answers the state, nonzero for muted: code 0 mutes this family, 2 unmutes.
        {[&] { return api.FM_MuteRadio(session, 0); }, FMS_CMD_SET_MUTE, [&] { return api.FM_GetMuteMode(session); },
         FMS_CMD_GET_MUTE_MODE, 2},
        {[&] { return api.FM_MuteRadio(session, 2); }, FMS_CMD_SET_MUTE, [&] { return api.FM_GetMuteMode(session); },
         FMS_CMD_GET_MUTE_MODE, 0},
        {[&] { return api.FM_SetStereoBlend(session, 5); }, FMS_CMD_SET_STEREO_BLEND,
         [&] { return api.FM_GetMostBlend(session); }, FMS_CMD_GET_MOST_BLEND, 5},
        {[&] { return api.FM_SetVolume(session, 1234, 0); }, FMS_CMD_SET_VOLUME,
         [&] { return api.FM_GetVolume(session); }, FMS_CMD_GET_VOLUME, 1234},
        {[&] { return api.FM_SetBand(session, 0); }, FMS_CMD_SET_BAND, [&] { return api.FM_GetBandMode(session); },
         FMS_CMD_GET_BAND_MODE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.get_cmd));
        ASSERT_EQ(c.set(), FMS_PENDING);
        auto set = answer(c.set_cmd);
        ASSERT_TRUE(set);
        EXPECT_EQ(set->status, FMS_SUCCESSED);
        ASSERT_EQ(c.get(), FMS_PENDING);
        auto got = answer(c.get_cmd);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, FMS_SUCCESSED);
        EXPECT_EQ(got->value, c.value);
    }
    EXPECT_EQ(api.FM_MuteRadio(session, 3), FMS_INVALID_PARAMETER);
    for (auto [call, cmd] : std::vector<std::pair<std::function<DWORD()>, uint8_t>>{
             {[&] { return api.FM_SetAF(session, 1); }, FMS_CMD_SET_AF},
             {[&] { return api.FM_SetRdsRbds(session, 1); }, FMS_CMD_SET_RDS_RBDS},
             {[&] { return api.FM_SetPauseLevel(session, 3); }, FMS_CMD_SET_PAUSE_LEVEL},
             {[&] { return api.FM_SetPauseDuration(session, 3); }, FMS_CMD_SET_PAUSE_DURATION},
             {[&] { return api.FM_AudioEnable(session, 1); }, FMS_CMD_AUDIO_ENABLE},
             {[&] { return api.FM_GetAFFreq(session); }, FMS_CMD_GET_AF_FREQ},
             {[&] { return api.FM_SetRDS(session, 0); }, FMS_CMD_SET_RDS}}) {
        ASSERT_EQ(call(), FMS_PENDING);
        auto a2 = answer(cmd);
        ASSERT_TRUE(a2) << int(cmd);
        EXPECT_EQ(a2->status, FMS_SUCCESSED);
    }
    ASSERT_EQ(api.FM_GetCurrentFreq(session), FMS_PENDING);
    auto report = Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_FREQUENCY_REPORT; });
    ASSERT_TRUE(report);
    EXPECT_EQ(report->event.payload.report.frequency, 87600u);
}

TEST_F(TunerChip, StereoChangesAndFrequencyReports) {
    power_on();
    auto stereo = [&](int mode) {
        return Recorder::get().wait([mode](const Seen& e) {
            return e.event.code == FMS_EVENT_STEREO_MODE && e.event.payload.stereoMode == mode;
        });
    };
    tune(87600);  // strong: stereo
    EXPECT_TRUE(stereo(1));
    tune(95800);  // nothing: mono
    EXPECT_TRUE(stereo(0));
    // The chip reports its frequency on its own only when told to: not by default.
    api.Reset();
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_FREQUENCY_REPORT; }, 1500));
    api.SetReportPeriod(200);
    auto report = Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_FREQUENCY_REPORT; });
    ASSERT_TRUE(report);
    EXPECT_EQ(report->event.payload.report.frequency, 95800u);
}

// ---- RDS -------------------------------------------------------------------------

class TunerRds : public TunerChip {
protected:
    // The RDS bytes delivered so far, in order, once n groups' worth arrived.
    std::vector<uint8_t> collect(size_t groups) {
        std::vector<uint8_t> bytes;
        Recorder::get().wait(
            [&](const Seen&) {
                bytes.clear();
                for (const auto& e : Recorder::get().events) {
                    if (e.event.code != FMS_EVENT_RDS_DATA) continue;
                    EXPECT_EQ(e.bytes.size(), e.event.payload.rds.count);
                    bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
                }
                return bytes.size() >= groups * FMS_RDS_GROUP_BYTES;
            },
            20000);
        return bytes;
    }
    std::string write_file(const std::string& name, const std::string& text) {
        std::string path = root.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    void rds_on() {
        ASSERT_EQ(api.FM_SetRDS(session, 1), FMS_PENDING);
        ASSERT_TRUE(answer(FMS_CMD_SET_RDS));
    }
    // The stream must be the recording's groups from its start, looped, with
    // their error bits, however it was cut into pieces.
    void expect_stream(const std::vector<uint8_t>& bytes, const std::vector<fmsim::RdsGroup>& source) {
        ASSERT_FALSE(source.empty());
        size_t n = bytes.size() / FMS_RDS_GROUP_BYTES;
        ASSERT_GT(n, source.size());
        for (size_t i = 0; i < n; i++) {
            fmsim::RdsGroup g;
            ASSERT_TRUE(fmsim::unpack_group(bytes.data() + i * FMS_RDS_GROUP_BYTES, g)) << "group " << i;
            const auto& want = source[i % source.size()];
            ASSERT_EQ(g.bad, want.bad) << "group " << i;
            for (int b = 0; b < 4; b++) {
                if (!(want.bad >> b & 1)) ASSERT_EQ(g.block[b], want.block[b]) << "group " << i << " block " << b;
            }
        }
    }
};

const char kRecording[] =
    "<recorder=\"RDS Spy\" date=\"2019-05-04\">\n"
    "9602 4401 C9DE FDC4 @2019/05/04 17:55:00.91\n"
    "9602 040A 645A 204B @2019/05/04 17:55:01.02\n"
    "---- 8405 C852 2550 @2019/05/04 17:55:01.56\n"
    "9602 3410 0267 CD46 @2019/05/04 17:55:01.21\n"
    "this line is not a group\n"
    "9602 2400 ---- 4E4B @2019/05/04 17:55:01.89\n"
    "9602 040F 765A ---- @2019/05/04 17:55:01.97\n";

TEST_F(TunerRds, StreamReassemblesIntoTheRecordingWhateverThePieces) {
    std::string path = write_file("station.spy", kRecording);
    auto rec = fmsim::load_recording(path);
    ASSERT_TRUE(rec);
    ASSERT_EQ(rec->groups.size(), 6u);
    ASSERT_EQ(rec->skipped, 2u);
    put(93000, 40, "capture " + path);
    power_on();
    for (auto [lo, hi] : std::vector<std::pair<DWORD, DWORD>>{{1, 36}, {1, 1}, {12, 12}, {13, 13}, {5, 29}, {40, 40}}) {
        SCOPED_TRACE(std::to_string(lo) + ".." + std::to_string(hi));
        api.SetRdsPieces(lo, hi);
        tune(93000);  // a tune restarts the station's stream
        rds_on();
        auto bytes = collect(14);
        expect_stream(bytes, rec->groups);
        // A piece never reaches into the next group: one cut short ends its group.
        size_t at = 0;
        for (const auto& e : Recorder::get().snapshot())
            if (e.event.code == FMS_EVENT_RDS_DATA) {
                size_t n = e.bytes.size();
                EXPECT_LE(at + n, size_t{FMS_RDS_GROUP_BYTES}) << "a piece spans two groups";
                EXPECT_LE(n, hi);
                at = (at + n) % FMS_RDS_GROUP_BYTES;
                if (at != 0) EXPECT_GE(n, lo);
            }
        ASSERT_EQ(api.FM_SetRDS(session, 0), FMS_PENDING);
        ASSERT_TRUE(answer(FMS_CMD_SET_RDS));
        Recorder::get().clear();
    }
}

TEST_F(TunerRds, RdsFlowsOnlyWhileSwitchedOnAndTuned) {
    put(93000, 40, "synthetic 1234 tmc");
    power_on();
    tune(93000);
    // Not switched on: nothing comes.
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_RDS_DATA; }, 400));
    rds_on();
    auto bytes = collect(3);
    fmsim::RdsGroup g;
    ASSERT_TRUE(fmsim::unpack_group(bytes.data(), g));
    EXPECT_EQ(g.block[0], 0x1234);
    // Off again: after its answer, no more RDS.
    ASSERT_EQ(api.FM_SetRDS(session, 0), FMS_PENDING);
    ASSERT_TRUE(answer(FMS_CMD_SET_RDS));
    Recorder::get().clear();
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_RDS_DATA; }, 400));
    // On a frequency with nothing on the air there is no RDS either.
    rds_on();
    tune(95800);
    Recorder::get().clear();
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_RDS_DATA; }, 400));
}

TEST_F(TunerRds, RecordingOfOnlyBadBlocksPlaysWithoutHarm) {
    std::string text;
    for (int i = 0; i < 5; i++) text += "---- ---- ---- ---- @2019/05/04 17:55:00.91\n";
    std::string path = write_file("bad.spy", text);
    put(93000, 40, "capture " + path);
    put(94000, 40, "capture " + write_file("empty.spy", "nothing here\n"));
    put(95000, 40, "capture /nonexistent/recording.spy");
    // A FIFO (that nobody writes) and a folder must neither block the chip nor play.
    std::string fifo = root.path() + "/air.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    put(96000, 40, "capture " + fifo);
    put(97000, 40, "capture " + root.path());
    power_on();
    rds_on();
    tune(93000);
    auto bytes = collect(8);
    std::vector<fmsim::RdsGroup> all_bad(1);
    all_bad[0].bad = 0xF;
    expect_stream(bytes, all_bad);
    // A recording without a group, and one that cannot be read: the station
    // plays, without RDS.
    tune(94000);
    tune(95000);
    tune(96000);
    tune(97000);
    Recorder::get().clear();
    EXPECT_FALSE(Recorder::get().wait([](const Seen& e) { return e.event.code == FMS_EVENT_RDS_DATA; }, 300));
    ASSERT_EQ(api.FM_RssiGet(session), FMS_PENDING);
    auto a = answer(FMS_CMD_GET_RSSI);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->value, 40u);
}

// With FMSIM_TRACE_FILE set, the chip names every group, in order, with the
// moment the piece that completed it was handed over: after the event
// function returned for the piece before, before it is called for this one.
class TunerTrace : public TunerRds {
protected:
    void SetUp() override {
        trace_path = root.path() + "/trace";
        setenv("FMSIM_TRACE_FILE", trace_path.c_str(), 1);  // read when the library's chip is made
        TunerRds::SetUp();
    }
    void TearDown() override {
        TunerRds::TearDown();
        unsetenv("FMSIM_TRACE_FILE");
    }
    std::string trace_path;
};

TEST_F(TunerTrace, EachGroupIsNamedWithTheHandingOverOfThePieceCompletingIt) {
    std::string path = write_file("station.spy", kRecording);
    auto rec = fmsim::load_recording(path);
    ASSERT_TRUE(rec);
    put(93000, 40, "capture " + path);
    // When each RDS piece reached the event function, in order.
    std::vector<int64_t> called;
    Recorder::get().hook = [&](const FmPlatformEvent& e) {
        if (e.code != FMS_EVENT_RDS_DATA) return;
        called.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    };
    power_on();
    api.SetRdsPieces(5, 29);  // pieces that complete none, one or two groups
    tune(93000);
    rds_on();
    auto bytes = collect(14);
    api.FM_Destroy(session);  // the event thread has ended: everything is written
    session = 0;
    Recorder::get().hook = nullptr;

    // Piece k carries bytes up to ends[k]; group i is complete with piece
    // first_at(12 (i + 1)).
    std::vector<size_t> ends;
    for (const auto& e : Recorder::get().snapshot())
        if (e.event.code == FMS_EVENT_RDS_DATA) ends.push_back((ends.empty() ? 0 : ends.back()) + e.bytes.size());
    ASSERT_EQ(ends.size(), called.size());

    std::ifstream in(trace_path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), ends.back() / FMS_RDS_GROUP_BYTES) << "one line for every whole group handed over";
    uint32_t first_number = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        SCOPED_TRACE(lines[i]);
        long long ns = 0;
        unsigned number = 0, a = 0, b = 0, c = 0, d = 0, bad = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%lld %u %x %x %x %x %u", &ns, &number, &a, &b, &c, &d, &bad), 7);
        if (i == 0) first_number = number;
        EXPECT_EQ(number, first_number + i);
        const auto& want = rec->groups[i % rec->groups.size()];
        EXPECT_EQ(bad, want.bad);
        const unsigned got[4] = {a, b, c, d};
        for (int k = 0; k < 4; k++)
            if (!(want.bad >> k & 1)) EXPECT_EQ(got[k], want.block[k]) << "block " << k;
        size_t piece = std::lower_bound(ends.begin(), ends.end(), (i + 1) * FMS_RDS_GROUP_BYTES) - ends.begin();
        ASSERT_LT(piece, called.size());
        EXPECT_LE(ns, called[piece]);
        if (piece > 0) EXPECT_GT(ns, called[piece - 1]);
    }
}

TEST_F(TunerChip, EventFunctionMayCallBackIntoTheLibrary) {
    // The FM library continues a seek across sub-bands from inside its event
    // function: set band, tune and seek again on the event thread.
    power_on();
    ASSERT_EQ(api.FM_SetBand(session, FMS_CHIP_BAND_JAPAN), FMS_PENDING);
    tune(88000);
    DWORD s = session;
    Api* a = &api;
    Recorder::get().hook = [s, a](const FmPlatformEvent& e) {
        if (e.code == FMS_EVENT_COMMAND_STATUS && e.payload.status.command == FMS_CMD_SEEK &&
            e.payload.status.status == FMS_SEEK_BAND_LIMIT && e.payload.status.value == 91000) {
            a->FM_SetBand(s, FMS_CHIP_BAND_EUROPE);
            a->FM_Tune(s, 91000);
            a->FM_Seek(s, 0, 1);
        }
    };
    ASSERT_EQ(api.FM_Seek(session, 0, 1), FMS_PENDING);
    auto end = Recorder::get().wait([](const Seen& e) {
        return is_answer(e, FMS_CMD_SEEK) && e.event.payload.status.status == FMS_SEEK_SUCCESSED;
    });
    ASSERT_TRUE(end);
    EXPECT_EQ(end->event.payload.status.value, 91500u);
}

}  // namespace
