// Wavelo's exports over a fake platform library that answers exactly as each
// test tells it: handles and result codes, property rules by power state,
// chip bands and seeking, status handling and trace, power, close, binding
// failures, the notification queue, volume and the device family.
#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "fm_test_support.h"

using namespace fmtest;

namespace {

HANDLE Bad(HANDLE h) { return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(h) + 8); }

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// ---- handles and result codes ------------------------------------------------------

using FmHandles = FmTest;

TEST_F(FmHandles, DeviceInfoAndDeviceNumbers) {
    EXPECT_EQ(fm.FMGetNumDevs(), 1u);

    FmDevInfo info;
    std::memset(&info, 0xAB, sizeof info);
    info.size = 52;
    EXPECT_EQ(fm.FMGetDevInfo(0, &info), 87u);
    EXPECT_EQ(info.infoWord1, 0xABABABABu) << "nothing written on a bad size";
    info.size = 56;
    EXPECT_EQ(fm.FMGetDevInfo(1, &info), 87u);
    EXPECT_EQ(fm.FMGetDevInfo(0, nullptr), 87u);
    ASSERT_EQ(fm.FMGetDevInfo(0, &info), 0u);
    EXPECT_EQ(info.infoWord1, 0x00060001u);
    EXPECT_EQ(info.infoWord2, 0x00020001u);
    EXPECT_EQ(info.infoWord3, 0xFFFEFFFFu);
    EXPECT_EQ(std::u16string(info.name), u"HTC_BRF6350_1");

    SetLastError(0);
    EXPECT_EQ(fm.FMOpen(1), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(FmHandles, OneSessionAtATime) {
    HANDLE h = Open();
    EXPECT_EQ(Calls(), "FM_Init()\nFM_Create(0)\n") << "opening does not power the radio";
    SetLastError(0);
    EXPECT_EQ(fm.FMOpen(0), nullptr);
    EXPECT_EQ(GetLastError(), 548u);

    Close();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_VOLUME, 10), 87u) << "a closed handle is stale";
    EXPECT_EQ(fm.FMClose(h), 87u);
    EXPECT_NE(Open(), nullptr);
}

TEST_F(FmHandles, EveryExportChecksItsHandle) {
    HANDLE h = OpenPowered();
    for (HANDLE bad : {HANDLE(nullptr), Bad(h)}) {
        DWORD value = 7;
        FmNotification* record = nullptr;
        EXPECT_EQ(fm.FMPowerOn(bad, 1, 0), 87u);
        EXPECT_EQ(fm.FMSeek(bad, FMSEEK_UP), 87u);
        EXPECT_EQ(fm.FMGetProp(bad, FMPROP_FREQUENCY, &value), 87u);
        EXPECT_EQ(value, 7u);
        EXPECT_EQ(fm.FMSetProp(bad, FMPROP_FREQUENCY, 90000), 87u);
        EXPECT_EQ(fm.FMRegisterEvent(bad, nullptr), 87u);
        EXPECT_EQ(fm.FMRegisterNotification(bad, nullptr, 0), 87u);
        EXPECT_EQ(fm.FMGetNotification(bad, &record), 87u);
        EXPECT_EQ(fm.FMClose(bad), 87u);
    }
    // Null output pointers are refused rather than written through.
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, nullptr), 87u);
    EXPECT_EQ(fm.FMGetNotification(h, nullptr), 87u);

    EXPECT_EQ(Next(), nullptr) << "empty queue: success and null";
    EXPECT_EQ(Next(), nullptr);
}

// ---- properties by power state ---------------------------------------------------------

using FmProperties = FmTest;

TEST_F(FmProperties, WhatWorksWhilePoweredOff) {
    HANDLE h = Open();
    DWORD value = 0;
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 21u);
    EXPECT_EQ(fm.FMGetProp(h, 13, &value), 21u);
    fake.SetCurrentStatus(0, 7, 1);
    EXPECT_EQ(Prop(FMPROP_POWER_STATE), 7u) << "asked of the platform in any state";
    EXPECT_EQ(Prop(FMPROP_AUDIO_PATH), 1u);
    fake.SetReturn("FM_GetCurrentStatus", FMS_FAILED);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_POWER_STATE, &value), 31u);

    EXPECT_EQ(fm.FMSetProp(h, 11, 1), 21u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_RSSI, 1), 21u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_POWER_STATE, 1), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 90000), 21u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_VOLUME, 101), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_VOLUME, 100), 0u);
    fake.ClearCalls();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_AUDIO_PATH, 0), 0u);
    EXPECT_EQ(Calls(), "FM_SetAudioPath(0)\n");
    fake.SetReturn("FM_SetAudioPath", 5);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_AUDIO_PATH, 1), 87u);
}

