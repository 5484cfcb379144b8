// The TMC test dialog: it opens the driver's port as a navigation program
// would, tunes with the same commands (the Royaltek $PSRF sentences or the
// GNS 7-byte commands, as the Protocol setting says), and shows what comes
// back: a log of everything read, the tuned frequency, the signal level and
// whether RDS or TMC groups arrive. ReceiveThread reads the port while the
// dialog is open and updates the controls from its own thread.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <aygshell.h>
#include <windows.h>

#include "fm_interface.h"
#include "kvor_client.h"
#include "resource.h"
#include "settings.h"

BOOL (*ReadPort)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;

namespace {

#define FREQUENCY_CHARS 12  // what the GNS side reads of the frequency field (11 characters)
#define TYPED_CHARS 64      // what the Royaltek Set sentence carries of the field
#define SENTENCE_BYTES 128  // the Set sentence with its checksum and line end
#define ROYALTEK_READ 1000
#define GNS_READ 10
#define GNS_COMMAND_BYTES 7
#define CLOSE_WAIT_MS 1500
// A read that fails finds the port gone (the driver was unloaded under the
// dialog). The next try waits as long as a read of a silent port would, and
// less than the dialog gives the thread to see the stop flag.
#define LOST_PORT_WAIT_MS 1000

// Shared with ReceiveThread; each word is written by one side at a time.
HANDLE PortHandle = INVALID_HANDLE_VALUE;
std::atomic<BYTE> StopRequested{0};
std::atomic<HWND> PublishedDialog{nullptr};
std::atomic<DWORD> BandLow{FM_BAND_EDGES[FMBAND_EUROPE].low}, BandHigh{FM_BAND_EDGES[FMBAND_EUROPE].high};
std::atomic<DWORD> CurrentFrequency{0};
std::atomic<DWORD> ReceiveStatus{0};
std::atomic<BOOL> ReceiveThreadRunning{FALSE};
BYTE AutoToggleState = 1;
DWORD ReceiveThreadId;

const char* const RoyaltekSentences[] = {
    "$PSRF123,0,1*26\r\n",  // seek down
    "$PSRF123,0,0*27\r\n",  // step down
    "$PSRF123,1,0*26\r\n",  // step up
    "$PSRF123,1,1*27\r\n",  // seek up
};
const WCHAR* const RoyaltekProgress[] = {u" |<....", u" <..", u" ..>", u" ....>|"};
const WCHAR* const GnsProgress[] = {u" <..", u" <..", u" ..>", u" ..>"};

void SetBandLimits() {
    DWORD low, high;
    BandLimitsFor(ClientSettings.Band, &low, &high);
    BandLow = low;
    BandHigh = high;
}

void WritePort(const void* bytes, DWORD count) {
    DWORD written = 0;
    WriteFile(PortHandle, bytes, count, &written, nullptr);
}

// Selects the empty range at the end of a log and replaces it with the text.
void AppendToLog(HWND log, const WCHAR* text) {
    LRESULT end = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
}

void Widen(const char* text, WCHAR* out) {
    while (*text) *out++ = static_cast<unsigned char>(*text++);
    *out = 0;
}

void SendGnsCommand(BYTE letter, DWORD frequency) {
    BYTE command[GNS_COMMAND_BYTES] = {
        0xFF, letter, GnsFrequencyByte(frequency), static_cast<BYTE>(letter == 'F' ? 'x' : 0x01), letter, 0x0D, 0x0A};
    WritePort(command, sizeof(command));
    HWND dialog = PublishedDialog.load(std::memory_order_relaxed);
    if (!dialog) return;
    WCHAR text[GNS_COMMAND_BYTES * 3 + 3];
    FormatHexBytes(sizeof(command), command, text);
    wcscat(text, u"\r\n");
    AppendToLog(GetDlgItem(dialog, IDC_SEND_LOG), text);
}

// The frequency field as kHz: its MHz times 1000, truncated, so "95.8999" is
// 95899 and tunes the 95.8 channel. The digits are counted as they stand,
// never through a binary fraction ("90.1" is 90100, not 90099). Only decimal
// digits with an optional point make the number, after optional blanks; what
// follows it is ignored, so "0x5F" reads as 0. No number, a sign, or more
// than a DWORD holds gives 0.
DWORD FieldFrequency(HWND dialog) {
    WCHAR field[FREQUENCY_CHARS];
    GetDlgItemTextW(dialog, IDC_FREQUENCY, field, FREQUENCY_CHARS);
    const WCHAR* p = field;
    while (*p == ' ' || *p == '\t') p++;
    ULONGLONG khz = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        khz = khz * 10 + static_cast<ULONGLONG>(*p - '0');
        if (khz > 0xFFFFFFFFULL / 1000) return 0;
    }
    khz *= 1000;
    if (*p == '.') {
        ULONGLONG place = 100;
        for (p++; *p >= '0' && *p <= '9' && place; p++, place /= 10) khz += static_cast<ULONGLONG>(*p - '0') * place;
    }
    return khz > 0xFFFFFFFFULL ? 0 : static_cast<DWORD>(khz);
}

