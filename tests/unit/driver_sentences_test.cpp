// The driver's output byte for byte: checksums, $RTTMC and GNS group frames,
// $RTRDS, the GNS frequency report and the void GPS sentence. Run without a
// radio, so that no driver thread adds output of its own.
#include <cstring>

#include "driver_test_env.h"

using namespace drvtest;

namespace {

class DriverSentenceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fakefm::set_no_radio(true);
    }
    void LoadOpen(DWORD protocol) {
        SetSetting(u"Protocol", protocol);
        Load();
        ASSERT_TRUE(Open());
    }
    // The fake's session, for the few steps that read the radio.
    void UseRadio() {
        fakefm::set_no_radio(false);
        Driver.Radio.FmHandle = FMOpen(0);
    }
    void TearDown() override {
        Driver.Radio.FmHandle = nullptr;
        DriverTest::TearDown();
    }
};

std::string Checksummed(const char* text) {
    char buffer[256];
    strcpy(buffer, text);
    AddNmeaChecksum(buffer);
    return buffer;
}

TEST_F(DriverSentenceTest, ChecksumsOfEveryFixedSentence) {
    EXPECT_EQ(Checksummed("$RTTMC,8,D318,8405,1234,ABCD*"), "$RTTMC,8,D318,8405,1234,ABCD*3F");
    EXPECT_EQ(Checksummed("$RTTMC,0,D318,0408,E0CD,2020*"), "$RTTMC,0,D318,0408,E0CD,2020*40");
    EXPECT_EQ(Checksummed("$RTRDS,90.0,7,3,2,1,1,1,085,255,5,0,51*"), "$RTRDS,90.0,7,3,2,1,1,1,085,255,5,0,51*5D");
    EXPECT_EQ(Checksummed("$PSRFTXT,VersionR: 2K00320101N10151006080906*"),
              "$PSRFTXT,VersionR: 2K00320101N10151006080906*42");
    EXPECT_EQ(Checksummed("$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*"),
              "$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*74");
    EXPECT_EQ(Checksummed("$PSRF154,107*"), "$PSRF154,107*3D");
    EXPECT_EQ(Checksummed("$GPRMC,,V,,,,,,,,,,N*"), GPS_FILLER);
    // The test dialog's commands carry the same checksum.
    EXPECT_EQ(Checksummed("$PSRF123,0,0*"), "$PSRF123,0,0*27");
    EXPECT_EQ(Checksummed("$PSRF121,1*"), "$PSRF121,1*38");
    // Only the text up to the first "*" counts; what follows is replaced.
    EXPECT_EQ(Checksummed("$A*XYZ"), "$A*41");
}

TEST_F(DriverSentenceTest, FrequencyTextAndGnsByte) {
    char text[FREQUENCY_TEXT_SIZE];
    FormatFrequencyText(90000, text);
    EXPECT_STREQ(text, "90.0");
    FormatFrequencyText(87650, text);
    EXPECT_STREQ(text, "87.6");
    FormatFrequencyText(100000, text);
    EXPECT_STREQ(text, "100.0");
    FormatFrequencyText(0xFFFFFFFFu, text);  // absurd, but never overruns
    EXPECT_LT(strlen(text), sizeof(text));
    EXPECT_EQ(GnsFrequencyByte(87500), 0);
    EXPECT_EQ(GnsFrequencyByte(100000), 125);
    EXPECT_EQ(GnsFrequencyByte(108000), 205);
    EXPECT_EQ(GnsFrequencyByte(88500), 10);
    EXPECT_EQ(GnsFrequencyByte(76000), 141);  // below 87.5 MHz the byte wraps round
}

TEST_F(DriverSentenceTest, RoyaltekGroupsBecomeRttmcSentencesInOrder) {
    LoadOpen(0);
    Driver.Radio.TmcSeen = 0;
    FmRdsGroup groups[2] = {fakefm::group(0xD318, 0x0408, 0xE0CD, 0x2020),
                            fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD)};
    OnRdsGroups(groups, 2);
    EXPECT_EQ(Drain(), "$RTTMC,0,D318,0408,E0CD,2020*40\r\n$RTTMC,8,D318,8405,1234,ABCD*3F\r\n");
    EXPECT_EQ(Driver.Radio.TmcSeen.load(), 1);
    EXPECT_EQ(Driver.Radio.RdsQuality.load(), 100);

    // Type 8B: the version bit is no part of the type.
    Driver.Radio.TmcSeen = 0;
    FmRdsGroup b = fakefm::group(0xD318, 0x8C05, 0x1234, 0xABCD);
    OnRdsGroups(&b, 1);
    EXPECT_EQ(Drain().substr(0, 9), "$RTTMC,8,");
    EXPECT_EQ(Driver.Radio.TmcSeen.load(), 1);
}

