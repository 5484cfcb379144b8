// The replay of an NMEA log on GPD0: arbitrary bytes as a log. Every line
// kept is a line of the input, times are within a day, pauses are bounded.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    auto lines = cehost::nmea_log_lines(in);
    long last = -1;
    for (const auto& line : lines) {
        if (line.empty() || line[0] == '#' || text.find(line) == std::string::npos) std::abort();
        long t = cehost::nmea_sentence_time_ms(line);
        if (t < -1 || t >= 24L * 3600 * 1000 + 1000) std::abort();
        if (t >= 0) {
            if (last >= 0) {
                long pause = cehost::nmea_pause_ms(last, t);
                if (pause < 0 || pause > 10000) std::abort();
            }
            last = t;
        }
    }
    return 0;
}
