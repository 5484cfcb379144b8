// The air in the registry and the RDS sources it names.
#include "air.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

#include "ce_platform.h"
#include "real_air.h"
#include "recording.h"
#include "synthetic.h"
#include "windows.h"

namespace fmsim {

namespace {

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) pos++;
        size_t start = pos;
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') pos++;
        if (pos > start) out.push_back(text.substr(start, pos - start));
    }
    return out;
}

bool parse_number(std::string_view text, int base, uint32_t max, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + static_cast<uint64_t>(d);
        if (v > max) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// The text after the first word, blanks around it trimmed: a path may hold blanks.
std::string_view rest_after(std::string_view text, std::string_view first) {
    size_t at = text.find(first) + first.size();
    std::string_view rest = text.substr(at);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    return rest;
}

// Splits "PATH word N word N ..." from its end: the last 2 * names.size()
// words are the named numbers in order, the rest is the path.
bool split_tail(std::string_view text, const std::vector<std::string_view>& names, std::string_view& path,
                std::vector<std::string_view>& values) {
    auto w = words(text);
    if (w.size() < 2 * names.size() + 1) return false;
    size_t first = w.size() - 2 * names.size();
    values.clear();
    for (size_t i = 0; i < names.size(); i++) {
        if (w[first + 2 * i] != names[i]) return false;
        values.push_back(w[first + 2 * i + 1]);
    }
    path = text.substr(0, static_cast<size_t>(w[first].data() - text.data()));
    while (!path.empty() && (path.back() == ' ' || path.back() == '\t')) path.remove_suffix(1);
    return !path.empty();
}

}  // namespace

bool parse_source(std::string_view text, StationSource& wanted, std::string* error) {
    auto w = words(text);
    if (w.empty()) return fail(error, "empty source");
    StationSource s;
    if (w[0] == "synthetic") {
        uint32_t pi = 0;
        if (w.size() < 2) return fail(error, "synthetic needs a PI of 1 to 4 hex digits");
        if (w[1].size() > 4 || !parse_number(w[1], 16, 0xFFFF, pi) || pi == 0)
            return fail(error, "synthetic needs a PI of 1 to 4 hex digits, not '" + std::string(w[1]) + "'");
        s.kind = StationSource::Synthetic;
        s.pi = static_cast<uint16_t>(pi);
        for (size_t i = 2; i < w.size(); i++) {
            if (w[i] == "tmc") {
                s.tmc = true;
            } else if (w[i] == "errors" && i + 1 < w.size()) {
                uint32_t p = 0;
                if (!parse_number(w[i + 1], 10, 100, p)) return fail(error, "errors takes a percentage 0..100");
                s.error_percent = p;
                i++;
            } else {
                return fail(error, "unknown word '" + std::string(w[i]) + "' after synthetic PI");
            }
        }
    } else if (w[0] == "capture") {
        // The path is the rest of the text, blanks included.
        std::string_view path = rest_after(text, "capture");
        if (path.empty()) return fail(error, "capture needs a file");
        if (path.front() != '/') return fail(error, "capture needs an absolute host path");
        s.kind = StationSource::Capture;
        s.path = std::string(path);
    } else if (w[0] == "mpx") {
        // "mpx PATH [rate HZ]": the rate only for a raw file.
        std::string_view path = rest_after(text, "mpx");
        std::string_view tail_path;
        std::vector<std::string_view> values;
        if (split_tail(path, {"rate"}, tail_path, values)) {
            uint32_t rate = 0;
            if (!parse_number(values[0], 10, 100000000, rate) || rate < 160000)
                return fail(error, "mpx rate is samples per second from 160000 up");
            s.rate = rate;
            path = tail_path;
        }
        if (path.empty()) return fail(error, "mpx needs a file");
        if (path.front() != '/') return fail(error, "mpx needs an absolute host path");
        s.kind = StationSource::Mpx;
        s.path = std::string(path);
    } else {
        return fail(error,
                    "source is 'synthetic PI [tmc]', 'capture FILE' or 'mpx FILE', not '" + std::string(w[0]) + "'");
    }
    wanted = s;
    return true;
}