TEST_F(FmProperties, WhatChangesOncePowered) {
    HANDLE h = OpenPowered();
    DWORD value = 0;
    EXPECT_EQ(fm.FMSetProp(h, 11, 1), 50u);
    EXPECT_EQ(fm.FMSetProp(h, 13, 1), 50u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_RSSI, 1), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_POWER_STATE, 0), 87u);
    EXPECT_EQ(fm.FMGetProp(h, 11, &value), 50u);
    EXPECT_EQ(fm.FMGetProp(h, 200, &value), 50u);
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 87500u) << "start value";
    EXPECT_EQ(Prop(FMPROP_AF), 0u);

    fake.ClearCalls();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_AF, 3), 0u);
    EXPECT_EQ(Calls(), "FM_SetAF(3)\nFM_SetRDS(1)\n") << "an accepted AF turns RDS on";
    fake.SetReturn("FM_SetAF", FMS_FAILED);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_AF, 4), 87u);
    EXPECT_EQ(Prop(FMPROP_AF), 4u) << "cached before the platform was asked";

    fake.ClearCalls();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_DEEMPHASIS, 0x101), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_MONO_STEREO, 1), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_RSSI_SEARCH_LEVEL, 12), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_STEREO_BLEND, 2), 0u);
    EXPECT_EQ(Calls(), "FM_SetDeemphasisMode(1)\nFM_SetMoSt(1)\nFM_RssiSearchLevel(12)\nFM_SetStereoBlend(2)\n");
}

TEST_F(FmProperties, FrequencyRangeFollowsTheBand) {
    HANDLE h = OpenPowered(0);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 87400), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 108100), 87u);
    fake.ClearCalls();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 108000), 0u);
    EXPECT_EQ(Calls(), "FM_Tune(108000)\n");
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 108000u);

    EXPECT_EQ(fm.FMSetProp(h, FMPROP_BAND, 1), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 91000), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 91100), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 75900), 87u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_BAND, 3), 87u);
    EXPECT_EQ(Prop(FMPROP_BAND), 1u);

    // Refused: not cached. Pending: accepted.
    fake.SetReturn("FM_Tune", FMS_FAILED);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 80000), 87u);
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 91000u);
    fake.SetReturn("FM_Tune", FMS_PENDING);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 80000), 0u);
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 80000u);
}

TEST_F(FmProperties, RefusedMuteStaysCachedAndCacheOutlivesTheSession) {
    HANDLE h = OpenPowered();
    fake.SetReturn("FM_MuteRadio", FMS_INVALID_PARAMETER);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_MUTE, 1), 87u);
    EXPECT_EQ(Prop(FMPROP_MUTE), 1u) << "no answer: the cached value";
    fake.SetReturn("FM_MuteRadio", 0);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 95000), 0u);
    Close();

    OpenPowered();
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 95000u) << "the cache belongs to the library";
}

// ---- chip bands and seeking ----------------------------------------------------------------

using FmBands = FmTest;

TEST_F(FmBands, WorldBandPicksTheChipSubBand) {
    HANDLE h = Open();
    ASSERT_EQ(fm.FMPowerOn(h, 1, 2), 0u);
    EXPECT_TRUE(Contains(Calls(), "FM_SetBand(1)\n")) << Calls();
    EXPECT_EQ(Prop(FMPROP_BAND), 2u);

    fake.ClearCalls();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 90000), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 91100), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 88000), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 87400), 0u);
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 76000), 0u);
    EXPECT_EQ(Calls(),
              "FM_Tune(90000)\n"
              "FM_SetBand(0)\nFM_Tune(91100)\n"
              "FM_Tune(88000)\n"
              "FM_SetBand(1)\nFM_Tune(87400)\n"
              "FM_Tune(76000)\n");
}

TEST_F(FmBands, SeekWrapsRoundTheWorldBandQuietly) {
    HANDLE h = OpenPowered(2);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    ASSERT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 108000), 0u);

    fake.ClearCalls();
    EXPECT_EQ(fm.FMSeek(h, FMSEEK_UP), 0u);
    EXPECT_EQ(Calls(), "FM_SetBand(1)\nFM_Tune(76000)\nFM_Seek(0,1)\n");
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 76000);
    EXPECT_EQ(Next(), nullptr) << "the wrap's tune is not reported";
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 76000);
    FmNotification* n = Next();
    ASSERT_NE(n, nullptr) << "only that one tune";
    EXPECT_EQ(n->kind, FMNOTIFY_FREQUENCY);
    EXPECT_EQ(n->data, FMFREQ_TUNED);

    ASSERT_EQ(Prop(FMPROP_FREQUENCY), 76000u);
    fake.ClearCalls();
    EXPECT_EQ(fm.FMSeek(h, FMSEEK_DOWN), 0u);
    EXPECT_EQ(fm.FMSeek(h, FMSEEK_STOP), 0u);
    EXPECT_EQ(fm.FMSeek(h, 3), 50u);
    EXPECT_EQ(Calls(), "FM_SetBand(0)\nFM_Tune(108000)\nFM_Seek(0,0)\nFM_Seek(1,0)\n");

    // Outside the world band the edges are not wrapped.
    ASSERT_EQ(fm.FMSetProp(h, FMPROP_BAND, 0), 0u);
    ASSERT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, 108000), 0u);
    fake.ClearCalls();
    fake.SetReturn("FM_Seek", FMS_FAILED);
    EXPECT_EQ(fm.FMSeek(h, FMSEEK_UP), 0u) << "the seek's own answer is not examined";
    EXPECT_EQ(Calls(), "FM_Seek(0,1)\n");

    ASSERT_EQ(fm.FMPowerOn(h, 0, 0), 0u);
    EXPECT_EQ(fm.FMSeek(h, FMSEEK_UP), 21u);
    CloseHandle(event);
}

