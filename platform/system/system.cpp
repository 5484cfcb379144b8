// System services of the device that have no hardware behind them here: the
// OEM information text, the power manager's unattended-mode requests and the
// wave output driver. Their state lives in the registry, so that it is shared
// by every process of a root and `cectl audio` / `cectl power` can show it:
//
//   HKLM\System\Platform        OemInfo (REG_SZ): the OEM information text
//   HKLM\Platform\State\Power   UnattendedRequests, UnattendedMode,
//                               LastMessage, LastData (REG_DWORD)
//   HKLM\Platform\State\Audio   Volume, MessageCount, LastDevice, LastMessage,
//                               LastParam1, LastParam2, RegistryUpdates
//                               (REG_DWORD), History (REG_MULTI_SZ, the last
//                               16 messages as "device message param1 param2")
//
// Read-modify-write of these values is serialised within a process; the
// device manager host is the one process that sends power and audio requests.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "ce_trace.h"
#include "mmsystem.h"
#include "pm.h"
#include "windows.h"

namespace {

constexpr const char16_t* kPlatformKey = u"System\\Platform";
constexpr const char16_t* kPowerKey = u"Platform\\State\\Power";
constexpr const char16_t* kAudioKey = u"Platform\\State\\Audio";
constexpr const char16_t* kUserVolumeKey = u"ControlPanel\\Volume";
constexpr UINT kWaveDevices = 1;
constexpr DWORD kFullVolume = 0xFFFFFFFFu;
constexpr size_t kHistoryLength = 16;

std::mutex state_mutex;

// An open key that closes itself.
struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle) RegCloseKey(handle);
    }
    LONG open(HKEY root, const char16_t* path) { return RegOpenKeyExW(root, path, 0, KEY_READ, &handle); }
    LONG create(HKEY root, const char16_t* path) {
        return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &handle,
                               nullptr);
    }
};

bool read_dword(HKEY key, const char16_t* name, DWORD& value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof data) return false;
    value = data;
    return true;
}

LONG write_dword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A REG_SZ (or REG_EXPAND_SZ) value as text, without its terminator.
LONG read_text(HKEY key, const char16_t* name, std::u16string& text) {
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    std::vector<BYTE> data(size + 2, 0);
    rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) return rc;
    text.clear();
    for (DWORD i = 0; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) break;
        text += c;
    }
    return ERROR_SUCCESS;
}

// The device id an HWAVEOUT stands for (the SDK passes ids in its place).
bool valid_device(HWAVEOUT waveOut) {
    auto id = static_cast<UINT>(reinterpret_cast<uintptr_t>(waveOut));
    return id == WAVE_MAPPER || id < kWaveDevices;
}

