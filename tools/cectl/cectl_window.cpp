// cectl window: the top-level windows of every process of the root, as the
// window broker in cehost lists them, and messages and texts carried to them.
// cectl has no windows of its own; it speaks to the broker directly.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "cectl.h"
#include "window_broker.h"

namespace cectl {
namespace {

using ce::broker::Kind;

constexpr uint32_t kControlIdNotFound = 1421;  // ERROR_CONTROL_ID_NOT_FOUND

// Decimal or 0x hex over 64 bits; with allow_minus a leading '-' gives the
// two's complement, as a negative LPARAM is written.
bool parse_u64(const std::string& text, uint64_t& value, bool allow_minus = false) {
    bool minus = allow_minus && !text.empty() && text[0] == '-';
    std::string t = minus ? text.substr(1) : text;
    if (t.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t v = 0;
    for (size_t i = start; i < t.size(); i++) {
        char c = t[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (v > (UINT64_MAX - d) / static_cast<unsigned>(base)) return false;
        v = v * static_cast<unsigned>(base) + d;
    }
    value = minus ? ~v + 1 : v;
    return true;
}

int window_error(const std::string& handle, const ce::broker::Result& r) {
    std::string why;
    switch (r.error) {
        case ce::broker::kInvalidWindow:
            why = ce::host_running() ? "no such window" : "no such window (cehost is not running)";
            break;
        case kControlIdNotFound: why = "no such control"; break;
        case ERROR_INVALID_PARAMETER: why = "invalid request"; break;
        default: why = "error " + std::to_string(r.error); break;
    }
    return fail("window " + handle + ": " + why);
}

int run_list(const Args& args) {
    if (!args.empty()) return fail("window list takes no arguments");
    auto list = ce::broker::list();
    if (!list) {
        // No host: no window is listed anywhere.
        if (!ce::host_running()) return 0;
        return fail("window list: cehost cannot be reached (see " + ce::root() + "/.cehost/log)");
    }
    for (const auto& w : *list) {
        std::printf("%llu\t%s\t%s\t%u\n", static_cast<unsigned long long>(w.hwnd), ce::narrow(w.class_name).c_str(),
                    ce::narrow(w.title).c_str(), w.pid);
    }
    return 0;
}

int run_message(const Args& args, Kind kind) {
    const char* name = kind == Kind::Send ? "send" : "post";
    ce::broker::Request r;
    r.kind = kind;
    uint64_t message = 0, lparam = 0;
    if (args.size() < 2 || args.size() > 4 || !parse_u64(args[0], r.hwnd) || !parse_u64(args[1], message) ||
        message > 0xFFFFFFFFu || (args.size() > 2 && !parse_u64(args[2], r.wparam, true)) ||
        (args.size() > 3 && !parse_u64(args[3], lparam, true)))
        return fail(std::string("usage: window ") + name +
                    " HANDLE MSG [WPARAM [LPARAM]] (numbers, decimal or 0x hex)");
    r.message = static_cast<uint32_t>(message);
    r.lparam = static_cast<int64_t>(lparam);
    auto result = ce::broker::forward(r);
    if (!result.ok) return window_error(args[0], result);
    if (kind == Kind::Send) std::printf("%lld\n", static_cast<long long>(result.value));
    return 0;
}

int run_text(const Args& args) {
    const char* usage = "usage: window text HANDLE [ID] [--set TEXT]";
    ce::broker::Request r;
    r.kind = Kind::GetText;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--set") {
            if (i + 1 >= args.size() || r.kind == Kind::SetText) return fail(usage);
            r.kind = Kind::SetText;
            r.text = ce::widen(args[++i]);
        } else {
            words.push_back(args[i]);
        }
    }
    uint64_t id = static_cast<uint64_t>(-1);
    if (words.empty() || words.size() > 2 || !parse_u64(words[0], r.hwnd) ||
        (words.size() == 2 && !parse_u64(words[1], id, true)))
        return fail(usage);
    auto item = static_cast<int64_t>(id);
    if (item < INT32_MIN || item > INT32_MAX) return fail("window text: ID out of range");
    r.item = static_cast<int32_t>(item);
    auto result = ce::broker::forward(r);
    if (!result.ok) return window_error(words[0], result);
    if (r.kind == Kind::GetText) std::printf("%s\n", ce::narrow(result.text).c_str());
    return 0;
}

int run_window(const Args& args) {
    const char* usage = "usage: window list | send|post HANDLE MSG [WPARAM [LPARAM]] | text HANDLE [ID] [--set TEXT]";
    if (args.empty()) return fail(usage);
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "list") return run_list(rest);
    if (args[0] == "send") return run_message(rest, Kind::Send);
    if (args[0] == "post") return run_message(rest, Kind::Post);
    if (args[0] == "text") return run_text(rest);
    return fail(usage);
}

}  // namespace
}  // namespace cectl

CECTL_COMMAND("window",
              "  window list                    top-level windows: HANDLE<TAB>CLASS<TAB>TITLE<TAB>PID\n"
              "  window send HANDLE MSG [WPARAM [LPARAM]]   SendMessageW; prints the result\n"
              "  window post HANDLE MSG [WPARAM [LPARAM]]   PostMessageW\n"
              "  window text HANDLE [ID] [--set TEXT]       the text of the window or its control ID; or set it",
              cectl::run_window);
