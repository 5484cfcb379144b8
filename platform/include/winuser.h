// System parameters and Windows-style formatting (winuser.h).
#pragma once

#include <cstdarg>

#include "windef.h"

#define SPI_GETPLATFORMTYPE 257
#define SPI_GETOEMINFO 258

BOOL SystemParametersInfoW(UINT action, UINT param, PVOID data, UINT winIni);

// Windows formatting conventions: in a wide format %s is wide text and %S
// narrow; in a narrow format the reverse. %c and %C likewise. wsprintf writes
// at most 1024 characters.
int wsprintfW(LPWSTR out, LPCWSTR format, ...);
int wvsprintfW(LPWSTR out, LPCWSTR format, va_list args);
int wsprintfA(LPSTR out, LPCSTR format, ...);
int wvsprintfA(LPSTR out, LPCSTR format, va_list args);

// ---- the thread message queue ---------------------------------------------------
// A minimal queue for now: it holds no messages until the windowing layer of
// the control programs gives threads their queues.
#define WM_TIMER 0x0113
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