std::string format_source(const StationSource& wanted) {
    char buf[64];
    switch (wanted.kind) {
        case StationSource::Synthetic:
            std::snprintf(buf, sizeof buf, "synthetic %04X%s", wanted.pi, wanted.tmc ? " tmc" : "");
            if (wanted.error_percent) return std::string(buf) + " errors " + std::to_string(wanted.error_percent);
            return buf;
        case StationSource::Capture: return "capture " + wanted.path;
        case StationSource::Mpx:
            return "mpx " + wanted.path + (wanted.rate ? " rate " + std::to_string(wanted.rate) : "");
        case StationSource::None: break;
    }
    return "";
}

bool parse_band(std::string_view text, BandPlan& band, std::string* error) {
    auto w = words(text);
    if (w.empty()) return fail(error, "empty band");
    BandPlan b;
    if (w[0] == "iq") {
        std::string_view path;
        std::vector<std::string_view> v;
        if (!split_tail(rest_after(text, "iq"), {"center", "rate", "format"}, path, v))
            return fail(error, "band is 'iq FILE center HZ rate HZ format cu8|cs16|cf32'");
        if (path.front() != '/') return fail(error, "iq needs an absolute host path");
        uint32_t center = 0, rate = 0;
        if (!parse_number(v[0], 10, 0xFFFFFFFFu, center) || center == 0)
            return fail(error, "iq center is a frequency in Hz");
        if (!parse_number(v[1], 10, 100000000, rate) || rate < 200000)
            return fail(error, "iq rate is samples per second from 200000 up");
        if (!radio::parse_iq_format(std::string(v[2]), b.format)) return fail(error, "iq format is cu8, cs16 or cf32");
        b.kind = BandPlan::Iq;
        b.path = std::string(path);
        b.center = center;
        b.rate = rate;
    } else if (w[0] == "rtl") {
        b.kind = BandPlan::Rtl;
        for (size_t i = 1; i < w.size(); i += 2) {
            if (i + 1 >= w.size()) return fail(error, "rtl " + std::string(w[i]) + " needs a value");
            std::string_view name = w[i], value = w[i + 1];
            uint32_t n = 0;
            if (name == "device") {
                if (!parse_number(value, 10, 255, n)) return fail(error, "rtl device is a number 0..255");
                b.device = n;
            } else if (name == "ppm") {
                bool negative = !value.empty() && value[0] == '-';
                if (!parse_number(negative ? value.substr(1) : value, 10, 1000, n))
                    return fail(error, "rtl ppm is a whole number -1000..1000");
                b.ppm = negative ? -static_cast<int32_t>(n) : static_cast<int32_t>(n);
            } else if (name == "gain") {
                if (value == "auto") {
                    b.gain.reset();
                } else {
                    // Tenths of a dB at most: "49.6".
                    std::string_view whole = value, tenth;
                    if (size_t dot = value.find('.'); dot != std::string_view::npos) {
                        whole = value.substr(0, dot);
                        tenth = value.substr(dot + 1);
                    }
                    uint32_t t = 0;
                    if (!parse_number(whole, 10, 100, n) || tenth.size() > 1 ||
                        (!tenth.empty() && !parse_number(tenth, 10, 9, t)))
                        return fail(error, "rtl gain is dB (0..100, tenths allowed) or auto");
                    b.gain = n + t / 10.0;
                }
            } else {
                return fail(error, "unknown word '" + std::string(name) + "' in rtl");
            }
        }
    } else {
        return fail(error, "band is 'iq FILE ...' or 'rtl ...', not '" + std::string(w[0]) + "'");
    }
    band = b;
    return true;
}