void GnsButton(HWND dialog, int id) {
    DWORD f = FieldFrequency(dialog);
    DWORD low = BandLow, high = BandHigh;
    if (id != IDC_SET) CurrentFrequency = f;
    BYTE letter = 'F';
    switch (id) {
        case IDC_SEEK_DOWN:
        case IDC_STEP_DOWN:
            f -= 100;
            if (f < low) f = high;
            if (id == IDC_SEEK_DOWN) letter = 'x';
            break;
        case IDC_STEP_UP:
        case IDC_SEEK_UP:
            f += 100;
            if (f > high) f = low;
            if (id == IDC_SEEK_UP) letter = 'y';
            break;
        default:
            if (f > high) f = low;
            if (f < low) f = high;
            break;
    }
    SendGnsCommand(letter, f);
    SetDlgItemTextW(dialog, IDC_FREQUENCY, id == IDC_SET ? u" ..." : GnsProgress[id - IDC_SEEK_DOWN]);
}

void SendRoyaltek(HWND dialog, const char* sentence) {
    WritePort(sentence, static_cast<DWORD>(std::strlen(sentence)));
    WCHAR text[SENTENCE_BYTES];
    Widen(sentence, text);
    AppendToLog(GetDlgItem(dialog, IDC_SEND_LOG), text);
}

void RoyaltekButton(HWND dialog, int id) {
    if (id == IDC_AUTO) {
        if (AutoToggleState) {
            SendRoyaltek(dialog, "$PSRF121,1*38\r\n");
            SetDlgItemTextW(dialog, IDC_AUTO, u"Auto");
        } else {
            SendRoyaltek(dialog, "$PSRF121,0*39\r\n$PSRF121,2*3b\r\n");
            SetDlgItemTextW(dialog, IDC_AUTO, u"Man.");
        }
        AutoToggleState = !AutoToggleState;
        return;
    }
    if (id == IDC_SET) {
        // The field as typed; what does not fit the sentence is cut.
        WCHAR typed[TYPED_CHARS];
        GetDlgItemTextW(dialog, IDC_FREQUENCY, typed, TYPED_CHARS);
        char sentence[SENTENCE_BYTES];
        wsprintfA(sentence, "$PSRF122,%S,1,0*", typed);
        AddNmeaChecksum(sentence);
        std::strcat(sentence, "\r\n");
        SendRoyaltek(dialog, sentence);
        SetDlgItemTextW(dialog, IDC_FREQUENCY, u" ...");
        return;
    }
    SendRoyaltek(dialog, RoyaltekSentences[id - IDC_SEEK_DOWN]);
    SetDlgItemTextW(dialog, IDC_FREQUENCY, RoyaltekProgress[id - IDC_SEEK_DOWN]);
}

// ---- what comes back ------------------------------------------------------------------

}  // namespace

int ReadField(const char* text, int start, char* field) {
    int comma = FindText(start, text, ",");
    int end = comma < 0 ? static_cast<int>(std::strlen(text)) : comma;
    int count = end - start;
    if (count > FIELD_CHARS - 1) count = FIELD_CHARS - 1;
    CopyField(start, count, text, field);
    return comma;
}

