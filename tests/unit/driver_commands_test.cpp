// The command interpreter in both dialects: answers byte for byte, the calls
// into the FM library, the flags left behind, and writes that hold nothing,
// too much or garbage.
#include "driver_test_env.h"

using namespace drvtest;

namespace {

const std::string kVersionAnswers =
    "$PSRFTXT,VersionR: 2K00320101N10151006080906*42\r\n"
    "$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*74\r\n"
    "$PSRF154,107*3D\r\n";

class DriverCommandTest : public DriverTest {
protected:
    // No driver thread runs (no radio at load); the commands still reach the
    // fake radio through its session, put in place as COM_Init would.
    void LoadOpen(DWORD protocol, DWORD band = 0) {
        fakefm::set_no_radio(true);
        SetSetting(u"Protocol", protocol);
        SetSetting(u"LogMode", 2);
        Load();
        ASSERT_TRUE(Open());
        fakefm::set_no_radio(false);
        Driver.Radio.FmHandle = FMOpen(0);
        FMPowerOn(Driver.Radio.FmHandle, 1, band);
        Driver.Radio.BandLow = band == 0 ? 87500 : 76000;
        Driver.Radio.BandHigh = band == 1 ? 91000 : 108000;
    }
    void TearDown() override {
        Driver.Radio.FmHandle = nullptr;
        DriverTest::TearDown();
    }
};

TEST_F(DriverCommandTest, VersionQueryAnswersThreeSentences) {
    LoadOpen(0);
    std::string w = "$PSRF107*\r\n";
    EXPECT_EQ(Write(w), w.size());
    EXPECT_EQ(Drain(), kVersionAnswers);
    Write("$PSRF107*\r\n$PSRF107*\r\n");
    EXPECT_EQ(Drain(), kVersionAnswers + kVersionAnswers);
}

TEST_F(DriverCommandTest, AnyPsrfStartsASentence) {
    LoadOpen(0);
    Write("xx$PSRF104yyPSRF107");
    EXPECT_EQ(Drain(), kVersionAnswers);
    std::string log = LogFile();
    size_t a = log.find("COM_Write: 104 \n");
    size_t b = log.find("COM_Write: 107 \n");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    EXPECT_LT(a, b);
    // A NUL hides everything behind it; unknown numbers are skipped.
    Write(std::string("$PSRF104\0$PSRF107", 17));
    Write("$PSRF100,1,2*\r\n$PSRF999\r\nPSRF\r\nPSRFabc");
    EXPECT_EQ(Drain(), "");
    EXPECT_EQ(fakefm::count("FMSetProp") + fakefm::count("FMSeek"), 0);
}

TEST_F(DriverCommandTest, AutoScanFlag) {
    LoadOpen(0);
    struct Case {
        const char* write;
        BYTE expected;
    } cases[] = {{"$PSRF121,1*38", 1}, {"$PSRF121,0*39", 0}, {"$PSRF121,9", 1}, {"$PSRF121,2*3b", 0},
                 {"$PSRF121", 1},      {"$PSRF121,0", 0},    {"$PSRF121,", 1}};
    for (const auto& c : cases) {
        Write(c.write);
        EXPECT_EQ(Driver.Radio.AutoScan.load(), c.expected) << c.write;
    }
    EXPECT_EQ(Drain(), "");
}

TEST_F(DriverCommandTest, TuneSentenceGivesExactKilohertz) {
    LoadOpen(0, 2);
    Write("$PSRF122,98.5*");
    Write("$PSRF122,98.5,1,0*");
    Write("$PSRF122,104.3*");
    Write("$PSRF122,98.50");
    std::string w = "$PSRF122,120.0";
    EXPECT_EQ(Write(w), w.size());  // refused by the radio, accepted by the port
    Write("$PSRF122,");
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{98500, 98500, 104300, 98500, 120000, 0}));
    EXPECT_NE(LogFile().find("COM_Write: 122 Tune freq: 98.5-98500  \n"), std::string::npos);
}

TEST_F(DriverCommandTest, EveryChannelOfTheWorldBandConvertsExactly) {
    for (DWORD khz = 76000; khz <= 108000; khz += 100) {
        std::string field = std::to_string(khz / 1000) + "." + std::to_string(khz % 1000 / 100);
        EXPECT_EQ(ParseFrequencyField(field.c_str()), static_cast<LONG>(khz)) << field;
        EXPECT_EQ(ParseFrequencyField((field + "*").c_str()), static_cast<LONG>(khz)) << field;
    }
    EXPECT_EQ(ParseFrequencyField(" +98.7"), 98700);
    EXPECT_EQ(ParseFrequencyField("-1.5"), -1500);
    EXPECT_EQ(ParseFrequencyField("1e3"), 1000);  // no exponents: "1", then junk
    EXPECT_EQ(ParseFrequencyField("abc"), 0);
    EXPECT_EQ(ParseFrequencyField(".5"), 500);
    EXPECT_EQ(ParseFrequencyField("0x10"), 0);
    EXPECT_EQ(ParseIntField(" -12x"), -12);
    EXPECT_EQ(ParseIntField(""), 0);
}

