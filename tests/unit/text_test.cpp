// Text services: Windows-style formatting, code page conversions, time
// formatting and the 16-bit wide string functions.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "ce_platform.h"
#include "windows.h"

namespace {

std::string fmt(const char* format, ...) {
    char out[512];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(out, sizeof out, format, args);
    va_end(args);
    return n < 0 ? std::string("<overflow>") : std::string(out, static_cast<size_t>(n));
}

std::u16string wfmt(const WCHAR* format, ...) {
    WCHAR out[512];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(out, 512, format, args);
    va_end(args);
    return n < 0 ? std::u16string(u"<overflow>") : std::u16string(out, static_cast<size_t>(n));
}

// ---- formatting ----------------------------------------------------------------

TEST(TextFormat, IntegersWithFlagsWidthsAndPrecision) {
    EXPECT_EQ(fmt("%d|%i|%u", -42, 7, 3000000000u), "-42|7|3000000000");
    EXPECT_EQ(fmt("%02X %03d %01d", 0xA, 7, 123), "0A 007 123");
    EXPECT_EQ(fmt("%x %X %o %#x %#X %#o", 255, 255, 8, 255, 255, 8), "ff FF 10 0xff 0XFF 010");
    EXPECT_EQ(fmt("%#x %#o", 0, 0), "0 0");
    EXPECT_EQ(fmt("[%5d][%-5d][%05d][%+d][% d][%+d]", 42, 42, -42, 42, 42, -1), "[   42][42   ][-0042][+42][ 42][-1]");
    EXPECT_EQ(fmt("[%.3d][%8.3d][%-8.3x][%.0d]", 5, -5, 10, 0), "[005][    -005][00a     ][]");
    EXPECT_EQ(fmt("[%08.3d]", 5), "[     005]");  // precision turns off zero padding
    EXPECT_EQ(fmt("[%*d][%-*d][%.*d][%*d]", 4, 1, 4, 2, 3, 3, -3, 4), "[   1][2   ][003][4  ]");
    EXPECT_EQ(fmt("%d %d", INT_MIN, INT_MAX), "-2147483648 2147483647");
    EXPECT_EQ(fmt("%hd %hu %hhx", 70000, 70000, 0x1ff), "4464 4464 ff");
    // l is the device's 32-bit LONG; ll and I64 are 64 bits; I is pointer-sized.
    EXPECT_EQ(fmt("%ld %lx", static_cast<LONG>(-1), static_cast<DWORD>(0xDEADBEEF)), "-1 deadbeef");
    EXPECT_EQ(fmt("%lld %I64u %I64X", -1234567890123ll, 18446744073709551615ull, 0x1234567890ABCDEFull),
              "-1234567890123 18446744073709551615 1234567890ABCDEF");
    EXPECT_EQ(fmt("%Iu %I32d", static_cast<size_t>(1) << 40, 5), "1099511627776 5");
    EXPECT_EQ(fmt("100%% %c%c", 'o', 'k'), "100% ok");
    EXPECT_EQ(fmt("%p", reinterpret_cast<void*>(0x1234)), "0000000000001234");
    EXPECT_EQ(fmt("%.2f|%5.1f|%e", 3.14159, 2.25, 1.0), "3.14|  2.2|1.000000e+00");
    EXPECT_EQ(fmt("%y|%"), "y|");  // unknown conversions print themselves; a lone % nothing
    int sink = 99;
    EXPECT_EQ(fmt("a%nb", &sink), "ab");
    EXPECT_EQ(sink, 99);  // %n writes nothing
}

TEST(TextFormat, WindowsStringConventionsInBothDirections) {
    // Narrow format: %s narrow, %S wide; %hs narrow, %ls/%ws wide.
    EXPECT_EQ(fmt("%s-%S-%hs-%ls-%ws", "n", u"w", "h", u"l", u"w2"), "n-w-h-l-w2");
    EXPECT_EQ(fmt("%c%C%lc", 'a', u'b', u'c'), "abc");
    // Wide format: %s wide, %S narrow.
    EXPECT_EQ(wfmt(u"%s-%S-%hs-%ls", u"w", "n", "h", u"l"), u"w-n-h-l");
    EXPECT_EQ(wfmt(u"%c%C%hc", u'x', 'y', 'z'), u"xyz");
    // The log line: a wide text in a narrow format, and the reverse.
    EXPECT_EQ(fmt("%s %S\n", "COM_Deinit", u"14:03:27"), "COM_Deinit 14:03:27\n");
    // Null strings, with and without precision.
    EXPECT_EQ(
        fmt("[%s][%S][%.3s]", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr), static_cast<char*>(nullptr)),
        "[(null)][(null)][(nu]");
    EXPECT_EQ(wfmt(u"[%s]", static_cast<WCHAR*>(nullptr)), u"[(null)]");
    // Width and precision on text.
    EXPECT_EQ(fmt("[%6s][%-6s][%.2s][%6.2S]", "abc", "abc", "abc", u"xyz"), "[   abc][abc   ][ab][    xy]");
    // Crossing widths goes through Windows-1252: é and € exist there, Ā does not.
    EXPECT_EQ(fmt("%S", u"\u00e9\u20ac\u0100"), "\xE9\x80?");
    EXPECT_EQ(wfmt(u"%S", "\xE9\x80"), u"\u00e9\u20ac");
    EXPECT_EQ(wfmt(u"%d %04X %s", -7, 0xBEEFu, u"\u0100\U0001F600"), u"-7 BEEF \u0100\U0001F600");
}

