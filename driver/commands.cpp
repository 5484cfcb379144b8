// The command interpreter: every write is examined for the commands of the
// dialect the driver speaks and each command found is carried out at once,
// on the writing thread. Nothing written is forwarded anywhere, and nothing is
// kept between writes.
#include <cctype>
#include <cstring>

#include "driver.h"

namespace {

const BYTE kRdsOnAnswer[10] = {0x3F, 0x00, 0x00, 0x56, 0x05, 0x11, 0x2D, 0x07, 0x03, 0x3F};
const BYTE kScanUpAnswer[10] = {0x3F, 0x00, 0x00, 0x79, 0x00, 0x6F, 0x6B, 0x00, 0x00, 0x3F};
const BYTE kScanDownAnswer[10] = {0x3F, 0x00, 0x00, 0x78, 0x00, 0x6F, 0x6B, 0x00, 0x00, 0x3F};

const char* const kVersionAnswers[3] = {
    "$PSRFTXT,VersionR: 2K00320101N10151006080906*",
    "$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*",
    "$PSRF154,107*",
};

// The first occurrence of a pattern lying wholly within the written bytes.
long FindPattern(const BYTE* bytes, DWORD count, const BYTE* pattern, DWORD length) {
    if (count < length) return -1;
    for (DWORD i = 0; i + length <= count; i++) {
        if (memcmp(bytes + i, pattern, length) == 0) return static_cast<long>(i);
    }
    return -1;
}

// A field of up to width characters at pos; what lies beyond the text is absent.
void CopyField(const char* text, size_t length, size_t pos, size_t width, char* field) {
    size_t n = 0;
    while (n < width && pos + n < length) {
        field[n] = text[pos + n];
        n++;
    }
    field[n] = 0;
}

void QueueAnswer(const char* text) {
    char answer[WRITE_COPY_SIZE];
    strcpy(answer, text);
    AddNmeaChecksum(answer);
    strcat(answer, "\r\n");
    AppendOutput(static_cast<DWORD>(strlen(answer)), answer, TRUE);
}

void Tune(DWORD frequency) {
    FMSetProp(Driver.Radio.FmHandle.load(std::memory_order_relaxed), FMPROP_FREQUENCY, frequency);
}

void Seek(DWORD direction) { FMSeek(Driver.Radio.FmHandle.load(std::memory_order_relaxed), direction); }

// $PSRF123: P2 chooses a 100 kHz step (0) or a seek (1), P1 the direction
// (0 down, 1 up). A step wraps around at the ends of the band.
void StepOrSeek(int p1, int p2) {
    DWORD frequency = Driver.Radio.Frequency.load(std::memory_order_relaxed);
    bool log = (Driver.Settings.LogMode & LOG_EVENT) != 0;
    if (p2 == 0) {
        if (p1 == 0) {
            LONGLONG next = static_cast<LONGLONG>(frequency) - 100;
            frequency =
                next < static_cast<LONGLONG>(Driver.Radio.BandLow) ? Driver.Radio.BandHigh : static_cast<DWORD>(next);
            if (log) LogFormatW(FALSE, u"COM_Write: 123 Tune DOWN: %d P1:%d P2:%d", frequency, p1, p2);
        } else if (p1 == 1) {
            ULONGLONG next = static_cast<ULONGLONG>(frequency) + 100;
            frequency = next > Driver.Radio.BandHigh ? Driver.Radio.BandLow : static_cast<DWORD>(next);
            if (log) LogFormatW(FALSE, u"COM_Write: 123 Tune UP: %d P1:%d P2:%d ", frequency, p1, p2);
        }
        Tune(frequency);
    } else if (p2 == 1) {
        if (p1 == 0) {
            Seek(FMSEEK_DOWN);
            if (log) LogFormatW(FALSE, u"COM_Write: 123 Scan DOWN: %d P1:%d P2:%d ", frequency, p1, p2);
        } else if (p1 == 1) {
            if (log) LogFormatW(TRUE, u"COM_Write: 123 Scan UP: %d P1:%d P2:%d ", frequency, p1, p2);
            Seek(FMSEEK_UP);
            Sleep(2000);
        }
    }
}

// A GNS scan command: seek from the frequency byte given, answer at once, and
// hold the writer 2.5 s while the tuner sweeps.
void GnsScan(BYTE from, DWORD direction, const BYTE (&answer)[10], bool logEvent, bool logData) {
    Driver.Gns.GnsScanning.store(1, std::memory_order_relaxed);
    DWORD start = (static_cast<DWORD>(from) + 875) * 100;
    if (logEvent) LogFormatW(FALSE, u"COM_Write: GNS SCAN solicited from %d", start);
    Seek(direction);
    AppendOutput(sizeof(answer), answer, TRUE);
    if (logData) LogHex(u"ANSW:", sizeof(answer), answer, FALSE);
    Sleep(2500);
}

}  // namespace

