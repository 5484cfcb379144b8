// cectl air: the stations and bands the simulated tuner receives. (The
// default air is the tuner's declaration, tuner/install.reg.)
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "air.h"
#include "cectl.h"
#include "iq_device.h"
#include "radio/radio.h"
#include "real_air.h"
#include "recording.h"
#include "survey.h"

namespace {

int air_list() {
    // A band in use comes first: it is what the tuner hears; the stations
    // below it wait until `air stations`.
    std::string band = fmsim::read_band_value();
    if (!band.empty()) std::printf("band\t%s\n", band.c_str());
    for (const auto& st : fmsim::read_air()) std::printf("%u\t%u\t%s\n", st.frequency, st.rssi, st.source.c_str());
    return 0;
}

// "--name value" options after the positional words. False (after the
// error) on an unknown option or one without its value.
bool parse_options(const cectl::Args& args, size_t first, const std::vector<std::string>& known,
                   std::map<std::string, std::string>& out, const std::string& what) {
    for (size_t i = first; i < args.size(); i += 2) {
        const std::string& name = args[i];
        bool ok = false;
        for (const auto& k : known) ok = ok || name == "--" + k;
        if (!ok) {
            cectl::fail(what + ": unknown option '" + name + "'");
            return false;
        }
        if (i + 1 >= args.size()) {
            cectl::fail(what + ": " + name + " needs a value");
            return false;
        }
        out[name.substr(2)] = args[i + 1];
    }
    return true;
}

// An existing host file as an absolute path, or the error said.
bool host_file(const std::string& text, std::filesystem::path& path, const std::string& what) {
    std::error_code ec;
    path = std::filesystem::absolute(text, ec);
    if (ec || !std::filesystem::exists(path, ec)) {
        cectl::fail(what + ": no such file: " + text);
        return false;
    }
    path = path.lexically_normal();
    return true;
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
    } else if (args[3] == "mpx") {
        // air set FREQ RSSI mpx FILE [--rate HZ]
        if (args.size() < 5) return cectl::fail("air set: mpx takes a FILE [--rate HZ]");
        std::map<std::string, std::string> opts;
        if (!parse_options(args, 5, {"rate"}, opts, "air set")) return 1;
        std::filesystem::path path;
        if (!host_file(args[4], path, "air set")) return 1;
        uint32_t rate = 0;
        if (opts.count("rate") && (!cectl::parse_u32(opts["rate"], rate) || rate < 160000 || rate > 100000000))
            return cectl::fail("air set: --rate is samples per second from 160000 up");
        std::optional<double> raw_rate;
        if (rate) raw_rate = rate;
        std::string why;
        if (!fmsim::radio::MpxFile::open(path.string(), raw_rate, &why))
            return cectl::fail("air set: " + args[4] + ": " + why);
        source = "mpx " + path.string() + (rate ? " rate " + std::to_string(rate) : "");
    } else {
        for (size_t i = 3; i < args.size(); i++) source += (i > 3 ? " " : "") + args[i];
    }
    fmsim::StationSource wanted;
    std::string why;
    if (!fmsim::parse_source(source, wanted, &why)) return cectl::fail("air set: " + why);
    fmsim::Station st{freq, rssi, fmsim::format_source(wanted)};
    if (long rc = fmsim::write_station(st); rc != 0)
        return cectl::fail("air set: registry error " + std::to_string(rc));
    return 0;
}

