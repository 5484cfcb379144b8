// The formatter under fuzzed format strings. The input is turned into a
// format whose conversions are all safe with the fixed integer arguments
// passed (flags, widths, precisions, h/hh/l, d i u x X o c and %%; never %s
// or %n). Checked: the counted forms' overflow rules and that they never
// write past their count; wsprintf's 1024-character cut; the wide engine
// agrees with the narrow one; and where the device's conventions and C's
// agree (no l, no *), the output equals the C library's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "windows.h"

namespace {

const int kArgs[24] = {0,     1, -1,   42,   2147483647, -2147483647 - 1, 255,    -255,
                       65535, 7, 0x7F, 0x80, 0x1FF,      1000000,         -99,    12,
                       0x41,  3, 9,    100,  -100000,    0x7FFF,          0x8000, 5};

#define CE_FUZZ_ARGS                                                                                                  \
    kArgs[0], kArgs[1], kArgs[2], kArgs[3], kArgs[4], kArgs[5], kArgs[6], kArgs[7], kArgs[8], kArgs[9], kArgs[10],    \
        kArgs[11], kArgs[12], kArgs[13], kArgs[14], kArgs[15], kArgs[16], kArgs[17], kArgs[18], kArgs[19], kArgs[20], \
        kArgs[21], kArgs[22], kArgs[23]

// Each conversion takes at most three arguments (width, precision, value):
// eight conversions never reach past the 24 passed.
std::string make_format(const uint8_t* d, size_t n, bool& like_c) {
    std::string f;
    like_c = true;
    int conversions = 0;
    size_t i = 0;
    auto next = [&]() -> uint8_t { return i < n ? d[i++] : 0; };
    while (i < n) {
        uint8_t b = next();
        if (b != '%' || conversions == 8) {
            if (b != '%' && b != 0) f += static_cast<char>(b);
            continue;
        }
        conversions++;
        uint8_t pick = next();
        if ((pick & 7) == 0) {
            f += "%%";
            continue;
        }
        f += '%';
        static const char flags[] = "-+ #0";
        for (int k = 0; k < 5; k++)
            if (pick & (8 << (k % 3))) f += flags[(k + pick) % 5];
        uint8_t w = next();
        if (w % 7 == 0) {
            f += '*';
            like_c = false;
        } else if (w % 3 == 0) {
            f += std::to_string(w % 200);
        }
        uint8_t p = next();
        if (p % 5 == 0) {
            f += ".*";
            like_c = false;
        } else if (p % 4 == 0) {
            f += '.';
            f += std::to_string(p % 40);
        }
        static const char convs[] = "diuxXoc";
        char conv = convs[next() % 7];
        uint8_t len = next() % 5;
        if (conv != 'c') {
            if (len == 1) f += 'h';
            if (len == 2) f += "hh";
            if (len == 3) {
                f += 'l';  // the device's 32-bit long; C's is 64 here
                like_c = false;
            }
        }
        f += conv;
    }
    return f;
}

[[noreturn]] void fail(const char* what, const std::string& format) {
    std::fprintf(stderr, "%s for format \"%s\"\n", what, format.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t cap = data[0] % 64;
    bool like_c = false;
    std::string format = make_format(data + 1, size - 1, like_c);

    std::vector<char> full(8192, '\0');
    int len = _snprintf(full.data(), full.size(), format.c_str(), CE_FUZZ_ARGS);
    if (len < 0) {
        // Only a width or precision taken from the arguments (up to INT_MAX)
        // can make the text longer than the large buffer.
        if (like_c) fail("overflow of a large buffer", format);
        return 0;
    }
    std::string text(full.data(), static_cast<size_t>(len));

    // A small buffer: the device's rules, and nothing written past count.
    std::vector<char> small(cap + 8, '#');
    int n = _snprintf(small.data(), cap, format.c_str(), CE_FUZZ_ARGS);
    if (static_cast<size_t>(len) < cap) {
        if (n != len || small[static_cast<size_t>(len)] != '\0') fail("fitting text", format);
    } else if (static_cast<size_t>(len) == cap) {
        if (n != len) fail("exactly fitting text", format);
    } else if (n != -1) {
        fail("overflow not reported", format);
    }
    if (std::memcmp(small.data(), text.data(), std::min(cap, text.size())) != 0) fail("prefix differs", format);
    for (size_t k = 0; k < small.size(); k++) {
        if (k >= cap && small[k] != '#') fail("wrote past the count", format);
        if (static_cast<size_t>(len) < cap && k > static_cast<size_t>(len) && k < cap && small[k] != '#')
            fail("wrote past the text", format);
    }

    std::vector<char> ws(1100, '#');
    int wn = wsprintfA(ws.data(), format.c_str(), CE_FUZZ_ARGS);
    size_t expect = std::min<size_t>(text.size(), 1023);
    if (wn != static_cast<int>(expect) || std::memcmp(ws.data(), text.data(), expect) != 0 || ws[expect] != '\0' ||
        ws[1024] != '#')
        fail("wsprintfA", format);

    // The wide engine, on the same format: the same characters (%c gives
    // the argument's low 16 bits in wide text, its low 8 in narrow).
    std::u16string wformat(format.begin(), format.end());
    for (auto& c : wformat) c = static_cast<unsigned char>(c);
    std::vector<WCHAR> wide(8192);
    int wlen = _snwprintf(wide.data(), wide.size(), wformat.c_str(), CE_FUZZ_ARGS);
    if (wlen != len) fail("wide length", format);
    for (int k = 0; k < len; k++) {
        if ((wide[static_cast<size_t>(k)] & 0xFF) != static_cast<unsigned char>(text[static_cast<size_t>(k)]))
            fail("wide text", format);
    }

    if (like_c) {
        int clen = std::snprintf(full.data(), full.size(), format.c_str(), CE_FUZZ_ARGS);
        if (clen != len || std::memcmp(full.data(), text.data(), static_cast<size_t>(len)) != 0) {
            std::fprintf(stderr, "ours \"%s\" C \"%.*s\"\n", text.c_str(), clen, full.data());
            fail("differs from C", format);
        }
    }
    return 0;
}