std::string format_band(const BandPlan& band) {
    char buf[160];
    switch (band.kind) {
        case BandPlan::Iq:
            std::snprintf(buf, sizeof buf, " center %llu rate %u format %s",
                          static_cast<unsigned long long>(band.center), band.rate, radio::iq_format_name(band.format));
            return "iq " + band.path + buf;
        case BandPlan::Rtl: {
            std::string gain = "auto";
            if (band.gain) {
                std::snprintf(buf, sizeof buf, "%.1f", *band.gain);
                gain = buf;
                if (gain.size() > 2 && gain.compare(gain.size() - 2, 2, ".0") == 0) gain.resize(gain.size() - 2);
            }
            std::snprintf(buf, sizeof buf, "rtl device %u ppm %d gain ", band.device, band.ppm);
            return buf + gain;
        }
        case BandPlan::None: break;
    }
    return "";
}

// ---- the registry -----------------------------------------------------------

namespace {

std::optional<Station> read_station_key(HKEY air, const std::u16string& name) {
    uint32_t freq = 0;
    std::string narrow = ce::narrow(name);
    if (!parse_number(narrow, 10, 0xFFFFFFFFu, freq)) return std::nullopt;
    HKEY key = nullptr;
    if (RegOpenKeyExW(air, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    Station st;
    st.frequency = freq;
    DWORD type = 0, rssi = 0, size = sizeof rssi;
    bool ok = RegQueryValueExW(key, u"Rssi", nullptr, &type, reinterpret_cast<BYTE*>(&rssi), &size) == ERROR_SUCCESS &&
              type == REG_DWORD && size == sizeof rssi;
    st.rssi = std::min<uint32_t>(rssi, kMaxRssi);
    WCHAR text[1024] = {};
    size = sizeof text - sizeof(WCHAR);
    type = 0;
    if (RegQueryValueExW(key, u"Source", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        size_t n = std::min<size_t>(size / sizeof(WCHAR), 1023);
        std::u16string s(text, n);
        while (!s.empty() && s.back() == 0) s.pop_back();
        st.source = ce::narrow(s);
    }
    RegCloseKey(key);
    if (!ok) return std::nullopt;
    return st;
}

}  // namespace

std::vector<Station> read_air() {
    std::vector<Station> out;
    HKEY air = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_READ, &air) != ERROR_SUCCESS) return out;
    for (DWORD i = 0; i < 4096; i++) {
        WCHAR name[CE_REG_MAX_KEY_NAME + 1] = {};
        DWORD len = CE_REG_MAX_KEY_NAME + 1;
        if (RegEnumKeyExW(air, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (auto st = read_station_key(air, std::u16string(name, std::min<DWORD>(len, CE_REG_MAX_KEY_NAME))))
            out.push_back(*st);
    }
    RegCloseKey(air);
    std::sort(out.begin(), out.end(), [](const Station& a, const Station& b) { return a.frequency < b.frequency; });
    return out;
}

std::optional<Station> read_station(uint32_t frequency) {
    HKEY air = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_READ, &air) != ERROR_SUCCESS) return std::nullopt;
    auto st = read_station_key(air, ce::widen(std::to_string(frequency)));
    RegCloseKey(air);
    return st;
}

long write_station(const Station& station) {
    HKEY key = nullptr;
    std::u16string path = std::u16string(kAirKey) + u"\\" + ce::widen(std::to_string(station.frequency));
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD rssi = station.rssi;
    rc = RegSetValueExW(key, u"Rssi", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&rssi), sizeof rssi);
    if (rc == ERROR_SUCCESS) {
        std::u16string src = ce::widen(station.source);
        rc = RegSetValueExW(key, u"Source", 0, REG_SZ, reinterpret_cast<const BYTE*>(src.c_str()),
                            static_cast<DWORD>((src.size() + 1) * sizeof(WCHAR)));
    }
    RegCloseKey(key);
    return rc;
}

long remove_station(uint32_t frequency) {
    HKEY air = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_ALL_ACCESS, &air);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteKeyW(air, ce::widen(std::to_string(frequency)).c_str());
    RegCloseKey(air);
    return rc;
}

std::string read_band_value() {
    HKEY air = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_READ, &air) != ERROR_SUCCESS) return "";
    WCHAR text[1024] = {};
    DWORD size = sizeof text - sizeof(WCHAR), type = 0;
    std::string out;
    if (RegQueryValueExW(air, u"Band", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        std::u16string s(text, std::min<size_t>(size / sizeof(WCHAR), 1023));
        while (!s.empty() && s.back() == 0) s.pop_back();
        out = ce::narrow(s);
    }
    RegCloseKey(air);
    return out;
}

