// The Tervalon driver end to end: cehost loads it from the root's \Windows,
// the simulated tuner plays real recordings, GPD0: replays a real GPS log, and
// a client reads and writes COM9: from this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "host_support.h"

using namespace hosttest;

namespace {

struct Group {
    std::string a, b, c, d;
    // A block the recording marks as not received ("----") matches whatever
    // the tuner made of it.
    static bool same(const std::string& x, const std::string& y) { return x == y || x == "----" || y == "----"; }
    bool operator==(const Group& o) const { return same(a, o.a) && same(b, o.b) && same(c, o.c) && same(d, o.d); }
};

// The groups of an RDS Spy recording, in order ("----" marks a bad block).
std::vector<Group> spy_groups(const std::filesystem::path& path) {
    std::vector<Group> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        Group g;
        if (!(s >> g.a >> g.b >> g.c >> g.d) || g.a.size() != 4 || g.a[0] == '<') continue;
        out.push_back(g);
    }
    return out;
}

bool Bad(const Group& g) { return g.a == "----" || g.b == "----" || g.c == "----" || g.d == "----"; }

// Follows what arrived through the recording (looped) from index start: how
// many intact groups it leaves out on the way, or nothing when a group is not
// in the recording at all.
std::optional<size_t> IntactGroupsLeftOut(const std::vector<Group>& recording, const std::vector<Group>& received,
                                          size_t start) {
    size_t k = start, left_out = 0;
    for (const auto& g : received) {
        for (size_t steps = 0; !(recording[k] == g); k = (k + 1) % recording.size()) {
            if (++steps == recording.size()) return std::nullopt;
            if (!Bad(recording[k])) left_out++;
        }
        k = (k + 1) % recording.size();
    }
    return left_out;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) n++;
    return n;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        out.push_back(text.substr(pos, end - pos));
    return out;
}

class DriverE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cectl({"init"}).status, 0);
        ASSERT_EQ(cectl({"air", "clear"}).status, 0);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
    void Setting(const char16_t* name, DWORD value) { set_dword(u"Drivers\\Tervalon", name, value); }
    DWORD ReadSetting(const char16_t* name) {
        DWORD value = 0, size = 4;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
        RegCloseKey(key);
        return value;
    }
    void Air(const std::string& freq, const std::filesystem::path& file) {
        ASSERT_EQ(cectl({"air", "set", freq, "60", "capture", file.string()}).status, 0);
    }
    void Activate() {
        if (!started_) {
            host_.start();
            started_ = true;
        }
        RunResult r = cectl({"activate", "Drivers\\Tervalon"});
        ASSERT_EQ(r.status, 0) << host_log();
        handle_ = r.out.substr(0, r.out.find('\n'));
    }
    void Deactivate() {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        ASSERT_EQ(cectl({"deactivate", handle_}).status, 0);
    }
    HANDLE OpenPort() {
        return CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    // Whether another client can open the port within the time (it is closed again).
    bool PortFreeWithin(int seconds) {
        return eventually(
            [&] {
                HANDLE port = OpenPort();
                if (port == INVALID_HANDLE_VALUE) return false;
                CloseHandle(port);
                return true;
            },
            seconds);
    }
    void Write(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        EXPECT_EQ(written, bytes.size());
    }
    template <class Done>
    std::string ReadUntil(Done done, int seconds = 60) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        char buffer[4096];
        while (!done(got_) && std::chrono::steady_clock::now() < end) {
            DWORD n = 0;
            if (!ReadFile(port_, buffer, sizeof buffer, &n, nullptr)) break;
            got_.append(buffer, n);
        }
        return got_;
    }

    Host host_;
    bool started_ = false;
    std::string handle_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::string got_;
};

