// UTF-16 <-> UTF-8 for the places where device text meets host text
// (paths, the registry's SQL store, tool output). Unpaired surrogates and
// malformed UTF-8 become U+FFFD rather than failing.
#include <cstdint>

#include "ce_platform.h"
#include "ce_utf8.h"
#include "text/text_internal.h"

namespace ce {

std::string narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

bool decode_utf8(std::string_view text, std::u16string& out, bool stop_on_invalid) {
    out.reserve(out.size() + text.size());
    size_t i = 0;
    while (i < text.size()) {
        char32_t c;
        if (!utf8_next(text, i, c)) {
            if (stop_on_invalid) return false;
            out += u'\uFFFD';
            i++;
            continue;
        }
        append_utf16(out, c);
    }
    return true;
}

std::u16string widen(std::string_view text) {
    std::u16string out;
    decode_utf8(text, out, false);
    return out;
}

}  // namespace ce
