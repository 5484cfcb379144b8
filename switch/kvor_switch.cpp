// Kvor_Switch, the launcher of the navigation program: it switches the
// Tervalon driver over (loads it when it is not loaded, unloads it when it
// is), starts the program that "NavApp.lnk" beside it names, checks every
// five seconds whether that program still runs, and when it has ended
// switches the driver back and ends itself. Its hidden window only receives
// the check timer and the relaunch request of a second start.
//
// A shortcut that names a launcher is refused as a target that cannot start:
// the launcher it started would find this one running and ask it to start
// the target again, without end.
//
// Every process the launcher starts is watched, not only the last: a program
// that allows one instance answers a second start by handing over to the
// first and ending, and the driver must stay loaded while the first runs.
#include <stdio.h>

#include <tlhelp32.h>
#include <windows.h>

#include "settings.h"
#include "shortcut.h"

#define SWITCH_NAME u"Kvor_Switch"
#define SWITCH_FILE u"Kvor_Switch.exe"
#define SHORTCUT_NAME u"NavApp.lnk"
#define CHECK_TIMER 173
#define CHECK_PERIOD_MS 5000
#define WM_RELAUNCH (WM_USER + 236)
#define MODULE_CHARS 520
#define NAVIGATION_WATCHED 32  // processes watched at once

WCHAR NavigationPath[NAVIGATION_CHARS];
WCHAR NavigationArguments[NAVIGATION_CHARS];
// The started processes still running at the last check. Their handles stay
// open while they are watched, which keeps their ids from being reused.
PROCESS_INFORMATION NavigationProcesses[NAVIGATION_WATCHED];
DWORD NavigationCount;
HWND SwitchWindow;
HINSTANCE Instance;

namespace {

// "NavApp.lnk" in the program's own folder (up to its last backslash).
BOOL ReadShortcutTarget() {
    WCHAR path[MODULE_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, path, MODULE_CHARS);
    if (n == 0 || n >= MODULE_CHARS) return FALSE;
    WCHAR* slash = wcsrchr(path, u'\\');
    if (!slash || (slash - path) + 1 + wcslen(SHORTCUT_NAME) >= MODULE_CHARS) return FALSE;
    wcscpy(slash + 1, SHORTCUT_NAME);
    FILE* file = _wfopen(path, u"r");
    if (!file) return FALSE;
    char text[SHORTCUT_BYTES + 1];
    size_t got = fread(text, 1, SHORTCUT_BYTES, file);
    fclose(file);
    text[got] = 0;
    ParseShortcut(text, NavigationPath, NavigationArguments);
    return TRUE;
}

// The settings key the driver is registered under; no setting is read.
void ChooseSettingsKey() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TERVALON_SETTINGS_KEY, 0, 0, &key) == ERROR_SUCCESS) {
        wcscpy(ClientSettings.SettingsKeyPath, TERVALON_SETTINGS_KEY);
        RegCloseKey(key);
    } else {
        wcscpy(ClientSettings.SettingsKeyPath, TERVALON_BUILTIN_SETTINGS_KEY);
    }
}

// The driver toggle without a word to the user: a failed load or unload is
// not reported.
void SwitchDriver() {
    if (IsDriverActive())
        DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ClientSettings.DeviceHandle)));
    else ActivateDeviceEx(ClientSettings.SettingsKeyPath, nullptr, 0, nullptr);
}

// A device path in one spelling, into out (MODULE_CHARS): from the root, one
// backslash before each name, "." dropped and ".." stepping back (never above
// the root), trailing dots and blanks of a name dropped as Windows drops them,
// and ".exe" added to a last name without an extension, as the device's
// CreateProcess assumes it. FALSE when it does not fit.
BOOL NormalizePath(LPCWSTR path, WCHAR* out) {
    DWORD length = 0;
    const WCHAR* name = path;
    for (;;) {
        while (*name == u'\\' || *name == u'/') name++;
        if (!*name) break;
        const WCHAR* end = name;
        while (*end && *end != u'\\' && *end != u'/') end++;
        const WCHAR* last = end;
        while (last > name && (last[-1] == u'.' || last[-1] == u' ')) last--;
        if (end - name == 2 && name[0] == u'.' && name[1] == u'.') {
            while (length > 0 && out[length - 1] != u'\\') length--;
            if (length > 0) length--;
        } else if (last > name) {
            if (length + 1 + (last - name) >= MODULE_CHARS) return FALSE;
            out[length++] = u'\\';
            while (name < last) out[length++] = *name++;
        }
        name = end;
    }
    out[length] = 0;
    if (length == 0) {
        wcscpy(out, u"\\");
        return TRUE;
    }
    if (!wcschr(wcsrchr(out, u'\\'), u'.')) {
        if (length + 4 >= MODULE_CHARS) return FALSE;
        wcscat(out, u".exe");
    }
    return TRUE;
}