TEST_F(DriverSentenceTest, GnsGroupsBecomeTenByteFrames) {
    LoadOpen(1);
    FmRdsGroup groups[2] = {fakefm::group(0xD318, 0x0408, 0xE0CD, 0x2020),
                            fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD)};
    OnRdsGroups(groups, 2);
    EXPECT_EQ(Hex(Drain()), "3F D3 18 04 08 E0 CD 20 20 3F 3F D3 18 84 05 12 34 AB CD 3F");
}

TEST_F(DriverSentenceTest, QualityIsTheShareOfCleanGroups) {
    LoadOpen(0);
    auto batch = [](int good, int bad) {
        std::vector<FmRdsGroup> g;
        for (int i = 0; i < good; i++) g.push_back(fakefm::group(1, 2, 3, 4));
        for (int i = 0; i < bad; i++) g.push_back(fakefm::group(1, 2, 3, 4, 0x0100));
        OnRdsGroups(g.data(), static_cast<DWORD>(g.size()));
        return Driver.Radio.RdsQuality.load();
    };
    EXPECT_EQ(batch(3, 1), 75);
    EXPECT_EQ(batch(2, 1), 67);
    EXPECT_EQ(batch(4, 0), 100);
    // Groups with errors are forwarded all the same.
    Drain();
    EXPECT_EQ(batch(0, 5), 0);
    EXPECT_EQ(Count(Drain(), "$RTTMC,"), 5u);
}

TEST_F(DriverSentenceTest, StatusSentenceCarriesTextLevelAndQuality) {
    LoadOpen(0);
    UseRadio();
    OnFrequencyChange(90000);
    fakefm::set_rssi(14);  // halved: 7
    std::vector<FmRdsGroup> batch(17, fakefm::group(1, 2, 3, 4));
    batch.resize(20, fakefm::group(1, 2, 3, 4, 0x0100));  // 17 of 20 clean: 85 %
    OnRdsGroups(batch.data(), static_cast<DWORD>(batch.size()));
    Drain();
    EmitRdsStatus();
    EXPECT_EQ(Drain(), "$RTRDS,90.0,7,3,2,1,1,1,085,255,5,0,51*5D\r\n");

    OnFrequencyChange(87650);
    EXPECT_EQ(Driver.Radio.RdsQuality.load(), 0);
    fakefm::set_rssi(40);  // 20 is above 15
    EmitRdsStatus();
    EXPECT_EQ(Drain().substr(0, 16), "$RTRDS,87.6,15,3");
    fakefm::set_rssi(9);
    EmitRdsStatus();
    EXPECT_EQ(Drain().substr(0, 15), "$RTRDS,87.6,4,3");
    // A failed reading keeps the previous level, halved again.
    fakefm::set_rssi(0, false);
    EmitRdsStatus();
    EXPECT_EQ(Drain().substr(0, 15), "$RTRDS,87.6,2,3");
}

TEST_F(DriverSentenceTest, GnsFrequencyReportOnlyForWhatTheClientAskedFor) {
    LoadOpen(1);
    Write(Bytes({0xFF, 'F', 0x0A}));  // the client asks for 88.5 MHz
    OnFrequencyChange(88500);
    EmitGnsFrequencyReport();
    EXPECT_EQ(Hex(Drain()), "3F 00 00 46 0A 01 55 00 00 3F");

    OnFrequencyChange(91000);  // not asked for, no scan: nothing
    EmitGnsFrequencyReport();
    EXPECT_EQ(Drain(), "");

    Write(Bytes({0xFF, 'y', 0x0A}));  // a scan: its end is reported with "f"
    Drain();                          // (the scan's own answer)
    EmitGnsFrequencyReport();
    EXPECT_EQ(Hex(Drain()), "3F 00 00 66 23 01 55 00 00 3F");
}

TEST_F(DriverSentenceTest, VoidGpsSentence) {
    LoadOpen(1);
    EmitGpsFiller();
    EXPECT_EQ(Drain(), "$GPRMC,,V,,,,,,,,,,N*53\r\n");
}

TEST_F(DriverSentenceTest, NothingIsQueuedWhileClosedOrShuttingDown) {
    LoadOpen(0);
    Close();
    FmRdsGroup g = fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD);
    OnRdsGroups(&g, 1);
    ASSERT_TRUE(Open());
    EXPECT_EQ(Drain(), "");
    Driver.Threads.ShuttingDown = 1;
    OnRdsGroups(&g, 1);
    OnFrequencyChange(99000);  // still updates the frequency
    Driver.Threads.ShuttingDown = 0;
    EXPECT_EQ(Drain(), "");
    EXPECT_EQ(Driver.Radio.Frequency.load(), 99000u);
}

}  // namespace
