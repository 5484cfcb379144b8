// The thread message queue, as far as the FM library needs it today: no
// thread has windows or timers yet, so there is never a message to take.
// The windowing layer of the control programs fills this in.
#include "windows.h"

// PeekMessageW: no queued messages on any Linux thread yet; always FALSE.
BOOL PeekMessageW(LPMSG msg, HWND, UINT, UINT, UINT) {
    (void)msg;
    return FALSE;
}

// TranslateMessage: no keyboard input to translate; FALSE.
BOOL TranslateMessage(const MSG*) { return FALSE; }

// DispatchMessageW: no window procedures exist yet; 0.
LRESULT DispatchMessageW(const MSG*) { return 0; }

// PostMessageW: no window can be named yet; fails with ERROR_INVALID_WINDOW_HANDLE (1400).
BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) {
    SetLastError(1400);
    return FALSE;
}
