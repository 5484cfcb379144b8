// The device C run-time's wide string functions over 16-bit WCHAR. The host
// library's wcs* functions take 32-bit wchar_t, so these are our own; the
// number conversions keep the device's 32-bit long.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ce_crt.h"
#include "text/text_internal.h"

namespace ce {

char16_t fold_case(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c >= 0x100 && c <= 0x137) return static_cast<char16_t>(c | 1);
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x14A && c <= 0x177) return static_cast<char16_t>(c | 1);
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
    return c;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (fold_case(a[i]) != fold_case(b[i])) return false;
    }
    return true;
}

}  // namespace ce

namespace {

bool is_space(WCHAR c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int digit_value(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// The shared parser of wcstol and wcstoul: the magnitude (saturated at
// limit + 1), the sign and where the number ended.
struct Parsed {
    uint64_t magnitude = 0;
    bool negative = false;
    bool overflow = false;
    const WCHAR* end = nullptr;
};

Parsed parse_integer(const WCHAR* s, int base, uint64_t limit) {
    Parsed p;
    p.end = s;
    if (!s || base < 0 || base == 1 || base > 36) return p;
    const WCHAR* c = s;
    while (is_space(*c)) c++;
    if (*c == u'+' || *c == u'-') {
        p.negative = *c == u'-';
        c++;
    }
    if ((base == 0 || base == 16) && c[0] == u'0' && (c[1] == u'x' || c[1] == u'X') && digit_value(c[2]) < 16) {
        c += 2;
        base = 16;
    } else if (base == 0) {
        base = c[0] == u'0' ? 8 : 10;
    }
    const WCHAR* first = c;
    while (digit_value(*c) < base) {
        if (!p.overflow) {
            p.magnitude = p.magnitude * base + digit_value(*c);
            if (p.magnitude > limit) p.overflow = true;
        }
        c++;
    }
    if (c != first) p.end = c;
    return p;
}

}  // namespace

// wcslen -> strlen over UTF-16 units.
size_t wcslen(const WCHAR* s) {
    const WCHAR* p = s;
    while (*p) p++;
    return static_cast<size_t>(p - s);
}

// wcsnlen -> strnlen over UTF-16 units.
size_t wcsnlen(const WCHAR* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

// wcscpy -> strcpy over UTF-16 units.
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {}
    return dst;
}

// wcsncpy -> strncpy over UTF-16 units: pads with zeros, leaves a full copy unterminated.
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i]; i++) dst[i] = src[i];
    for (; i < n; i++) dst[i] = 0;
    return dst;
}

// wcscat -> strcat over UTF-16 units.
WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

// wcscmp -> strcmp over UTF-16 units (unit values, as the device compares).
int wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return (*a > *b) - (*a < *b);
}

// wcsncmp -> strncmp over UTF-16 units.
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i]) return (a[i] > b[i]) - (a[i] < b[i]);
        if (!a[i]) return 0;
    }
    return 0;
}

// _wcsicmp -> strcasecmp over UTF-16 units, folding as names are folded.
int _wcsicmp(const WCHAR* a, const WCHAR* b) { return _wcsnicmp(a, b, SIZE_MAX); }

// _wcsnicmp -> strncasecmp over UTF-16 units.
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        WCHAR x = ce::fold_case(a[i]), y = ce::fold_case(b[i]);
        if (x != y) return (x > y) - (x < y);
        if (!x) return 0;
    }
    return 0;
}

// wcschr -> strchr over UTF-16 units (finds the terminator for c == 0).
const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; s++) {
        if (*s == c) return s;
        if (!*s) return nullptr;
    }
}
WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

// wcsrchr -> strrchr over UTF-16 units.
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; s++) {
        if (*s == c) found = s;
        if (!*s) return found;
    }
}
WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

// wcsstr -> strstr over UTF-16 units.
const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find) {
    if (!*find) return s;
    for (; *s; s++) {
        size_t i = 0;
        while (find[i] && s[i] == find[i]) i++;
        if (!find[i]) return s;
    }
    return nullptr;
}
WCHAR* wcsstr(WCHAR* s, const WCHAR* find) { return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), find)); }

// wcstol -> strtol with the device's 32-bit long: saturates at LONG's limits (ERANGE).
long wcstol(const WCHAR* s, WCHAR** end, int base) {
    Parsed p = parse_integer(s, base, static_cast<uint64_t>(INT32_MAX) + 1);
    if (end) *end = const_cast<WCHAR*>(p.end);
    if (p.negative) {
        if (p.overflow || p.magnitude > static_cast<uint64_t>(INT32_MAX) + 1) {
            errno = ERANGE;
            return INT32_MIN;
        }
        return static_cast<long>(-static_cast<int64_t>(p.magnitude));
    }
    if (p.overflow || p.magnitude > INT32_MAX) {
        errno = ERANGE;
        return INT32_MAX;
    }
    return static_cast<long>(p.magnitude);
}

// wcstoul -> strtoul with the device's 32-bit unsigned long: "-1" is 0xFFFFFFFF, as in C.
unsigned long wcstoul(const WCHAR* s, WCHAR** end, int base) {
    Parsed p = parse_integer(s, base, UINT32_MAX);
    if (end) *end = const_cast<WCHAR*>(p.end);
    if (p.overflow) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    uint32_t v = static_cast<uint32_t>(p.magnitude);
    return p.negative ? static_cast<uint32_t>(0u - v) : v;
}

// _wtoi -> atoi over UTF-16 (decimal, saturating).
int _wtoi(const WCHAR* s) { return s ? static_cast<int>(wcstol(s, nullptr, 10)) : 0; }

// _wtof -> atof over UTF-16: the ASCII prefix goes through strtod.
double _wtof(const WCHAR* s) {
    if (!s) return 0.0;
    std::string ascii;
    for (; *s && *s < 0x80 && ascii.size() < 512; s++) ascii += static_cast<char>(*s);
    return std::strtod(ascii.c_str(), nullptr);
}
