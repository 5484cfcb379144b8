// Tervalon's own contracts: what the driver and the control programs (KvorClient,
// KvorClientSP, Kvor_Switch) must agree on, kept once so that no side can drift
// from the other. The band table lives beside FMPROP_BAND in fm_interface.h.
#pragma once

#include "windows.h"

// ---- the settings key -----------------------------------------------------------
// The driver's settings key lies in one of two places under HKEY_LOCAL_MACHINE;
// the plain one is looked at first. The key is at the same time the driver's
// device-manager registration, and keys under Drivers\Builtin are loaded at boot.
#define TERVALON_SETTINGS_KEY u"Drivers\\Tervalon"
#define TERVALON_BUILTIN_SETTINGS_KEY u"Drivers\\Builtin\\Tervalon"

// The values of the settings key, each a DWORD. The driver reads all but
// Index, the port number, which belongs to the device manager and the
// control programs.
enum TervalonSetting {
    SETTING_BAND,       // FMBAND_*: 0 87.5-108 MHz, 1 76-91 MHz, 2 world 76-108 MHz
    SETTING_INDEX,      // port number: 9 gives COM9:
    SETTING_DATA,       // 0 TMC only, 1 TMC mixed with GPS
    SETTING_MUTE,       // 0 tuned sound, 1 muted
    SETTING_SOUND,      // 0 speaker, 1 headset
    SETTING_FREQUENCY,  // kHz; the driver stores it at unload
    SETTING_LOGMODE,    // bit 0 data log, bit 1 event log
    SETTING_PROTOCOL,   // 0 Royaltek, 1 GNS
    SETTING_COUNT
};
inline constexpr const WCHAR* TERVALON_SETTING_NAMES[SETTING_COUNT] = {
    u"Band", u"Index", u"Data", u"Mute", u"Sound", u"Frequency", u"LogMode", u"Protocol",
};

// How a reader takes a value whose data is not 4 bytes long. The driver
// offers 4 bytes and keeps what comes back, so shorter data replaces only the
// low bytes of the default; the control programs keep the field as it was.
// Longer data is refused by the registry in both cases, and neither examines
// the type.
enum SettingSizeRule { SETTING_SIZE_AT_MOST_4, SETTING_SIZE_EXACTLY_4 };

// A setting and the field it is read into.
struct SettingField {
    TervalonSetting setting;
    DWORD* field;
};

// Reads the settings into their fields in the order given; a value the key
// does not hold leaves its field as it was.
template <size_t N>
void ReadTervalonSettings(HKEY key, const SettingField (&fields)[N], SettingSizeRule rule) {
    for (const SettingField& f : fields) {
        DWORD value = *f.field;
        DWORD size = sizeof(value);
        if (RegQueryValueExW(key, TERVALON_SETTING_NAMES[f.setting], nullptr, nullptr, reinterpret_cast<LPBYTE>(&value),
                             &size) != ERROR_SUCCESS)
            continue;
        if (rule == SETTING_SIZE_EXACTLY_4 && size != sizeof(value)) continue;
        *f.field = value;
    }
}

// ---- the serial dialects ----------------------------------------------------------
// The XOR of the characters after the leading '$' up to the '*' (or the end),
// as two upper-case hex digits after the '*', terminated there. A text
// without a '*' keeps its length: the digits land past its terminator, so the
// buffer needs three bytes beyond the text.
inline void AddNmeaChecksum(char* text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    BYTE sum = 0;
    size_t i = text[0] == 0 ? 0 : 1;  // an empty text has no "$" to skip
    for (; text[i] != 0 && text[i] != '*'; i++) sum ^= static_cast<BYTE>(text[i]);
    text[i + 1] = digits[sum >> 4];
    text[i + 2] = digits[sum & 15];
    text[i + 3] = 0;
}

// A GNS frequency byte: 100 kHz steps above 87.5 MHz, kept modulo 256 as the
// byte holds it (a frequency below 87.5 MHz wraps round).
inline BYTE GnsFrequencyByte(DWORD frequency) { return static_cast<BYTE>(frequency / 100 - 875); }