// Whether path names a launcher: any program by the launcher's file name, or
// this very program however the path spells it.
BOOL NamesLauncher(LPCWSTR path) {
    WCHAR target[MODULE_CHARS], self[MODULE_CHARS], module[MODULE_CHARS];
    // The shortcut's path is far shorter than the room here: it always fits.
    if (!NormalizePath(path, target)) return TRUE;
    if (_wcsicmp(wcsrchr(target, u'\\') + 1, SWITCH_FILE) == 0) return TRUE;
    DWORD n = GetModuleFileNameW(nullptr, module, MODULE_CHARS);
    return n > 0 && n < MODULE_CHARS && NormalizePath(module, self) && _wcsicmp(target, self) == 0;
}

BOOL IsWatched(DWORD processId) {
    for (DWORD i = 0; i < NavigationCount; i++) {
        if (NavigationProcesses[i].dwProcessId == processId) return TRUE;
    }
    return FALSE;
}

// Whether any watched process still has a thread; the ones that have none are
// no longer watched and their handles are closed.
BOOL IsNavigationRunning() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return FALSE;
    BOOL running[NAVIGATION_WATCHED] = {};
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        for (DWORD i = 0; i < NavigationCount; i++) {
            if (entry.th32OwnerProcessID == NavigationProcesses[i].dwProcessId) running[i] = TRUE;
        }
    }
    CloseToolhelp32Snapshot(snapshot);
    DWORD kept = 0;
    for (DWORD i = 0; i < NavigationCount; i++) {
        if (running[i]) {
            NavigationProcesses[kept++] = NavigationProcesses[i];
        } else {
            CloseHandle(NavigationProcesses[i].hProcess);
            CloseHandle(NavigationProcesses[i].hThread);
        }
    }
    NavigationCount = kept;
    return kept > 0;
}

// Starts the navigation program and watches the new process beside those
// already running. A program that could not be watched would run on without
// the driver, so none is started while every place is taken.
void StartNavigation() {
    if (NamesLauncher(NavigationPath)) return;
    if (NavigationCount == NAVIGATION_WATCHED) IsNavigationRunning();  // lets the ended ones go
    if (NavigationCount == NAVIGATION_WATCHED) return;
    WCHAR arguments[NAVIGATION_CHARS];
    wcscpy(arguments, NavigationArguments);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(NavigationPath, arguments[0] ? arguments : nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                        nullptr, nullptr, nullptr, &started))
        return;
    NavigationProcesses[NavigationCount++] = started;
}

LRESULT CALLBACK SwitchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (!IsNavigationRunning()) {
                SwitchDriver();
                DestroyWindow(window);
            }
            return 0;
        case WM_RELAUNCH:
            // A request from a program this launcher started means that
            // program is a launcher after all, under a name or through a link
            // the path did not show: it is not started again.
            if (!wParam || !IsWatched(static_cast<DWORD>(wParam))) StartNavigation();
            return 0;
        case WM_CLOSE: return 0;  // the launcher ends only when the navigation program has
        case WM_DESTROY:
            KillTimer(window, CHECK_TIMER);
            PostQuitMessage(0);
            return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR, int) {
    HWND running = FindWindowW(SWITCH_NAME, SWITCH_NAME);
    if (running) {
        SetLastError(ERROR_SUCCESS);
        SendMessageW(running, WM_RELAUNCH, GetCurrentProcessId(), 0);
        // A window gone by the time the request reaches it belonged to a
        // launcher that was ending and has switched the driver back: this
        // start then is the first one.
        if (GetLastError() != ERROR_INVALID_WINDOW_HANDLE) {
            SetForegroundWindow(running);
            return 0;
        }
    }
    Instance = instance;
    if (!previous) {
        WNDCLASSW wc = {};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = SwitchWindowProc;
        wc.hInstance = instance;
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = SWITCH_NAME;
        if (!RegisterClassW(&wc)) return 0;
    }
    SwitchWindow = CreateWindowExW(0, SWITCH_NAME, SWITCH_NAME, WS_POPUP | WS_CAPTION, 0, 50, 0, 50, nullptr, nullptr,
                                   instance, nullptr);
    if (!SwitchWindow) return 0;
    // Up to here the driver has not been touched.
    if (!ReadShortcutTarget()) return 0;
    ChooseSettingsKey();
    SwitchDriver();
    StartNavigation();
    SetTimer(SwitchWindow, CHECK_TIMER, CHECK_PERIOD_MS, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
