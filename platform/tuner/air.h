// The air: the stations the simulated tuner can receive, kept in the registry
// under HKLM\Platform\Air, one key per frequency in kHz ("89300") with
//   Rssi    REG_DWORD  signal strength 0..63
//   Source  REG_SZ     "synthetic PI [tmc] [errors PERCENT]" or "capture /host/path"
// The tuner reads it at every tune and seek, so an edit takes effect at the
// next one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rds_group.h"

namespace fmsim {

constexpr const char16_t* kAirKey = u"Platform\\Air";
constexpr uint32_t kMaxRssi = 63;
constexpr uint32_t kAirLowest = FMS_BAND_EDGES[FMS_BAND_WORLD].low;
constexpr uint32_t kAirHighest = FMS_BAND_EDGES[FMS_BAND_WORLD].high;

struct SourceSpec {
    enum Kind { None, Synthetic, Capture } kind = None;
    uint16_t pi = 0;
    bool tmc = false;
    unsigned error_percent = 0;
    std::string path;  // capture: absolute host path
};

// Parses a Source value. False, with a reason, when it is malformed.
bool parse_source(std::string_view text, SourceSpec& wanted, std::string* error = nullptr);
std::string format_source(const SourceSpec& wanted);

struct Station {
    uint32_t frequency = 0;  // kHz
    uint32_t rssi = 0;
    std::string source;      // as stored
};

// Every station on the air, by ascending frequency. Keys whose name is not a
// frequency, or without Rssi, are ignored; an Rssi above 63 counts as 63.
std::vector<Station> read_air();
std::optional<Station> read_station(uint32_t frequency);

// Editing (cectl). Results are Win32 error codes.
long write_station(const Station& station);
long remove_station(uint32_t frequency);
long clear_air();

// A source of groups for the tuned station: looped forever.
class RdsSource {
public:
    virtual ~RdsSource() = default;
    // False when the station sends no RDS at all (an empty recording).
    virtual bool next(RdsGroup& group) = 0;
};

// Makes the source a Source value names; null when it names nothing usable
// (a recording that cannot be read carries no RDS, the station still plays).
std::unique_ptr<RdsSource> make_source(const SourceSpec& wanted, uint32_t seed);

}  // namespace fmsim