TEST_F(FmBands, SeekEndsAndTheSubBandContinuation) {
    HANDLE h = OpenPowered(2);  // chip band 1
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);

    fake.ClearCalls();
    Status(FMS_CMD_SEEK, FMS_SEEK_BAND_LIMIT, 90000);
    EXPECT_EQ(Calls(), "FM_SetBand(0)\nFM_Tune(90000)\nFM_Seek(0,1)\n") << "upwards in sub-band 0";
    EXPECT_EQ(Next(), nullptr);
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 90000);
    EXPECT_EQ(Next(), nullptr) << "the continuation's tune is not reported";

    fake.ClearCalls();
    Status(FMS_CMD_SEEK, FMS_SEEK_BAND_LIMIT, 87500);
    EXPECT_EQ(Calls(), "FM_SetBand(1)\nFM_Tune(87500)\nFM_Seek(0,0)\n") << "downwards in sub-band 1";
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 87500);

    struct Case {
        DWORD status, value, reason;
    };
    for (Case c :
         {Case{FMS_SEEK_BAND_LIMIT, 108000, FMFREQ_BAND_LIMIT}, Case{FMS_SEEK_BAND_LIMIT, 76000, FMFREQ_BAND_LIMIT},
          Case{FMS_SEEK_STOPPED, 95000, FMFREQ_SEEK_END}, Case{FMS_SEEK_SUCCESSED, 96000, FMFREQ_SEEK_END}}) {
        Status(FMS_CMD_SEEK, c.status, c.value);
        FmNotification* n = Next();
        ASSERT_NE(n, nullptr) << c.value;
        EXPECT_EQ(n->kind, FMNOTIFY_FREQUENCY);
        EXPECT_EQ(n->value, c.value);
        EXPECT_EQ(n->data, c.reason);
        EXPECT_EQ(Prop(FMPROP_FREQUENCY), c.value);
    }

    ASSERT_EQ(fm.FMSetProp(h, FMPROP_BAND, 0), 0u);
    fake.ClearCalls();
    Status(FMS_CMD_SEEK, FMS_SEEK_BAND_LIMIT, 90000);
    FmNotification* n = Next();
    ASSERT_NE(n, nullptr) << "outside the world band a band limit is reported";
    EXPECT_EQ(n->data, FMFREQ_BAND_LIMIT);
    EXPECT_EQ(Calls(), "");
    CloseHandle(event);
}

// ---- mute codes by device family -------------------------------------------------------------

// The model in the OEM text picks the codes: the T535 family mutes with 2,
// unmutes with 1 and reports them so; every other device mutes with 0 and
// unmutes with 2 (and reports 1 for muted). The model is searched for
// case-sensitively.
struct MuteFamily {
    const char* name;
    const char16_t* oem;
    int mute, unmute;                  // the codes sent to the platform
    DWORD reportMuted, reportUnmuted;  // the mute modes it reports back
};

void PrintTo(const MuteFamily& f, std::ostream* out) { *out << f.name; }

class FmFamily : public FmTest, public ::testing::WithParamInterface<MuteFamily> {};

TEST_P(FmFamily, MuteCodesFollowTheModel) {
    const MuteFamily& f = GetParam();
    UnloadWavelo();
    SetOemText(f.oem);
    LoadWavelo();
    HANDLE h = Open();
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    const std::string mute = "FM_MuteRadio(" + std::to_string(f.mute) + ")\n";
    const std::string unmute = "FM_MuteRadio(" + std::to_string(f.unmute) + ")\n";
    EXPECT_TRUE(Contains(Calls(), unmute)) << "unmute at power-on: " << Calls();
    fake.ClearCalls();
    fm.FMSetProp(h, FMPROP_MUTE, 1);
    fm.FMSetProp(h, FMPROP_MUTE, 0);
    EXPECT_EQ(Calls(), mute + unmute);
    fake.SetAnswer("FM_GetMuteMode", FMS_CMD_GET_MUTE_MODE, FMS_SUCCESSED, f.reportMuted);
    EXPECT_EQ(Prop(FMPROP_MUTE), 1u);
    fake.SetAnswer("FM_GetMuteMode", FMS_CMD_GET_MUTE_MODE, FMS_SUCCESSED, f.reportUnmuted);
    EXPECT_EQ(Prop(FMPROP_MUTE), 0u);
}

