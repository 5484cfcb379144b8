// cectl audio / cectl power: what the system services recorded (see
// platform/system/system.cpp for where), one NAME<TAB>VALUE line each, numbers
// in decimal.
#include <cstdio>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "cectl.h"

namespace {

using cectl::Args;
using cectl::fail;

// Where system.cpp keeps its state; the two must agree.
constexpr const char16_t* kPowerKey = u"Platform\\State\\Power";
constexpr const char16_t* kAudioKey = u"Platform\\State\\Audio";

struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle) RegCloseKey(handle);
    }
};

bool read_dword(HKEY key, const char16_t* name, DWORD& value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (!key || RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

// Opens a state key; a key that does not exist yet is an empty state, a
// registry that cannot be read is an error.
bool open_state(const char16_t* path, Key& key) {
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key.handle);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        if (rc != ERROR_SUCCESS) key.handle = nullptr;
        return true;
    }
    key.handle = nullptr;
    fail("cannot read the registry of " + ce::root() + " (error " + std::to_string(rc) + ")");
    return false;
}

void print(const char* name, DWORD value) { std::printf("%s\t%u\n", name, value); }

int run_audio(const Args& args) {
    if (!args.empty()) return fail("audio takes no arguments");
    Key key;
    if (!open_state(kAudioKey, key)) return 1;
    DWORD volume = 0xFFFFFFFFu, count = 0, updates = 0, v = 0;
    read_dword(key.handle, u"Volume", volume);
    read_dword(key.handle, u"MessageCount", count);
    read_dword(key.handle, u"RegistryUpdates", updates);
    print("Devices", waveOutGetNumDevs());
    print("Volume", volume);
    print("RegistryUpdates", updates);
    print("MessageCount", count);
    for (const char16_t* name : {u"LastDevice", u"LastMessage", u"LastParam1", u"LastParam2"}) {
        if (read_dword(key.handle, name, v)) print(ce::narrow(name).c_str(), v);
    }
    DWORD type = 0, size = 0;
    if (key.handle && RegQueryValueExW(key.handle, u"History", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        std::vector<BYTE> data(size + 2, 0);
        if (RegQueryValueExW(key.handle, u"History", nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            std::u16string entry;
            for (DWORD i = 0; i + 1 < size; i += 2) {
                char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
                if (c) {
                    entry += c;
                } else if (!entry.empty()) {
                    std::printf("Message\t%s\n", ce::narrow(entry).c_str());
                    entry.clear();
                }
            }
        }
    }
    return 0;
}

int run_power(const Args& args) {
    if (!args.empty()) return fail("power takes no arguments");
    Key key;
    if (!open_state(kPowerKey, key)) return 1;
    DWORD requests = 0, mode = 0, v = 0;
    read_dword(key.handle, u"UnattendedRequests", requests);
    read_dword(key.handle, u"UnattendedMode", mode);
    print("UnattendedRequests", requests);
    print("UnattendedMode", mode);
    if (read_dword(key.handle, u"LastMessage", v)) print("LastMessage", v);
    if (read_dword(key.handle, u"LastData", v)) print("LastData", v);
    return 0;
}

}  // namespace

CECTL_COMMAND("audio", "  audio             what the wave output driver recorded: NAME<TAB>VALUE lines", run_audio);
CECTL_COMMAND("power", "  power             the power manager's unattended-mode requests: NAME<TAB>VALUE lines",
              run_power);
