// `cectl init` for the Tervalon driver: its registration and settings key, and
// the built driver libraries under the root's \Windows, where the key's Dll
// value points.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "ce_platform.h"
#include "cectl.h"

namespace {

const char16_t kDriverKey[] = u"Drivers\\Tervalon";

bool set_value(HKEY key, const char16_t* name, DWORD type, const void* data, DWORD size, bool force) {
    if (!force && RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return true;
    LONG rc = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS) {
        cectl::fail("init: cannot set HKLM\\Drivers\\Tervalon " + ce::narrow(name) + " (error " + std::to_string(rc) +
                    ")");
        return false;
    }
    return true;
}

bool set_dword(HKEY key, const char16_t* name, DWORD value, bool force) {
    return set_value(key, name, REG_DWORD, &value, sizeof(value), force);
}

bool set_text(HKEY key, const char16_t* name, const std::u16string& text, bool force) {
    return set_value(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)), force);
}

// The folder of the built libraries: ../lib beside this program.
bool init_driver(bool force) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        cectl::fail("init: cannot create HKLM\\Drivers\\Tervalon (error " + std::to_string(rc) + ")");
        return false;
    }
    // The device-manager registration, then the driver's settings at their
    // defaults. Frequency is left to the driver, which writes it at unload.
    bool ok = set_text(key, u"Dll", u"\\Windows\\Tervalon.dll", force) && set_text(key, u"Prefix", u"COM", force) &&
              set_dword(key, u"Index", 9, force) && set_dword(key, u"Order", 9, force) &&
              set_dword(key, u"Band", 0, force) && set_dword(key, u"Data", 0, force) &&
              set_dword(key, u"Sound", 0, force) && set_dword(key, u"Mute", 0, force) &&
              set_dword(key, u"LogMode", 0, force) && set_dword(key, u"Protocol", 0, force);
    RegCloseKey(key);
    if (!ok) return false;

    std::filesystem::path windows = std::filesystem::path(ce::root()) / "Windows";
    std::error_code ec;
    std::filesystem::create_directories(windows, ec);
    if (ec) {
        cectl::fail("init: cannot create " + windows.string());
        return false;
    }
    std::filesystem::path lib = cectl::build_dir() / "lib";
    if (cectl::build_dir().empty()) return true;
    for (const char* name : {"libTervalon.so", "libWavelo.so", "libFMS_API.so"}) {
        if (!cectl::install_file(lib / name, windows, name)) return false;
    }
    return true;
}

}  // namespace

CECTL_INIT_STEP(40, "Tervalon driver", init_driver);