TEST_F(DriverE2E, RecordingArrivesAsRttmcInOrderWithStatus) {
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    auto groups = spy_groups(spy);
    ASSERT_GT(groups.size(), 1000u);
    Air("90000", spy);
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ReadUntil([](const std::string& s) { return std::count(s.begin(), s.end(), '\n') > 400; });
    std::vector<Group> received;
    int status = 0;
    for (const auto& line : split_lines(got_)) {
        EXPECT_TRUE(cetest::nmea_checksum_ok(line)) << line;
        if (line.rfind("$RTRDS,90.0,", 0) == 0) status++;
        if (line.rfind("$RTTMC,", 0) != 0) continue;
        Group g;
        char a[5], b[5], c[5], d[5];
        int type = -1;
        ASSERT_EQ(
            std::sscanf(line.c_str(), "$RTTMC,%d,%4[0-9A-F],%4[0-9A-F],%4[0-9A-F],%4[0-9A-F]*", &type, a, b, c, d), 5)
            << line;
        g = {a, b, c, d};
        EXPECT_EQ(type, std::stoi(g.b.substr(0, 1), nullptr, 16));
        received.push_back(g);
    }
    EXPECT_GE(status, 1);
    ASSERT_GT(received.size(), 300u);
    // In the recording's order (looped): each group is found after the one
    // before it, skipping only groups whose blocks were not received intact.
    size_t start = std::find(groups.begin(), groups.end(), received[0]) - groups.begin();
    auto left_out = IntactGroupsLeftOut(groups, received, start % groups.size());
    ASSERT_TRUE(left_out) << "a group that is not in the recording arrived";
    // Reassembly may lose a few groups next to damaged ones; the driver none.
    EXPECT_LT(*left_out * 20, received.size()) << *left_out << " intact groups missing";
}

TEST_F(DriverE2E, GnsDialectFramesAndAnswers) {
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    Air("90000", spy);
    Setting(u"Protocol", 1);
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    const std::string rdson("\x3F\x00\x00\x56\x05\x11\x2D\x07\x03\x3F", 10);
    // A client restarting RDS with off and on in one write gets the answer every time.
    for (int i = 0; i < 30; i++) {
        got_.clear();
        Write(std::string("\xFF\x53\x78\x78\x53\xFF\x56\x78\x78\x56", 10));
        ReadUntil([&](const std::string& s) { return s.find(rdson) != std::string::npos; });
        ASSERT_NE(got_.find(rdson), std::string::npos) << "restart " << i;
    }
    // Ask for 90.0 MHz (byte 25): the report comes once the radio is there.
    got_.clear();
    Write(std::string("\xFF\x46\x19", 3));
    const std::string report("\x3F\x00\x00\x46\x19\x01\x55\x00\x00\x3F", 10);
    Write(std::string("\xFF\x46\x1A", 3));  // 90.1: tunes away...
    Write(std::string("\xFF\x46\x19", 3));  // ...and back
    ReadUntil([&](const std::string& s) { return s.find(report) != std::string::npos; });
    EXPECT_NE(got_.find(report), std::string::npos);
    // Group frames: 3F, the four blocks, 3F; the PI of the recording.
    got_.clear();
    ReadUntil([](const std::string& s) { return s.size() > 2000; });
    EXPECT_NE(got_.find(std::string("\x3F\x96\x02", 3)), std::string::npos);
    got_.clear();
    Write(std::string("\xFF\x79\x19", 3));
    const std::string scan("\x3F\x00\x00\x79\x00\x6F\x6B\x00\x00\x3F", 10);
    ReadUntil([&](const std::string& s) { return s.find(scan) != std::string::npos; });
    EXPECT_NE(got_.find(scan), std::string::npos);
}

