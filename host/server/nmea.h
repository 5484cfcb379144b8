// Reading an NMEA log for replay on GPD0: its sentences and their times.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace cehost {

// The log's sentences without line ends; lines starting with '#' and empty
// lines are left out.
std::vector<std::string> nmea_log_lines(std::istream& in);

// The largest GPS log a replay reads (as large as a recording may be).
constexpr size_t kMaxReplayBytes = 64u << 20;

// Milliseconds of the day a sentence carries (GGA, RMC, GNS, GST and ZDA in
// their first field, GLL in its fifth); -1 when it carries none.
long nmea_sentence_time_ms(const std::string& sentence);

// The pause before a sentence stamped `now` that follows one stamped `last`
// (both from nmea_sentence_time_ms, not -1): their difference, across
// midnight too; one fix interval (1000 ms) for a step back or a gap over 10 s.
long nmea_pause_ms(long last, long now);

}  // namespace cehost