int air_iq(const cectl::Args& args) {
    // air iq FILE --center HZ --rate HZ [--format cu8|cs16|cf32]
    if (args.size() < 2) return cectl::fail("air iq FILE --center HZ --rate HZ [--format cu8|cs16|cf32]");
    std::map<std::string, std::string> opts;
    if (!parse_options(args, 2, {"center", "rate", "format"}, opts, "air iq")) return 1;
    if (!opts.count("center") || !opts.count("rate"))
        return cectl::fail("air iq: --center HZ and --rate HZ are needed");
    fmsim::BandPlan band;
    band.kind = fmsim::BandPlan::Iq;
    uint32_t center = 0, rate = 0;
    if (!cectl::parse_u32(opts["center"], center) || center < 1000000)
        return cectl::fail("air iq: --center is the recording's centre frequency in Hz");
    if (!cectl::parse_u32(opts["rate"], rate) || rate < 200000 || rate > 100000000)
        return cectl::fail("air iq: --rate is samples per second from 200000 up");
    if (opts.count("format") && !fmsim::radio::parse_iq_format(opts["format"], band.format))
        return cectl::fail("air iq: --format is cu8, cs16 or cf32");
    std::filesystem::path path;
    if (!host_file(args[1], path, "air iq")) return 1;
    band.path = path.string();
    band.center = center;
    band.rate = rate;
    std::string why;
    if (!fmsim::radio::IqFile::open(band.path, band.format, &why))
        return cectl::fail("air iq: " + args[1] + ": " + why);
    if (long rc = fmsim::write_band(band); rc != 0) return cectl::fail("air iq: registry error " + std::to_string(rc));
    return 0;
}

int air_rtl(const cectl::Args& args) {
    // air rtl [--device N] [--ppm P] [--gain G|auto]
    std::map<std::string, std::string> opts;
    if (!parse_options(args, 1, {"device", "ppm", "gain"}, opts, "air rtl")) return 1;
    std::string text = "rtl";
    for (const char* name : {"device", "ppm", "gain"})
        if (opts.count(name)) text += std::string(" ") + name + " " + opts[name];
    fmsim::BandPlan band;
    std::string why;
    if (!fmsim::parse_band(text, band, &why)) return cectl::fail("air rtl: " + why);
    if (!fmsim::rtl_present(band.device)) {
        if (band.device == 0) return cectl::fail("air rtl: no RTL-SDR dongle found");
        return cectl::fail("air rtl: no RTL-SDR dongle " + std::to_string(band.device) + " found");
    }
    if (long rc = fmsim::write_band(band); rc != 0) return cectl::fail("air rtl: registry error " + std::to_string(rc));
    return 0;
}

int air_mpx_make(const cectl::Args& args) {
    // air mpx-make IN OUT [--rate HZ] [--audio FILE | --noise] [--preemphasis 50|75]
    if (args.size() < 3)
        return cectl::fail("air mpx-make IN.spy OUT.wav [--rate HZ] [--audio FILE | --noise] [--preemphasis 50|75]");
    // --noise stands alone; the other options take a value.
    fmsim::MpxProgramme programme;
    cectl::Args valued(args.begin(), args.begin() + 3);
    for (size_t i = 3; i < args.size(); i++) {
        if (args[i] == "--noise") programme.noise = true;
        else valued.push_back(args[i]);
    }
    std::map<std::string, std::string> opts;
    if (!parse_options(valued, 3, {"rate", "audio", "preemphasis"}, opts, "air mpx-make")) return 1;
    uint32_t rate = fmsim::kMpxMakeRate;
    if (opts.count("rate") && (!cectl::parse_u32(opts["rate"], rate) || rate < 160000 || rate > 2000000))
        return cectl::fail("air mpx-make: --rate is samples per second, 160000 to 2000000");
    if (opts.count("audio")) {
        if (programme.noise) return cectl::fail("air mpx-make: the programme is --audio FILE or --noise, not both");
        std::filesystem::path audio;
        if (!host_file(opts["audio"], audio, "air mpx-make")) return 1;
        programme.audio = audio.string();
    }
    if (opts.count("preemphasis")) {
        if (opts["preemphasis"] != "50" && opts["preemphasis"] != "75")
            return cectl::fail("air mpx-make: --preemphasis is 50 or 75 (microseconds)");
        if (programme.audio.empty() && !programme.noise)
            return cectl::fail("air mpx-make: --preemphasis needs a programme (--audio FILE or --noise)");
        programme.preemphasis_us = std::stod(opts["preemphasis"]);
    }
    const bool progress = isatty(STDERR_FILENO);
    size_t shown = 0;
    auto report = [&](size_t done, size_t total) {
        // Long recordings take a while: a line that counts up, on a terminal.
        if (!progress || total < 1000 || (done != total && done - shown < 256)) return;
        shown = done;
        std::fprintf(stderr, "\rcectl: air mpx-make: %zu of %zu groups%s", done, total, done == total ? "\n" : "");
    };
    std::string why;
    fmsim::MpxMade made;
    if (!fmsim::make_mpx_file(args[1], args[2], rate, programme, report, made, &why))
        return cectl::fail("air mpx-make: " + why);
    std::string beside;
    if (programme.noise) beside = ", programme noise";
    else if (!programme.audio.empty()) beside = ", programme " + programme.audio;
    std::printf("%s: %zu groups, %.1f s of multiplex at %u Hz%s\n", args[2].c_str(), made.groups, made.seconds, rate,
                beside.c_str());
    return 0;
}

