// Load and unload with the fake radio and the driver's own threads running:
// settings, the band table, what goes to the radio, the status thread, the
// station search, the FM notification thread, the GPS reader, and that every
// thread has ended when COM_Deinit returns.
#include <chrono>
#include <thread>

#include "driver_test_env.h"

using namespace drvtest;

namespace {

class DriverThreadTest : public DriverTest {};

auto Has(const std::string& needle) {
    return [needle](const std::string& got) { return got.find(needle) != std::string::npos; };
}

TEST_F(DriverThreadTest, DefaultsWithoutAnySettingsKey) {
    Load();
    EXPECT_EQ(std::u16string(Driver.Settings.SettingsKeyPath), u"Drivers\\Builtin\\Tervalon");
    EXPECT_EQ(Driver.Settings.Band, 0u);
    EXPECT_EQ(Driver.Settings.Data, 0u);
    EXPECT_EQ(Driver.Settings.Sound, 0u);
    EXPECT_EQ(Driver.Settings.Mute, 0u);
    EXPECT_EQ(Driver.Settings.LogMode, 0u);
    EXPECT_EQ(Driver.Settings.Protocol, 0u);
    EXPECT_EQ(Driver.Radio.BandLow, 87500u);
    EXPECT_EQ(Driver.Radio.BandHigh, 108000u);
    auto calls = fakefm::calls();
    std::vector<std::string> names;
    for (const auto& c : calls) names.push_back(c.name);
    ASSERT_GE(names.size(), 7u);
    EXPECT_EQ(names[0], "FMGetNumDevs");
    EXPECT_EQ(names[1], "FMOpen");
    EXPECT_EQ(names[2], "FMRegisterEvent");
    EXPECT_EQ(names[3], "FMPowerOn");
    EXPECT_EQ(calls[3].a, 1u);
    EXPECT_EQ(calls[3].b, 0u);
    EXPECT_EQ(fakefm::set_values(FMPROP_AUDIO_PATH), (std::vector<DWORD>{0}));
    EXPECT_EQ(fakefm::set_values(FMPROP_MUTE), (std::vector<DWORD>{0}));
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{90000}));
    EXPECT_TRUE(Open());
    EXPECT_NE(ReadUntil(Has("\r\n")).find("$RTRDS,90.0,0,3,2,1,1,1,000,255,5,0,51*"), std::string::npos);
    EXPECT_TRUE(LogFile().empty());  // no log by default
    ASSERT_FALSE(HasFatalFailure());
    Unload();
    EXPECT_EQ(GetSetting(u"Frequency"), 0xFFFFFFFFu);  // no key was there to write to
}

TEST_F(DriverThreadTest, SettingsReachTheRadioAndTheLog) {
    SetSetting(u"Sound", 1);
    SetSetting(u"Mute", 1);
    SetSetting(u"Frequency", 88000);
    SetSetting(u"LogMode", 2);
    Load();
    EXPECT_EQ(std::u16string(Driver.Settings.SettingsKeyPath), u"Drivers\\Tervalon");
    EXPECT_EQ(Driver.Settings.LogMode, 3u);
    EXPECT_EQ(fakefm::set_values(FMPROP_AUDIO_PATH), (std::vector<DWORD>{1}));
    EXPECT_EQ(fakefm::set_values(FMPROP_MUTE), (std::vector<DWORD>{1}));
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{88000}));
    std::string log = LogFile();
    EXPECT_NE(log.find(std::string(66, '_') + " "), std::string::npos);
    EXPECT_NE(log.find("COM_Init hFM="), std::string::npos);
}

// The band table: the edges each Band setting gives; an unknown band leaves
// the radio off and the edges at 0.
struct BandRow {
    DWORD band, low, high;
    bool powered;
};

void PrintTo(const BandRow& row, std::ostream* out) { *out << "Band" << row.band; }

class DriverBandTable : public DriverTest, public ::testing::WithParamInterface<BandRow> {};

TEST_P(DriverBandTable, EdgesAndPowerFollowTheBand) {
    const BandRow& row = GetParam();
    SetSetting(u"Band", row.band);
    SetSetting(u"LogMode", 2);
    Load();
    EXPECT_EQ(Driver.Radio.BandLow, row.low);
    EXPECT_EQ(Driver.Radio.BandHigh, row.high);
    EXPECT_EQ(fakefm::count("FMPowerOn"), row.powered ? 1 : 0);
    const char* result = row.powered ? "COM_Init: FM Power On result=0 " : "COM_Init: FM Power On result=100 ";
    EXPECT_NE(LogFile().find(result), std::string::npos) << LogFile();
}

