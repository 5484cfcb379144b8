// Builds the tuner's raw RDS byte stream for the Wavelo tests: 12 bytes a
// group, each block two information bytes (high first) and a status byte.
#pragma once

#include <cstdint>
#include <vector>

namespace fmtest {

struct RawGroup {
    uint16_t a, b, c, d;
    uint8_t sa = 0x20, sb = 0x21, sc = 0x22, sd = 0x24;
};

inline void AppendGroup(std::vector<uint8_t>& out, const RawGroup& g) {
    const uint16_t words[4] = {g.a, g.b, g.c, g.d};
    const uint8_t status[4] = {g.sa, g.sb, g.sc, g.sd};
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(words[i] >> 8));
        out.push_back(static_cast<uint8_t>(words[i] & 0xFF));
        out.push_back(status[i]);
    }
}

// count clean groups of one station: PI, then varying B, C, D words.
inline std::vector<uint8_t> CleanStream(uint16_t pi, int count, int first = 0) {
    std::vector<uint8_t> out;
    for (int i = first; i < first + count; ++i)
        AppendGroup(out, RawGroup{pi, static_cast<uint16_t>(0x0400 + (i & 0xFF)), static_cast<uint16_t>(i * 7),
                                  static_cast<uint16_t>(0x2020 + i)});
    return out;
}

}  // namespace fmtest