bool parse_seconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && seconds > 0 && seconds <= 3600;
}

int air_survey(const cectl::Args& args) {
    // air survey [--seconds S] [--level N] [--from KHZ] [--to KHZ]
    std::map<std::string, std::string> opts;
    if (!parse_options(args, 1, {"seconds", "level", "from", "to"}, opts, "air survey")) return 1;
    fmsim::SurveyOptions options;
    if (opts.count("seconds") && (!parse_seconds(opts["seconds"], options.seconds) || options.seconds > 60))
        return cectl::fail("air survey: --seconds is more than 0 and at most 60");
    if (opts.count("level") && (!cectl::parse_u32(opts["level"], options.level) || options.level > fmsim::kMaxRssi))
        return cectl::fail("air survey: --level is 0..63");
    if ((opts.count("from") && !parse_frequency(opts["from"], options.from_khz)) ||
        (opts.count("to") && !parse_frequency(opts["to"], options.to_khz)) || options.from_khz > options.to_khz)
        return cectl::fail("air survey: --from and --to are kHz between 76000 and 108000, from below to");
    std::string value = fmsim::read_band_value(), why;
    fmsim::BandPlan band;
    if (value.empty() || !fmsim::parse_band(value, band, &why))
        return cectl::fail("air survey: no band is set (air iq FILE ... or air rtl)");
    std::vector<fmsim::SurveyStation> found;
    if (!fmsim::survey_band(band, options, found, &why)) {
        // cehost holds the dongle while a tuner session runs.
        if (band.kind == fmsim::BandPlan::Rtl) why += "; cectl stop lets it go";
        return cectl::fail("air survey: " + why);
    }
    for (const auto& st : found) std::printf("%s\n", fmsim::format_survey_line(st).c_str());
    return 0;
}

int air_iq_make(const cectl::Args& args) {
    // air iq-make OUT --rate HZ --center HZ [--seconds S] FREQ:RSSI:SOURCE ...
    const char* usage = "air iq-make OUT --rate HZ --center HZ [--seconds S] FREQ:RSSI:SOURCE ...";
    if (args.size() < 2) return cectl::fail(usage);
    std::map<std::string, std::string> opts;
    std::vector<fmsim::BandStation> stations;
    for (size_t i = 2; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) == 0) {
            if (a != "--rate" && a != "--center" && a != "--seconds")
                return cectl::fail("air iq-make: unknown option '" + a + "'");
            if (i + 1 >= args.size()) return cectl::fail("air iq-make: " + a + " needs a value");
            opts[a.substr(2)] = args[++i];
            continue;
        }
        // FREQ:RSSI:SOURCE; the source may hold colons of its own.
        size_t one = a.find(':'), two = one == std::string::npos ? one : a.find(':', one + 1);
        fmsim::BandStation st;
        if (two == std::string::npos || !parse_frequency(a.substr(0, one), st.khz) ||
            !cectl::parse_u32(a.substr(one + 1, two - one - 1), st.rssi) || st.rssi > fmsim::kMaxMadeRssi ||
            two + 1 >= a.size())
            return cectl::fail("air iq-make: '" + a +
                               "' is not FREQ:RSSI:SOURCE (kHz, 0..60, a file or synthetic:PI[:tmc])");
        st.source = a.substr(two + 1);
        stations.push_back(st);
    }
    uint32_t center = 0, rate = 0;
    double seconds = 3;
    if (!opts.count("center") || !cectl::parse_u32(opts["center"], center) || center < 1000000)
        return cectl::fail("air iq-make: --center is the band's centre frequency in Hz");
    if (!opts.count("rate") || !cectl::parse_u32(opts["rate"], rate) || rate < 250000 || rate > 20000000)
        return cectl::fail("air iq-make: --rate is samples per second, 250000 to 20000000");
    if (opts.count("seconds") && !parse_seconds(opts["seconds"], seconds))
        return cectl::fail("air iq-make: --seconds is more than 0 and at most 3600");
    if (stations.empty()) return cectl::fail(std::string("air iq-make: no station: ") + usage);
    std::string why;
    if (!fmsim::make_band_iq(args[1], rate, center, seconds, stations, &why)) return cectl::fail("air iq-make: " + why);
    std::printf("%s: %zu station%s, %.1f s of cu8 IQ at %u Hz around %u Hz\n", args[1].c_str(), stations.size(),
                stations.size() == 1 ? "" : "s", seconds, rate, center);
    return 0;
}