TEST(TextFormat, CountedFormsFollowTheDeviceOnOverflow) {
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(_snprintf(buf, 6, "%s", "abc"), 3);
    EXPECT_STREQ(buf, "abc");
    // Exactly the count: all of it, no terminator, the count returned.
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(_snprintf(buf, 6, "%s", "abcdef"), 6);
    EXPECT_EQ(std::string(buf, 7), "abcdef#");
    // Longer: -1, the first count characters, no terminator, nothing beyond.
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(_snprintf(buf, 6, "%d", 123456789), -1);
    EXPECT_EQ(std::string(buf, 8), "123456##");
    EXPECT_EQ(_snprintf(buf, 0, "x"), -1);
    EXPECT_EQ(_snprintf(nullptr, 0, ""), 0);
    EXPECT_EQ(_snprintf(buf, 4, nullptr), -1);

    WCHAR w[8];
    std::fill(std::begin(w), std::end(w), u'#');
    EXPECT_EQ(_snwprintf(w, 4, u"%s", u"abcdef"), -1);
    EXPECT_EQ(std::u16string(w, 6), u"abcd##");
    EXPECT_EQ(_snwprintf(w, 8, u"%S!", "ok"), 3);
    EXPECT_EQ(std::u16string(w), u"ok!");
    EXPECT_EQ(swprintf(w, u"%03u", 9u), 3);
    EXPECT_EQ(std::u16string(w), u"009");

    // A huge width costs nothing beyond the buffer and is reported as overflow.
    EXPECT_EQ(_snprintf(buf, sizeof buf, "%999999999d", 1), -1);
    EXPECT_EQ(_snprintf(buf, sizeof buf, "%.999999999d", 1), -1);
}

TEST(TextFormat, WsprintfStopsAt1024Characters) {
    std::string big(2000, 'x');
    std::vector<char> out(1100, '#');
    EXPECT_EQ(wsprintfA(out.data(), "%s", big.c_str()), 1023);
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], '#');
    EXPECT_EQ(wsprintfA(out.data(), "%d-%s", 12, "ab"), 5);
    EXPECT_STREQ(out.data(), "12-ab");

    std::u16string wbig(3000, u'y');
    std::vector<WCHAR> wout(1100, u'#');
    EXPECT_EQ(wsprintfW(wout.data(), u"%s", wbig.c_str()), 1023);
    EXPECT_EQ(wout[1023], u'\0');
    EXPECT_EQ(wout[1024], u'#');
    EXPECT_EQ(wsprintfW(wout.data(), u"%S=%02X", "hex", 0x5), 6);
    EXPECT_EQ(std::u16string(wout.data()), u"hex=05");
}

// ---- code pages ----------------------------------------------------------------

