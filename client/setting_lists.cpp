// The settings lists of the control programs' dialogs (see setting_lists.h).
#include "setting_lists.h"

const ListMessages ComboBoxMessages = {CB_ADDSTRING, CB_SETCURSEL, CB_GETCURSEL, CB_ERR};
const ListMessages ListBoxMessages = {LB_ADDSTRING, LB_SETCURSEL, LB_GETCURSEL, LB_ERR};

void ShowSettings(HWND dialog, const SettingDialog& d) {
    LoadSettings();
    ClientSettings.DriverActive = IsDriverActive();
    ShowDriverStatus(dialog, d);
    FillSettingLists(dialog, d);
}

void ShowDriverStatus(HWND dialog, const SettingDialog& d) {
    SetDlgItemTextW(dialog, d.StatusId, ClientSettings.DriverActive ? u"TMC DRIVER ACTIVE" : u"TMC DRIVER INACTIVE");
}

void EnableSettingLists(HWND dialog, const SettingDialog& d, BOOL enable) {
    for (int i = 0; i < LIST_COUNT; i++) EnableWindow(GetDlgItem(dialog, d.Lists[i].Id), enable);
}

void FillSettingLists(HWND dialog, const SettingDialog& d) {
    for (int i = 0; i < LIST_COUNT; i++) {
        HWND box = GetDlgItem(dialog, d.Lists[i].Id);
        const SettingList& setting = SettingLists[d.Lists[i].Setting];
        for (DWORD entry = 0; entry < setting.Count; entry++) {
            WCHAR text[SETTING_TEXT_CHARS];
            GetSettingText(d.Lists[i].Setting, entry, text);
            SendMessageW(box, d.Messages->Add, 0, reinterpret_cast<LPARAM>(text));
        }
        SendMessageW(box, d.Messages->SetSelection, *setting.Value, 0);
        EnableWindow(box, !ClientSettings.DriverActive);
    }
}

void SaveSettingLists(HWND dialog, const SettingDialog& d) {
    if (ClientSettings.DriverActive) return;
    for (int i = 0; i < LIST_COUNT; i++) {
        LRESULT selected = SendDlgItemMessageW(dialog, d.SaveOrder[i].Id, d.Messages->GetSelection, 0, 0);
        if (selected != d.Messages->NoSelection)
            *SettingLists[d.SaveOrder[i].Setting].Value = static_cast<DWORD>(selected);
    }
    SaveSettings();
}

void EndSettingDialog(HWND dialog, const SettingDialog& d, INT_PTR result) {
    SaveSettingLists(dialog, d);
    EndDialog(dialog, result);
}

void ToggleFromDialog(HWND dialog, const SettingDialog& d) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    // The lists then hold what the driver reads when it starts.
    SaveSettingLists(dialog, d);
    ToggleDriver();
    ClientSettings.DriverActive = IsDriverActive();
    ShowDriverStatus(dialog, d);
    EnableSettingLists(dialog, d, !ClientSettings.DriverActive);
    SetCursor(nullptr);
}