namespace {

void InterpretRoyaltek(HWND dialog, const char* text, char* lastFrequency) {
    int rds = FindText(0, text, "RTRDS");
    if (rds >= 0 && rds + 6 <= static_cast<int>(std::strlen(text))) {
        char field[FIELD_CHARS];
        int comma = ReadField(text, rds + 6, field);
        if (std::strcmp(field, lastFrequency) != 0) {
            std::strcpy(lastFrequency, field);
            WCHAR shown[FIELD_CHARS];
            Widen(field, shown);
            SetDlgItemTextW(dialog, IDC_FREQUENCY, shown);
            ReceiveStatus = 0;
        }
        if (comma >= 0) {
            ReadField(text, comma + 1, field);
            SendDlgItemMessageW(dialog, IDC_LEVEL, PBM_SETPOS, static_cast<WPARAM>(std::atoi(field)), 0);
        }
    }
    int tmc = FindText(0, text, "RTTMC");
    if (tmc >= 0 && tmc + 6 <= static_cast<int>(std::strlen(text))) {
        if (ReceiveStatus == 0) ReceiveStatus = 1;
        char field[FIELD_CHARS];
        ReadField(text, tmc + 6, field);
        if (std::atoi(field) == 8) ReceiveStatus = 2;
    }
}

void InterpretGns(HWND dialog, const BYTE* bytes, int count) {
    static const BYTE Tuned[] = {0x3F, 0x00, 0x00, 'F'};
    static const BYTE TunedToo[] = {0x3F, 0x00, 0x00, 'f'};
    int at = FindBytes(0, bytes, count, Tuned, 4);
    if (at < 0) at = FindBytes(0, bytes, count, TunedToo, 4);
    if (at >= 0 && at + 4 < count) {
        DWORD frequency = (static_cast<DWORD>(bytes[at + 4]) + 875) * 100;
        if (frequency != CurrentFrequency) {
            CurrentFrequency = frequency;
            WCHAR text[FIELD_CHARS];
            wsprintfW(text, u"%d.%01d", frequency / 1000, (frequency % 1000) / 100);
            SetDlgItemTextW(dialog, IDC_FREQUENCY, text);
            ReceiveStatus = 0;
        }
    }
    // A group record; the driver's answers and frequency frames carry 0 in byte 1.
    if (count == GNS_READ && bytes[0] == 0x3F && bytes[9] == 0x3F && bytes[1] != 0x00) {
        if (ReceiveStatus == 0) ReceiveStatus = 1;
        if ((bytes[3] >> 4) == 8) ReceiveStatus = 2;
    }
}

DWORD WINAPI ReceiveThread(LPVOID) {
    HWND dialog = PublishedDialog.load();
    HWND log = GetDlgItem(dialog, IDC_RECEIVE_LOG);
    SetCommMask(PortHandle, EV_RXCHAR | EV_ERR);
    SendDlgItemMessageW(dialog, IDC_LEVEL, PBM_SETRANGE, 0, MAKELPARAM(0, 15));
    LRESULT limit = SendMessageW(log, EM_GETLIMITTEXT, 0, 0);
    const bool gns = ClientSettings.Protocol == 1;
    if (gns) {
        // The receiver starts on the last frequency the driver stored.
        DWORD f = ClientSettings.Frequency;
        if (f > BandHigh) f = BandLow;
        if (f < BandLow) f = BandHigh;
        ClientSettings.Frequency = f;
        BYTE command[GNS_COMMAND_BYTES] = {0xFF, 'F', GnsFrequencyByte(f), 'x', 'F', 0x0D, 0x0A};
        WritePort(command, sizeof(command));
    }
    char lastFrequency[FIELD_CHARS] = "...";
    BYTE bytes[ROYALTEK_READ + 1];
    WCHAR text[ROYALTEK_READ + 3];
    BOOL portLost = FALSE;
    while (!StopRequested.load(std::memory_order_relaxed)) {
        DWORD count = 0;
        if (!ReadPort(PortHandle, bytes, gns ? GNS_READ : ROYALTEK_READ, &count, nullptr)) {
            // Nothing comes from a port that is gone: the indicator stops and
            // says so once, and the loop waits instead of spinning on it.
            if (!portLost) {
                portLost = TRUE;
                ReceiveStatus = 0;
                SetDlgItemTextW(dialog, IDC_INDICATOR, u"No port");
                AppendToLog(log, u"Port lost. Is the driver loaded?\r\n");
            }
            Sleep(LOST_PORT_WAIT_MS);
            continue;
        }
        portLost = FALSE;
        if (gns) {
            text[0] = 0;
            if (count) {
                FormatHexBytes(count, bytes, text);
                wcscat(text, u"\r\n");
            }
        } else {
            bytes[count] = 0;
            Widen(reinterpret_cast<const char*>(bytes), text);
        }
        // The log keeps within its limit: its oldest tenth goes first.
        if (GetWindowTextLengthW(log) > limit * 9 / 10) {
            SendMessageW(log, EM_SETSEL, 0, limit / 10);
            SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u""));
        }
        AppendToLog(log, text);
        if (gns) InterpretGns(dialog, bytes, static_cast<int>(count));
        else InterpretRoyaltek(dialog, reinterpret_cast<const char*>(bytes), lastFrequency);
        DWORD status = ReceiveStatus;
        SetDlgItemTextW(dialog, IDC_INDICATOR, status == 0 ? u"" : status == 1 ? u"RDS" : u"TMC");
    }
    SetDlgItemTextW(dialog, IDC_INDICATOR, u"Exiting..");
    ReceiveThreadRunning = FALSE;
    return 0;
}