TEST(TextCodePage, WideTo1252WithDefaultsAndSizes) {
    char out[16];
    BOOL used = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\u00e9\u20ac", 3, out, sizeof out, nullptr, &used), 3);
    EXPECT_EQ(std::string(out, 3), "a\xE9\x80");
    EXPECT_FALSE(used);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"x\u0100\u4e2d", 3, out, sizeof out, nullptr, &used), 3);
    EXPECT_EQ(std::string(out, 3), "x??");
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u0100", 1, out, sizeof out, "*", nullptr), 1);
    EXPECT_EQ(out[0], '*');
    // -1: the terminator is converted and counted.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", -1, out, sizeof out, nullptr, nullptr), 4);
    EXPECT_STREQ(out, "abc");
    // Size query, then a buffer too small: 0, the error, the buffer untouched.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcdef", -1, nullptr, 0, nullptr, nullptr), 7);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcdef", -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[0], '#');
    // Bad arguments.
    EXPECT_EQ(WideCharToMultiByte(1251, 0, u"a", 1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, 1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", 0, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", 1, nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TextCodePage, Utf8BothWays) {
    char out[16];
    // A surrogate pair is one 4-byte character; a lone surrogate is U+FFFD.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9\U0001F600", -1, out, sizeof out, nullptr, nullptr), 7);
    EXPECT_STREQ(out, "\xC3\xA9\xF0\x9F\x98\x80");
    const WCHAR lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, sizeof out, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(out, 5),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    BOOL used;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, sizeof out, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    WCHAR w[16];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9\xF0\x9F\x98\x80", -1, w, 16), 4);
    EXPECT_EQ(std::u16string(w), u"\u00e9\U0001F600");
    // Malformed, truncated and overlong sequences become U+FFFD.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "a\xFF"
                                  "b\xC3",
                                  4, w, 16),
              4);
    EXPECT_EQ(std::u16string(w, 4), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC0\xAF", 2, w, 16), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, w, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, w, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(TextCodePage, Every1252ByteRoundTrips) {
    // The 0x80-0x9F block is where 1252 differs from Latin-1.
    WCHAR w[2];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80", 1, w, 2), 1);
    EXPECT_EQ(w[0], 0x20AC);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x9F", 1, w, 2), 1);
    EXPECT_EQ(w[0], 0x0178);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x8A", 1, w, 2), 1);
    EXPECT_EQ(w[0], 0x0160);
    for (int b = 1; b < 256; b++) {
        char in = static_cast<char>(b), back = 0;
        WCHAR mid = 0;
        ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, &in, 1, &mid, 1), 1);
        BOOL used = FALSE;
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, &mid, 1, &back, 1, nullptr, &used), 1);
        EXPECT_EQ(static_cast<unsigned char>(back), b) << "byte " << b;
        EXPECT_FALSE(used);
    }
}

// ---- time formatting ------------------------------------------------------------

std::u16string time_text(const SYSTEMTIME& t, const WCHAR* picture, DWORD flags = 0) {
    WCHAR out[64];
    int n = GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, flags, &t, picture, out, 64);
    return n > 0 ? std::u16string(out) : u"<error>";
}

TEST(TextTime, PicturesFlagsAndSizes) {
    SYSTEMTIME t{2024, 3, 5, 14, 14, 3, 7, 0};
    EXPECT_EQ(time_text(t, u"HH:mm:ss"), u"14:03:07");
    EXPECT_EQ(time_text(t, u"H:m:s"), u"14:3:7");
    EXPECT_EQ(time_text(t, u"h:mm tt"), u"2:03 PM");
    EXPECT_EQ(time_text(t, u"hh t"), u"02 P");
    EXPECT_EQ(time_text(t, u"'at' HH'h' mm''"), u"at 14h 03'");
    EXPECT_EQ(time_text(t, u"'it''s' H"), u"it's 14");
    EXPECT_EQ(time_text(t, u"HH:mm:ss", TIME_NOSECONDS), u"14:03");
    EXPECT_EQ(time_text(t, u"HH:mm:ss", TIME_NOMINUTESORSECONDS), u"14");
    EXPECT_EQ(time_text(t, u"hh:mm tt", TIME_NOTIMEMARKER), u"02:03");
    EXPECT_EQ(time_text(t, u"tt hh:mm", TIME_NOTIMEMARKER), u"02:03");
    EXPECT_EQ(time_text(t, u"hh:mm", TIME_FORCE24HOURFORMAT), u"14:03");
    EXPECT_EQ(time_text(t, nullptr), u"14:03:07");
    SYSTEMTIME midnight{2024, 1, 1, 1, 0, 5, 0, 0};
    EXPECT_EQ(time_text(midnight, u"h:mm tt|HH"), u"12:05 AM|00");

    // The log's call: no time marker, the default locale, a 30-character buffer.
    WCHAR out[30];
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_NOTIMEMARKER, &t, u"HH:mm:ss", out, 30), 9);
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"HH:mm:ss", nullptr, 0), 9);  // size query
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"HH:mm:ss", out, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[0], u'#');
    SYSTEMTIME bad = t;
    bad.wHour = 24;
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &bad, u"HH", out, 30), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0x100, &t, u"HH", out, 30), 0);

    // No time: now, in local time.
    ASSERT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, nullptr, u"HH:mm:ss", out, 30), 9);
    std::u16string now(out);
    ASSERT_EQ(now.size(), 8u);
    EXPECT_EQ(now[2], u':');
    EXPECT_EQ(now[5], u':');
    EXPECT_LE(now.substr(0, 2), u"23");
}

