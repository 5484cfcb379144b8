// Device paths to host paths under the device root and back. The device's
// file system is case-insensitive and knows both separators; the host's is
// case-sensitive, so each component is matched to an existing entry when the
// exact name is not there. The mapping is lexical: ".." stops at the root, so
// no device path names anything outside it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <vector>

#include "ce_platform.h"
#include "text/text_internal.h"
#include "windows.h"

namespace ce {

namespace {

constexpr size_t kMaxComponent = 255;

bool invalid_char(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The entry of dir whose name equals name case-insensitively; the first in
// byte order when several do, so the choice never depends on readdir's order.
std::string match_entry(const std::string& dir, const std::string& name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return {};
    std::u16string wanted = widen(name);
    std::string best;
    while (dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        if (names_equal(widen(entry), wanted) && (best.empty() || entry < best)) best = entry;
    }
    closedir(d);
    return best;
}

}  // namespace

MappedPath map_path(std::u16string_view device_path) {
    MappedPath result;
    if (device_path.size() >= MAX_PATH) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= device_path.size(); i++) {
        if (i < device_path.size() && device_path[i] != u'\\' && device_path[i] != u'/') continue;
        std::u16string_view part = device_path.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        if (part.size() > kMaxComponent) {
            result.error = ERROR_INVALID_PARAMETER;
            return result;
        }
        for (char16_t c : part) {
            if (invalid_char(c)) {
                result.error = ERROR_INVALID_NAME;
                return result;
            }
        }
        parts.push_back(part);
    }
    std::string host = root();
    bool present = true;  // whether host names an existing folder so far
    for (auto part : parts) {
        std::string name = narrow(part);
        std::string exact = host + "/" + name;
        if (present && !exists(exact)) {
            std::string found = match_entry(host, name);
            if (!found.empty()) {
                host += "/" + found;
                continue;
            }
            present = false;
        }
        host = exact;
    }
    result.host = std::move(host);
    return result;
}

std::optional<std::u16string> device_path_of(const std::string& host_path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(host_path), ec);
    if (ec) return std::nullopt;
    p = p.lexically_normal();

    // The root as given, and as the file system resolves it (the program's
    // own path comes resolved from /proc).
    std::vector<fs::path> roots{fs::path(root()).lexically_normal()};
    fs::path canonical = fs::weakly_canonical(roots[0], ec);
    if (!ec && canonical != roots[0]) roots.push_back(canonical);

    for (const auto& r : roots) {
        fs::path rel = p.lexically_relative(r);
        if (rel.empty()) continue;
        std::string text = rel.generic_string();
        if (text == ".") return std::u16string(u"\\");
        if (text == ".." || text.rfind("../", 0) == 0) continue;
        std::u16string device;
        for (const auto& component : rel) {
            std::string c = component.string();
            if (c.empty() || c == ".") continue;
            device += u'\\';
            device += widen(c);
        }
        return device.empty() ? std::u16string(u"\\") : device;
    }
    return std::nullopt;
}

}  // namespace ce
