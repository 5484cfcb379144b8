// The settings store of the control programs (KvorClient, KvorClientSP,
// Kvor_Switch): the driver's settings key in the registry, which is at the
// same time the driver's device-manager registration, and loading and
// unloading the driver through the device manager.
//
// All of it runs on the user-interface thread. The test dialog's receive
// thread reads Protocol and reads and corrects Frequency while no operation
// here runs and while the dialog itself only reads them, so the record stays
// plain words.
#pragma once

#include "tervalon.h"
#include "windows.h"

// What the user is told when the device manager refuses to load the driver,
// in a message box with the caption every error box of the programs has.
#define DRIVER_LOAD_FAILED_TEXT u"Cannot load driver.\r\nTry installing ralvexcert.cab \r\nor another COM port."
#define ERROR_BOX_CAPTION u"ERROR"

// Room for "COM%d:" of any 32-bit Index.
#define PORT_NAME_CHARS 32

struct ClientSettingsRecord {
    DWORD Index;  // port number: 9 gives COM9:; also the device-manager index
    // The driver's settings (TervalonSetting); the programs only read Frequency.
    DWORD Band;
    DWORD Data;
    DWORD Sound;
    DWORD Mute;
    DWORD LogMode;
    DWORD Protocol;
    DWORD Frequency;
    BYTE BuiltinKey;                  // 1 when the settings key lives under Drivers\Builtin
    WCHAR SettingsKeyPath[MAX_PATH];  // relative to HKEY_LOCAL_MACHINE
    WCHAR PortName[PORT_NAME_CHARS];  // "COM%d:" of Index
    DWORD DeviceHandle;               // Hnd of the driver's Drivers\Active entry
    BOOL DriverActive;                // the last answer of IsDriverActive, kept by the dialogs
};

extern ClientSettingsRecord ClientSettings;

// Fills ClientSettings from the settings key, or with the defaults where
// there is no key or value.
void LoadSettings();
// Writes ClientSettings to the settings key, creating it (and with it the
// driver's registration) when missing. Only while the driver is not loaded.
void SaveSettings();
// Whether the device manager holds an active entry for SettingsKeyPath; sets
// DeviceHandle when it does.
BOOL IsDriverActive();
// Unloads the driver when it is active, otherwise loads it; a failed load is
// shown to the user.
void ToggleDriver();

// ---- the lists every control program shows -----------------------------------
// One list per setting, in the order the dialogs show them. The index of an
// entry is the setting's value, with no translation (COM7: gives Index 7).
enum SettingListId { LIST_PORT, LIST_BAND, LIST_DATA, LIST_SOUND, LIST_MUTE, LIST_LOGMODE, LIST_PROTOCOL, LIST_COUNT };

struct SettingList {
    DWORD* Value;               // the field of ClientSettings the list shows
    DWORD Count;                // entries
    const WCHAR* const* Texts;  // null for the port list, which is made with PortEntryFormat
};

extern const SettingList SettingLists[LIST_COUNT];
#define PORT_ENTRY_COUNT 10
extern const WCHAR PortEntryFormat[];  // "COM%d:" for the entries 0 to 9

// Room for the longest entry text.
#define SETTING_TEXT_CHARS 32

// The text of an entry of a list into text (SETTING_TEXT_CHARS characters);
// an entry the list does not have gives an empty text.
void GetSettingText(int list, DWORD entry, WCHAR* text);
