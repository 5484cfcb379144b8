// The synthetic broadcaster: valid RDS for a PI, as a station would send it.
// 0A programme service name, 2A radiotext, 4A clock time once a minute, and
// for a TMC station 3A groups announcing the TMC application (AID CD46) with
// its system information and 8A groups with single- and multi-group TMC
// messages. TMC groups go out twice in a row, as TMC services send them.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rds_group.h"

namespace fmsim {

struct TmcMessage {
    uint16_t event = 0;      // 11-bit event code
    uint16_t location = 0;   // location code in the service's table
    uint8_t extent = 0;      // 0..7
    bool negative = false;   // direction of the queue growth
    bool diversion = false;  // single-group only
    uint8_t duration = 0;    // single-group: duration and persistence, 0..7
    // Multi-group: optional fields as (label, value); empty means single-group.
    std::vector<std::pair<uint8_t, uint16_t>> fields;
    bool multi_group() const { return !fields.empty(); }
};

struct SyntheticConfig {
    uint16_t pi = 0;
    bool tmc = false;
    unsigned error_percent = 0;  // chance of a block going bad, 0..100
    uint32_t seed = 1;
    // Clock-time groups: 0 sends the host's clock and time zone. Otherwise
    // they start at this UTC time (seconds since 1970) and advance a minute
    // each time they go out, with no local offset, so that the same
    // configuration sends the same stream on every run.
    int64_t fixed_clock = 0;
};

constexpr uint16_t kTmcAid = 0xCD46;

class SyntheticBroadcaster {
public:
    explicit SyntheticBroadcaster(const SyntheticConfig& config);

    // The next group on the air (with the configured error rate applied).
    RdsGroup next();

    uint16_t pi() const { return config_.pi; }
    const std::string& ps() const { return ps_; }
    const std::string& radiotext() const { return rt_; }
    const std::vector<TmcMessage>& tmc_messages() const { return messages_; }
    uint8_t location_table() const { return kLtn; }
    uint8_t service_id() const { return kSid; }

    // Encoders, also used by tests to build expected groups.
    static std::vector<RdsGroup> encode_tmc(uint16_t pi, const TmcMessage& msg, uint8_t continuity);
    // Field widths of the multi-group optional content, by label.
    static int tmc_label_bits(uint8_t label);

private:
    RdsGroup clean_next();
    uint16_t block_b(uint8_t type, uint8_t low5) const;
    RdsGroup ps_group();
    RdsGroup rt_group();
    RdsGroup ct_group();
    RdsGroup tmc_system_group();
    RdsGroup tmc_group();

    static constexpr uint8_t kLtn = 1;
    static constexpr uint8_t kSid = 40;
    static constexpr uint8_t kPty = 1;  // news

    SyntheticConfig config_;
    std::string ps_;
    std::string rt_;
    std::vector<TmcMessage> messages_;
    std::vector<RdsGroup> tmc_cycle_;  // every TMC group of one pass, each twice
    size_t slot_ = 0;
    size_t ps_seg_ = 0, rt_seg_ = 0, sys_seg_ = 0, tmc_pos_ = 0;
    uint64_t count_ = 0;
    std::mt19937 rng_;
};

}  // namespace fmsim
