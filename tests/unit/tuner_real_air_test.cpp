// Real radio on the simulated air, through the chip's entry points: a band
// from an IQ recording made by the FM modulator (three stations at different
// strengths, one with TMC), the same recording standing in for a dongle, and
// an mpx station. Platform time runs at the real rate here: the stand-in
// dongle plays at it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "air.h"
#include "real_air.h"
#include "recording.h"
#include "synthetic.h"
#include "tuner_harness.h"

using namespace tunertest;

namespace {

const bool kRealRate = (setenv("CE_TIME_SCALE", "1", 1), true);

struct OnAir {
    uint32_t khz;
    uint16_t pi;
    bool tmc;
    double level;
    std::vector<fmsim::RdsGroup> groups;
};

constexpr uint64_t kCenter = 95000000;
constexpr uint32_t kRate = 2048000;  // twice the dongle's, so that the stand-in can be retuned
constexpr size_t kGroups = 24;

// Three stations 94.7 (strong, TMC), 95.1, 95.3 (weak) as one cu8 recording.
std::vector<OnAir> make_band(const std::string& path) {
    std::vector<OnAir> air = {
        {94700, 0x9471, true, 0.5, {}}, {95100, 0x9511, false, 0.12, {}}, {95300, 0x9531, false, 0.015, {}}};
    std::vector<float> sum;
    for (auto& st : air) {
        fmsim::SyntheticConfig config;
        config.pi = st.pi;
        config.tmc = st.tmc;
        config.fixed_clock = 1772437500;
        fmsim::SyntheticBroadcaster station(config);
        for (size_t i = 0; i < kGroups; i++) st.groups.push_back(station.next());
        fmsim::radio::MpxOptions mpx_options;
        auto mpx = fmsim::radio::make_mpx(st.groups, mpx_options);
        fmsim::radio::IqOptions iq;
        iq.iq_rate = kRate;
        iq.offset_hz = st.khz * 1000.0 - kCenter;
        iq.level = st.level;
        auto bytes = fmsim::radio::fm_modulate(mpx, mpx_options.rate, iq, fmsim::radio::IqFormat::Cf32);
        const float* f = reinterpret_cast<const float*>(bytes.data());
        size_t n = bytes.size() / sizeof(float);
        if (sum.empty()) sum.assign(f, f + n);
        sum.resize(std::min(sum.size(), n));
        if (&st != &air[0])
            for (size_t i = 0; i < sum.size(); i++) sum[i] += f[i];
    }
    std::vector<uint8_t> cu8(sum.size());
    for (size_t i = 0; i < sum.size(); i++)
        cu8[i] = static_cast<uint8_t>(std::clamp(std::lround(sum[i] * 127.5f + 127.5f), 0L, 255L));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(cu8.data()), std::streamsize(cu8.size()));
    return air;
}

