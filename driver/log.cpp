// The diagnostic log \Tervalon.log: one open-append-close per entry, so no
// handle is ever held and a crash loses at most the entry being written.
// Layout of an entry: the message, one blank, the time of day ("HH:mm:ss")
// or nothing, then a line feed.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver.h"

namespace {

// "HH:mm:ss" of the current local time, or the empty text for an untimed entry.
void BuildStamp(WCHAR* stamp, int size, BOOL timed) {
    stamp[0] = 0;
    if (!timed) return;
    if (GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_NOTIMEMARKER, nullptr, u"HH:mm:ss", stamp, size) <= 0) stamp[0] = 0;
    stamp[size - 1] = 0;
}

void WriteEntry(const char* line, size_t length) {
    FILE* file = _wfopen(LOG_FILE, u"a+");
    if (!file) return;  // the entry is lost; the driver goes on
    fwrite(line, 1, length, file);
    fclose(file);
}

}  // namespace

void LogText(const char* text, BOOL timed, BOOL lineEnd) {
    if (Driver.Settings.LogMode == 0) return;
    WCHAR stamp[30];
    BuildStamp(stamp, 30, timed);
    // "%s %S\n": the text, a blank, the stamp. A text too long for the line is
    // cut so that the stamp and the line end still fit.
    char line[LOG_LINE];
    size_t stampLength = wcslen(stamp);
    size_t room = LOG_LINE - 1 - 1 - stampLength - (lineEnd ? 1 : 0);
    size_t length = strnlen(text, room);
    memcpy(line, text, length);
    line[length++] = ' ';
    for (size_t i = 0; i < stampLength; i++) line[length++] = static_cast<char>(stamp[i]);
    if (lineEnd) line[length++] = '\n';
    line[length] = 0;
    WriteEntry(line, length);
}

void LogTextW(const WCHAR* text, BOOL timed, BOOL lineEnd) {
    if (Driver.Settings.LogMode == 0) return;
    WCHAR stamp[30];
    BuildStamp(stamp, 30, timed);
    // "%s %s\n" in wide text, cut like LogText's.
    WCHAR line[LOG_LINE];
    size_t stampLength = wcslen(stamp);
    size_t room = LOG_LINE - 1 - 1 - stampLength - (lineEnd ? 1 : 0);
    size_t length = wcsnlen(text, room);
    memcpy(line, text, length * sizeof(WCHAR));
    line[length++] = u' ';
    memcpy(line + length, stamp, stampLength * sizeof(WCHAR));
    length += stampLength;
    if (lineEnd) line[length++] = u'\n';
    line[length] = 0;
    char narrow[LOG_LINE];
    int converted = WideCharToMultiByte(CP_ACP, 0, line, -1, narrow, LOG_LINE, nullptr, nullptr);
    if (converted <= 0) return;
    narrow[LOG_LINE - 1] = 0;
    WriteEntry(narrow, strlen(narrow));
}

void LogFormatW(BOOL timed, const WCHAR* format, ...) {
    WCHAR line[LOG_LINE];
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, LOG_LINE, format, args);
    va_end(args);
    line[LOG_LINE - 1] = 0;  // a longer line is cut at its end
    LogTextW(line, timed, TRUE);
}

void LogHex(const WCHAR* label, DWORD length, const BYTE* bytes, BOOL timed) {
    static const char digits[] = "0123456789ABCDEF";
    // Whatever LogText adds behind the dump: a blank, "HH:mm:ss", a line end.
    const size_t limit = LOG_LINE - 1 - 1 - 8 - 1;
    char line[LOG_LINE];
    int labelLength = WideCharToMultiByte(CP_ACP, 0, label, -1, line, static_cast<int>(limit) + 1, nullptr, nullptr);
    size_t used = labelLength > 0 ? strnlen(line, limit) : 0;
    // A dump longer than the line is cut after the last whole byte that fits.
    for (DWORD i = 0; i < length && bytes && used + 3 <= limit; i++) {
        line[used++] = digits[bytes[i] >> 4];
        line[used++] = digits[bytes[i] & 15];
        line[used++] = ' ';
    }
    line[used] = 0;
    LogText(line, timed, TRUE);
}

void RotateLog() {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(LOG_FILE, GetFileExInfoStandard, &info)) return;
    ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size / 1024 > 100) {
        // Failures are ignored: the log keeps growing until a later rotation works.
        DeleteFileW(LOG_BACKUP);
        MoveFileW(LOG_FILE, LOG_BACKUP);
    }
}
