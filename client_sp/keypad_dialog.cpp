// KvorClientSP, the control program for keypad phones: one full-screen
// dialog with a spin box per driver setting and two soft keys, "TMC" (load
// or unload the driver) and "Quit". The settings are saved only before the
// toggle, on Quit and on a close request, and only while the driver is not
// loaded: the loaded driver works with what it read when it started.
#include <aygshell.h>
#include <windows.h>

#include "resource.h"
#include "setting_lists.h"

HINSTANCE Instance;
HWND MenuBar;

namespace {

// The lists in the order they are filled, with the setting each shows.
const SettingControl Lists[LIST_COUNT] = {
    {IDC_PORT_LIST, LIST_PORT},         {IDC_BAND_LIST, LIST_BAND}, {IDC_DATA_LIST, LIST_DATA},
    {IDC_SOUND_LIST, LIST_SOUND},       {IDC_MUTE_LIST, LIST_MUTE}, {IDC_LOG_LIST, LIST_LOGMODE},
    {IDC_PROTOCOL_LIST, LIST_PROTOCOL},
};

// The order in which the save step copies the lists into the settings.
const SettingControl SaveOrder[LIST_COUNT] = {
    {IDC_BAND_LIST, LIST_BAND},         {IDC_PORT_LIST, LIST_PORT}, {IDC_DATA_LIST, LIST_DATA},
    {IDC_LOG_LIST, LIST_LOGMODE},       {IDC_MUTE_LIST, LIST_MUTE}, {IDC_SOUND_LIST, LIST_SOUND},
    {IDC_PROTOCOL_LIST, LIST_PROTOCOL},
};

LPCWSTR AppTitle() { return reinterpret_cast<LPCWSTR>(LoadStringW(Instance, IDS_APP_TITLE, nullptr, 0)); }

const SettingDialog Settings = {IDC_STATUS, Lists, SaveOrder, &ListBoxMessages};

BOOL InitKeypadDialog(HWND dialog) {
    SHINITDLGINFO shell = {};
    shell.dwMask = SHIDIM_FLAGS;
    shell.hDlg = dialog;
    shell.dwFlags = SHIDIF_SIZEDLGFULLSCREEN;
    if (!SHInitDialog(&shell)) return FALSE;

    SHMENUBARINFO bar = {};
    bar.cbSize = sizeof(bar);
    bar.hwndParent = dialog;
    bar.nToolBarId = IDR_MENUBAR;
    bar.hInstRes = Instance;
    if (!SHCreateMenuBar(&bar)) return FALSE;
    MenuBar = bar.hwndMB;
    ShowWindow(MenuBar, SW_SHOW);

    SetWindowTextW(dialog, AppTitle());
    ShowSettings(dialog, Settings);
    return TRUE;
}

BOOL CALLBACK KeypadDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: return InitKeypadDialog(dialog);
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDM_TMC: ToggleFromDialog(dialog, Settings); break;
                case IDM_QUIT: EndSettingDialog(dialog, Settings, IDM_QUIT); break;
                default: break;  // the lists' notifications
            }
            return TRUE;
        case WM_CLOSE: EndSettingDialog(dialog, Settings, WM_CLOSE); return TRUE;
        default: return FALSE;
    }
}

}  // namespace

// Only one instance runs: a second start brings the first one's dialog forward.
int WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    Instance = instance;
    HWND running = FindWindowW(u"Dialog", AppTitle());
    if (running) {
        SetForegroundWindow(running);
        return 0;
    }
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(IDD_KEYPAD), RT_DIALOG);
    HGLOBAL loaded = LoadResource(instance, resource);
    return static_cast<int>(
        DialogBoxIndirectParamW(instance, static_cast<LPCDLGTEMPLATE>(LockResource(loaded)), nullptr, KeypadDialog, 0));
}