class TunerRealAir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(api.load()) << "FMS_API.dll not found";
        api.Reset();
        Recorder::get().clear();
        ASSERT_EQ(api.FM_Init(), FMS_SUCCESSED);
        DWORD word = 0;
        ASSERT_EQ(api.FM_Create(&word, &Recorder::event_function, &session), FMS_SUCCESSED);
        ASSERT_EQ(api.FM_Enable(session), FMS_PENDING);
        ASSERT_TRUE(answer(FMS_CMD_POWER_ON));
        ASSERT_EQ(api.FM_SetRDS(session, 1), FMS_PENDING);
        ASSERT_TRUE(answer(FMS_CMD_SET_RDS));
    }
    void TearDown() override {
        api.FM_Destroy(session);
        api.FM_Deinit();
        api.unload();
        unsetenv("FMSIM_RTL_FAKE");
    }
    std::optional<FmCommandStatus> answer(uint8_t command, int real_ms = 20000) {
        auto s = Recorder::get().wait([&](const Seen& e) { return is_answer(e, command); }, real_ms);
        if (!s) return std::nullopt;
        return s->event.payload.status;
    }
    void tune(DWORD khz) {
        ASSERT_EQ(api.FM_Tune(session, khz), FMS_PENDING);
        auto a = answer(FMS_CMD_TUNE);
        ASSERT_TRUE(a);
        ASSERT_EQ(a->value, khz);
        Recorder::get().clear();
    }
    FmCommandStatus seek_up() {
        EXPECT_EQ(api.FM_Seek(session, 0, 1), FMS_PENDING);
        auto a = answer(FMS_CMD_SEEK, 60000);
        EXPECT_TRUE(a);
        Recorder::get().clear();
        return a.value_or(FmCommandStatus{});
    }
    uint32_t rssi() {
        EXPECT_EQ(api.FM_RssiGet(session), FMS_PENDING);
        auto a = answer(FMS_CMD_GET_RSSI);
        return a ? a->value : 0;
    }
    void search_level(DWORD level) {
        ASSERT_EQ(api.FM_RssiSearchLevel(session, level), FMS_PENDING);
        ASSERT_TRUE(answer(FMS_CMD_SET_RSSI_SEARCH_LEVEL));
    }
    // The next n whole groups handed over (the stream starts afresh at a tune).
    std::vector<fmsim::RdsGroup> groups(size_t n, int real_ms = 20000) {
        std::vector<uint8_t> bytes;
        Recorder::get().wait(
            [&](const Seen&) {
                bytes.clear();
                for (const auto& e : Recorder::get().events)
                    if (e.event.code == FMS_EVENT_RDS_DATA) bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
                return bytes.size() >= n * FMS_RDS_GROUP_BYTES;
            },
            real_ms);
        std::vector<fmsim::RdsGroup> out;
        for (size_t at = 0; at + FMS_RDS_GROUP_BYTES <= bytes.size(); at += FMS_RDS_GROUP_BYTES) {
            fmsim::RdsGroup g;
            EXPECT_TRUE(fmsim::unpack_group(bytes.data() + at, g));
            out.push_back(g);
        }
        return out;
    }
    // The station's groups come, each one it sends. (Where the recording
    // joins its loop, or the decoder locks on, a group may come with bad
    // blocks, marked so, as from any receiver.)
    void expect_station(const OnAir& st) {
        auto got = groups(6);
        ASSERT_GE(got.size(), 6u) << st.khz;
        size_t whole = 0;
        for (const auto& g : got) {
            if (g.bad != 0) continue;
            whole++;
            EXPECT_NE(std::find(st.groups.begin(), st.groups.end(), g), st.groups.end())
                << st.khz << ": " << std::hex << g.block[0] << " " << g.block[1];
        }
        EXPECT_GE(whole, 4u) << st.khz;
    }
    bool stereo_reported(int mode) {
        return Recorder::get()
            .wait(
                [mode](const Seen& e) {
                    return e.event.code == FMS_EVENT_STEREO_MODE && e.event.payload.stereoMode == mode;
                },
                3000)
            .has_value();
    }

    cetest::TempRoot root;
    Api api;
    DWORD session = 0;
};