TEST_F(DriverCommandTest, StepWrapsAtTheBandEdgesAndSeekGoesToTheRadio) {
    LoadOpen(0);
    OnFrequencyChange(87500);
    Write("$PSRF123,0,0*27");
    OnFrequencyChange(108000);
    Write("$PSRF123,1,0*26");
    OnFrequencyChange(95000);
    Write("$PSRF123,1,0");
    Write("$PSRF123,0,0");
    Write("$PSRF123,7,0");  // re-tunes where it is
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{108000, 87500, 95100, 94900, 95000}));
    Write("$PSRF123,1,1*27");
    Write("$PSRF123,0,1*26");
    Write("$PSRF123,5,1");
    Write("$PSRF123,1,5");
    EXPECT_EQ(fakefm::seeks(), (std::vector<DWORD>{FMSEEK_UP, FMSEEK_DOWN}));
    std::string log = LogFile();
    EXPECT_NE(log.find("COM_Write: 123 Tune DOWN: 108000 P1:0 P2:0 \n"), std::string::npos);
    EXPECT_NE(log.find("COM_Write: 123 Tune UP: 87500 P1:1 P2:0  \n"), std::string::npos);
    EXPECT_NE(log.find("COM_Write: 123 Scan DOWN: 95000 P1:0 P2:1  \n"), std::string::npos);
    // The upward seek's line alone is timed.
    EXPECT_NE(log.find("COM_Write: 123 Scan UP: 95000 P1:1 P2:1  "), std::string::npos);
    EXPECT_EQ(log.find("COM_Write: 123 Scan UP: 95000 P1:1 P2:1  \n"), std::string::npos);
    Write("$PSRF126,1");
    EXPECT_NE(LogFile().find("COM_Write: 126 Set scan Mode  \n"), std::string::npos);
}

TEST_F(DriverCommandTest, GnsRdsOnThenScanInOneWrite) {
    LoadOpen(1);
    AppendOutput(3, "old", TRUE);
    std::string w = Bytes({'V', 'x', 'x', 'V', 0xFF, 'y', 0x00});
    EXPECT_EQ(Write(w), w.size());
    EXPECT_EQ(Hex(Drain()), "3F 00 00 56 05 11 2D 07 03 3F 3F 00 00 79 00 6F 6B 00 00 3F");
    EXPECT_EQ(fakefm::seeks(), (std::vector<DWORD>{FMSEEK_UP}));
    EXPECT_EQ(Driver.Gns.GnsScanning.load(), 1);
    std::string log = LogFile();
    EXPECT_NE(log.find("COM_Write: RDSON \n"), std::string::npos);
    EXPECT_NE(log.find("COM_Write: GNS SCAN solicited from 87500 \n"), std::string::npos);
    EXPECT_NE(log.find("ANSW:3F 00 00 56 05 11 2D 07 03 3F  \n"), std::string::npos);
    EXPECT_NE(log.find("RECV:56 78 78 56 FF 79 00  "), std::string::npos);

    Write(Bytes({0xFF, 'x', 10}));
    EXPECT_EQ(Hex(Drain()), "3F 00 00 78 00 6F 6B 00 00 3F");
    EXPECT_EQ(fakefm::seeks().back(), static_cast<DWORD>(FMSEEK_DOWN));

    AppendOutput(3, "old", TRUE);
    Write("SxxS");
    EXPECT_EQ(Drain(), "");
}

// A client restarting RDS writes off and on together and waits for the on's
// answer; in the other order the off clears what the on queued.
TEST_F(DriverCommandTest, GnsRdsOffAndOnInOneWriteActInTheirOrder) {
    LoadOpen(1);
    const std::string answer = "3F 00 00 56 05 11 2D 07 03 3F";
    const struct {
        std::vector<int> bytes;
        std::string left;
    } cases[] = {
        {{0xFF, 'S', 'x', 'x', 'S', 0xFF, 'V', 'x', 'x', 'V'}, answer},
        {{'S', 'x', 'x', 'S', 'V', 'x', 'x', 'V'}, answer},
        {{'V', 'x', 'x', 'V', 'S', 'x', 'x', 'S'}, ""},
        {{'V', 'x', 'x', 'V', 'S', 'x', 'x', 'S', 'V', 'x', 'x', 'V'}, ""},  // first of each counts
    };
    for (const auto& c : cases) {
        AppendOutput(3, "old", TRUE);
        std::string w;
        for (int b : c.bytes) w += static_cast<char>(b);
        SCOPED_TRACE(Hex(w));
        EXPECT_EQ(Write(w), w.size());
        EXPECT_EQ(Hex(Drain()), c.left);
    }
}