TEST_F(DriverE2E, AnswersOneClientAndTheGpsPortNeeded) {
    Activate();
    // Without the GPS port no open succeeds.
    set_sz(u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer", u"DriverInterface", u"GPD7:");
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    set_sz(u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer", u"DriverInterface", u"GPD0:");
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    HANDLE second = OpenPort();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    Write("$PSRF107*\r\n");
    const std::string answers =
        "$PSRFTXT,VersionR: 2K00320101N10151006080906*42\r\n$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*74\r\n"
        "$PSRF154,107*3D\r\n";
    ReadUntil([&](const std::string& s) { return s.find(answers) != std::string::npos; });
    EXPECT_NE(got_.find(answers), std::string::npos);
}

TEST_F(DriverE2E, UnloadSavesTheFrequencyForTheNextLoad) {
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    Write("$PSRF122,98.7*\r\n");
    ReadUntil([](const std::string& s) { return s.find("$RTRDS,98.7,") != std::string::npos; });
    ASSERT_NE(got_.find("$RTRDS,98.7,"), std::string::npos);
    Deactivate();
    EXPECT_EQ(ReadSetting(u"Frequency"), 98700u);
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    got_.clear();
    ReadUntil([](const std::string& s) { return s.find("$RTRDS,") != std::string::npos; });
    EXPECT_EQ(got_.substr(got_.find("$RTRDS,"), 12), "$RTRDS,98.7,");
}

TEST_F(DriverE2E, AutomaticSearchLeavesAStationWithoutTmc) {
    CE_REQUIRE_CAPTURE(notmc, "nl-8116-no-tmc.spy");
    CE_REQUIRE_CAPTURE(tmc, "dk-9602-tmc.spy");
    Air("87600", notmc);
    Air("95800", tmc);
    Setting(u"Frequency", 87600);
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    Write("$PSRF121,1*38\r\n");
    ReadUntil([](const std::string& s) { return s.find("$RTRDS,95.8,") != std::string::npos; });
    ASSERT_NE(got_.find("$RTRDS,95.8,"), std::string::npos);
    // And it stays there while TMC keeps coming.
    size_t mark = got_.size();
    ReadUntil([&](const std::string& s) { return Count(s.substr(mark), "$RTRDS,") >= 12; });
    std::string later = got_.substr(mark);
    EXPECT_EQ(Count(later, "$RTRDS,"), Count(later, "$RTRDS,95.8,"));
    EXPECT_NE(later.find("$RTTMC,8,9602,"), std::string::npos);
}

TEST_F(DriverE2E, GpsSentencesArriveWholeAmongTheTmc) {
    CE_REQUIRE_CAPTURE(nmea, "gps-sirf4-bu353s4.nmea");
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    Air("90000", spy);
    ASSERT_EQ(cectl({"gps", "replay", nmea.string()}).status, 0);
    Setting(u"Data", 1);
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    std::vector<std::string> log;
    {
        std::ifstream in(nmea);
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
            if (!line.empty() && line[0] == '$') log.push_back(line);
        }
    }
    ASSERT_FALSE(log.empty());
    ReadUntil([&](const std::string& s) { return Count(s, "\n$GP") >= log.size() + 20; }, 120);
    size_t gps = 0, tmc = 0;
    std::vector<std::string> seen;
    bool first = true;
    for (const auto& line : split_lines(got_)) {
        if (line.rfind("$RTTMC,", 0) == 0 || line.rfind("$RTRDS,", 0) == 0) {
            tmc++;
            continue;
        }
        // The stream may start inside a sentence at the open.
        if (first) {
            first = false;
            continue;
        }
        gps++;
        seen.push_back(line);
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << "not a whole line of the log: " << line;
    }
    EXPECT_GT(tmc, 0u);
    ASSERT_GT(gps, log.size());
    // In the log's order, looped: each sentence follows the one before it.
    size_t at = std::find(log.begin(), log.end(), seen[0]) - log.begin();
    size_t out_of_order = 0;
    for (size_t i = 1; i < seen.size(); i++) {
        size_t next = (at + 1) % log.size();
        if (log[next] == seen[i]) {
            at = next;
            continue;
        }
        out_of_order++;
        at = std::find(log.begin(), log.end(), seen[i]) - log.begin();
        if (at == log.size()) at = next;
    }
    EXPECT_EQ(out_of_order, 0u);
}

TEST_F(DriverE2E, UnloadWhileOneThreadReadsAndAnotherWrites) {
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    std::atomic<bool> go{true};
    std::atomic<long> reads{0}, writes{0};
    std::thread reader([&] {
        char buffer[256];
        DWORD n = 0;
        while (go && ReadFile(port_, buffer, sizeof buffer, &n, nullptr)) reads++;
    });
    std::thread writer([&] {
        DWORD n = 0;
        while (go && WriteFile(port_, "$PSRF107*\r\n", 11, &n, nullptr)) writes++;
    });
    ASSERT_TRUE(eventually([&] { return reads > 3 && writes > 3; }));
    // The device goes while both are inside it; their calls then fail.
    ASSERT_EQ(cectl({"deactivate", handle_}).status, 0);
    go = false;
    reader.join();
    writer.join();
    RunResult devices = cectl({"devices"});
    EXPECT_EQ(devices.out.find("COM9:"), std::string::npos);
}

// gpsd reads COM9 (GPS mixed with TMC, Data 1) and reports the log's positions.
TEST_F(DriverE2E, GpsdReadsThePositionsFromCom9) {
    if (access("/usr/sbin/gpsd", X_OK) != 0) GTEST_SKIP() << "gpsd is not installed";
    CE_REQUIRE_CAPTURE(nmea, "gps-sirf4-bu353s4.nmea");
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    Air("90000", spy);
    ASSERT_EQ(cectl({"gps", "replay", nmea.string()}).status, 0);
    Setting(u"Data", 1);
    Activate();
    ASSERT_TRUE(eventually([&] { return access((ce::root() + "/dev/COM9").c_str(), F_OK) == 0; }));

    std::string seen;
    // The log is of a receiver near 37.78 S, 175.31 E.
    bool fix = gpsd_reports(
        ce::root() + "/dev/COM9",
        [](const std::string& line) {
            return line.find("\"class\":\"TPV\"") != std::string::npos &&
                   line.find("\"lat\":-37.78") != std::string::npos && line.find("\"lon\":175.31") != std::string::npos;
        },
        &seen);
    EXPECT_TRUE(fix) << seen;
}

}  // namespace

