// A multiplex on the air, end to end: a piece of a real recording made into a
// multiplex by `cectl air mpx-make`, put on the air as an mpx station, and
// read from COM9 through cehost and the driver: in both dialects the same
// sentences or group frames, in the same order, as the piece played as hex
// groups. And a recording the air names swapped for a FIFO, even between the
// tuner's look at it and its open, never wedges the port.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "host_support.h"

using namespace hosttest;

namespace {

// Royaltek ($RTTMC lines) or GNS (10-byte group frames), as Protocol has it.
// The parameter: the dialect and the multiplex's sample rate.
class AirE2E : public ::testing::TestWithParam<std::tuple<DWORD, int>> {
protected:
    AirE2E() {
        // Four times the real rate: the multiplex is demodulated as it
        // plays, and the test stays short.
        setenv("CE_TIME_SCALE", "0.25", 1);
    }
    ~AirE2E() override { setenv("CE_TIME_SCALE", "0.05", 1); }

    // The first n group items a client reads after the driver loads: $RTTMC
    // sentences, or group frames in hex (the frequency and signal frames,
    // which start 3F 00 00, and the GPS filler lines are left out).
    std::vector<std::string> Groups(size_t n) {
        if (!started_) {
            host_.start();
            started_ = true;
        }
        RunResult r = cectl({"activate", "Drivers\\Tervalon"});
        EXPECT_EQ(r.status, 0) << host_log();
        std::string handle = r.out.substr(0, r.out.find('\n'));
        HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        std::vector<std::string> out;
        std::string text;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        char buffer[4096];
        while (port != INVALID_HANDLE_VALUE && out.size() < n && std::chrono::steady_clock::now() < end) {
            DWORD got = 0;
            if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) break;
            text.append(buffer, got);
            if (std::get<0>(GetParam()) == 0) {
                for (size_t eol; (eol = text.find("\r\n")) != std::string::npos; text.erase(0, eol + 2))
                    if (text.rfind("$RTTMC,", 0) == 0 && out.size() < n) out.push_back(text.substr(0, eol));
            } else {
                TakeFrames(text, out, n);
            }
        }
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        EXPECT_EQ(cectl({"deactivate", handle}).status, 0);
        return out;
    }

    static void TakeFrames(std::string& bytes, std::vector<std::string>& out, size_t n) {
        size_t at = 0;
        while (at < bytes.size()) {
            if (bytes[at] == '$') {  // a GPS filler line
                size_t eol = bytes.find("\r\n", at);
                if (eol == std::string::npos) break;
                at = eol + 2;
                continue;
            }
            if (bytes.size() - at < 10) break;
            EXPECT_EQ(bytes[at], '\x3F');
            EXPECT_EQ(bytes[at + 9], '\x3F');
            if ((bytes[at + 1] || bytes[at + 2]) && out.size() < n) {
                char hex[21];
                for (int i = 0; i < 10; i++)
                    std::snprintf(hex + 2 * i, 3, "%02X", static_cast<unsigned char>(bytes[at + i]));
                out.push_back(hex);
            }
            at += 10;
        }
        bytes.erase(0, at);
    }

    Host host_;
    bool started_ = false;
};

TEST_P(AirE2E, MpxStationSendsWhatItsHexGroupsSend) {
    CE_REQUIRE_CAPTURE(spy, "dk-9602-tmc.spy");
    // A piece: 80 groups, about 7 s of air.
    std::string piece = host_.root() + "/piece.spy", wav = host_.root() + "/piece.wav";
    {
        std::ifstream in(spy);
        std::ofstream out(piece);
        int groups = 0;
        for (std::string line; groups < 80 && std::getline(in, line);) {
            if (line.empty() || line[0] == '<') continue;
            out << line << "\n";
            groups++;
        }
    }
    ASSERT_EQ(cectl({"init"}).status, 0);
    ASSERT_EQ(cectl({"air", "clear"}).status, 0);
    std::string protocol = std::to_string(std::get<0>(GetParam()));
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Protocol", "dword", protocol}).status, 0);
    // At 171 kHz one chunk of samples can hold the ends of two groups.
    RunResult made = cectl({"air", "mpx-make", piece, wav, "--rate", std::to_string(std::get<1>(GetParam()))});
    ASSERT_EQ(made.status, 0) << made.out;

    // The driver starts on 90.0 MHz in a fresh root.
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "capture", piece}).status, 0);
    std::vector<std::string> hex = Groups(100);
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "mpx", wav}).status, 0);
    std::vector<std::string> mpx = Groups(100);

    ASSERT_EQ(hex.size(), 100u);
    ASSERT_EQ(mpx.size(), hex.size());
    for (size_t i = 0; i < hex.size(); i++) EXPECT_EQ(mpx[i], hex[i]) << "group " << i;
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<DWORD, int>>& info) {
    return std::string(std::get<0>(info.param) == 0 ? "Royaltek" : "Gns") + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Dialects, AirE2E,
                         ::testing::Combine(::testing::Values(0u, 1u), ::testing::Values(171000, 192000, 228000)),
                         CaseName);