INSTANTIATE_TEST_SUITE_P(Bands, DriverBandTable,
                         ::testing::Values(BandRow{0, 87500, 108000, true}, BandRow{1, 76000, 91000, true},
                                           BandRow{2, 76000, 108000, true}, BandRow{5, 0, 0, false}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

// Longer data keeps the default; shorter data replaces its low bytes (the
// control programs would keep the field instead).
TEST_F(DriverThreadTest, SettingOfAnotherSize) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, TERVALON_SETTINGS_KEY, 0, nullptr, 0, 0, nullptr, &key, nullptr);
    BYTE eight[8] = {1, 0, 0, 0, 1, 0, 0, 0};
    RegSetValueExW(key, u"Protocol", 0, REG_BINARY, eight, sizeof(eight));
    BYTE two[2] = {1, 0};
    RegSetValueExW(key, u"Data", 0, REG_BINARY, two, sizeof(two));
    RegCloseKey(key);
    Load();
    EXPECT_EQ(Driver.Settings.Protocol, 0u);
    EXPECT_EQ(Driver.Settings.Data, 1u);
}

TEST_F(DriverThreadTest, UnloadPowersOffSavesTheFrequencyAndEndsEveryThread) {
    SetSetting(u"Frequency", 90000);
    SetSetting(u"LogMode", 3);
    SetSetting(u"Data", 1);
    fakefm::set_auto_answer(true);
    Load();
    ASSERT_TRUE(Open());
    Write("$PSRF122,98.7*");
    ReadUntil(Has("$RTRDS,98.7,"));
    EXPECT_EQ(Driver.Radio.Frequency.load(), 98700u);
    size_t before = fakefm::calls().size();
    Unload();
    EXPECT_EQ(Driver.Threads.TickThreadId.load(), 0u);
    EXPECT_EQ(Driver.Threads.NotifyThreadId.load(), 0u);
    EXPECT_EQ(Driver.Threads.GpsThreadId.load(), 0u);
    EXPECT_TRUE(gps_->closed());
    EXPECT_EQ(GetSetting(u"Frequency"), 98700u);
    auto calls = fakefm::calls();
    std::vector<std::string> tail;
    for (size_t i = before; i < calls.size(); i++)
        if (calls[i].name != "FMGetNotification" && !(calls[i].name == "FMGetProp" && calls[i].a == FMPROP_RSSI))
            tail.push_back(calls[i].name);
    EXPECT_EQ(tail, (std::vector<std::string>{"FMSetProp", "FMSetProp", "FMGetProp", "FMPowerOn", "FMClose"}));
    EXPECT_NE(LogFile().find("PowerOffFM Finished: Result 0, previous state 1 "), std::string::npos);
    EXPECT_NE(LogFile().find("COM_Deinit "), std::string::npos);

    // The next load starts where the last one was.
    fakefm::reset();
    Load();
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{98700}));
}

TEST_F(DriverThreadTest, FrequencyChangeWhileUnloadingIsTheOneSaved) {
    // COM_Deinit sets ShuttingDown long before it saves Frequency; a seek that
    // lands in between must still be what the next load starts on, while an
    // RDS batch in that window is dropped.
    SetSetting(u"LogMode", 1);
    Load();
    ASSERT_TRUE(Open());
    Drain();
    Driver.Threads.ShuttingDown = 1;
    fakefm::push_rds({fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD)}, true);
    fakefm::push_frequency(101300, true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((fakefm::queued() > 0 || Driver.Radio.Frequency.load() != 101300u) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fakefm::queued(), 0u);
    EXPECT_EQ(Driver.Radio.Frequency.load(), 101300u);
    EXPECT_EQ(LogFile().find("1234,ABCD"), std::string::npos);  // the batch went nowhere
    Unload();
    EXPECT_EQ(GetSetting(u"Frequency"), 101300u);
}

TEST_F(DriverThreadTest, ARadioFoundOffIsClosedWithoutPoweringItOff) {
    SetSetting(u"LogMode", 2);
    fakefm::set_power_state(0);
    Load();
    EXPECT_TRUE(COM_Deinit(device_));
    device_ = 0;
    EXPECT_NE(LogFile().find("PowerOffFM Finished: Result 0, previous state 0 "), std::string::npos);
    EXPECT_EQ(fakefm::count("FMPowerOn"), 1);  // only the power-on
    EXPECT_EQ(fakefm::count("FMClose"), 1);
}