std::vector<std::u16string> read_history(HKEY key) {
    std::vector<std::u16string> entries;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, u"History", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return entries;
    std::vector<BYTE> data(size + 2, 0);
    if (RegQueryValueExW(key, u"History", nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return entries;
    std::u16string current;
    for (DWORD i = 0; i + 1 < size; i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c) {
            current += c;
        } else if (!current.empty()) {
            entries.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) entries.push_back(current);
    return entries;
}

LONG write_history(HKEY key, const std::vector<std::u16string>& entries) {
    std::u16string blob;
    for (const auto& e : entries) {
        blob += e;
        blob += u'\0';
    }
    blob += u'\0';
    return RegSetValueExW(key, u"History", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(blob.data()),
                          static_cast<DWORD>(blob.size() * sizeof(char16_t)));
}

}  // namespace

static BOOL system_parameters_info(UINT action, UINT param, PVOID data, UINT) {
    std::u16string text;
    switch (action) {
        case SPI_GETOEMINFO: {
            Key key;
            LONG rc = key.open(HKEY_LOCAL_MACHINE, kPlatformKey);
            if (rc == ERROR_SUCCESS) rc = read_text(key.handle, u"OemInfo", text);
            if (rc != ERROR_SUCCESS) {
                SetLastError(rc == ERROR_INVALID_DATA ? ERROR_INVALID_DATA : ERROR_FILE_NOT_FOUND);
                return FALSE;
            }
            break;
        }
        case SPI_GETPLATFORMTYPE: text = u"PocketPC"; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // param is the buffer's size in characters: never more is written, the
    // terminator included, so a longer text is cut short.
    if (param == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    size_t n = std::min<size_t>(text.size(), param - 1);
    auto* out = static_cast<WCHAR*>(data);
    text.copy(out, n);
    out[n] = 0;
    return TRUE;
}

// SystemParametersInfoW -> registry-backed: SPI_GETOEMINFO copies HKLM\System\Platform OemInfo.
BOOL SystemParametersInfoW(UINT action, UINT param, PVOID data, UINT) {
    return CE_TRACE_RET(system, system_parameters_info(action, param, data, {}), FALSE, SystemParametersInfoW, action,
                        param);
}

static BOOL power_policy_notify(DWORD message, DWORD data) {
    std::lock_guard<std::mutex> lock(state_mutex);
    Key key;
    LONG rc = key.create(HKEY_LOCAL_MACHINE, kPowerKey);
    if (rc == ERROR_SUCCESS && message == PPN_UNATTENDEDMODE) {
        // Unattended mode is reference counted: it stays on while any
        // request holds it. A release nobody asked for is ignored.
        DWORD count = 0;
        read_dword(key.handle, u"UnattendedRequests", count);
        if (data) count++;
        else if (count > 0) count--;
        rc = write_dword(key.handle, u"UnattendedRequests", count);
        if (rc == ERROR_SUCCESS) rc = write_dword(key.handle, u"UnattendedMode", count > 0 ? 1 : 0);
    }
    if (rc == ERROR_SUCCESS) rc = write_dword(key.handle, u"LastMessage", message);
    if (rc == ERROR_SUCCESS) rc = write_dword(key.handle, u"LastData", data);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return FALSE;
    }
    return TRUE;
}

// PowerPolicyNotify -> registry-backed: counts unattended-mode requests under HKLM\Platform\State\Power.
BOOL PowerPolicyNotify(DWORD message, DWORD data) {
    return CE_TRACE_RET(system, power_policy_notify(message, data), FALSE, PowerPolicyNotify, message, data);
}

// waveOutGetNumDevs -> one wave output device, as on the phones this system runs on.
UINT waveOutGetNumDevs() { return kWaveDevices; }

// waveOutMessage -> registry-backed: records the message under HKLM\Platform\State\Audio.
MMRESULT waveOutMessage(HWAVEOUT waveOut, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    if (!valid_device(waveOut)) return MMSYSERR_BADDEVICEID;
    auto device = static_cast<UINT>(reinterpret_cast<uintptr_t>(waveOut));
    std::lock_guard<std::mutex> lock(state_mutex);
    Key key;
    if (key.create(HKEY_LOCAL_MACHINE, kAudioKey) != ERROR_SUCCESS) return MMSYSERR_ERROR;
    DWORD count = 0;
    read_dword(key.handle, u"MessageCount", count);
    char line[96];
    std::snprintf(line, sizeof line, "%u %u %llu %llu", device, message, static_cast<unsigned long long>(param1),
                  static_cast<unsigned long long>(param2));
    auto history = read_history(key.handle);
    history.push_back(ce::widen(line));
    if (history.size() > kHistoryLength) history.erase(history.begin(), history.end() - kHistoryLength);
    bool ok = write_dword(key.handle, u"LastDevice", device) == ERROR_SUCCESS &&
              write_dword(key.handle, u"LastMessage", message) == ERROR_SUCCESS &&
              write_dword(key.handle, u"LastParam1", static_cast<DWORD>(param1)) == ERROR_SUCCESS &&
              write_dword(key.handle, u"LastParam2", static_cast<DWORD>(param2)) == ERROR_SUCCESS &&
              write_history(key.handle, history) == ERROR_SUCCESS &&
              write_dword(key.handle, u"MessageCount", count + 1) == ERROR_SUCCESS;
    return ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

// waveOutGetVolume -> registry-backed: the kept volume word (full volume until one is set).
MMRESULT waveOutGetVolume(HWAVEOUT waveOut, LPDWORD volume) {
    if (!valid_device(waveOut)) return MMSYSERR_BADDEVICEID;
    if (!volume) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(state_mutex);
    DWORD value = kFullVolume;
    Key key;
    if (key.open(HKEY_LOCAL_MACHINE, kAudioKey) == ERROR_SUCCESS) read_dword(key.handle, u"Volume", value);
    *volume = value;
    return MMSYSERR_NOERROR;
}

// waveOutSetVolume -> registry-backed: keeps the volume word (one word for the device and the mapper).
MMRESULT waveOutSetVolume(HWAVEOUT waveOut, DWORD volume) {
    if (!valid_device(waveOut)) return MMSYSERR_BADDEVICEID;
    std::lock_guard<std::mutex> lock(state_mutex);
    Key key;
    if (key.create(HKEY_LOCAL_MACHINE, kAudioKey) != ERROR_SUCCESS) return MMSYSERR_ERROR;
    return write_dword(key.handle, u"Volume", volume) == ERROR_SUCCESS ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

// AudioUpdateFromRegistry -> registry-backed: takes HKCU\ControlPanel\Volume "Volume" as the kept volume.
void AudioUpdateFromRegistry() {
    std::lock_guard<std::mutex> lock(state_mutex);
    DWORD volume = 0;
    bool have = false;
    {
        Key user;
        if (user.open(HKEY_CURRENT_USER, kUserVolumeKey) == ERROR_SUCCESS)
            have = read_dword(user.handle, u"Volume", volume);
    }
    Key key;
    if (key.create(HKEY_LOCAL_MACHINE, kAudioKey) != ERROR_SUCCESS) return;
    if (have) write_dword(key.handle, u"Volume", volume);
    DWORD updates = 0;
    read_dword(key.handle, u"RegistryUpdates", updates);
    write_dword(key.handle, u"RegistryUpdates", updates + 1);
}
