// The settings store: the driver's settings key and the driver's load and
// unload. Registry failures are silent: a key or value that cannot be read
// leaves what was there, a failed write is passed over and the next step runs.
#include "settings.h"

ClientSettingsRecord ClientSettings;

namespace {

const WCHAR DriversKey[] = u"Drivers";
const WCHAR BuiltinDriversKey[] = u"Drivers\\Builtin";
const WCHAR DriverSubkey[] = u"Tervalon";
const WCHAR ActiveKey[] = u"Drivers\\Active";
const WCHAR DriverDll[] = u"\\Windows\\Tervalon.dll";
const WCHAR DriverPrefix[] = u"COM";
const WCHAR DriverLog[] = u"\\Tervalon.log";
const DWORD DriverOrder = 9;

// The Key value of an active entry is read into 260 bytes; a longer one
// cannot name our key and is passed over.
const DWORD ActiveKeyBytes = 260;
// Active entry names are up to 255 characters, and the terminator.
const DWORD ActiveNameChars = 256;

// Exactly 4 bytes or nothing: a value of another length leaves the field as
// it was. The type is not examined.
void ReadSetting(HKEY key, LPCWSTR name, DWORD* field) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS &&
        size == sizeof(value))
        *field = value;
}

void WriteSetting(HKEY key, LPCWSTR name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// The terminating zero travels with the text.
void WriteText(HKEY key, LPCWSTR name, LPCWSTR text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
}

void MakePortName() { wsprintfW(ClientSettings.PortName, u"COM%d:", ClientSettings.Index); }

// Whether the active entry `name` was activated from our settings key. Key
// is compared without regard to letter case, as registry paths are; a Key
// that is not a terminated text within its bytes never matches.
BOOL EntryIsOurs(HKEY active, LPCWSTR name) {
    HKEY entry = nullptr;
    if (RegOpenKeyExW(active, name, 0, KEY_READ, &entry) != ERROR_SUCCESS) return FALSE;
    WCHAR path[ActiveKeyBytes / sizeof(WCHAR)];
    DWORD size = ActiveKeyBytes;
    DWORD type = REG_NONE;
    BOOL ours = FALSE;
    if (RegQueryValueExW(entry, u"Key", nullptr, &type, reinterpret_cast<LPBYTE>(path), &size) == ERROR_SUCCESS &&
        type == REG_SZ && size <= ActiveKeyBytes) {
        size_t chars = size / sizeof(WCHAR);
        if (wcsnlen(path, chars) < chars && _wcsicmp(path, ClientSettings.SettingsKeyPath) == 0) {
            ReadSetting(entry, u"Hnd", &ClientSettings.DeviceHandle);
            ours = TRUE;
        }
    }
    RegCloseKey(entry);
    return ours;
}

}  // namespace

void LoadSettings() {
    ClientSettings.Index = 9;
    ClientSettings.Band = 0;
    ClientSettings.Data = 0;
    ClientSettings.Sound = 0;
    ClientSettings.Mute = 0;
    ClientSettings.LogMode = 0;
    ClientSettings.Protocol = 0;
    // Outside every band: the test dialog then starts at the band's edge.
    ClientSettings.Frequency = 100;
    ClientSettings.BuiltinKey = 0;

    // The key stays where it was found; with none, the first save makes the
    // plain one whatever the path says until then.
    HKEY key = nullptr;
    wcscpy(ClientSettings.SettingsKeyPath, TERVALON_SETTINGS_KEY);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClientSettings.SettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        key = nullptr;
        wcscpy(ClientSettings.SettingsKeyPath, TERVALON_BUILTIN_SETTINGS_KEY);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClientSettings.SettingsKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS)
            ClientSettings.BuiltinKey = 1;
        else key = nullptr;
    }

    if (key) {
        const SettingField fields[] = {
            {SETTING_BAND, &ClientSettings.Band},       {SETTING_INDEX, &ClientSettings.Index},
            {SETTING_DATA, &ClientSettings.Data},       {SETTING_MUTE, &ClientSettings.Mute},
            {SETTING_SOUND, &ClientSettings.Sound},     {SETTING_PROTOCOL, &ClientSettings.Protocol},
            {SETTING_LOGMODE, &ClientSettings.LogMode}, {SETTING_FREQUENCY, &ClientSettings.Frequency},
        };
        ReadTervalonSettings(key, fields, SETTING_SIZE_EXACTLY_4);
        RegCloseKey(key);
    }

    MakePortName();
}