TEST_F(DriverThreadTest, EveryQueuedNotificationIsFetchedAtOneWakeUp) {
    Load();
    ASSERT_TRUE(Open());
    // Two records, one event: both must come through.
    fakefm::push_rds({fakefm::group(0xD318, 0x8405, 0x1111, 0x0001)}, false);
    fakefm::push_rds({fakefm::group(0xD318, 0x8405, 0x2222, 0x0002)}, true);
    std::string got = ReadUntil(Has("2222,0002"));
    size_t first = got.find("$RTTMC,8,D318,8405,1111,0001*");
    size_t second = got.find("$RTTMC,8,D318,8405,2222,0002*");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(fakefm::queued(), 0u);
}

TEST_F(DriverThreadTest, NothingIsFetchedWhileThePortIsClosed) {
    Load();
    fakefm::push_rds({fakefm::group(1, 2, 3, 4)}, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fakefm::queued(), 1u);
    ASSERT_TRUE(Open());
    fakefm::push_rds({fakefm::group(5, 6, 7, 8)}, true);
    std::string got = ReadUntil(Has("0008*"));
    EXPECT_NE(got.find("$RTTMC,0,0001,0002,0003,0004*"), std::string::npos);
}

TEST_F(DriverThreadTest, FrequencyChangeIsReportedInTheNextStatus) {
    Load();
    ASSERT_TRUE(Open());
    fakefm::push_frequency(87650);
    EXPECT_NE(ReadUntil(Has("$RTRDS,87.6,")).find("$RTRDS,87.6,0,3,2,1,1,1,000,"), std::string::npos);
}

TEST_F(DriverThreadTest, GnsDialectStatus) {
    SetSetting(u"Protocol", 1);
    fakefm::set_auto_answer(true);
    Load();
    ASSERT_TRUE(Open());
    std::string got = ReadUntil([](const std::string& s) { return Count(s, GPS_FILLER) >= 2; });
    EXPECT_GE(Count(got, "$GPRMC,,V,,,,,,,,,,N*53\r\n"), 2u);
    EXPECT_EQ(got.find("$RTRDS"), std::string::npos);
    // The frequency the client asks for is reported once reached (a tick by event).
    Write(Bytes({0xFF, 'F', 0x0A}));
    const std::string report = Bytes({0x3F, 0, 0, 0x46, 0x0A, 0x01, 0x55, 0, 0, 0x3F});
    EXPECT_NE(ReadUntil(Has(report)).find(report), std::string::npos);
}

