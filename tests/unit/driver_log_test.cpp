// The diagnostic log (lines, stamps, rotation, cutting of long lines) and the
// GPS reader's whole-line queuing.
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "driver_test_env.h"

using namespace drvtest;

namespace {

class DriverLogTest : public DriverTest {
protected:
    void WriteFile(const std::string& name, size_t size) {
        std::ofstream out(HostPath(name), std::ios::binary);
        out << std::string(size, 'x');
    }
    size_t FileSize(const std::string& name) {
        std::error_code ec;
        auto n = std::filesystem::file_size(HostPath(name), ec);
        return ec ? static_cast<size_t>(-1) : static_cast<size_t>(n);
    }
};

TEST_F(DriverLogTest, DataLogLinesOfOpenAndGroups) {
    fakefm::set_no_radio(true);
    SetSetting(u"LogMode", 1);
    Load();
    ASSERT_TRUE(Open());
    FmRdsGroup g = fakefm::group(0xD318, 0x8405, 0x1234, 0xABCD);
    OnRdsGroups(&g, 1);
    std::string log = LogFile();
    EXPECT_TRUE(
        std::regex_search(log, std::regex("COM_Open: numopens=1, GPS:[0-9A-F]+ [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")))
        << log;
    EXPECT_NE(log.find("\n$RTTMC,8,D318,8405,1234,ABCD*3F \n"), std::string::npos);
    // The event lines need bit 1.
    Drain();
    EXPECT_EQ(log.find("Read waiting..."), std::string::npos);
    Close();
    EXPECT_TRUE(std::regex_search(LogFile(), std::regex("COM_Close: numopens=1 [0-9:]{8}\n")));
}

TEST_F(DriverLogTest, LogModeTwoAddsTheEventLines) {
    fakefm::set_no_radio(true);
    SetSetting(u"LogMode", 2);
    Load();
    ASSERT_TRUE(Open());
    AppendOutput(4, "abcd", TRUE);
    char buffer[2];
    COM_Read(open_, buffer, 2);
    COM_Read(open_, buffer, 2);
    COM_Read(open_, buffer, 2);
    OnFrequencyChange(87650);
    std::string log = LogFile();
    EXPECT_NE(log.find("COM_Open: numopens=1"), std::string::npos);
    EXPECT_TRUE(
        std::regex_search(log, std::regex("COM_Read: Bytes asked:2, bytes returned:2, remaining: 2 [0-9:]{8}\n")));
    EXPECT_NE(log.find("Read waiting... \n"), std::string::npos);
    EXPECT_NE(log.find("FREQ Change: 87.6 \n"), std::string::npos);
    DEVCONTEXT fake = 12345;
    EXPECT_FALSE(COM_Close(fake));
    EXPECT_TRUE(std::regex_search(LogFile(), std::regex("COM_Close: FAILED [0-9:]{8}\n")));
    // A second open is refused with its own line.
    EXPECT_EQ(COM_Open(device_, 0, 0), 0u);
    EXPECT_TRUE(std::regex_search(LogFile(), std::regex("COM_Open: numopens=2, Exiting... [0-9:]{8}\n")));
}

TEST_F(DriverLogTest, NothingIsWrittenWithLogModeZero) {
    Load();
    ASSERT_TRUE(Open());
    Write("$PSRF107*\r\n");
    Drain();
    Unload();
    EXPECT_EQ(FileSize("Tervalon.log"), static_cast<size_t>(-1));
}

TEST_F(DriverLogTest, RotationAtOpenFrom103424Bytes) {
    fakefm::set_no_radio(true);
    WriteFile("Tervalon.log", 103423);
    Load();
    ASSERT_TRUE(Open());
    EXPECT_EQ(FileSize("Tervalon.log"), 103423u);
    EXPECT_EQ(FileSize("TervalonBack.log"), static_cast<size_t>(-1));
    Close();

    WriteFile("Tervalon.log", 103424);
    WriteFile("TervalonBack.log", 10);
    ASSERT_TRUE(Open());  // rotates whatever LogMode is (0 here)
    EXPECT_EQ(FileSize("Tervalon.log"), static_cast<size_t>(-1));
    EXPECT_EQ(FileSize("TervalonBack.log"), 103424u);
}

TEST_F(DriverLogTest, LongLinesAreCutAtTheLineEnd) {
    fakefm::set_no_radio(true);
    SetSetting(u"LogMode", 3);
    SetSetting(u"Protocol", 1);
    Load();
    ASSERT_TRUE(Open());
    std::string big(3000, '\x5A');
    Write(big);  // "RECV:" and 2047 bytes would need 6146 characters
    std::string log = LogFile();
    size_t at = log.find("RECV:");
    ASSERT_NE(at, std::string::npos);
    size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = log.substr(at, end + 1 - at);
    EXPECT_LE(line.size(), 2047u);
    EXPECT_TRUE(std::regex_match(line, std::regex("RECV:(5A )+ [0-9:]{8}\n"))) << line.substr(line.size() - 30);

    // A long text line (Royaltek RECV) is cut as well and still ends its line.
    Unload();
    std::filesystem::remove(HostPath("Tervalon.log"));
    SetSetting(u"Protocol", 0);
    Load();
    ASSERT_TRUE(Open());
    Write(std::string(3000, 'q'));
    log = LogFile();
    at = log.find("RECV: ");
    ASSERT_NE(at, std::string::npos);
    end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end + 1 - at, 2047u);
}

