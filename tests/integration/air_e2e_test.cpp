// A multiplex on the air, end to end: a piece of a real recording made into a
// multiplex by `cectl air mpx-make`, put on the air as an mpx station, and
// read from COM9 through cehost and the driver: the same sentences, in the
// same order, as the piece played as hex groups.
#include <fstream>
#include <sstream>

#include "host_support.h"

using namespace hosttest;

namespace {

class AirE2E : public ::testing::Test {
protected:
    AirE2E() {
        // Four times the real rate: the multiplex is demodulated as it
        // plays, and the test stays short.
        setenv("CE_TIME_SCALE", "0.25", 1);
    }
    ~AirE2E() override { setenv("CE_TIME_SCALE", "0.05", 1); }

    // The first n $RTTMC sentences a client reads after the driver loads.
    std::vector<std::string> Sentences(size_t n) {
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
            for (size_t eol; (eol = text.find("\r\n")) != std::string::npos; text.erase(0, eol + 2))
                if (text.rfind("$RTTMC,", 0) == 0 && out.size() < n) out.push_back(text.substr(0, eol));
        }
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        EXPECT_EQ(cectl({"deactivate", handle}).status, 0);
        return out;
    }

    Host host_;
    bool started_ = false;
};

TEST_F(AirE2E, MpxStationSendsTheSentencesOfItsHexGroups) {
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
    RunResult made = cectl({"air", "mpx-make", piece, wav});
    ASSERT_EQ(made.status, 0) << made.out;

    // The driver starts on 90.0 MHz in a fresh root.
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "capture", piece}).status, 0);
    std::vector<std::string> hex = Sentences(100);
    ASSERT_EQ(cectl({"air", "set", "90000", "60", "mpx", wav}).status, 0);
    std::vector<std::string> mpx = Sentences(100);

    ASSERT_EQ(hex.size(), 100u);
    ASSERT_EQ(mpx.size(), hex.size());
    for (size_t i = 0; i < hex.size(); i++) EXPECT_EQ(mpx[i], hex[i]) << "sentence " << i;
}

}  // namespace