TEST_F(TunerRealAir, IqBandIsTheAirWhileSet) {
    std::string file = root.path() + "/band.cu8";
    auto air = make_band(file);
    ASSERT_EQ(fmsim::write_station({90000, 40, "synthetic 9000"}), 0);
    fmsim::BandPlan band;
    ASSERT_TRUE(fmsim::parse_band("iq " + file + " center 95000000 rate 2048000 format cu8", band));
    ASSERT_EQ(fmsim::write_band(band), 0);

    std::map<uint32_t, uint32_t> strength;
    for (const auto& st : air) {
        SCOPED_TRACE(st.khz);
        tune(st.khz);
        if (&st != &air.back()) expect_station(st);  // the weak one is heard, not necessarily decoded
        strength[st.khz] = rssi();
    }
    EXPECT_GT(strength[94700], strength[95100]);
    EXPECT_GT(strength[95100], strength[95300]);
    // An empty channel of the band, and a station key outside it, are noise.
    tune(95700);
    EXPECT_LT(rssi(), strength[95300]);
    tune(90000);
    EXPECT_TRUE(groups(1, 1500).empty()) << "a station key is heard while a band is set";

    // A seek stops at the stations that pass the search level, never at
    // the spill beside a strong one.
    search_level((strength[95100] + strength[95300] + 1) / 2);
    tune(94000);
    EXPECT_EQ(seek_up().value, 94700u);
    auto second = seek_up();
    EXPECT_EQ(second.status, FMS_SEEK_SUCCESSED);
    EXPECT_EQ(second.value, 95100u);
    EXPECT_EQ(seek_up().status, FMS_SEEK_BAND_LIMIT);

    // The stations again.
    ASSERT_EQ(fmsim::clear_band(), 0);
    tune(90000);
    auto back = groups(2);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back[0].block[0], 0x9000);
}

TEST_F(TunerRealAir, DongleFollowsTheTuneAndTheSeek) {
    std::string file = root.path() + "/band.cu8";
    auto air = make_band(file);
    setenv("FMSIM_RTL_FAKE", ("iq " + file + " center 95000000 rate 2048000 format cu8").c_str(), 1);
    fmsim::BandPlan band;
    ASSERT_TRUE(fmsim::parse_band("rtl device 0 ppm 0 gain auto", band));
    ASSERT_EQ(fmsim::write_band(band), 0);

    // Each station is found where it is: the dongle moved with the tune.
    tune(94700);
    EXPECT_TRUE(stereo_reported(1));
    expect_station(air[0]);
    uint32_t strong = rssi();
    tune(95100);
    expect_station(air[1]);
    EXPECT_LT(rssi(), strong);

    search_level(rssi());
    tune(94400);
    auto found = seek_up();
    EXPECT_EQ(found.status, FMS_SEEK_SUCCESSED);
    EXPECT_EQ(found.value, 94700u);
    expect_station(air[0]);
}

TEST_F(TunerRealAir, MpxStationPlaysItsRecordingWithItsBadBlocks) {
    std::string spy = root.path() + "/station.spy";
    std::ofstream(spy) << "9602 4401 C9DE FDC4\n9602 040A 645A 204B\n---- 8405 C852 2550\n"
                          "9602 3410 0267 CD46\n9602 2400 ---- 4E4B\n9602 040F 765A ----\n";
    auto rec = fmsim::load_recording(spy);
    ASSERT_TRUE(rec);
    std::string wav = root.path() + "/station.wav";
    fmsim::MpxMade made;
    std::string error;
    // With a programme beside the RDS, as a station has.
    fmsim::MpxProgramme programme;
    programme.noise = true;
    ASSERT_TRUE(fmsim::make_mpx_file(spy, wav, fmsim::kMpxMakeRate, programme, nullptr, made, &error)) << error;
    ASSERT_EQ(fmsim::write_station({93000, 40, "mpx " + wav}), 0);
    // A multiplex with nothing on it: silence, then no RDS and no harm.
    std::string quiet = root.path() + "/quiet.wav";
    ASSERT_TRUE(fmsim::radio::write_mpx(quiet, std::vector<float>(228000 / 4), 228000, &error)) << error;
    ASSERT_EQ(fmsim::write_station({93500, 40, "mpx " + quiet}), 0);

    tune(93000);
    EXPECT_TRUE(stereo_reported(1));
    auto got = groups(2 * rec->groups.size());
    ASSERT_GE(got.size(), 2 * rec->groups.size());
    // From its first group, looped, bad blocks bad with their words.
    for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i], rec->groups[i % rec->groups.size()]) << "group " << i;

    tune(93500);
    EXPECT_TRUE(groups(1, 1500).empty());
    EXPECT_TRUE(stereo_reported(0));
}

}  // namespace
