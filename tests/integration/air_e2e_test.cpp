// A multiplex on the air, end to end: a piece of a real recording made into a
// multiplex by `cectl air mpx-make`, put on the air as an mpx station, and
// read from COM9 through cehost and the driver: in both dialects the same
// sentences or group frames, in the same order, as the piece played as hex
// groups.
#include <cstdio>
#include <fstream>
#include <sstream>

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

}  // namespace