INSTANTIATE_TEST_SUITE_P(Models, FmFamily,
                         ::testing::Values(MuteFamily{"NearTheFamily", u"HTC Touch Pro T7272", 0, 2, 1, 0},
                                           MuteFamily{"T535", u"HTC Touch Diamond2 T535", 2, 1, 2, 1},
                                           MuteFamily{"T828", u"T828", 2, 1, 2, 1},
                                           MuteFamily{"T737x", u"Touch HD T737x", 2, 1, 2, 1},
                                           MuteFamily{"CaseDiffers", u"htc t535", 0, 2, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- volume --------------------------------------------------------------------------------------

class FmVolume : public FmTest {
protected:
    void MakeKey(const char16_t* path) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegCloseKey(key);
    }
    DWORD Value(const char16_t* path, const char16_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xBADBAD;
        DWORD value = 0xBADBAD, size = sizeof value, type = 0;
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return value;
    }
    DWORD Wave() {
        DWORD word = 0;
        EXPECT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER)), &word), 0u);
        return word;
    }
};

TEST_F(FmVolume, PercentToTunerSystemAndRegistry) {
    MakeKey(u"ControlPanel\\Volume");
    MakeKey(u"ControlPanel\\Notifications\\ShellOverrides");
    HANDLE h = Open();  // the volume needs no power

    struct Case {
        DWORD percent;
        const char* tuner;
        DWORD word;
        DWORD readBack;
    };
    for (Case c : {Case{100, "FM_SetVolume(-1,0)\n", 0xFFFFFFFFu, 100},
                   Case{50, "FM_SetVolume(32767,0)\n", 0x77777777u, 46}, Case{0, "FM_SetVolume(0,0)\n", 0u, 0},
                   Case{3, "FM_SetVolume(1966,0)\n", 0u, 0}, Case{4, "FM_SetVolume(2621,0)\n", 0x11111111u, 6}}) {
        fake.ClearCalls();
        EXPECT_EQ(fm.FMSetProp(h, FMPROP_VOLUME, c.percent), 0u);
        EXPECT_EQ(Calls(), c.tuner) << c.percent;
        EXPECT_EQ(Wave(), c.word) << c.percent;
        EXPECT_EQ(Value(u"ControlPanel\\Volume", u"Volume"), c.word);
        EXPECT_EQ(Value(u"ControlPanel\\Notifications\\ShellOverrides", u"SavedVolume"), c.word);
        EXPECT_EQ(Prop(FMPROP_VOLUME), c.readBack) << "read back from the system volume";
    }
    // The read is the low nibble of the system volume word.
    waveOutSetVolume(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER)), 0x00000008u);
    EXPECT_EQ(Prop(FMPROP_VOLUME), 53u);
}

TEST_F(FmVolume, MissingKeysAreNotCreatedAndPowerOnReassertsTheVolume) {
    MakeKey(u"ControlPanel\\Volume");
    HANDLE h = Open();
    EXPECT_EQ(fm.FMSetProp(h, FMPROP_VOLUME, 100), 0u);
    EXPECT_EQ(Value(u"ControlPanel\\Notifications\\ShellOverrides", u"SavedVolume"), 0xBADBADu);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Notifications", 0, KEY_READ, &key), ERROR_SUCCESS);

    waveOutSetVolume(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER)), 0x33333333u);
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    EXPECT_EQ(Value(u"ControlPanel\\Volume", u"Volume"), 0x33333333u);
    EXPECT_EQ(Wave(), 0x33333333u);
}

// ---- power on and off ------------------------------------------------------------------------------

using FmPower = FmTest;

TEST_F(FmPower, OnAndOffWithAnswers) {
    HANDLE h = Open();
    fake.ClearCalls();
    ASSERT_EQ(fm.FMPowerOn(h, 1, 0), 0u);
    EXPECT_EQ(Calls(), "FM_Enable()\nFM_SetBand(0)\nFM_MuteRadio(2)\nFM_SetRDS(0)\n");
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 87500u);

    fake.ClearCalls();
    ASSERT_EQ(fm.FMPowerOn(h, 0, 7), 0u);
    EXPECT_EQ(Calls(), "FM_MuteRadio(0)\nFM_Disable()\n");
    DWORD value = 0;
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 21u);

    // Off while already off: the mute is refused without a platform call.
    fake.ClearCalls();
    EXPECT_EQ(fm.FMPowerOn(h, 0, 0), 0u);
    EXPECT_EQ(Calls(), "FM_Disable()\n");

    // "FM already on" counts as on; RDS is switched on once someone listens.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(fm.FMRegisterEvent(h, event), 0u);
    fake.SetAnswer("FM_Enable", FMS_CMD_POWER_ON, FMS_FM_ALREADY_ON, 0);
    fake.ClearCalls();
    ASSERT_EQ(fm.FMPowerOn(h, 1, 1), 0u);
    EXPECT_EQ(Calls(), "FM_Enable()\nFM_SetBand(1)\nFM_MuteRadio(2)\nFM_SetRDS(1)\n");
    fake.ClearCalls();
    EXPECT_EQ(fm.FMRegisterEvent(h, nullptr), 0u);
    EXPECT_EQ(Calls(), "FM_SetRDS(0)\n");
    CloseHandle(event);
}

