// The settings lists of a control program's dialog: drop-down lists in
// KvorClient, spin boxes in KvorClientSP. Both fill, enable, save and toggle
// them the same way; only the controls' messages differ.
#pragma once

#include "settings.h"

// A list control and the setting it shows.
struct SettingControl {
    int Id;
    int Setting;
};

// The messages of the kind of control the lists are.
struct ListMessages {
    UINT Add;
    UINT SetSelection;
    UINT GetSelection;
    LRESULT NoSelection;
};
extern const ListMessages ComboBoxMessages;
extern const ListMessages ListBoxMessages;

struct SettingDialog {
    int StatusId;                     // the status line
    const SettingControl* Lists;      // LIST_COUNT, in the order they are filled
    const SettingControl* SaveOrder;  // LIST_COUNT, in the order they are saved
    const ListMessages* Messages;
};

// At the dialog's start: loads the settings, asks whether the driver is
// loaded, and shows both (status line and lists).
void ShowSettings(HWND dialog, const SettingDialog& d);
// "TMC DRIVER ACTIVE" or "TMC DRIVER INACTIVE" in the status line.
void ShowDriverStatus(HWND dialog, const SettingDialog& d);
// Fills the lists, selects each setting's entry (none for a stored value
// outside the entries) and enables them only while the driver is not loaded.
void FillSettingLists(HWND dialog, const SettingDialog& d);
void EnableSettingLists(HWND dialog, const SettingDialog& d, BOOL enable);
// The save step: copies the selections into the settings and saves them,
// only while the driver is not loaded; a list without a selection keeps the
// stored value.
void SaveSettingLists(HWND dialog, const SettingDialog& d);
// Ends the dialog with result after the save step (Quit, Exit, OK, a close request).
void EndSettingDialog(HWND dialog, const SettingDialog& d, INT_PTR result);
// The TMC command: save, load or unload, then show the new state.
void ToggleFromDialog(HWND dialog, const SettingDialog& d);