// ---- wide strings ---------------------------------------------------------------

TEST(TextWideStrings, SearchCompareAndCopy) {
    const WCHAR* s = u"Tervalon.dll";
    EXPECT_EQ(wcslen(s), 12u);
    EXPECT_EQ(wcsnlen(s, 4), 4u);
    EXPECT_EQ(wcschr(s, u'.') - s, 8);
    EXPECT_EQ(wcschr(s, u'\0') - s, 12);
    const WCHAR* path = u"a\\b\\c";
    EXPECT_EQ(wcsrchr(path, u'\\') - path, 3);
    EXPECT_EQ(wcsstr(s, u"lon") - s, 5);
    EXPECT_EQ(wcsstr(s, u"xyz"), nullptr);
    EXPECT_EQ(wcsstr(s, u""), s);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_GT(wcscmp(u"\u00e9", u"z"), 0);  // compared by unit value
    EXPECT_EQ(wcsncmp(u"abcX", u"abcY", 3), 0);
    EXPECT_EQ(_wcsicmp(u"TERVALON.DLL", s), 0);
    EXPECT_EQ(_wcsicmp(u"\u00c9T\u00c9", u"\u00e9t\u00e9"), 0);
    EXPECT_NE(_wcsicmp(u"abc", u"abd"), 0);
    EXPECT_EQ(_wcsnicmp(u"ABCx", u"abcy", 3), 0);

    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    wcsncpy(buf, u"ab", 5);
    EXPECT_EQ(std::u16string(buf, 6), std::u16string(u"ab\0\0\0#", 6));  // zero padded
    wcsncpy(buf, u"abcdefgh", 3);
    EXPECT_EQ(buf[3], u'\0');  // the pad from before; a full copy adds none
    wcscpy(buf, u"ab");
    wcscat(buf, u"cd");
    EXPECT_EQ(std::u16string(buf), u"abcd");
}

TEST(TextWideStrings, NumbersKeepTheDevicesWidths) {
    WCHAR* end = nullptr;
    const WCHAR* text = u"  -123xyz";
    EXPECT_EQ(wcstol(text, &end, 10), -123);
    EXPECT_EQ(end - text, 6);
    EXPECT_EQ(wcstol(u"0x1F", nullptr, 16), 31);
    EXPECT_EQ(wcstol(u"0x1F", nullptr, 0), 31);
    EXPECT_EQ(wcstol(u"017", nullptr, 0), 15);
    text = u"zz";
    EXPECT_EQ(wcstol(text, &end, 10), 0);
    EXPECT_EQ(end, text);  // nothing parsed: end is the start
    // Saturation at the device's 32-bit limits.
    errno = 0;
    EXPECT_EQ(wcstol(u"99999999999", nullptr, 10), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(wcstol(u"-2147483648", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(wcstol(u"-2147483649", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(wcstoul(u"4294967295", nullptr, 10), 4294967295UL);
    EXPECT_EQ(wcstoul(u"4294967296", nullptr, 10), 4294967295UL);
    EXPECT_EQ(wcstoul(u"-1", nullptr, 10), 4294967295UL);
    EXPECT_EQ(wcstoul(u"FFFFFFFF", nullptr, 16), 0xFFFFFFFFUL);
    EXPECT_EQ(_wtoi(u" 90000"), 90000);
    EXPECT_EQ(_wtoi(u"junk"), 0);
    EXPECT_DOUBLE_EQ(_wtof(u"87.5MHz"), 87.5);
    EXPECT_DOUBLE_EQ(_wtof(u"-1e3"), -1000.0);
}

}  // namespace