TEST_F(FmPower, RefusalsAndTimeOuts) {
    HANDLE h = Open();
    DWORD value = 0;
    fake.SetAnswer("FM_Enable", FMS_CMD_POWER_ON, FMS_FAILED, 0);
    EXPECT_EQ(fm.FMPowerOn(h, 1, 0), 110u);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 21u);

    fake.SetAnswer("FM_Enable", FAKE_NO_ANSWER, 0, 0);
    fake.ClearCalls();
    EXPECT_EQ(fm.FMPowerOn(h, 1, 0), 31u);
    EXPECT_EQ(Calls(), "FM_Enable()\n");
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 21u);

    // A late "power on" still counts; an unanswered power-off forces it off.
    Status(FMS_CMD_POWER_ON, FMS_SUCCESSED, 0);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 0u);
    fake.SetAnswer("FM_Disable", FAKE_NO_ANSWER, 0, 0);
    EXPECT_EQ(fm.FMPowerOn(h, 0, 0), 31u);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_FREQUENCY, &value), 21u);
}

// ---- status answers, waits and trace ----------------------------------------------------------------

using FmStatus = FmTest;

TEST_F(FmStatus, AwaitedGets) {
    HANDLE h = OpenPowered();
    DWORD value = 0;
    fake.SetAnswer("FM_RssiGet", FMS_CMD_GET_RSSI, FMS_SUCCESSED, 42);
    EXPECT_EQ(Prop(FMPROP_RSSI), 42u);
    // One reply flag for all requests: a "set band" answer ends the wait and
    // its value is taken as the signal strength.
    fake.SetAnswer("FM_RssiGet", FMS_CMD_SET_BAND, FMS_SUCCESSED, 17);
    EXPECT_EQ(Prop(FMPROP_RSSI), 17u);
    fake.SetAnswer("FM_RssiGet", FAKE_NO_ANSWER, 0, 0);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_RSSI, &value), 31u);
    fake.SetReturn("FM_RssiGet", FMS_FAILED);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_RSSI, &value), 87u);

    fake.SetAnswer("FM_GetDemphMode", FMS_CMD_GET_DEEMPHASIS, FMS_SUCCESSED, 1);
    EXPECT_EQ(Prop(FMPROP_DEEMPHASIS), 1u);
    fake.SetAnswer("FM_GetDemphMode", FMS_CMD_GET_DEEMPHASIS, FMS_FAILED, 9);
    EXPECT_EQ(Prop(FMPROP_DEEMPHASIS), 1u) << "a failed answer leaves the cache";
    fake.SetAnswer("FM_GetDemphMode", FAKE_NO_ANSWER, 0, 0);
    EXPECT_EQ(Prop(FMPROP_DEEMPHASIS), 1u) << "no answer: cached value, success";
    Status(FMS_CMD_GET_DEEMPHASIS, FMS_SUCCESSED, 0);  // late answer
    EXPECT_EQ(Prop(FMPROP_DEEMPHASIS), 0u);
    fake.SetReturn("FM_GetDemphMode", FMS_FAILED);
    EXPECT_EQ(fm.FMGetProp(h, FMPROP_DEEMPHASIS, &value), 31u);

    fake.SetAnswer("FM_GetRSSISearchLevel", FMS_CMD_GET_RSSI_SEARCH_LEVEL, FMS_SUCCESSED, 20);
    EXPECT_EQ(Prop(FMPROP_RSSI_SEARCH_LEVEL), 20u);
    fake.SetAnswer("FM_GetRSSISearchLevel", FMS_CMD_GET_RSSI_SEARCH_LEVEL, FMS_FAILED, 20);
    EXPECT_EQ(Prop(FMPROP_RSSI_SEARCH_LEVEL), 0u) << "a failed search-level answer clears it";
    fake.SetAnswer("FM_GetMoSt", FMS_CMD_GET_MOST, FMS_SUCCESSED, 1);
    EXPECT_EQ(Prop(FMPROP_MONO_STEREO), 1u);
    fake.SetAnswer("FM_GetMostBlend", FMS_CMD_GET_MOST_BLEND, FMS_SUCCESSED, 3);
    EXPECT_EQ(Prop(FMPROP_STEREO_BLEND), 3u);
}

TEST_F(FmStatus, TraceTexts) {
    HANDLE h = Open();
    (void)h;
    ClearTraces();
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 90000);
    Status(FMS_CMD_HANDLE_HW_MAL, FMS_FAILED_ALREADY_PENDING, 0);
    Status(FMS_CMD_GET_RSSI, FMS_PENDING, 0xFFFFFFFFu);
    Status(32, 0, 1);
    Status(5, 13, 2);
    FmPlatformEvent event{};
    event.code = 9;
    fake.Inject(&event);
    event.code = 0;
    fake.Inject(&event);
    for (BYTE code : {3, 4, 6}) {
        event.code = code;
        fake.Inject(&event);
    }
    event.code = FMS_EVENT_STEREO_MODE;
    event.payload.stereoMode = 1;
    fake.Inject(&event);

    const std::vector<std::string> expected = {
        "Status: cmd: tune, status: successed, value: 90000 .\r\n",
        "Status: cmd: handle hw mal, status: failed already pending, value: 0 .\r\n",
        "Status: cmd: get rssi, status: pending, value: -1 .\r\n",
        "Invalid cmd: 32, status: 0, value: 1 .\r\n",
        "Invalid cmd: 5, status: 13, value: 2 .\r\n",
        "Invalid event type: 8 \r\n",
        "Invalid event type: -1 \r\n",
        "OnFMRadioStereoModeChanged 1\r\n",
    };
    EXPECT_EQ(Traces(), expected);

    EXPECT_EQ(fm.FMSetDebugFunction(nullptr), nullptr);
    ClearTraces();
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 90000);
    EXPECT_TRUE(Traces().empty());
    EXPECT_EQ(fm.FMSetDebugFunction(CollectTrace), CollectTrace);
}