TEST_F(DriverLogTest, GpsLinesAreQueuedWhole) {
    std::vector<std::string> out;
    static std::vector<std::string>* sink;
    sink = &out;
    auto emit = [](const char* bytes, DWORD length) { sink->emplace_back(bytes, length); };
    GpsLineBuffer line{};
    auto take = [&](const std::string& bytes) {
        memcpy(line.bytes + line.held, bytes.data(), bytes.size());
        GpsTakeBytes(&line, static_cast<DWORD>(bytes.size()), emit);
    };
    take("$GPGGA,12");
    EXPECT_TRUE(out.empty());
    take("3*00\r\n$GPRMC,");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "$GPGGA,123*00\r\n");
    take("1*00\r\n$GPGSA*00\r\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], "$GPRMC,1*00\r\n$GPGSA*00\r\n");
    EXPECT_EQ(line.held, 0u);
    // A "line" longer than the buffer goes out as it is.
    take(std::string(600, 'a'));
    take(std::string(400, 'b'));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], std::string(600, 'a') + std::string(400, 'b'));
    EXPECT_EQ(line.held, 0u);
}

TEST_F(DriverLogTest, GpsAndTmcNeverInterleaveInsideALine) {
    SetSetting(u"Data", 1);
    SetSetting(u"LogMode", 1);
    Load();
    ASSERT_TRUE(Open());
    gps_->set_read_limit(7);  // reads end inside sentences
    std::string nmea;
    for (int i = 0; i < 20; i++) nmea += "$GPGGA,0000" + std::to_string(i) + ",4916.45,N,12311.12,W*00\r\n";
    // Fed while a client reads, so that the queue never overflows.
    std::thread feeder([&] {
        for (size_t i = 0; i < nmea.size(); i += 13) {
            gps_->feed(nmea.substr(i, 13));
            fakefm::push_rds({fakefm::group(0xD318, 0x8405, static_cast<WORD>(i), 0)});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string got = ReadUntil(
        [](const std::string& s) { return Count(s, "$GPGGA") >= 20 && !s.empty() && s.back() == '\n'; }, 20000);
    feeder.join();
    // Every line is one whole sentence: NMEA lines come out exactly as fed.
    std::string gpsOnly;
    size_t pos = 0;
    while (pos < got.size()) {
        size_t end = got.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = got.substr(pos, end + 2 - pos);
        EXPECT_TRUE(line.rfind("$GPGGA,", 0) == 0 || line.rfind("$RTTMC,", 0) == 0 || line.rfind("$RTRDS,", 0) == 0)
            << line;
        if (line.rfind("$GPGGA,", 0) == 0) gpsOnly += line;
        pos = end + 2;
    }
    EXPECT_EQ(gpsOnly, nmea);
    // The GPS data is logged as read, without a line end of the log's own.
    EXPECT_NE(LogFile().find("$GPGGA,00000,4916.45,N,12311.12,W*00\r\n"), std::string::npos);
}

}  // namespace