TEST_F(DriverThreadTest, GnsWithGpsDataHasNoFiller) {
    SetSetting(u"Protocol", 1);
    SetSetting(u"Data", 1);
    Load();
    ASSERT_TRUE(Open());
    gps_->feed("$GPGGA,1*00\r\n");
    std::string got = ReadUntil(Has("$GPGGA,1*00\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several status periods
    got += Drain();
    EXPECT_EQ(got, "$GPGGA,1*00\r\n");
    EXPECT_EQ(gps_->wait_mask(), 0x81u);
}

// The status thread calls FMGetProp(FMPROP_RSSI) once per tick while the port
// is open; the search step runs right after it on silent ticks. So the call
// log tells which tick did what, however the ticks are timed.
int TickOfFirstSearch(const std::vector<fakefm::Call>& calls, size_t from) {
    int ticks = 0;
    for (size_t i = from; i < calls.size(); i++) {
        if (calls[i].name == "FMGetProp" && calls[i].a == FMPROP_RSSI) ticks++;
        if (calls[i].name == "FMSeek" || (calls[i].name == "FMSetProp" && calls[i].a == FMPROP_FREQUENCY)) return ticks;
    }
    return -1;
}

// The search starts at the third silent tick: a seek up from inside the
// band, a tune to the bottom from its top.
struct SearchStart {
    const char* name;
    DWORD frequency;  // the setting (0: none)
    bool wraps;
};

void PrintTo(const SearchStart& s, std::ostream* out) { *out << s.name; }

class DriverSearchStart : public DriverTest, public ::testing::WithParamInterface<SearchStart> {};

TEST_P(DriverSearchStart, AtTheThirdSilentTick) {
    if (GetParam().frequency) SetSetting(u"Frequency", GetParam().frequency);
    Load();
    size_t from = fakefm::calls().size();
    ASSERT_TRUE(Open());
    Write("$PSRF121,1*38");
    ReadUntil([](const std::string& s) { return Count(s, "$RTRDS") >= 4; });
    EXPECT_EQ(TickOfFirstSearch(fakefm::calls(), from), 3);
    if (GetParam().wraps) {
        EXPECT_EQ(fakefm::seeks().size(), 0u);
        auto tunes = fakefm::set_values(FMPROP_FREQUENCY);
        ASSERT_GE(tunes.size(), 2u);
        EXPECT_EQ(tunes[1], 87500u);
    } else {
        ASSERT_FALSE(fakefm::seeks().empty());
        EXPECT_EQ(fakefm::seeks().front(), static_cast<DWORD>(FMSEEK_UP));
    }
}

INSTANTIATE_TEST_SUITE_P(From, DriverSearchStart,
                         ::testing::Values(SearchStart{"InsideTheBand", 0, false}, SearchStart{"TheTop", 108000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverThreadTest, NoSearchWithoutAutoScanOrWhileTmcArrives) {
    Load();
    ASSERT_TRUE(Open());
    ReadUntil([](const std::string& s) { return Count(s, "$RTRDS") >= 8; });
    EXPECT_EQ(fakefm::count("FMSeek"), 0);

    // With the search on, a steady flow of TMC groups keeps the station. A
    // group arrives at every tick, as the status thread asks for the signal
    // strength first, however the machine schedules the threads; the search
    // goes on only once a whole tick has had its group.
    fakefm::on_rssi_query([] {
        FmRdsGroup g = fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD);
        OnRdsGroups(&g, 1);
    });
    ReadUntil([](const std::string& s) { return Count(s, "$RTRDS") >= 2; });
    Write("$PSRF121,1*38");
    ReadUntil([](const std::string& s) { return Count(s, "$RTRDS") >= 7; });
    fakefm::on_rssi_query(nullptr);
    EXPECT_EQ(fakefm::count("FMSeek"), 0);
}

TEST_F(DriverThreadTest, WithoutRadioReadsReturnAndTheGpsReaderEnds) {
    fakefm::set_no_radio(true);
    SetSetting(u"Data", 1);
    SetSetting(u"LogMode", 1);
    Load();
    ASSERT_TRUE(Open());
    EXPECT_NE(LogFile().find("COM_Init hFM=0 "), std::string::npos);
    char buffer[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(COM_Read(open_, buffer, sizeof(buffer)), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // bounded, not blocked
    gps_->feed("$GPRMC,2*00\r\n");
    EXPECT_EQ(ReadUntil(Has("\r\n")), "$GPRMC,2*00\r\n");
    Unload();
    EXPECT_EQ(Driver.Threads.GpsThreadId.load(), 0u);
    EXPECT_TRUE(gps_->closed());
}

TEST_F(DriverThreadTest, UnloadReleasesABlockedReaderAndABusyWriter) {
    Load();
    ASSERT_TRUE(Open());
    Drain();
    std::atomic<bool> go{true};
    const DEVCONTEXT open = open_;
    std::thread reader([&go, open] {
        char buffer[64];
        while (go) COM_Read(open, buffer, sizeof(buffer));
    });
    std::thread writer([&go, open] {
        while (go) COM_Write(open, "$PSRF107*\r\n", 11);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DEVCONTEXT device = device_;
    device_ = 0;
    open_ = 0;
    EXPECT_TRUE(COM_Deinit(device));
    go = false;
    reader.join();
    writer.join();
    EXPECT_EQ(ActiveCalls.load(), 0);
}

DWORD StateValue(const char16_t* key, const char16_t* name) {
    DWORD value = 0;
    RegistryGetDWORD(HKEY_LOCAL_MACHINE, key, name, &value);
    return value;
}

TEST_F(DriverThreadTest, HeadsetRuleAndUnattendedMode) {
    const char16_t* audio = u"Platform\\State\\Audio";
    auto messages = [&] { return StateValue(audio, u"MessageCount"); };
    // Loudspeaker chosen and a headset plugged in: message 1026 with 1 at
    // load; with 0 at unload.
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, 1);
    Load();
    EXPECT_EQ(messages(), 1u);
    EXPECT_EQ(StateValue(audio, u"LastMessage"), 1026u);
    EXPECT_EQ(StateValue(audio, u"LastParam1"), 1u);
    EXPECT_EQ(StateValue(u"Platform\\State\\Power", u"UnattendedMode"), 1u);
    Unload();
    EXPECT_EQ(messages(), 2u);
    EXPECT_EQ(StateValue(audio, u"LastParam1"), 0u);
    EXPECT_EQ(StateValue(u"Platform\\State\\Power", u"UnattendedMode"), 0u);

    // Plugging in while loaded sends it; unplugging sends nothing.
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, 0);
    Load();
    EXPECT_EQ(messages(), 2u);
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, 1);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (messages() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(messages(), 3u);
    EXPECT_EQ(StateValue(audio, u"LastParam1"), 1u);
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(messages(), 3u);
    Unload();
    EXPECT_EQ(messages(), 4u);

    // With the headset as the audio path the rule never applies.
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, HEADSET_KEY, HEADSET_VALUE, 1);
    SetSetting(u"Sound", 1);
    Load();
    Unload();
    EXPECT_EQ(messages(), 4u);
}

}  // namespace