// ---- FMClose --------------------------------------------------------------------------------------

using FmCloseOrder = FmTest;

TEST_F(FmCloseOrder, PoweredSessionShutsDownInOrder) {
    OpenPowered();
    fake.ClearCalls();
    Close();
    EXPECT_EQ(Calls(), "FM_SetRDS(0)\nFM_MuteRadio(0)\nFM_Disable()\nFM_Destroy()\nFM_Deinit()\n");

    // Events after the close reach no session.
    ClearTraces();
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 90000);
    EXPECT_TRUE(Traces().empty());
}

TEST_F(FmCloseOrder, UnpoweredSessionIsPoweredOnFirst) {
    Open();
    fake.ClearCalls();
    Close();
    EXPECT_EQ(Calls(),
              "FM_Enable()\nFM_SetBand(0)\nFM_MuteRadio(2)\nFM_SetRDS(0)\n"
              "FM_SetRDS(0)\nFM_MuteRadio(0)\nFM_Disable()\nFM_Destroy()\nFM_Deinit()\n");

    // Even when that power-on is not answered, the close completes.
    Open();
    fake.SetAnswer("FM_Enable", FAKE_NO_ANSWER, 0, 0);
    fake.ClearCalls();
    Close();
    EXPECT_EQ(Calls(), "FM_Enable()\nFM_SetRDS(0)\nFM_Disable()\nFM_Destroy()\nFM_Deinit()\n");
}

TEST_F(FmCloseOrder, UnloadingTheLibraryClosesAnOpenSession) {
    HANDLE h = OpenPowered();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    Rds(CleanStream(0x9602, 4));  // a queued record must be released too
    fake.ClearCalls();
    UnloadWavelo();
    EXPECT_EQ(Calls(), "FM_SetRDS(0)\nFM_MuteRadio(0)\nFM_Disable()\nFM_Destroy()\nFM_Deinit()\n");
    CloseHandle(event);
}

TEST_F(FmCloseOrder, ProcessExitClosesAnOpenSession) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test afresh in its own root; the log's path
    // reaches it through the environment.
    auto log = RootPath() / "calls.log";
    setenv("FM_EXIT_LOG", log.c_str(), 0);  // the child keeps the parent's
    EXPECT_EXIT(
        {
            static std::string childRoot = RootPath().string();
            std::atexit([] {  // registered first, so it runs after Wavelo's hook
                std::error_code ec;
                std::filesystem::remove_all(childRoot, ec);
            });
            fake.SetLogFile(std::getenv("FM_EXIT_LOG"));
            if (!fm.FMOpen(0)) std::_Exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("FM_EXIT_LOG");
    std::ifstream in(log);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(all, "FM_Disable()\nFM_Destroy()\nFM_Deinit()\n")) << all;
}

// ---- binding failures ---------------------------------------------------------------------------

using FmBinding = FmTest;

TEST_F(FmBinding, MissingEntryPointsAreReportedByName) {
    struct Case {
        const char* variant;
        const char* trace;
    };
    for (Case c : {Case{"no_audio_enable", "Failed to load 'FM_AudioEnable'"},
                   Case{"no_get_current_status", "Failed to load 'FM_GetCurrentStatus'"},
                   Case{"no_tune", "Failed to load 'FM_Tune'"}}) {
        InstallFake(c.variant);
        ClearTraces();
        SetLastError(0);
        EXPECT_EQ(fm.FMOpen(0), nullptr) << c.variant;
        EXPECT_EQ(GetLastError(), 20u);
        EXPECT_EQ(Traces(), std::vector<std::string>{c.trace});
        EXPECT_EQ(Calls(), "") << "nothing called on a library that is refused";
    }
    InstallFake("full");
    EXPECT_NE(Open(), nullptr) << "a failed open leaves nothing behind";
}

TEST_F(FmBinding, MissingLibrary) {
    if (std::getenv("FM_MISSING_LIBRARY_CHILD")) {
        // A copy of this program far from the build tree, so that no
        // platform library lies beside it: only \Windows could have one.
        InstallFake("full");
        std::filesystem::remove(RootPath() / "Windows" / "libFMS_API.so");
        SetLastError(0);
        EXPECT_EQ(fm.FMOpen(0), nullptr);
        EXPECT_EQ(GetLastError(), 110u);
        EXPECT_EQ(Traces(), std::vector<std::string>{"Failed to load FMS_API.dll\r\n"});
        return;
    }
    auto bin = RootPath() / "elsewhere" / "bin";
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file("/proc/self/exe", bin / "fm_session_test");
    std::filesystem::permissions(bin / "fm_session_test", std::filesystem::perms::owner_all);
    std::string command =
        "env -u CE_LIBRARY_PATH FM_MISSING_LIBRARY_CHILD=1 CE_TEST_BUILD_DIR='" + cetest::build_dir().string() +
        "' LD_LIBRARY_PATH='" + (cetest::build_dir() / "lib").string() + "' '" + (bin / "fm_session_test").string() +
        "' --gtest_filter=FmBinding.MissingLibrary > '" + (RootPath() / "child.log").string() + "' 2>&1";
    int rc = std::system(command.c_str());
    std::ifstream in(RootPath() / "child.log");
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(Contains(out, "[  PASSED  ] 1 test")) << out;
}

