// Reading an NMEA log for replay (see nmea.h).
#include "nmea.h"

namespace cehost {

namespace {

// Milliseconds of the day from a time field "hhmmss(.sss)"; -1 if none.
long time_field_ms(const std::string& field) {
    if (field.size() < 6) return -1;
    for (int i = 0; i < 6; i++) {
        if (field[i] < '0' || field[i] > '9') return -1;
    }
    long h = (field[0] - '0') * 10 + (field[1] - '0');
    long m = (field[2] - '0') * 10 + (field[3] - '0');
    long s = (field[4] - '0') * 10 + (field[5] - '0');
    if (h > 23 || m > 59 || s > 60) return -1;
    long ms = 0;
    if (field.size() > 7 && field[6] == '.') {
        long scale = 100;
        for (size_t i = 7; i < field.size() && scale > 0; i++, scale /= 10) {
            if (field[i] < '0' || field[i] > '9') break;
            ms += (field[i] - '0') * scale;
        }
    }
    return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

}  // namespace

std::vector<std::string> nmea_log_lines(std::istream& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(line);
    }
    return lines;
}

long nmea_sentence_time_ms(const std::string& line) {
    if (line.size() < 7 || line[0] != '$') return -1;
    std::string type = line.substr(3, 3);
    size_t index;
    if (type == "GGA" || type == "RMC" || type == "GNS" || type == "GST" || type == "ZDA") index = 1;
    else if (type == "GLL") index = 5;
    else return -1;
    // The field: after `index` commas, up to the next comma or the checksum.
    size_t start = 0;
    for (size_t i = 0; i < index; i++) {
        start = line.find(',', start);
        if (start == std::string::npos) return -1;
        start++;
    }
    size_t end = line.find_first_of(",*", start);
    return time_field_ms(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

long nmea_pause_ms(long last, long now) {
    long delta = now - last;
    if (delta < -12L * 3600 * 1000) delta += 24L * 3600 * 1000;  // past midnight
    if (delta < 0 || delta > 10000) delta = 1000;
    return delta;
}

}  // namespace cehost