long write_band(const BandPlan& band) {
    HKEY air = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &air, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    std::u16string text = ce::widen(format_band(band));
    rc = RegSetValueExW(air, u"Band", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(air);
    return rc;
}

long clear_band() {
    HKEY air = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_ALL_ACCESS, &air);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteValueW(air, u"Band");
    RegCloseKey(air);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

long clear_air() {
    if (long rc = clear_band(); rc != ERROR_SUCCESS) return rc;
    HKEY air = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAirKey, 0, KEY_ALL_ACCESS, &air);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    // Collect first: deleting while enumerating shifts the indexes.
    std::vector<std::u16string> names;
    for (DWORD i = 0; i < 4096; i++) {
        WCHAR name[CE_REG_MAX_KEY_NAME + 1] = {};
        DWORD len = CE_REG_MAX_KEY_NAME + 1;
        if (RegEnumKeyExW(air, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, std::min<DWORD>(len, CE_REG_MAX_KEY_NAME));
    }
    for (const auto& n : names) {
        LONG r = RegDeleteKeyW(air, n.c_str());
        if (r != ERROR_SUCCESS && rc == ERROR_SUCCESS) rc = r;
    }
    RegCloseKey(air);
    return rc;
}

// ---- sources --------------------------------------------------------------------

namespace {

class SyntheticSource : public RdsSource {
public:
    explicit SyntheticSource(const SyntheticConfig& c) : gen_(c) {}
    bool next(RdsGroup& group) override {
        group = gen_.next();
        return true;
    }

private:
    SyntheticBroadcaster gen_;
};

class RecordingSource : public RdsSource {
public:
    explicit RecordingSource(std::shared_ptr<const Recording> rec) : rec_(std::move(rec)) {}
    bool next(RdsGroup& group) override {
        if (rec_->groups.empty()) return false;
        group = rec_->groups[pos_++ % rec_->groups.size()];
        return true;
    }

private:
    std::shared_ptr<const Recording> rec_;
    size_t pos_ = 0;
};

// Recordings are parsed once per file version: a tune to the same station
// again reuses the parse as long as the file is unchanged.
struct CacheEntry {
    int64_t mtime_ns = 0;
    int64_t size = 0;
    std::shared_ptr<const Recording> rec;
};
std::mutex cache_mutex;
std::map<std::string, CacheEntry> cache;

std::shared_ptr<const Recording> cached_recording(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return nullptr;
    int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    std::lock_guard<std::mutex> lock(cache_mutex);
    auto it = cache.find(path);
    if (it != cache.end() && it->second.mtime_ns == mtime && it->second.size == st.st_size) return it->second.rec;
    std::string error;
    auto rec = load_recording(path, &error);
    if (!rec) {
        // The station stays silent; inside cehost stderr is the host's log.
        std::fprintf(stderr, "FMS_API: a station cannot play %s\n", error.c_str());
        return nullptr;
    }
    if (cache.size() > 32) cache.clear();
    cache[path] = CacheEntry{mtime, static_cast<int64_t>(st.st_size), rec};
    return rec;
}

}  // namespace

std::unique_ptr<RdsSource> make_source(const StationSource& wanted, uint32_t seed) {
    switch (wanted.kind) {
        case StationSource::Synthetic: {
            SyntheticConfig c;
            c.pi = wanted.pi;
            c.tmc = wanted.tmc;
            c.error_percent = wanted.error_percent;
            c.seed = seed;
            return std::make_unique<SyntheticSource>(c);
        }
        case StationSource::Capture: {
            auto rec = cached_recording(wanted.path);
            if (!rec) return nullptr;
            return std::make_unique<RecordingSource>(rec);
        }
        case StationSource::Mpx: return make_queued_source(make_mpx_receiver(wanted));
        case StationSource::None: break;
    }
    return nullptr;
}

}  // namespace fmsim
