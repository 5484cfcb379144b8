// Windows-style formatting (wsprintf, _snprintf, _snwprintf and their wide
// and va_list forms). One engine serves the narrow and wide forms; it follows
// the device's conventions rather than the host's:
//  - in a wide format %s/%c are wide and %S/%C narrow; in a narrow format the
//    reverse; h forces narrow and l or w wide;
//  - l is 32 bits (LONG), ll and I64 are 64, I is pointer-sized;
//  - %p is the pointer in upper-case hex, zero-filled to its full width;
//  - narrow text in wide output (and the reverse) goes through Windows-1252;
//  - a null string prints "(null)"; %n writes nothing.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ce_crt.h"
#include "text/text_internal.h"
#include "windows.h"

namespace {

constexpr size_t kWsprintfLimit = 1024;  // wsprintf's buffer, terminator included
constexpr int kMaxFloatPrecision = 512;  // beyond this a double has nothing more to show
constexpr int kMaxFloatWidth = 1 << 16;

// Where formatted text goes: stores what fits, counts everything.
template <class C>
struct Sink {
    C* out;
    size_t capacity;
    unsigned long long length = 0;

    void put(C c) {
        if (length < capacity) out[length] = c;
        length++;
    }
    void fill(C c, unsigned long long n) {
        if (length < capacity) {
            unsigned long long room = capacity - length;
            unsigned long long k = n < room ? n : room;
            for (unsigned long long i = 0; i < k; i++) out[length + i] = c;
        }
        length += n;
    }
    void narrow_text(const char* s, size_t n) {
        for (size_t i = 0; i < n; i++) {
            if constexpr (sizeof(C) == 1) put(s[i]);
            else put(ce::cp1252_to_wide(static_cast<unsigned char>(s[i])));
        }
    }
    void wide_text(const char16_t* s, size_t n) {
        for (size_t i = 0; i < n; i++) {
            if constexpr (sizeof(C) == 2) {
                put(s[i]);
            } else {
                int b = ce::wide_to_cp1252(s[i]);
                put(b < 0 ? '?' : static_cast<char>(b));
            }
        }
    }
};

enum class Len { None, HH, H, L, LL, I, W, Z, BigL };

struct Field {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    long long width = 0;
    long long precision = -1;
    Len len = Len::None;
};

template <class C>
void pad_before(Sink<C>& sink, const Field& field, unsigned long long body) {
    if (!field.left && static_cast<unsigned long long>(field.width) > body)
        sink.fill(C(' '), static_cast<unsigned long long>(field.width) - body);
}
template <class C>
void pad_after(Sink<C>& sink, const Field& field, unsigned long long body) {
    if (field.left && static_cast<unsigned long long>(field.width) > body)
        sink.fill(C(' '), static_cast<unsigned long long>(field.width) - body);
}

template <class C>
void emit_integer(Sink<C>& sink, const Field& field, unsigned long long magnitude, bool negative, char conv) {
    char digits[72];
    int n = 0;
    unsigned base = conv == 'o' ? 8 : (conv == 'x' || conv == 'X') ? 16 : 10;
    const char* set = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    for (unsigned long long v = magnitude; v; v /= base) digits[n++] = set[v % base];

    char prefix[3] = {};
    int prefix_len = 0;
    bool is_signed = conv == 'd' || conv == 'i';
    if (is_signed) {
        if (negative) prefix[prefix_len++] = '-';
        else if (field.plus) prefix[prefix_len++] = '+';
        else if (field.space) prefix[prefix_len++] = ' ';
    }
    if (field.alt && magnitude != 0 && base == 16) {
        prefix[prefix_len++] = '0';
        prefix[prefix_len++] = conv;
    }
    // Precision is the minimum number of digits; zero with precision 0 has none.
    unsigned long long shown = n;
    if (field.precision < 0 && n == 0) shown = 1;
    unsigned long long zeros = 0;
    if (field.precision >= 0 && static_cast<unsigned long long>(field.precision) > shown)
        zeros = static_cast<unsigned long long>(field.precision) - shown;
    // %#o: the first digit shown is a zero.
    if (field.alt && base == 8 && zeros == 0 && !(n == 0 && shown == 1)) zeros = 1;
    unsigned long long body = prefix_len + zeros + shown;
    if (field.zero && !field.left && field.precision < 0 && static_cast<unsigned long long>(field.width) > body) {
        zeros += static_cast<unsigned long long>(field.width) - body;
        body = static_cast<unsigned long long>(field.width);
    }
    pad_before(sink, field, body);
    for (int i = 0; i < prefix_len; i++) sink.put(C(prefix[i]));
    sink.fill(C('0'), zeros);
    if (n == 0 && shown == 1) sink.put(C('0'));
    for (int i = n - 1; i >= 0; i--) sink.put(C(digits[i]));
    pad_after(sink, field, body);
}

template <class F, class C>
long long run(C* out, size_t capacity, const F* format, va_list args) {
    Sink<C> sink{out, capacity};
    va_list ap;
    va_copy(ap, args);
    constexpr bool wide_format = sizeof(F) == 2;

    for (const F* p = format; *p;) {
        if (*p != F('%')) {
            sink.put(C(*p++));
            continue;
        }
        p++;
        Field field;
        for (;; p++) {
            if (*p == F('-')) field.left = true;
            else if (*p == F('+')) field.plus = true;
            else if (*p == F(' ')) field.space = true;
            else if (*p == F('#')) field.alt = true;
            else if (*p == F('0')) field.zero = true;
            else break;
        }
        if (*p == F('*')) {
            long long w = va_arg(ap, int);
            if (w < 0) {
                field.left = true;
                w = -w;
            }
            field.width = w;
            p++;
        } else {
            while (*p >= F('0') && *p <= F('9')) {
                field.width = field.width * 10 + (*p - F('0'));
                if (field.width > INT_MAX) field.width = INT_MAX;
                p++;
            }
        }
        if (*p == F('.')) {
            p++;
            field.precision = 0;
            if (*p == F('*')) {
                int v = va_arg(ap, int);
                field.precision = v < 0 ? -1 : v;
                p++;
            } else {
                while (*p >= F('0') && *p <= F('9')) {
                    field.precision = field.precision * 10 + (*p - F('0'));
                    if (field.precision > INT_MAX) field.precision = INT_MAX;
                    p++;
                }
            }
        }
        if (*p == F('h')) {
            p++;
            field.len = Len::H;
            if (*p == F('h')) {
                p++;
                field.len = Len::HH;
            }
        } else if (*p == F('l')) {
            p++;
            field.len = Len::L;
            if (*p == F('l')) {
                p++;
                field.len = Len::LL;
            }
        } else if (*p == F('w')) {
            p++;
            field.len = Len::W;
        } else if (*p == F('L')) {
            p++;
            field.len = Len::BigL;
        } else if (*p == F('z') || *p == F('j') || *p == F('t')) {
            p++;
            field.len = Len::Z;
        } else if (*p == F('q')) {
            p++;
            field.len = Len::LL;
        } else if (*p == F('I')) {
            p++;
            if (p[0] == F('6') && p[1] == F('4')) {
                p += 2;
                field.len = Len::LL;
            } else if (p[0] == F('3') && p[1] == F('2')) {
                p += 2;
                field.len = Len::None;
            } else {
                field.len = Len::I;
            }
        }
        if (!*p) break;  // a lone % at the end prints nothing
        F conv = *p++;
        switch (conv) {
            case F('%'): sink.put(C('%')); break;
            case F('d'):
            case F('i'): {
                long long v;
                switch (field.len) {
                    case Len::HH: v = static_cast<signed char>(va_arg(ap, int)); break;
                    case Len::H: v = static_cast<short>(va_arg(ap, int)); break;
                    case Len::LL:
                    case Len::I:
                    case Len::Z: v = va_arg(ap, long long); break;
                    default: v = va_arg(ap, int); break;  // l is the device's 32-bit LONG
                }
                unsigned long long m =
                    v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
                emit_integer(sink, field, m, v < 0, 'd');
                break;
            }
            case F('u'):
            case F('x'):
            case F('X'):
            case F('o'): {
                unsigned long long v;
                switch (field.len) {
                    case Len::HH: v = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
                    case Len::H: v = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
                    case Len::LL:
                    case Len::I:
                    case Len::Z: v = va_arg(ap, unsigned long long); break;
                    default: v = va_arg(ap, unsigned); break;
                }
                emit_integer(sink, field, v, false, static_cast<char>(conv));
                break;
            }
            case F('p'): {
                auto v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
                Field s = field;
                s.precision = 2 * sizeof(void*);
                s.alt = false;
                emit_integer(sink, s, v, false, 'X');
                break;
            }
            case F('c'):
            case F('C'): {
                bool wide = (conv == F('c')) == wide_format;
                if (field.len == Len::H) wide = false;
                if (field.len == Len::L || field.len == Len::W) wide = true;
                int v = va_arg(ap, int);
                pad_before(sink, field, 1);
                if (wide) {
                    char16_t ch = static_cast<char16_t>(v);
                    sink.wide_text(&ch, 1);
                } else {
                    char ch = static_cast<char>(v);
                    sink.narrow_text(&ch, 1);
                }
                pad_after(sink, field, 1);
                break;
            }
            case F('s'):
            case F('S'): {
                bool wide = (conv == F('s')) == wide_format;
                if (field.len == Len::H) wide = false;
                if (field.len == Len::L || field.len == Len::W) wide = true;
                const void* arg = va_arg(ap, const void*);
                size_t max = field.precision < 0 ? SIZE_MAX : static_cast<size_t>(field.precision);
                if (!arg) {
                    static const char null_text[] = "(null)";
                    size_t n = std::min(max, sizeof null_text - 1);
                    pad_before(sink, field, n);
                    sink.narrow_text(null_text, n);
                    pad_after(sink, field, n);
                } else if (wide) {
                    const auto* s = static_cast<const char16_t*>(arg);
                    size_t n = wcsnlen(s, max);
                    pad_before(sink, field, n);
                    sink.wide_text(s, n);
                    pad_after(sink, field, n);
                } else {
                    const auto* s = static_cast<const char*>(arg);
                    size_t n = strnlen(s, max);
                    pad_before(sink, field, n);
                    sink.narrow_text(s, n);
                    pad_after(sink, field, n);
                }
                break;
            }
            case F('e'):
            case F('E'):
            case F('f'):
            case F('F'):
            case F('g'):
            case F('G'):
            case F('a'):
            case F('A'): {
                long double v = field.len == Len::BigL ? va_arg(ap, long double) : va_arg(ap, double);
                std::string f = "%";
                if (field.left) f += '-';
                if (field.plus) f += '+';
                if (field.space) f += ' ';
                if (field.alt) f += '#';
                if (field.zero) f += '0';
                f += "*.*L";
                f += static_cast<char>(conv);
                int width = static_cast<int>(std::min<long long>(field.width, kMaxFloatWidth));
                int precision = static_cast<int>(std::min<long long>(field.precision, kMaxFloatPrecision));
                int need = std::snprintf(nullptr, 0, f.c_str(), width, precision, v);
                if (need > 0) {
                    std::vector<char> text(static_cast<size_t>(need) + 1);
                    std::snprintf(text.data(), text.size(), f.c_str(), width, precision, v);
                    sink.narrow_text(text.data(), static_cast<size_t>(need));
                }
                break;
            }
            case F('n'):
                // Writing through an argument is how format strings get
                // exploited; the argument is taken and nothing is written.
                (void)va_arg(ap, void*);
                break;
            default:
                // Unknown conversions print themselves, as wsprintf does.
                sink.put(C(conv));
                break;
        }
    }
    va_end(ap);
    if (sink.length > static_cast<unsigned long long>(INT_MAX)) return -1;
    return static_cast<long long>(sink.length);
}

// The counted forms: Windows' _snprintf rules (fits: terminated; exactly
// count: unterminated, count returned; longer: unterminated, -1).
template <class C>
int counted(C* out, size_t count, const C* format, va_list args) {
    if (!format || (!out && count > 0)) {
        errno = EINVAL;
        return -1;
    }
    long long len;
    if constexpr (sizeof(C) == 2) len = ce::format_wide(out, count, format, args);
    else len = ce::format_narrow(out, count, format, args);
    if (len < 0) return -1;
    auto n = static_cast<size_t>(len);
    if (n < count) {
        out[n] = 0;
        return static_cast<int>(n);
    }
    if (n == count) return static_cast<int>(n);
    return -1;
}

// wsprintf's form: at most 1023 characters and a terminator.
template <class C>
int limited(C* out, const C* format, va_list args) {
    if (!out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!format) {
        out[0] = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    long long len;
    if constexpr (sizeof(C) == 2) len = ce::format_wide(out, kWsprintfLimit - 1, format, args);
    else len = ce::format_narrow(out, kWsprintfLimit - 1, format, args);
    size_t n = len < 0 ? kWsprintfLimit - 1 : std::min(static_cast<size_t>(len), kWsprintfLimit - 1);
    out[n] = 0;
    return static_cast<int>(n);
}

}  // namespace

namespace ce {

long long format_wide(WCHAR* out, size_t capacity, const WCHAR* format, va_list args) {
    return run<char16_t, char16_t>(out, capacity, format, args);
}

long long format_narrow(char* out, size_t capacity, const char* format, va_list args) {
    return run<char, char>(out, capacity, format, args);
}

}  // namespace ce

// wvsprintfW -> wide formatting into a caller's buffer of up to 1024 characters (own engine).
int wvsprintfW(LPWSTR out, LPCWSTR format, va_list args) { return limited(out, format, args); }

// wsprintfW -> wide formatting, variadic form of wvsprintfW.
int wsprintfW(LPWSTR out, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfW(out, format, args);
    va_end(args);
    return n;
}

// wvsprintfA -> narrow formatting into up to 1024 bytes (own engine, Windows conventions).
int wvsprintfA(LPSTR out, LPCSTR format, va_list args) { return limited(out, format, args); }

// wsprintfA -> narrow formatting, variadic form of wvsprintfA.
int wsprintfA(LPSTR out, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(out, format, args);
    va_end(args);
    return n;
}

// _vsnwprintf -> counted wide formatting (own engine; -1 and no terminator when it does not fit).
int _vsnwprintf(WCHAR* out, size_t count, const WCHAR* format, va_list args) {
    return counted(out, count, format, args);
}

// _snwprintf -> counted wide formatting, variadic form.
int _snwprintf(WCHAR* out, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(out, count, format, args);
    va_end(args);
    return n;
}

// swprintf -> the device's old unbounded swprintf (no count): the caller's buffer must hold the text.
int swprintf(WCHAR* out, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(out, static_cast<size_t>(INT_MAX), format, args);
    va_end(args);
    return n;
}

// _vsnprintf -> counted narrow formatting (own engine; -1 and no terminator when it does not fit).
int _vsnprintf(char* out, size_t count, const char* format, va_list args) { return counted(out, count, format, args); }

// _snprintf -> counted narrow formatting, variadic form.
int _snprintf(char* out, size_t count, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(out, count, format, args);
    va_end(args);
    return n;
}