BOOL OpenTestDialog(HWND dialog) {
    InitShell(dialog);
    ReceiveStatus = 0;
    PortHandle = CreateFileW(ClientSettings.PortName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (PortHandle == INVALID_HANDLE_VALUE) {
        MessageBoxW(nullptr, u"Cannot open COM port.\r\nIs the driver loaded?", ERROR_BOX_CAPTION, MB_ICONHAND);
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    SetBandLimits();
    PublishedDialog = dialog;
    const bool royaltek = ClientSettings.Protocol == 0;
    ShowWindow(GetDlgItem(dialog, IDC_SEEK_DOWN), SW_SHOW);
    ShowWindow(GetDlgItem(dialog, IDC_AUTO), royaltek ? SW_SHOW : SW_HIDE);
    ShowWindow(GetDlgItem(dialog, IDC_LEVEL), royaltek ? SW_SHOW : SW_HIDE);
    StopRequested = 0;
    ReceiveThreadRunning = TRUE;
    HANDLE thread = CreateThread(nullptr, 0, ReceiveThread, nullptr, 0, &ReceiveThreadId);
    if (thread) CloseHandle(thread);
    else ReceiveThreadRunning = FALSE;
    return TRUE;
}

// Gives the thread its time to see the stop flag, then closes the port, which
// also ends a read still under way.
void CloseTestDialog(HWND dialog, INT_PTR result) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    StopRequested = 1;
    Sleep(CLOSE_WAIT_MS);
    ReceiveThreadId = 0;
    if (PortHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(PortHandle);
        PortHandle = INVALID_HANDLE_VALUE;
    }
    SetCursor(nullptr);
    EndDialog(dialog, result);
    PublishedDialog = nullptr;
}

}  // namespace

BOOL CALLBACK TmcTestDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: return OpenTestDialog(dialog);
        case WM_COMMAND: {
            int id = LOWORD(wParam);
            if (id == IDOK) {
                CloseTestDialog(dialog, IDOK);
            } else if (id == IDC_SEEK_DOWN || id == IDC_STEP_DOWN || id == IDC_STEP_UP || id == IDC_SEEK_UP ||
                       id == IDC_SET || id == IDC_AUTO) {
                if (ClientSettings.Protocol == 0) RoyaltekButton(dialog, id);
                else if (id != IDC_AUTO) GnsButton(dialog, id);
            }
            return TRUE;
        }
        case WM_CLOSE: CloseTestDialog(dialog, WM_CLOSE); return TRUE;
        default: return FALSE;
    }
}

void BandLimitsFor(DWORD band, DWORD* low, DWORD* high) {
    if (band >= FMBAND_COUNT) band = FMBAND_EUROPE;  // any value outside 0 to 2 is the first band
    *low = FM_BAND_EDGES[band].low;
    *high = FM_BAND_EDGES[band].high;
}

void WaitForReceiveThread() {
    for (int i = 0; i < 100 && ReceiveThreadRunning; i++) Sleep(20);
}

// ---- text routines -------------------------------------------------------------------------

void FormatHexBytes(DWORD count, const BYTE* bytes, WCHAR* text) {
    text[0] = 0;
    for (DWORD i = 0; i < count; i++) wsprintfW(text + i * 3, u"%02X ", bytes[i]);
}

int FindText(int start, const char* text, const char* needle) {
    if (start < 0 || start > static_cast<int>(std::strlen(text))) return -1;
    const char* found = std::strstr(text + start, needle);
    return found ? static_cast<int>(found - text) : -1;
}

int FindBytes(int start, const BYTE* buffer, int length, const BYTE* pattern, int patternLength) {
    for (int i = start < 0 ? 0 : start; i + patternLength <= length; i++) {
        if (std::memcmp(buffer + i, pattern, static_cast<size_t>(patternLength)) == 0) return i;
    }
    return -1;
}

void CopyField(int start, int count, const char* source, char* target) {
    int n = 0;
    for (; n < count && source[start + n]; n++) target[n] = source[start + n];
    target[n < 0 ? 0 : n] = 0;
}
