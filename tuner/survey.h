// A survey of the whole band: every station heard, with its PI, programme
// service name and whether it carries TMC; and the making of band IQ
// recordings from several stations. cectl runs both in its own process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "air.h"
#include "iq_device.h"
#include "rds_group.h"

namespace fmsim {

// What a station's groups tell, from the blocks received without error only.
class StationLog {
public:
    void add(const RdsGroup& group);
    // The PI once two groups agree on it.
    std::optional<uint16_t> pi() const;
    // The programme service name as received, '\0' where a segment has not
    // come; empty when none has.
    std::string ps() const;
    // An 8A group, or a 3A group announcing the TMC application (AID CD46 or CD47).
    bool tmc() const { return tmc_; }
    // Nothing more to learn: the PI, the whole name and TMC.
    bool complete() const { return pi() && ps_have_ == 0xF && tmc_; }

private:
    std::vector<std::pair<uint16_t, uint32_t>> pis_;  // PI, groups that carried it
    char ps_[8] = {};
    uint8_t ps_have_ = 0;  // bit n: segment n received
    bool tmc_ = false;
};

struct SurveyStation {
    uint32_t khz = 0;
    uint32_t rssi = 0;
    std::optional<uint16_t> pi;
    std::string ps;
    bool tmc = false;
};

struct SurveyOptions {
    double seconds = 3.0;                        // signal listened to, for the span or each dongle window
    uint32_t level = 8;                          // the strength a channel needs to be surveyed
    uint32_t from_khz = 87500, to_khz = 108000;  // the dongle's sweep
};

// Surveys the band: an IQ recording's whole span at once, or a dongle
// stepped across from..to. The stations by frequency; false with a reason
// when the band cannot be read.
bool survey_band(const BandPlan& band, const SurveyOptions& options, std::vector<SurveyStation>& found,
                 std::string* error = nullptr);

// One line: kHz, strength, PI (or "----"), PS (or "-"), "tmc" or "-", tab-separated.
std::string format_survey_line(const SurveyStation& station);

// A station of a band being made: SOURCE is a hex-group recording,
// "synthetic:PI[:tmc]" or a multiplex file (WAV, FLAC).
struct BandStation {
    uint32_t khz = 0;
    uint32_t rssi = 0;  // 0..60; the carrier at rssi - 60 dBFS
    std::string source;
};
constexpr uint32_t kMaxMadeRssi = 60;  // a carrier at full scale
// Writes a cu8 recording of the stations around center, a piece at a time;
// OUT is replaced whole or not at all.
bool make_band_iq(const std::string& out, uint32_t rate, uint64_t center, double seconds,
                  const std::vector<BandStation>& stations, std::string* error = nullptr);

}  // namespace fmsim