int ParseIntField(const char* field) {
    const char* p = field;
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int value = 0;
    while (*p >= '0' && *p <= '9' && value < 100000000) value = value * 10 + (*p++ - '0');
    return negative ? -value : value;
}

LONG ParseFrequencyField(const char* field) {
    // Optional blanks and sign, digits, an optional point and fraction; the
    // rest is ignored. The digits are gathered exactly and the one division
    // is done in double precision, so every 100 kHz channel ("98.7", "104.3")
    // gives its exact kHz value.
    const char* p = field;
    while (*p && isspace(static_cast<unsigned char>(*p))) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    ULONGLONG digits = 0;
    int decimals = 0;
    bool seenPoint = false;
    for (;; p++) {
        if (*p >= '0' && *p <= '9') {
            if (digits < 100000000000000ULL) {
                digits = digits * 10 + static_cast<ULONGLONG>(*p - '0');
                if (seenPoint) decimals++;
            }
        } else if (*p == '.' && !seenPoint) {
            seenPoint = true;
        } else {
            break;
        }
    }
    double scale = 1.0;
    for (int i = 0; i < decimals; i++) scale *= 10.0;
    double khz = static_cast<double>(digits) / scale * 1000.0;
    if (khz > 2147483647.0) khz = 2147483647.0;
    LONG value = static_cast<LONG>(khz);  // truncated toward zero
    return negative ? -value : value;
}

void RunRoyaltekCommands(char* text) {
    const size_t length = strlen(text);  // a NUL in the data hides what follows
    const bool log = (Driver.Settings.LogMode & LOG_EVENT) != 0;
    char field[FIELD_SIZE];
    const char* found = strstr(text, "PSRF");
    while (found) {
        size_t p = static_cast<size_t>(found - text);
        CopyField(text, length, p + 4, 3, field);
        int number = ParseIntField(field);
        size_t next = p + 1;
        switch (number) {
            case 104:
                if (log) LogFormatW(FALSE, u"COM_Write: 104");
                break;
            case 107:
                for (const char* answer : kVersionAnswers) QueueAnswer(answer);
                if (log) LogFormatW(FALSE, u"COM_Write: 107");
                break;
            case 121:
                CopyField(text, length, p + 8, 1, field);
                Driver.Radio.AutoScan.store(field[0] == '0' || field[0] == '2' ? 0 : 1, std::memory_order_relaxed);
                if (log) LogFormatW(FALSE, u"COM_Write: 121");
                next = p + 8;
                break;
            case 122: {
                CopyField(text, length, p + 8, 5, field);
                if (field[4] == '*') field[4] = 0;
                LONG khz = ParseFrequencyField(field);
                Tune(static_cast<DWORD>(khz));
                if (log) LogFormatW(FALSE, u"COM_Write: 122 Tune freq: %S-%d ", field, khz);
                next = p + 8;
                break;
            }
            case 123: {
                CopyField(text, length, p + 8, 1, field);
                int p1 = ParseIntField(field);
                CopyField(text, length, p + 10, 1, field);
                int p2 = ParseIntField(field);
                StepOrSeek(p1, p2);
                next = p + 10;
                break;
            }
            case 126:
                // The scan mode is read and not used.
                CopyField(text, length, p + 8, 1, field);
                ParseIntField(field);
                if (log) LogFormatW(FALSE, u"COM_Write: 126 Set scan Mode ");
                next = p + 8;
                break;
            default: break;
        }
        if (next > length) next = length;
        found = strstr(text + next, "PSRF");
    }
}