// A client's WaitCommEvent on COM9: is passed on to GPD0:; with no GPS data
// flowing it waits until its open goes. Each way an open goes ends it, and
// the port is free for the next client (a client killed inside it: below).
TEST_F(DriverE2E, AWaitForGpsDataEndsWithItsOpen) {
    ASSERT_EQ(cectl({"gps", "device", "/nonexistent/gps"}).status, 0);  // nothing ever arrives
    Activate();
    port_ = OpenPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    auto wait_in_thread = [&](std::atomic<int>& result) {
        return std::thread([&] {
            DWORD events = 0;
            result = WaitCommEvent(port_, &events, nullptr) ? 1 : 0;
        });
    };
    // A new mask ends the wait with no event.
    std::atomic<int> remasked{-1};
    std::thread first = wait_in_thread(remasked);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it reach the wait
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_TRUE(eventually([&] { return remasked.load() != -1; }, 20));
    first.join();
    EXPECT_EQ(remasked.load(), 1);
    // Closing the handle ends it as a failure.
    std::atomic<int> closed{-1};
    std::thread second = wait_in_thread(closed);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::atomic<bool> close_returned{false};
    std::thread closer([&] {
        CloseHandle(port_);
        close_returned = true;
    });
    EXPECT_TRUE(eventually([&] { return close_returned.load() && closed.load() != -1; }, 20));
    if (!close_returned) {  // wedged: fail without hanging the suite
        closer.detach();
        second.detach();
        port_ = INVALID_HANDLE_VALUE;
        return;
    }
    closer.join();
    second.join();
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(closed.load(), 0);

    // The device unloaded under a waiting client: the unload ends, the wait fails.
    auto waiting = spawn({bin("host_port_client"), "COM9:", "wait"});
    ASSERT_TRUE(waiting->wait_for("waiting\n")) << waiting->text;
    EXPECT_EQ(cectl({"deactivate", handle_}, 60).status, 0) << host_log();
    EXPECT_TRUE(waiting->wait_for("ended 0", 20)) << waiting->text;
}

// A client killed inside a read or a wait for GPS data gives the port up at
// once, not when the call would have ended: the read's wait lasts seconds
// with the driver's clock slowed twentyfold, and with no GPS data flowing the
// wait never ends by itself.
struct KilledInside {
    const char* mode;  // host_port_client's
    const char* says;  // once inside
    const char* driver_scale;
    int free_within;  // seconds
};

void PrintTo(const KilledInside& k, std::ostream* out) { *out << k.mode; }

class DriverE2EKilledClient : public DriverE2E, public ::testing::WithParamInterface<KilledInside> {};

TEST_P(DriverE2EKilledClient, FreesThePortAtOnce) {
    const KilledInside& k = GetParam();
    ASSERT_EQ(cectl({"gps", "device", "/nonexistent/gps"}).status, 0);  // nothing ever arrives
    setenv("CE_TIME_SCALE", k.driver_scale, 1);
    Activate();
    setenv("CE_TIME_SCALE", "0.05", 1);
    auto client = spawn({bin("host_port_client"), "COM9:", k.mode});
    ASSERT_TRUE(client->wait_for(k.says)) << client->text << host_log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // inside its call by now
    client->kill_now();
    EXPECT_TRUE(PortFreeWithin(k.free_within)) << host_log();
    // A slowed driver would take minutes to unload: end the host instead.
    kill(host_.pid(), SIGKILL);
    EXPECT_TRUE(eventually([&] { return !alive(host_.pid()); }));
}