void SaveSettings() {
    MakePortName();

    LPCWSTR inUse = ClientSettings.BuiltinKey ? TERVALON_BUILTIN_SETTINGS_KEY : TERVALON_SETTINGS_KEY;
    LPCWSTR other = ClientSettings.BuiltinKey ? TERVALON_SETTINGS_KEY : TERVALON_BUILTIN_SETTINGS_KEY;
    LPCWSTR otherParent = ClientSettings.BuiltinKey ? DriversKey : BuiltinDriversKey;

    // A key at the other place would be a second registration of the same
    // driver: the device manager could load it twice, under either path.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, other, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        HKEY parent = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, otherParent, 0, KEY_ALL_ACCESS, &parent) == ERROR_SUCCESS) {
            RegDeleteKeyW(parent, DriverSubkey);
            RegCloseKey(parent);
        }
    }

    key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, inUse, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, inUse, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
        key = nullptr;
    wcscpy(ClientSettings.SettingsKeyPath, inUse);

    // Frequency belongs to the driver, which stores it when it is unloaded.
    if (key) {
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_BAND], ClientSettings.Band);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_INDEX], ClientSettings.Index);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_DATA], ClientSettings.Data);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_MUTE], ClientSettings.Mute);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_SOUND], ClientSettings.Sound);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_PROTOCOL], ClientSettings.Protocol);
        WriteSetting(key, TERVALON_SETTING_NAMES[SETTING_LOGMODE], ClientSettings.LogMode);
        WriteSetting(key, u"Order", DriverOrder);
        WriteText(key, u"Dll", DriverDll);
        WriteText(key, u"Prefix", DriverPrefix);
    }

    // With logging switched off an old log would only take room.
    if (ClientSettings.LogMode == 0) DeleteFileW(DriverLog);

    if (key) RegCloseKey(key);
}

BOOL IsDriverActive() {
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ActiveKey, 0, KEY_READ, &active) != ERROR_SUCCESS) return FALSE;

    BOOL found = FALSE;
    WCHAR name[ActiveNameChars];
    for (DWORD i = 0; !found; i++) {
        DWORD nameChars = ActiveNameChars;
        LONG rc = RegEnumKeyExW(active, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        // An entry whose name does not fit is no entry of ours; any other
        // failure ends the search as the end of the list does.
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        found = EntryIsOurs(active, name);
    }

    RegCloseKey(active);
    return found;
}

void ToggleDriver() {
    // Unloading always takes Hnd from the active entry: the handle a load
    // returns is not kept, since the program that loaded it may be long gone.
    if (IsDriverActive()) {
        DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ClientSettings.DeviceHandle)));
        return;
    }
    if (!ActivateDeviceEx(ClientSettings.SettingsKeyPath, nullptr, 0, nullptr))
        MessageBoxW(nullptr, DRIVER_LOAD_FAILED_TEXT, ERROR_BOX_CAPTION, MB_OK | MB_ICONHAND);
}

// ---- the lists every control program shows -----------------------------------

const WCHAR PortEntryFormat[] = u"COM%d:";

namespace {

const WCHAR* const BandTexts[] = {u"CCIR 87.5-108 MHz", u"Japan 76-91MHz", u"World 76-108MHz"};
const WCHAR* const DataTexts[] = {u"TMC Data", u"TMC + GPS Data"};
const WCHAR* const SoundTexts[] = {u"Speaker", u"Headset"};
const WCHAR* const MuteTexts[] = {u"Tuned sound", u"Mute"};
const WCHAR* const LogModeTexts[] = {u"Not Logged", u"Data Logged"};
const WCHAR* const ProtocolTexts[] = {u"Royaltek", u"GNS"};

}  // namespace

#define LIST_OF(field, texts) \
    { &ClientSettings.field, sizeof(texts) / sizeof(texts[0]), texts }

const SettingList SettingLists[LIST_COUNT] = {
    {&ClientSettings.Index, PORT_ENTRY_COUNT, nullptr},
    LIST_OF(Band, BandTexts),
    LIST_OF(Data, DataTexts),
    LIST_OF(Sound, SoundTexts),
    LIST_OF(Mute, MuteTexts),
    LIST_OF(LogMode, LogModeTexts),
    LIST_OF(Protocol, ProtocolTexts),
};

#undef LIST_OF

void GetSettingText(int list, DWORD entry, WCHAR* text) {
    text[0] = 0;
    if (list < 0 || list >= LIST_COUNT || entry >= SettingLists[list].Count) return;
    if (SettingLists[list].Texts) wcscpy(text, SettingLists[list].Texts[entry]);
    else wsprintfW(text, PortEntryFormat, entry);
}
