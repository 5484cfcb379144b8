// KvorClient, the control program for touch-screen phones: a hidden main
// window that owns one full-screen settings dialog. The user picks the seven
// driver settings from drop-down lists, loads or unloads the driver with the
// "TMC" button, and opens the about box and the TMC test dialog from the
// soft-key menu. While the driver is not loaded, the lists are saved before
// every command, so the driver and the test dialog see what the lists show.
// The settings dialog owns the about box and the test dialog: while one of
// them is open it is disabled and takes nothing, so the driver cannot be
// unloaded under the test dialog's open port.
#include <aygshell.h>
#include <windows.h>

#include "kvor_client.h"
#include "resource.h"
#include "setting_lists.h"

HINSTANCE Instance;
HWND MainWindow;
HWND MainMenuBar;

namespace {

#define TITLE_CHARS 100

// The lists in the order they are filled, with the setting each shows.
const SettingControl Lists[LIST_COUNT] = {
    {IDC_PORT, LIST_PORT}, {IDC_BAND, LIST_BAND},       {IDC_DATA, LIST_DATA},         {IDC_SOUND, LIST_SOUND},
    {IDC_MUTE, LIST_MUTE}, {IDC_LOGMODE, LIST_LOGMODE}, {IDC_PROTOCOL, LIST_PROTOCOL},
};

// The order in which the save step copies the lists into the settings.
const SettingControl SaveOrder[LIST_COUNT] = {
    {IDC_BAND, LIST_BAND}, {IDC_PORT, LIST_PORT},   {IDC_DATA, LIST_DATA},         {IDC_LOGMODE, LIST_LOGMODE},
    {IDC_MUTE, LIST_MUTE}, {IDC_SOUND, LIST_SOUND}, {IDC_PROTOCOL, LIST_PROTOCOL},
};

const SettingDialog Settings = {IDC_STATUS, Lists, SaveOrder, &ComboBoxMessages};

}  // namespace

void InitShell(HWND dialog) {
    SHINITDLGINFO shell = {};
    shell.dwMask = SHIDIM_FLAGS;
    shell.hDlg = dialog;
    shell.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIPDOWN | SHIDIF_EMPTYMENU;
    SHInitDialog(&shell);
}

namespace {

BOOL InitMainDialog(HWND dialog) {
    InitShell(dialog);
    SHMENUBARINFO bar = {};
    bar.cbSize = sizeof(bar);
    bar.hwndParent = dialog;
    bar.nToolBarId = IDR_MENUBAR;
    bar.hInstRes = Instance;
    SHCreateMenuBar(&bar);
    MainMenuBar = bar.hwndMB;
    ShowSettings(dialog, Settings);
    return TRUE;
}

BOOL CALLBACK MainDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: return InitMainDialog(dialog);
        case WM_COMMAND: {
            // Disabled, the dialog gets no clicks; a command posted to it
            // meanwhile is input it does not take either.
            if (!IsWindowEnabled(dialog)) return TRUE;
            WORD id = LOWORD(wParam), code = HIWORD(wParam);
            switch (id) {
                case IDM_ABOUT:
                    SaveSettingLists(dialog, Settings);
                    DialogBoxW(Instance, MAKEINTRESOURCEW(IDD_ABOUT), dialog, AboutDialog);
                    break;
                case IDM_TEST:
                    SaveSettingLists(dialog, Settings);
                    DialogBoxW(Instance, MAKEINTRESOURCEW(IDD_TMC_TEST), dialog, TmcTestDialog);
                    break;
                case IDOK:
                case IDM_EXIT: EndSettingDialog(dialog, Settings, id); break;
                default:
                    // The TMC button; the lists' notifications change nothing.
                    if (code == 0) ToggleFromDialog(dialog, Settings);
                    break;
            }
            return TRUE;
        }
        case WM_CLOSE: EndSettingDialog(dialog, Settings, WM_CLOSE); return TRUE;
        default: return FALSE;
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

BOOL CALLBACK AboutDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: InitShell(dialog); return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) EndDialog(dialog, IDOK);
            return TRUE;
        case WM_CLOSE: EndDialog(dialog, WM_CLOSE); return TRUE;
        default: return FALSE;
    }
}

// Only one instance runs: a second start brings the first one, and its open
// dialog, to the front.
int WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    Instance = instance;
    WCHAR title[TITLE_CHARS], className[TITLE_CHARS];
    LoadStringW(instance, IDS_APP_TITLE, title, TITLE_CHARS);
    LoadStringW(instance, IDS_APP_TITLE, className, TITLE_CHARS);
    HWND running = FindWindowW(className, title);
    if (running) {
        SetForegroundWindow(running);
        return 0;
    }
    WNDCLASSW wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    MainWindow = CreateWindowW(className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                               nullptr, nullptr, instance, nullptr);
    if (!MainWindow) return 0;
    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);
    DialogBoxW(instance, MAKEINTRESOURCEW(IDD_MAIN), MainWindow, MainDialog);
    WaitForReceiveThread();
    // The window's end posts the quit message; nothing waits for it any more.
    DestroyWindow(MainWindow);
    MainWindow = nullptr;
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    return 0;
}
