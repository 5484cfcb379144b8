// cectl air: the stations the simulated tuner receives. (The default air is
// the tuner's declaration, platform/tuner/install.reg.)
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "air.h"
#include "cectl.h"
#include "recording.h"

namespace {

int air_list() {
    for (const auto& st : fmsim::read_air())
        std::printf("%u\t%u\t%s\n", st.frequency, st.rssi, st.source.c_str());
    return 0;
}

bool parse_frequency(const std::string& text, uint32_t& freq) {
    return cectl::parse_u32(text, freq) && freq >= fmsim::kAirLowest && freq <= fmsim::kAirHighest;
}

int air_set(const cectl::Args& args) {
    // air set FREQ RSSI synthetic PI [tmc] [errors N] | capture FILE
    if (args.size() < 4) return cectl::fail("air set FREQ RSSI synthetic PI [tmc] | capture FILE");
    uint32_t freq = 0, rssi = 0;
    if (!parse_frequency(args[1], freq)) return cectl::fail("air set: FREQ is kHz between 76000 and 108000");
    if (!cectl::parse_u32(args[2], rssi) || rssi > fmsim::kMaxRssi) return cectl::fail("air set: RSSI is 0..63");
    std::string source;
    if (args[3] == "capture") {
        if (args.size() != 5) return cectl::fail("air set: capture takes one FILE");
        std::error_code ec;
        auto path = std::filesystem::absolute(args[4], ec);
        if (ec || !std::filesystem::exists(path, ec)) return cectl::fail("air set: no such file: " + args[4]);
        // The loader says what a path that is no regular file is.
        std::string why;
        auto rec = fmsim::load_recording(path.string(), &why);
        if (!rec) return cectl::fail("air set: " + why);
        if (rec->groups.empty()) std::fprintf(stderr, "cectl: warning: %s holds no RDS group\n", args[4].c_str());
        source = "capture " + path.lexically_normal().string();
    } else {
        for (size_t i = 3; i < args.size(); i++) source += (i > 3 ? " " : "") + args[i];
    }
    fmsim::SourceSpec wanted;
    std::string why;
    if (!fmsim::parse_source(source, wanted, &why)) return cectl::fail("air set: " + why);
    fmsim::Station st{freq, rssi, fmsim::format_source(wanted)};
    if (long rc = fmsim::write_station(st); rc != 0) return cectl::fail("air set: registry error " + std::to_string(rc));
    return 0;
}

int run_air(const cectl::Args& args) {
    if (args.empty()) return cectl::fail("air list | clear | remove FREQ | set FREQ RSSI SOURCE");
    const std::string& what = args[0];
    if (what == "list" && args.size() == 1) return air_list();
    if (what == "clear" && args.size() == 1) {
        if (long rc = fmsim::clear_air(); rc != 0) return cectl::fail("air clear: registry error " + std::to_string(rc));
        return 0;
    }
    if (what == "remove") {
        uint32_t freq = 0;
        if (args.size() != 2 || !cectl::parse_u32(args[1], freq)) return cectl::fail("air remove FREQ");
        long rc = fmsim::remove_station(freq);
        if (rc == 2) return cectl::fail("air remove: no station on " + args[1]);
        if (rc != 0) return cectl::fail("air remove: registry error " + std::to_string(rc));
        return 0;
    }
    if (what == "set") return air_set(args);
    return cectl::fail("air: unknown use '" + what + "' (list, clear, remove, set)");
}

}  // namespace

CECTL_COMMAND("air", "  air list | air clear | air remove FREQ\n"
                     "  air set FREQ RSSI synthetic PI [tmc] [errors PERCENT] | capture FILE", run_air);
