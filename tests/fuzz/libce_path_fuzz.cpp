// Path mapping under fuzzed device paths: whatever the input, a mapped path
// stays inside the root (no "." or ".." component, no way out), and a path
// that cannot be mapped fails with one of the two documented errors.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "ce_platform.h"
#include "windows.h"

namespace {

char root_dir[] = "/tmp/ce-path-fuzz-XXXXXX";

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(root_dir, ec);
}

const std::string& fuzz_root() {
    static const std::string root = [] {
        if (!mkdtemp(root_dir)) std::abort();
        std::string r = root_dir;
        // Entries for the case-insensitive matching to find.
        for (const char* sub : {"/Windows", "/Windows/Sub", "/a", "/a/B", "/\xC3\x89t\xC3\xA9"})
            mkdir((r + sub).c_str(), 0755);
        ce::set_root(r);
        std::atexit(remove_root);
        return r;
    }();
    return root;
}

// Mostly characters that matter to paths; 0xF0 and up take the next two
// bytes as any UTF-16 unit.
const char16_t kAlphabet[] = u"\\/..\\/aAbBwWiInNdDoOsS ~-_.:*?\u00e9\u00c9\u20ac\u0000\u0001";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& root = fuzz_root();
    std::u16string path;
    for (size_t i = 0; i < size; i++) {
        if (data[i] >= 0xF0 && i + 2 < size) {
            path += static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8));
            i += 2;
        } else {
            path += kAlphabet[data[i] % (sizeof kAlphabet / sizeof kAlphabet[0] - 1)];
        }
    }
    ce::MappedPath m = ce::map_path(path);
    if (m.error) {
        if (m.error != ERROR_INVALID_NAME && m.error != ERROR_INVALID_PARAMETER) std::abort();
        if (!m.host.empty()) std::abort();
        return 0;
    }
    if (m.host != root && m.host.compare(0, root.size() + 1, root + "/") != 0) {
        std::fprintf(stderr, "escaped the root: %s\n", m.host.c_str());
        std::abort();
    }
    size_t start = root.size() + 1;
    while (start < m.host.size()) {
        size_t end = m.host.find('/', start);
        if (end == std::string::npos) end = m.host.size();
        std::string part = m.host.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            std::fprintf(stderr, "bad component in %s\n", m.host.c_str());
            std::abort();
        }
        start = end + 1;
    }
    if (!ce::device_path_of(m.host)) std::abort();
    return 0;
}