TEST_F(FmBinding, RefusedInitAndCreate) {
    fake.SetReturn("FM_Init", FMS_FAILED);
    SetLastError(0);
    EXPECT_EQ(fm.FMOpen(0), nullptr);
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(Traces(), std::vector<std::string>{"Failed to init FM radio\r\n"});
    EXPECT_EQ(Calls(), "FM_Init()\n");

    fake.SetReturn("FM_Init", 0);
    fake.SetCreatedSession(0);  // "created", but no session handle
    fake.ClearCalls();
    ClearTraces();
    EXPECT_EQ(fm.FMOpen(0), nullptr);
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(Calls(), "FM_Init()\nFM_Create(0)\nFM_Deinit()\n");
    EXPECT_EQ(Traces(), std::vector<std::string>{"Failed to create FM session\r\n"});

    fake.SetCreatedSession(0x77);
    fake.SetReturn("FM_Create", FMS_PENDING);
    EXPECT_EQ(fm.FMOpen(0), nullptr) << "creation must be done, not pending";
    EXPECT_EQ(GetLastError(), 21u);

    fake.SetReturn("FM_Create", 0);
    fake.ClearCalls();
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    fm.FMSetProp(h, FMPROP_VOLUME, 20);
    EXPECT_TRUE(Contains(Calls(), "FM_SetVolume(13107,0)\n")) << "the stored session handle is used: " << Calls();
}

// ---- the notification queue -----------------------------------------------------------------------

using FmQueue = FmTest;

TEST_F(FmQueue, NothingIsQueuedWithoutAListener) {
    HANDLE h = OpenPowered();
    Rds(CleanStream(0x9602, 3));
    Frequency(95000);
    EXPECT_EQ(Next(), nullptr);
    EXPECT_EQ(Prop(FMPROP_FREQUENCY), 95000u) << "the frequency is learned all the same";

    // RDS that arrived unheard is not buffered: it cannot complete later groups.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    auto stream = CleanStream(0x9602, 3);
    std::vector<uint8_t> head(stream.begin(), stream.begin() + 20), tail(stream.begin() + 20, stream.end());
    fm.FMRegisterEvent(h, nullptr);
    Rds(head);
    fm.FMRegisterEvent(h, event);
    Rds(tail);
    EXPECT_EQ(Next(), nullptr);
    CloseHandle(event);
}

TEST_F(FmQueue, RdsRecordsWakeTheListener) {
    HANDLE h = OpenPowered();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    const DWORD before = GetTickCount();
    std::vector<uint8_t> stream;
    AppendGroup(stream, RawGroup{0xD318, 0x0408, 0xE0CD, 0x2020});
    AppendGroup(stream, RawGroup{0xD318, 0x8405, 0x1234, 0xABCD, 0x20, 0x21, 0x2A, 0x24});
    AppendGroup(stream, RawGroup{0xD318, 0x0409, 0xE0CD, 0x2020});
    Rds(stream);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    FmNotification* n = Next();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->kind, FMNOTIFY_RDS);
    ASSERT_EQ(n->value, 3u);
    EXPECT_GE(n->tick - before, 0u);
    EXPECT_LE(n->tick - before, 60000u);
    auto* groups = reinterpret_cast<const FmRdsGroup*>(n->data);
    EXPECT_EQ(groups[1].blockA, 0xD318);
    EXPECT_EQ(groups[1].blockB, 0x8405);
    EXPECT_EQ(groups[1].blockD, 0xABCD);
    EXPECT_EQ(groups[1].errorFlags, 0x0010u);
    EXPECT_EQ(Next(), nullptr);

    // A listening window alone is enough for records to be queued.
    fm.FMRegisterEvent(h, nullptr);
    EXPECT_EQ(fm.FMRegisterNotification(h, reinterpret_cast<HWND>(0x4711), 0x8001), 0u);
    Rds(CleanStream(0xD318, 2, 10));
    n = Next();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, 2u);
    EXPECT_EQ(fm.FMRegisterNotification(h, nullptr, 0), 0u);

    // Empty and address-less deliveries are ignored.
    fm.FMRegisterEvent(h, event);
    FmPlatformEvent empty{};
    empty.code = FMS_EVENT_RDS_DATA;
    empty.payload.rds.count = 0;
    fake.Inject(&empty);
    empty.payload.rds.count = 100;
    fake.Inject(&empty);
    EXPECT_EQ(Next(), nullptr);
    CloseHandle(event);
}

