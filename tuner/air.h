// The air: the stations the simulated tuner can receive, kept in the registry
// under HKLM\Platform\Air, one key per frequency in kHz ("89300") with
//   Rssi    REG_DWORD  signal strength 0..63
//   Source  REG_SZ     "synthetic PI [tmc] [errors PERCENT]", "capture /host/path"
//                      or "mpx /host/path [rate HZ]" (a multiplex recording)
// and, optionally, a whole band that replaces the stations while it is set:
//   Band    REG_SZ     "iq /host/path center HZ rate HZ format cu8|cs16|cf32"
//                      or "rtl device N ppm P gain DB|auto"
// The tuner reads it at every tune and seek, so an edit takes effect at the
// next one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "radio/radio.h"
#include "rds_group.h"

namespace fmsim {

constexpr const char16_t* kAirKey = u"Platform\\Air";
constexpr uint32_t kMaxRssi = 63;
constexpr uint32_t kAirLowest = FMS_JAPAN_LOW;
constexpr uint32_t kAirHighest = FMS_EUROPE_HIGH;

struct StationSource {
    enum Kind { None, Synthetic, Capture, Mpx } kind = None;
    uint16_t pi = 0;
    bool tmc = false;
    unsigned error_percent = 0;
    std::string path;   // capture, mpx: absolute host path
    uint32_t rate = 0;  // mpx: the sample rate of a raw file (0: the file says)
};

// Parses a Source value. False, with a reason, when it is malformed.
bool parse_source(std::string_view text, StationSource& wanted, std::string* error = nullptr);
std::string format_source(const StationSource& wanted);

struct Station {
    uint32_t frequency = 0;  // kHz
    uint32_t rssi = 0;
    std::string source;  // as stored
};

// Every station on the air, by ascending frequency. Keys whose name is not a
// frequency, or without Rssi, are ignored; an Rssi above 63 counts as 63.
std::vector<Station> read_air();
std::optional<Station> read_station(uint32_t frequency);

// Editing (cectl). Results are Win32 error codes.
long write_station(const Station& station);
long remove_station(uint32_t frequency);
long clear_air();  // the stations and the band

// A whole band as the air: an IQ recording, or a live RTL-SDR dongle.
struct BandPlan {
    enum Kind { None, Iq, Rtl } kind = None;
    // iq
    std::string path;     // absolute host path
    uint64_t center = 0;  // Hz
    uint32_t rate = 0;    // samples per second
    radio::IqFormat format = radio::IqFormat::Cu8;
    // rtl
    uint32_t device = 0;
    int32_t ppm = 0;
    std::optional<double> gain;  // dB; none: the tuner's automatic gain
};
bool parse_band(std::string_view text, BandPlan& band, std::string* error = nullptr);
std::string format_band(const BandPlan& band);
// The Band value as stored; empty when none is set.
std::string read_band_value();
long write_band(const BandPlan& band);
long clear_band();  // the stations are heard again

// A source of groups for the tuned station: looped forever.
class RdsSource {
public:
    virtual ~RdsSource() = default;
    // False when the station sends no RDS at all (an empty recording). A
    // source of real signal may wait here until it has decoded a group.
    virtual bool next(RdsGroup& group) = 0;

    // What the chip asks at each group time. Recordings and synthetic
    // stations always have a group ready; a source decoding real signal may
    // have none yet, and the chip then leaves that slot empty.
    enum class Take { Group, NotYet, None };
    virtual Take take(RdsGroup& group) { return next(group) ? Take::Group : Take::None; }
    // Measured on the signal, when the source has one: the strength 0..63 and
    // whether a stereo pilot is there. The chip uses the stored strength and
    // its own stereo rule otherwise.
    virtual std::optional<uint32_t> rssi() const { return std::nullopt; }
    virtual std::optional<bool> stereo() const { return std::nullopt; }
};

// Makes the source a Source value names; null when it names nothing usable
// (a recording that cannot be read carries no RDS, the station still plays).
std::unique_ptr<RdsSource> make_source(const StationSource& wanted, uint32_t seed);

}  // namespace fmsim