void RunGnsCommands(const BYTE* bytes, DWORD count) {
    static const BYTE rdsOn[4] = {0x56, 0x78, 0x78, 0x56};
    static const BYTE rdsOff[4] = {0x53, 0x78, 0x78, 0x53};
    static const BYTE scanUp[2] = {0xFF, 0x79};
    static const BYTE scanDown[2] = {0xFF, 0x78};
    static const BYTE setFrequency[2] = {0xFF, 0x46};
    static const BYTE setFrequencyAlt[2] = {0xFF, 0x73};
    static const BYTE signalQuery[5] = {0xFF, 0x6C, 0x00, 0x00, 0x6C};
    // bytes is the working copy: count written bytes and a NUL behind them, so
    // a pattern at the very end reads F = 0.
    const bool logEvent = (Driver.Settings.LogMode & LOG_EVENT) != 0;
    const bool logData = (Driver.Settings.LogMode & LOG_DATA) != 0;

    auto rdsOnCommand = [&] {
        if (logEvent) LogFormatW(FALSE, u"COM_Write: RDSON");
        ResetOutput();
        AppendOutput(sizeof(kRdsOnAnswer), kRdsOnAnswer, TRUE);
        if (logData) LogHex(u"ANSW:", sizeof(kRdsOnAnswer), kRdsOnAnswer, FALSE);
    };
    auto rdsOffCommand = [&] {
        ResetOutput();
        if (logEvent) LogFormatW(FALSE, u"COM_Write: RDSOFF");
    };
    // A client restarting RDS sends off and on in one write and waits for the
    // on's answer: the two are carried out in the order they were written, so
    // the off never discards that answer.
    const long rdsOnAt = FindPattern(bytes, count, rdsOn, 4);
    const long rdsOffAt = FindPattern(bytes, count, rdsOff, 4);
    if (rdsOffAt >= 0 && rdsOnAt > rdsOffAt) {
        rdsOffCommand();
        rdsOnCommand();
    } else {
        if (rdsOnAt >= 0) rdsOnCommand();
        if (rdsOffAt >= 0) rdsOffCommand();
    }
    // Clients ask for the signal strength about once a second.
    if (FindPattern(bytes, count, signalQuery, 5) >= 0) {
        DWORD rssi = 0;
        FMGetProp(Driver.Radio.FmHandle.load(std::memory_order_relaxed), FMPROP_RSSI, &rssi);
        BYTE answer[10] = {0x3F,
                           0x00,
                           0x00,
                           0x6C,
                           0x00,
                           0x00,
                           static_cast<BYTE>(rssi > 63 ? 63 : rssi),
                           GnsFrequencyByte(Driver.Radio.Frequency.load(std::memory_order_relaxed)),
                           0x00,
                           0x3F};
        if (logEvent) LogFormatW(FALSE, u"COM_Write: GNS signal query: %d", static_cast<int>(answer[6]));
        AppendOutput(sizeof(answer), answer, TRUE);
        if (logData) LogHex(u"ANSW:", sizeof(answer), answer, FALSE);
    }
    long at = FindPattern(bytes, count, scanUp, 2);
    if (at >= 0) GnsScan(bytes[at + 2], FMSEEK_UP, kScanUpAnswer, logEvent, logData);
    at = FindPattern(bytes, count, scanDown, 2);
    if (at >= 0) GnsScan(bytes[at + 2], FMSEEK_DOWN, kScanDownAnswer, logEvent, logData);
    at = FindPattern(bytes, count, setFrequency, 2);
    if (at < 0) at = FindPattern(bytes, count, setFrequencyAlt, 2);
    if (at >= 0) {
        Driver.Gns.GnsScanning.store(0, std::memory_order_relaxed);
        DWORD requested = (static_cast<DWORD>(bytes[at + 2]) + 875) * 100;
        Driver.Gns.GnsRequestedFrequency.store(requested, std::memory_order_relaxed);
        if (logEvent) LogFormatW(FALSE, u"COM_Write: GNS new Freq solicited %d", requested);
        // The same frequency again neither re-tunes nor waits.
        if (Driver.Gns.GnsAppliedFrequency.load(std::memory_order_relaxed) != requested) {
            Tune(requested);
            Driver.Gns.GnsAppliedFrequency.store(requested, std::memory_order_relaxed);
            Sleep(1100);
        }
    }
}

TERVALON_EXPORT DWORD COM_Write(DEVCONTEXT, LPCVOID buffer, DWORD count) {
    ActiveCall call;
    if (Driver.Threads.ShuttingDown.load(std::memory_order_relaxed)) return 0;
    if (!buffer && count) return 0;
    // Only the first 2047 bytes of a longer write are examined: the working
    // copy keeps room for its NUL.
    char copy[WRITE_COPY_SIZE];
    DWORD examined = count < WRITE_COPY_SIZE - 1 ? count : WRITE_COPY_SIZE - 1;
    if (examined) memcpy(copy, buffer, examined);
    copy[examined] = 0;

    if (Driver.Settings.LogMode & LOG_DATA) {
        if (Driver.Settings.Protocol != PROTOCOL_ROYALTEK) {
            LogHex(u"RECV:", examined, reinterpret_cast<const BYTE*>(copy), TRUE);
        } else {
            WCHAR line[LOG_LINE];
            int n = _snwprintf(line, LOG_LINE, u"RECV: %S", copy);
            if (n < 0) line[LOG_LINE - 1] = 0;
            LogTextW(line, FALSE, TRUE);
        }
    }
    if (Driver.Settings.Protocol == PROTOCOL_GNS) RunGnsCommands(reinterpret_cast<const BYTE*>(copy), examined);
    else RunRoyaltekCommands(copy);
    return count;
}
