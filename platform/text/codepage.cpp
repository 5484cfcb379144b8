// Code page conversions and time formatting. The phones this system runs on
// use Windows-1252 as their ANSI code page, so CP_ACP (and CP_OEMCP, which
// the system never asks for) is 1252 here; UTF-8 is the other one we know.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ce_crt.h"
#include "ce_platform.h"
#include "text/text_internal.h"
#include "windows.h"

namespace ce {

namespace {

// 0x80..0x9F of Windows-1252. The five bytes the code page leaves undefined
// map to the C1 control of the same value, as Windows does.
const char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char16_t cp1252_to_wide(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) return k1252High[byte - 0x80];
    return byte;
}

int wide_to_cp1252(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return unit;
    for (int i = 0; i < 32; i++) {
        if (k1252High[i] == unit) return 0x80 + i;
    }
    return -1;
}

}  // namespace ce

namespace {

enum class Page { Ansi, Utf8, Invalid };

Page page_of(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_OEMCP:
        case CP_1252: return Page::Ansi;
        case CP_UTF8: return Page::Utf8;
        default: return Page::Invalid;
    }
}

// Copies a finished conversion out, or answers a size query. The caller's
// buffer is left untouched when it is too small.
template <class T>
int deliver(const std::basic_string<T>& text, T* out, int capacity) {
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int n = static_cast<int>(text.size());
    if (capacity == 0) return n;
    if (n > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (n) std::memcpy(out, text.data(), text.size() * sizeof(T));
    return n;
}

// A high surrogate without its low half, or a low one alone: not text.
bool has_unpaired_surrogate(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); i++) {
        char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) i++;
        else if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

}  // namespace

