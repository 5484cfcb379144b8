// What KvorClient's dialogs share.
#pragma once

#include <windows.h>

extern HINSTANCE Instance;
extern HWND MainWindow;  // owns the main dialog, which owns About and Test
extern HWND MainMenuBar;

// The shell's full-screen dialog with the OK button in the title bar.
void InitShell(HWND dialog);

BOOL CALLBACK AboutDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
BOOL CALLBACK TmcTestDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The receive thread's read of the port: ReadFile, or a stand-in that watches
// the reads and passes them on.
extern BOOL (*ReadPort)(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);

// Waits (bounded) until the test dialog's receive thread has ended, so that
// no thread of a dialog outlives the program.
void WaitForReceiveThread();

// The test dialog's tuning limits for a Band setting; a value outside 0 to 2
// has band 0's.
void BandLimitsFor(DWORD band, DWORD* low, DWORD* high);

#define FIELD_CHARS 16  // a received field kept as text, terminator included
// The field of a received sentence from start to the next comma (or the end),
// cut to what a field text holds (15 characters); the comma's index or -1.
int ReadField(const char* text, int start, char* field);

// The test dialog's text routines, shared by both protocols.
// "%02X " groups of the bytes into text (3 characters a byte and a terminator).
void FormatHexBytes(DWORD count, const BYTE* bytes, WCHAR* text);
// The first occurrence of needle at or after start in a terminated text, or -1.
int FindText(int start, const char* text, const char* needle);
// The first occurrence of a byte pattern at a position below length, or -1.
int FindBytes(int start, const BYTE* buffer, int length, const BYTE* pattern, int patternLength);
// count characters from start into target, terminated (a count of zero or
// less gives an empty text).
void CopyField(int start, int count, const char* source, char* target);