INSTANTIATE_TEST_SUITE_P(Calls, DriverE2EKilledClient,
                         ::testing::Values(KilledInside{"read", "reading\n", "20", 2},
                                           KilledInside{"wait", "waiting\n", "0.05", 20}),
                         [](const auto& info) { return std::string(info.param.mode); });

// A GNS client as real ones are: it reads <root>/dev/COM9, asks for the
// signal strength once a second, and keeps only the newest group it has not
// yet taken, taking one every 50 ms. At the real rate it loses no group, and
// what it takes is the recording in order (the FM library leaves out only
// groups with a bad block).
TEST_F(DriverE2E, AGnsClientKeepingOneGroupAtATimeLosesNoneAndSeesTheSignal) {
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    auto recording = spy_groups(spy);
    Air("90000", spy);
    Setting(u"Frequency", 90000);
    Setting(u"Protocol", 1);
    setenv("CE_TIME_SCALE", "1", 1);  // the real rate
    Activate();
    setenv("CE_TIME_SCALE", "0.05", 1);
    std::string link = ce::root() + "/dev/COM9";
    ASSERT_TRUE(eventually([&] { return access(link.c_str(), F_OK) == 0; }));
    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    std::mutex mutex;
    std::optional<Group> slot;
    size_t overwritten = 0;
    std::atomic<size_t> taken_count{0};
    int signal = -1;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::string pending;
        auto next_query = std::chrono::steady_clock::now();
        while (!stop) {
            if (std::chrono::steady_clock::now() >= next_query) {
                ASSERT_EQ(::write(fd, "\xFF\x6C\x00\x00\x6C", 5), 5);
                next_query += std::chrono::seconds(1);
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) continue;
            pending.append(buf, static_cast<size_t>(n));
            // Frames are 3F ... 3F, ten bytes; anything else (the GPS filler lines) is skipped.
            size_t at = 0;
            while (pending.size() - at >= 10) {
                auto b = [&](size_t i) { return static_cast<unsigned char>(pending[at + i]); };
                if (b(0) != 0x3F || b(9) != 0x3F) {
                    at++;
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex);
                if (b(1) == 0 && b(2) == 0 && b(3) == 0x6C && b(4) == 0 && b(5) == 0 && b(8) == 0) {
                    signal = b(6);
                } else {
                    char word[4][5];
                    for (int w = 0; w < 4; w++) std::snprintf(word[w], 5, "%02X%02X", b(1 + 2 * w), b(2 + 2 * w));
                    // What waited for the open comes at once; from the first take on, none may be missed.
                    if (slot && taken_count > 0) overwritten++;
                    slot = Group{word[0], word[1], word[2], word[3]};
                }
                at += 10;
            }
            pending.erase(0, at);
        }
    });
    std::vector<Group> taken;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (taken.size() < 80 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(mutex);
        if (slot) taken.push_back(*slot);
        slot.reset();
        taken_count = taken.size();
    }
    stop = true;
    reader.join();
    ::close(fd);

    EXPECT_EQ(overwritten, 0u) << "groups lost by a client that keeps one at a time";
    EXPECT_GT(signal, 0);
    ASSERT_GE(taken.size(), 80u);
    // In the recording's order, looped, from wherever the port came in.
    const std::vector<Group> first(taken.begin(), taken.begin() + 4);
    size_t start = 0;
    auto begins_at = [&](size_t i) {
        // An intact group that is not the first taken would be left out: no need to follow.
        if (!Bad(recording[i]) && !(recording[i] == first[0])) return false;
        return IntactGroupsLeftOut(recording, first, i) == std::optional<size_t>(0);
    };
    while (start < recording.size() && !begins_at(start)) start++;
    ASSERT_LT(start, recording.size()) << "the first groups taken are not in the recording";
    EXPECT_EQ(IntactGroupsLeftOut(recording, taken, start), std::optional<size_t>(0))
        << "good groups of the recording that never arrived";
    // The driver at the real rate would take seconds to unload: end the host instead.
    kill(host_.pid(), SIGKILL);
    EXPECT_TRUE(eventually([&] { return !alive(host_.pid()); }));
}
