// GPD0:, the GPS multiplexer port: replay of a real receiver's log, the
// synthetic track (checked by gpsd when it is installed) and the serial
// behaviour the driver relies on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <fstream>
#include <functional>

#include "host_support.h"

using namespace hosttest;

namespace {

class HostGps : public ::testing::Test {
protected:
    void SetUp() override { host.start(); }

    // Reads GPD0: as the driver's GPS reader does (SetCommMask(0x81),
    // WaitCommEvent, ReadFile) until `enough` says so; returns whole lines.
    std::vector<std::string> read_lines(const std::function<bool(const std::vector<std::string>&)>& enough) {
        std::vector<std::string> lines;
        HANDLE port = CreateFileW(u"GPD0:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        if (port == INVALID_HANDLE_VALUE) return lines;
        EXPECT_TRUE(SetCommMask(port, 0x81));
        std::string pending;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!enough(lines) && std::chrono::steady_clock::now() < end) {
            DWORD events = 0;
            if (!WaitCommEvent(port, &events, nullptr)) break;
            char buf[1000];
            DWORD got = 0;
            EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &got, nullptr));
            pending.append(buf, got);
            size_t nl;
            while ((nl = pending.find("\r\n")) != std::string::npos) {
                lines.push_back(pending.substr(0, nl));
                pending.erase(0, nl + 2);
            }
        }
        CloseHandle(port);
        return lines;
    }

    Host host;
};

TEST_F(HostGps, ReplayDeliversEverySentenceIntactAndInOrder) {
    CE_REQUIRE_CAPTURE(capture, "gps-sirf4-bu353s4.nmea");
    std::vector<std::string> expected;
    std::ifstream in(capture);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (!line.empty() && line[0] != '#') expected.push_back(line);
    }
    ASSERT_GT(expected.size(), 50u);
    ASSERT_EQ(cectl({"gps", "replay", capture.string()}).status, 0);
    auto lines = read_lines([&](const std::vector<std::string>& l) { return l.size() >= expected.size(); });
    ASSERT_GE(lines.size(), expected.size());
    lines.resize(expected.size());
    EXPECT_EQ(lines, expected);
}

TEST_F(HostGps, SyntheticSentencesAreValid) {
    ASSERT_EQ(cectl({"gps", "synthetic"}).status, 0);
    auto count = [](const std::vector<std::string>& l, const std::string& type) {
        size_t n = 0;
        for (const auto& s : l) n += s.compare(0, 6, "$GP" + type) == 0;
        return n;
    };
    auto lines = read_lines([&](const std::vector<std::string>& l) { return count(l, "GGA") >= 3; });
    ASSERT_GE(count(lines, "GGA"), 3u);
    EXPECT_GE(count(lines, "RMC"), 2u);
    EXPECT_GE(count(lines, "GSA"), 2u);
    EXPECT_GE(count(lines, "GSV"), 4u);
    for (const auto& l : lines) EXPECT_TRUE(cetest::nmea_checksum_ok(l)) << l;
    // A fix that moves: two GGA positions differ.
    std::vector<std::string> positions;
    for (const auto& l : lines) {
        if (l.compare(0, 6, "$GPGGA") == 0) positions.push_back(l.substr(17, 26));
    }
    EXPECT_NE(positions.front(), positions.back());
}

// The source works only for opens that use the stream: the driver keeps
// GPD0: open without reading it in its TMC-only mode.
TEST_F(HostGps, TheSourceRunsOnlyWhileAnOpenReadsOrWaits) {
    ASSERT_EQ(cectl({"gps", "synthetic"}).status, 0);
    HANDLE idle = CreateFileW(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(idle, INVALID_HANDLE_VALUE);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // six platform seconds: six fixes if it ran
    EXPECT_EQ(host_log().find("GPD0: synthetic track"), std::string::npos) << host_log();
    // A reader starts it, and every open gets the stream from then on.
    auto lines = read_lines([](const std::vector<std::string>& l) { return l.size() >= 5; });
    EXPECT_GE(lines.size(), 5u);
    EXPECT_NE(host_log().find("GPD0: synthetic track"), std::string::npos);
    char buf[4096];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(idle, buf, sizeof buf, &got, nullptr));
    EXPECT_GT(got, 0u);
    CloseHandle(idle);
}

