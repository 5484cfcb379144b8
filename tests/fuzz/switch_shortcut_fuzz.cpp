// The shortcut parser over any bytes a "NavApp.lnk" may hold: no overrun, and
// both results terminated within their buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "shortcut.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size < 255 ? size : 255);
    text = text.substr(0, text.find('\0'));
    WCHAR path[NAVIGATION_CHARS], arguments[NAVIGATION_CHARS];
    ParseShortcut(text.c_str(), path, arguments);
    bool ended = false;
    for (WCHAR c : path) ended = ended || c == 0;
    if (!ended) __builtin_trap();
    ended = false;
    for (WCHAR c : arguments) ended = ended || c == 0;
    if (!ended) __builtin_trap();
    return 0;
}