TEST_F(FmQueue, FrequencyChangesFlushTheOldStation) {
    HANDLE h = OpenPowered();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    auto stream = CleanStream(0x9602, 6);
    Rds({stream.begin(), stream.begin() + 36});
    Rds({stream.begin() + 36, stream.begin() + 60});
    Rds({stream.begin() + 60, stream.begin() + 65});  // part of a group
    Frequency(96000);

    FmNotification* n = Next();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->kind, FMNOTIFY_FREQUENCY);
    EXPECT_EQ(n->value, 96000u);
    EXPECT_EQ(n->data, FMFREQ_TUNED);
    EXPECT_EQ(Next(), nullptr) << "queued RDS of the old station is gone";

    // The partial group is gone too: its tail alone forms nothing, and the
    // new station must lock afresh.
    Rds({stream.begin() + 65, stream.end()});
    EXPECT_EQ(Next(), nullptr);

    FrequencyReport(97000);
    n = Next();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, 97000u);
    EXPECT_EQ(n->data, FMFREQ_REPORTED);
    FrequencyReport(97100);
    Status(FMS_CMD_TUNE, FMS_SUCCESSED, 98000);
    n = Next();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, 98000u);
    EXPECT_EQ(n->data, FMFREQ_TUNED);
    EXPECT_EQ(Next(), nullptr) << "each frequency notification flushes the one before";
    CloseHandle(event);
}

TEST_F(FmQueue, RecordsAreHandedOutInOrder) {
    HANDLE h = OpenPowered();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    Frequency(90000);
    auto stream = CleanStream(0x9602, 8);
    Rds({stream.begin(), stream.begin() + 40});
    Rds({stream.begin() + 40, stream.end()});

    FmNotification* first = Next();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, FMNOTIFY_FREQUENCY);
    FmNotification* second = Next();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->kind, FMNOTIFY_RDS);
    ASSERT_EQ(second->value, 3u);
    const auto* g = reinterpret_cast<const FmRdsGroup*>(second->data);
    EXPECT_EQ(g[0].blockB, 0x0400);
    EXPECT_EQ(g[2].blockB, 0x0402);
    FmNotification* third = Next();
    ASSERT_NE(third, nullptr);
    ASSERT_EQ(third->value, 5u);
    g = reinterpret_cast<const FmRdsGroup*>(third->data);
    EXPECT_EQ(g[0].blockB, 0x0403);
    EXPECT_EQ(g[4].blockB, 0x0407);
    EXPECT_EQ(Next(), nullptr);
    CloseHandle(event);
}

// ---- concurrency -----------------------------------------------------------------------------------

using FmConcurrency = FmTest;

TEST_F(FmConcurrency, RdsFloodWhileTheCallerFetchesAndTunes) {
    HANDLE h = OpenPowered();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fm.FMRegisterEvent(h, event);
    // Tune answers arrive on the caller's thread, RDS on the injector's.
    fake.SetAnswer("FM_Tune", FMS_CMD_TUNE, FMS_SUCCESSED, FAKE_ECHO);
    // A whole number of 256-group cycles, so the loop's seam keeps the
    // counter in block B consecutive too.
    const auto stream = CleanStream(0x9602, 2048);

    std::atomic<bool> stop{false};
    std::atomic<long> delivered{0};
    std::thread injector([&] {
        size_t at = 0, piece = 1;
        while (!stop.load()) {
            size_t n = std::min(piece, stream.size() - at);
            Rds({stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)});
            delivered.fetch_add(1);
            at += n;
            if (at == stream.size()) at = 0;
            piece = piece % 40 + 1;
        }
    });

    long rdsRecords = 0, frequencyRecords = 0, groups = 0;
    for (int i = 0; i < 3000; ++i) {
        WaitForSingleObject(event, 1);
        FmNotification* n = Next();
        if (n && n->kind == FMNOTIFY_RDS) {
            ++rdsRecords;
            ASSERT_GE(n->value, 1u);
            const auto* g = reinterpret_cast<const FmRdsGroup*>(n->data);
            for (DWORD k = 0; k < n->value; ++k) {
                ASSERT_EQ(g[k].blockA, 0x9602) << "only the station's own groups";
                ASSERT_EQ(g[k].size, 16u);
                if (k > 0) {
                    ASSERT_EQ(static_cast<uint8_t>(g[k].blockB), static_cast<uint8_t>(g[k - 1].blockB + 1))
                        << "consecutive inside a record";
                }
            }
            groups += n->value;
        } else if (n) {
            ++frequencyRecords;
            ASSERT_EQ(n->kind, FMNOTIFY_FREQUENCY);
        }
        if (i % 50 == 0) {
            ASSERT_EQ(fm.FMSetProp(h, FMPROP_FREQUENCY, i % 100 ? 90000 : 95000), 0u);
        }
        if (i % 97 == 0) Prop(FMPROP_FREQUENCY);
    }
    stop.store(true);
    injector.join();
    EXPECT_GT(delivered.load(), 100);
    EXPECT_GT(groups, 0);
    EXPECT_GT(frequencyRecords, 0);
    RecordProperty("rds_records", static_cast<int>(rdsRecords));
    CloseHandle(event);
}

}  // namespace
