// One RDS group as the tuner handles it, and its 12-byte raw form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fms_api.h"

namespace fmsim {

struct RdsGroup {
    uint16_t block[4] = {0, 0, 0, 0};  // information words A, B, C, D
    uint8_t bad = 0;                   // bit n set: block n was not received correctly

    bool operator==(const RdsGroup& other) const {
        return block[0] == other.block[0] && block[1] == other.block[1] && block[2] == other.block[2] &&
               block[3] == other.block[3] && bad == other.bad;
    }
};

constexpr uint8_t kBlockStatus[4] = {FMS_RDS_STATUS_A, FMS_RDS_STATUS_B, FMS_RDS_STATUS_C, FMS_RDS_STATUS_D};

// Writes the group's 12 raw bytes: per block the word high byte first, then
// the block's status byte, with the error bit on a bad block.
inline void pack_group(const RdsGroup& group, uint8_t* out) {
    for (int b = 0; b < 4; b++) {
        out[b * 3] = static_cast<uint8_t>(group.block[b] >> 8);
        out[b * 3 + 1] = static_cast<uint8_t>(group.block[b] & 0xFF);
        out[b * 3 + 2] = static_cast<uint8_t>(kBlockStatus[b] | ((group.bad >> b) & 1 ? FMS_RDS_BLOCK_ERROR : 0));
    }
}

inline void append_packed(const RdsGroup& group, std::vector<uint8_t>& out) {
    size_t at = out.size();
    out.resize(at + FMS_RDS_GROUP_BYTES);
    pack_group(group, out.data() + at);
}

// Reads 12 raw bytes back. False when a status byte is not the one of its
// block (with or without the error bit).
inline bool unpack_group(const uint8_t* in, RdsGroup& group) {
    RdsGroup g;
    for (int b = 0; b < 4; b++) {
        uint8_t status = in[b * 3 + 2];
        if ((status & ~FMS_RDS_BLOCK_ERROR) != kBlockStatus[b]) return false;
        g.block[b] = static_cast<uint16_t>((in[b * 3] << 8) | in[b * 3 + 1]);
        if (status & FMS_RDS_BLOCK_ERROR) g.bad |= static_cast<uint8_t>(1u << b);
    }
    group = g;
    return true;
}

}  // namespace fmsim
