// Parsing the shortcut "NavApp.lnk" (see shortcut.h).
#include <cstring>
#include <string>

#include "ce_platform.h"
#include "shortcut.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void Store(const char* begin, const char* end, WCHAR* out) {
    while (begin < end && IsBlank(*begin)) begin++;
    while (end > begin && IsBlank(end[-1])) end--;
    std::u16string text = ce::widen(std::string(begin, static_cast<size_t>(end - begin)));
    size_t n = text.size() < NAVIGATION_CHARS - 1 ? text.size() : NAVIGATION_CHARS - 1;
    text.copy(out, n);
    out[n] = 0;
}

const char* LineEnd(const char* from) {
    const char* end = from;
    while (*end && *end != '\r' && *end != '\n') end++;
    return end;
}

}  // namespace

void ParseShortcut(const char* text, WCHAR* path, WCHAR* arguments) {
    path[0] = 0;
    arguments[0] = 0;
    const char* open = std::strchr(text, '"');
    if (open) {
        const char* close = std::strchr(open + 1, '"');
        if (!close) {
            Store(open + 1, LineEnd(open + 1), path);
            return;
        }
        Store(open + 1, close, path);
        Store(close + 1, LineEnd(close + 1), arguments);
        return;
    }
    const char* hash = std::strchr(text, '#');
    const char* start = hash ? hash + 1 : text;
    Store(start, LineEnd(start), path);
}