int run_air(const cectl::Args& args) {
    if (args.empty())
        return cectl::fail(
            "air list | clear | remove FREQ | set FREQ RSSI SOURCE | iq FILE ... | rtl ... | stations | "
            "mpx-make IN OUT | survey | iq-make OUT ...");
    const std::string& what = args[0];
    if (what == "list" && args.size() == 1) return air_list();
    if (what == "clear" && args.size() == 1) {
        if (long rc = fmsim::clear_air(); rc != 0)
            return cectl::fail("air clear: registry error " + std::to_string(rc));
        return 0;
    }
    if (what == "remove") {
        uint32_t freq = 0;
        if (args.size() != 2 || !cectl::parse_u32(args[1], freq)) return cectl::fail("air remove FREQ");
        long rc = fmsim::remove_station(freq);
        if (rc == ERROR_FILE_NOT_FOUND) return cectl::fail("air remove: no station on " + args[1]);
        if (rc != 0) return cectl::fail("air remove: registry error " + std::to_string(rc));
        return 0;
    }
    if (what == "set") return air_set(args);
    if (what == "iq") return air_iq(args);
    if (what == "rtl") return air_rtl(args);
    if (what == "mpx-make") return air_mpx_make(args);
    if (what == "survey") return air_survey(args);
    if (what == "iq-make") return air_iq_make(args);
    if (what == "stations" && args.size() == 1) {
        if (long rc = fmsim::clear_band(); rc != 0)
            return cectl::fail("air stations: registry error " + std::to_string(rc));
        return 0;
    }
    return cectl::fail("air: unknown use '" + what +
                       "' (list, clear, remove, set, iq, rtl, stations, mpx-make, survey, iq-make)");
}

}  // namespace

CECTL_COMMAND("air",
              "  air list | air clear | air remove FREQ\n"
              "  air set FREQ RSSI synthetic PI [tmc] [errors PERCENT] | capture FILE | mpx FILE [--rate HZ]\n"
              "  air iq FILE --center HZ --rate HZ [--format cu8|cs16|cf32]   a band from an IQ recording\n"
              "  air rtl [--device N] [--ppm P] [--gain DB|auto]              a band live from a dongle\n"
              "  air stations                    the stations again instead of the band\n"
              "  air mpx-make IN.spy OUT.wav [--rate HZ] [--audio FILE | --noise] [--preemphasis 50|75]\n"
              "                                  a hex-group recording to a multiplex, with a programme or not\n"
              "  air survey [--seconds S] [--level N] [--from KHZ] [--to KHZ]   every station the band holds\n"
              "  air iq-make OUT --rate HZ --center HZ [--seconds S] FREQ:RSSI:SOURCE ...   a band from stations",
              run_air);