TEST_F(DriverCommandTest, GnsSetFrequencyTunesOnce) {
    LoadOpen(1);
    Write(Bytes({0xFF, 'y', 0x0A}));  // a scan runs
    Drain();
    Write(Bytes({0xFF, 'F', 0x0A}));
    EXPECT_EQ(Driver.Gns.GnsScanning.load(), 0);
    EXPECT_EQ(Driver.Gns.GnsRequestedFrequency.load(), 88500u);
    Write(Bytes({0xFF, 'F', 0x0A}));
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{88500}));
    // FF "F" wins over FF "s"; a pattern at the end reads F = 0.
    Write(Bytes({0xFF, 's', 0x14, 0xFF, 'F', 0x1E}));
    Write(Bytes({0xFF, 's'}));
    EXPECT_EQ(fakefm::set_values(FMPROP_FREQUENCY), (std::vector<DWORD>{88500, 90500, 87500}));
    EXPECT_NE(LogFile().find("COM_Write: GNS new Freq solicited 88500 \n"), std::string::npos);
    // Half a pattern at the end is nothing.
    Write(Bytes({0xFF}));
    Write(Bytes({'V', 'x', 'x'}));
    EXPECT_EQ(Drain(), "");
}

// Real clients ask for the signal strength once a second: the answer carries
// the strength (at most 63) and the channel of the tuned frequency.
TEST_F(DriverCommandTest, GnsSignalQueryAnswersStrengthAndChannel) {
    LoadOpen(1);
    OnFrequencyChange(95800);
    fakefm::set_rssi(41);
    Write(Bytes({0x00, 0xFF, 0x6C, 0x00, 0x00, 0x6C}));
    EXPECT_EQ(Hex(Drain()), "3F 00 00 6C 00 00 29 53 00 3F");
    fakefm::set_rssi(200);
    Write(Bytes({0xFF, 0x6C, 0x00, 0x00, 0x6C}));
    EXPECT_EQ(Hex(Drain()), "3F 00 00 6C 00 00 3F 53 00 3F");
    // All five bytes must be in the write.
    Write(Bytes({0xFF, 0x6C, 0x00, 0x00}));
    EXPECT_EQ(Drain(), "");
    EXPECT_NE(LogFile().find("COM_Write: GNS signal query: 41 \n"), std::string::npos);
    EXPECT_NE(LogFile().find("ANSW:3F 00 00 6C 00 00 29 53 00 3F  \n"), std::string::npos);
    EXPECT_TRUE(fakefm::set_values(FMPROP_FREQUENCY).empty());
}

TEST_F(DriverCommandTest, EmptyLongAndLateWrites) {
    LoadOpen(0);
    EXPECT_EQ(COM_Write(open_, "", 0), 0u);
    EXPECT_NE(LogFile().find("RECV:  \n"), std::string::npos);
    EXPECT_EQ(COM_Write(open_, nullptr, 5), 0u);

    // Only the first 2047 bytes of a long write are examined.
    std::string early(5000, 'z');
    early.replace(100, 9, "$PSRF107*");
    EXPECT_EQ(Write(early), early.size());
    EXPECT_EQ(Drain(), kVersionAnswers);
    std::string late(5000, 'z');
    late.replace(2040, 9, "$PSRF107*");
    EXPECT_EQ(Write(late), late.size());
    EXPECT_EQ(Drain(), "");
    std::string edge(2047, 'z');
    edge.replace(2047 - 8, 8, "$PSRF121");
    Write("$PSRF121,0");
    EXPECT_EQ(Driver.Radio.AutoScan.load(), 0);
    Write(edge + "0");  // the "0" is byte 2048: not seen, so the flag is set
    EXPECT_EQ(Driver.Radio.AutoScan.load(), 1);

    Driver.Threads.ShuttingDown = 1;
    EXPECT_EQ(Write("$PSRF107"), 0u);
    Driver.Threads.ShuttingDown = 0;
    EXPECT_EQ(Drain(), "");
}

}  // namespace