TEST_F(HostGps, ClosingTheHandleEndsAPendingWaitCommEvent) {
    ASSERT_EQ(cectl({"gps", "device", "/nonexistent/gps"}).status, 0);  // nothing ever arrives
    HANDLE port = CreateFileW(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, 0x81));
    // The serial requests a driver forwards are accepted.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_9600;
    EXPECT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts{};
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    char c;
    DWORD got = 1;
    EXPECT_TRUE(ReadFile(port, &c, 1, &got, nullptr));  // returns at once with nothing
    EXPECT_EQ(got, 0u);

    std::atomic<int> result{-1};
    std::thread waiter([&] {
        DWORD events = 0;
        result = WaitCommEvent(port, &events, nullptr) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the wait
    EXPECT_EQ(result.load(), -1);
    CloseHandle(port);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
}

// A host serial device or pty as the source: what the receiver sends
// reaches the port's readers, what a client writes reaches the receiver.
TEST_F(HostGps, ADeviceSourceIsRelayedBothWays) {
    int receiver = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(receiver, 0);
    ASSERT_EQ(grantpt(receiver), 0);
    ASSERT_EQ(unlockpt(receiver), 0);
    std::string slave = ptsname(receiver);
    termios tio{};
    tcgetattr(receiver, &tio);
    cfmakeraw(&tio);
    tcsetattr(receiver, TCSANOW, &tio);
    ASSERT_EQ(cectl({"gps", "device", slave}).status, 0);

    HANDLE port = CreateFileW(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::string sentence = "$GPGLL,5205.4420,N,00507.5647,E,043406.00,A,A*6D\r\n";
    std::string got;
    // The host opens the receiver when the port is first opened; until then
    // the receiver talks to nobody, so it repeats itself.
    EXPECT_TRUE(eventually([&] {
        ssize_t w = write(receiver, sentence.data(), sentence.size());
        (void)w;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        char buf[1000];
        DWORD n = 0;
        if (ReadFile(port, buf, sizeof buf, &n, nullptr)) got.append(buf, n);
        return got.find(sentence) != std::string::npos;
    }));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port, "$PSRF100,1,4800,8,1,0*0E\r\n", 26, &done, nullptr));
    std::string heard;
    EXPECT_TRUE(eventually([&] {
        pollfd p{receiver, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char buf[256];
            ssize_t n = read(receiver, buf, sizeof buf);
            if (n > 0) heard.append(buf, static_cast<size_t>(n));
        }
        return heard.find("$PSRF100,1,4800,8,1,0*0E\r\n") != std::string::npos;
    }));
    CloseHandle(port);
    close(receiver);
}

// The driver opens GPD0: inside the host, where the calls go straight to the
// device; closing its handle ends the GPS reader's wait there too.
TEST_F(HostGps, InsideTheHostAClosedHandleEndsAWaitCommEvent) {
    ASSERT_EQ(cectl({"gps", "device", "/nonexistent/gps"}).status, 0);
    tst_key(u"Drivers\\Tst1", 1);
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    HANDLE port = CreateFileW(u"TST1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD result[2] = {9, 9}, returned = 0;
    ASSERT_TRUE(DeviceIoControl(port, 0x80002004, nullptr, 0, result, sizeof result, &returned, nullptr));
    EXPECT_EQ(returned, sizeof result);
    EXPECT_EQ(result[0], 1u);  // opened
    EXPECT_EQ(result[1], 0u);  // the wait failed when the handle closed
    CloseHandle(port);
    EXPECT_TRUE(DeactivateDevice(dev));
}

// gpsd, reading the published pty, reports a fix from the synthetic track.
TEST_F(HostGps, GpsdReportsAFixFromThePublishedPort) {
    if (access("/usr/sbin/gpsd", X_OK) != 0) GTEST_SKIP() << "gpsd is not installed";
    ASSERT_EQ(cectl({"gps", "synthetic"}).status, 0);
    std::string seen;
    bool fix = gpsd_reports(
        ce::root() + "/dev/GPD0",
        [](const std::string& line) {
            return line.find("\"class\":\"TPV\"") != std::string::npos &&
                   (line.find("\"mode\":2") != std::string::npos || line.find("\"mode\":3") != std::string::npos) &&
                   line.find("\"lat\":52.0") != std::string::npos;
        },
        &seen);
    EXPECT_TRUE(fix) << seen;
}

}  // namespace

namespace {

// A replay log that is not a regular file is refused: by cectl with what it
// is, and by the host (when the registry names it directly) without ever
// waiting on it, so the host still stops.
TEST(HostGpsLog, AFifoAFolderOrADeviceIsNoReplayLog) {
    Host host;
    host.start();
    std::string fifo = ce::root() + "/gps.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, ce::root(), std::string("/dev/zero")})
        EXPECT_EQ(cectl({"gps", "replay", path}).status, 1) << path;
    set_sz(u"Platform\\Gps", u"Source", u"replay");
    set_sz(u"Platform\\Gps", u"Path", ce::widen(fifo));
    ce::notify_gps_changed();
    HANDLE port = CreateFileW(u"GPD0:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    char buf[64];
    DWORD got = 0;
    ReadFile(port, buf, sizeof buf, &got, nullptr);  // the source starts for a reader
    EXPECT_TRUE(eventually([&] {
        return host_log().find("GPD0: cannot replay " + fifo + ": is a FIFO") != std::string::npos;
    })) << host_log();
    CloseHandle(port);
    EXPECT_EQ(cectl({"stop"}).status, 0);
}

}  // namespace