// WideCharToMultiByte -> UTF-16 to 1252 or UTF-8, in memory (the Win32 rules for sizes, -1 and defaults).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars, LPSTR multi, int multiBytes,
                        LPCSTR defaultChar, LPBOOL usedDefault) {
    Page page = page_of(codePage);
    if (page == Page::Invalid || !wide || wideChars == 0 || wideChars < -1 || multiBytes < 0 ||
        (multiBytes > 0 && !multi) || (page == Page::Utf8 && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t count = wideChars == -1 ? wcslen(wide) + 1 : static_cast<size_t>(wideChars);
    std::string out;
    out.reserve(count);
    if (page == Page::Ansi) {
        if (usedDefault) *usedDefault = FALSE;
        char fallback = defaultChar ? *defaultChar : '?';
        for (size_t i = 0; i < count; i++) {
            int b = ce::wide_to_cp1252(wide[i]);
            if (b < 0) {
                out += fallback;
                if (usedDefault) *usedDefault = TRUE;
            } else {
                out += static_cast<char>(b);
            }
        }
    } else {
        std::u16string_view text(wide, count);
        if ((flags & WC_ERR_INVALID_CHARS) && has_unpaired_surrogate(text)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        out = ce::narrow(text);  // an unpaired surrogate becomes U+FFFD
    }
    return deliver(out, multi, multiBytes);
}

// MultiByteToWideChar -> 1252 or UTF-8 to UTF-16 in memory; bad UTF-8 is U+FFFD unless MB_ERR_INVALID_CHARS.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiBytes, LPWSTR wide, int wideChars) {
    Page page = page_of(codePage);
    if (page == Page::Invalid || !multi || multiBytes == 0 || multiBytes < -1 || wideChars < 0 ||
        (wideChars > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t count = multiBytes == -1 ? std::strlen(multi) + 1 : static_cast<size_t>(multiBytes);
    const auto* bytes = reinterpret_cast<const unsigned char*>(multi);
    std::u16string out;
    out.reserve(count);
    if (page == Page::Ansi) {
        for (size_t i = 0; i < count; i++) out += ce::cp1252_to_wide(bytes[i]);
        return deliver(out, wide, wideChars);
    }
    std::string_view text(reinterpret_cast<const char*>(bytes), count);
    if (!ce::decode_utf8(text, out, (flags & MB_ERR_INVALID_CHARS) != 0)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return deliver(out, wide, wideChars);
}

namespace {

// One piece of a time picture: an element (H, hh, m, s, t, ...) or literal text.
struct Piece {
    char16_t element = 0;  // 0 for literal text
    int repeat = 0;
    std::u16string text;
};

std::vector<Piece> parse_picture(const WCHAR* format) {
    std::vector<Piece> pieces;
    auto literal = [&](char16_t c) {
        if (pieces.empty() || pieces.back().element) pieces.push_back(Piece{});
        pieces.back().text += c;
    };
    for (const WCHAR* p = format; *p;) {
        char16_t c = *p;
        if (c == u'H' || c == u'h' || c == u'm' || c == u's' || c == u't') {
            int n = 0;
            while (*p == c) {
                n++;
                p++;
            }
            pieces.push_back(Piece{c, n, {}});
        } else if (c == u'\'') {
            // 'text' is literal; '' inside or outside quotes is one quote.
            p++;
            if (*p == u'\'') {
                literal(u'\'');
                p++;
                continue;
            }
            while (*p) {
                if (*p == u'\'') {
                    if (p[1] == u'\'') {
                        literal(u'\'');
                        p += 2;
                        continue;
                    }
                    p++;
                    break;
                }
                literal(*p++);
            }
        } else {
            literal(c);
            p++;
        }
    }
    return pieces;
}

void two_digits(std::u16string& out, unsigned v, bool pad) {
    if (pad || v >= 10) out += static_cast<char16_t>(u'0' + v / 10 % 10);
    out += static_cast<char16_t>(u'0' + v % 10);
}

}  // namespace

// GetTimeFormatW -> formats a SYSTEMTIME by a picture; no host locale: the device default's AM/PM and ':'.
int GetTimeFormatW(LCID, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR out, int outChars) {
    const DWORD known = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;
    if (outChars < 0 || (outChars > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~known) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    SYSTEMTIME now;
    if (!time) {
        GetLocalTime(&now);
        time = &now;
    }
    if (time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::vector<Piece> pieces = parse_picture(format ? format : u"HH:mm:ss");

    // Leaving out an element also leaves out the separator that joins it to
    // the element before it (or, for a leading one, to the one after it).
    auto dropped = [&](const Piece& p) {
        if (p.element == u't') return (flags & TIME_NOTIMEMARKER) != 0;
        if (p.element == u's') return (flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS)) != 0;
        if (p.element == u'm') return (flags & TIME_NOMINUTESORSECONDS) != 0;
        return false;
    };
    std::vector<bool> keep(pieces.size(), true);
    for (size_t i = 0; i < pieces.size(); i++) {
        if (!pieces[i].element || !dropped(pieces[i])) continue;
        keep[i] = false;
        bool earlier = false;
        for (size_t k = 0; k < i; k++) earlier = earlier || (pieces[k].element && keep[k]);
        if (earlier && i > 0 && !pieces[i - 1].element) keep[i - 1] = false;
        else if (!earlier && i + 1 < pieces.size() && !pieces[i + 1].element) keep[i + 1] = false;
    }

    std::u16string text;
    unsigned hour12 = time->wHour % 12 == 0 ? 12 : time->wHour % 12;
    bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
    for (size_t i = 0; i < pieces.size(); i++) {
        if (!keep[i]) continue;
        const Piece& p = pieces[i];
        bool pad = p.repeat >= 2;
        switch (p.element) {
            case 0: text += p.text; break;
            case u'H': two_digits(text, time->wHour, pad); break;
            case u'h': two_digits(text, force24 ? time->wHour : hour12, pad); break;
            case u'm': two_digits(text, time->wMinute, pad); break;
            case u's': two_digits(text, time->wSecond, pad); break;
            case u't':
                text += time->wHour < 12 ? u'A' : u'P';
                if (pad) text += u'M';
                break;
        }
    }
    text += u'\0';
    return deliver(text, out, outChars);
}