// A multiplex from another modulator, with a stereo programme, as an mpx
// station: the port gives its groups in the order sent, pass after pass of
// the loop, from wherever the client joins. (A pass is the 284 groups listed
// and the encoder's next one, also whole in the file.)
class AirForeignMultiplex : public AirE2E {
protected:
    AirForeignMultiplex() { setenv("CE_TIME_SCALE", "0.1", 1); }
};

TEST_P(AirForeignMultiplex, ThePortGivesEveryGroupInTheOrderSent) {
    CE_REQUIRE_CAPTURE(flac, "grrds-stereo-171k.flac");
    CE_REQUIRE_CAPTURE(spy, "grrds-stereo-171k.spy");
    std::vector<std::string> pass;
    {
        std::ifstream in(spy);
        for (std::string a, b, c, d; in >> a >> b >> c >> d;) pass.push_back("3F" + a + b + c + d + "3F");
    }
    ASSERT_EQ(pass.size(), 284u);
    pass.push_back(pass[pass.size() - 26]);
    ASSERT_EQ(cectl({"init"}).status, 0);
    ASSERT_EQ(cectl({"air", "clear"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Protocol", "dword", "1"}).status, 0);
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "mpx", flac.string()}).status, 0);
    std::vector<std::string> got = Groups(pass.size() + 40);
    ASSERT_EQ(got.size(), pass.size() + 40) << host_log();
    size_t start = std::find(pass.begin(), pass.end(), got[0]) - pass.begin();
    ASSERT_LT(start, pass.size()) << got[0];
    // The first group's every place in the pass, until one is followed by the rest.
    for (; start < pass.size(); start++) {
        bool all = true;
        for (size_t i = 0; i < got.size() && all; i++) all = got[i] == pass[(start + i) % pass.size()];
        if (all) break;
    }
    EXPECT_LT(start, pass.size()) << "no place in the pass gives the groups read, across the loop's end";
}

INSTANTIATE_TEST_SUITE_P(Gns, AirForeignMultiplex, ::testing::Values(std::tuple<DWORD, int>{1u, 171000}), CaseName);

// A station's multiplex, or a band's IQ recording, on 90.0 MHz.
class AirSwappedFile : public ::testing::TestWithParam<std::string> {
protected:
    // A tune through the port, which must answer within the limit.
    int Tune(const char* mhz) {
        return cectl({"port", "COM9", "--write", std::string("$PSRF122,") + mhz + "*\\r\\n", "--read-ms", "50"}, 60)
            .status;
    }
    Host host_;
};

TEST_P(AirSwappedFile, AFifoInPlaceOfTheRecordingLeavesThePortAnswering) {
    host_.start();
    ASSERT_EQ(cectl({"init"}).status, 0);
    ASSERT_EQ(cectl({"air", "clear"}).status, 0);
    std::string recording = host_.root() + "/station", fifo = host_.root() + "/fifo";
    if (GetParam() == "mpx") {
        recording += ".wav";
        std::ofstream(host_.root() + "/station.spy") << "9602 4401 C9DE FDC4\n9602 040A 645A 204B\n";
        ASSERT_EQ(cectl({"air", "mpx-make", host_.root() + "/station.spy", recording}).status, 0);
        ASSERT_EQ(cectl({"air", "set", "90000", "60", "mpx", recording}).status, 0);
        ASSERT_EQ(cectl({"air", "set", "90100", "60", "synthetic", "1234"}).status, 0);
    } else {
        // Noise, so that 90.0 MHz has a signal to tune to.
        recording += ".cu8";
        std::string noise(256000, '\0');
        std::mt19937 random(1);
        for (char& c : noise) c = static_cast<char>(random());
        std::ofstream(recording, std::ios::binary) << noise;
        ASSERT_EQ(cectl({"air", "iq", recording, "--center", "90000000", "--rate", "256000"}).status, 0);
    }
    ASSERT_EQ(cectl({"activate", "Drivers\\Tervalon"}).status, 0) << host_log();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // Swapped after it was set: the tune finds a FIFO.
    if (renameat2(AT_FDCWD, recording.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE) != 0)
        GTEST_SKIP() << "the file system cannot exchange two names";
    EXPECT_EQ(Tune("90.0"), 0);
    EXPECT_TRUE(eventually([] { return host_log().find("is a FIFO") != std::string::npos; })) << host_log();

    // Swapped back and forth all the time: some tunes look at the recording
    // and open the FIFO, unless the look is made on what was opened.
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop.load()) renameat2(AT_FDCWD, recording.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
    });
    for (int i = 0; i < 40; i++) {
        int status = Tune(i % 2 ? "90.1" : "90.0");
        EXPECT_EQ(status, 0) << "tune " << i;
        if (status != 0) break;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(Tune("90.1"), 0) << host_log();
}

INSTANTIATE_TEST_SUITE_P(Recordings, AirSwappedFile, ::testing::Values("mpx", "iq"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
