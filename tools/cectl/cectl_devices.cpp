// cectl's device-manager commands: devices, activate, deactivate, port,
// headset, gps, stop.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "ce_devices.h"
#include "ce_platform.h"
#include "cectl.h"

namespace cectl {
namespace {

constexpr size_t kMaxGpsLogBytes = 64u << 20;  // as cehost's replay reads at most

const char16_t kGpsKey[] = u"Platform\\Gps";
const char16_t kHeadsetKey[] = u"System\\State\\Hardware";

std::string error_reason(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND: return "no such device or key";
        case ERROR_ACCESS_DENIED: return "refused by the driver";
        case ERROR_DEVICE_IN_USE: return "the device name is in use";
        case ERROR_MOD_NOT_FOUND: return "the driver library cannot be loaded";
        case ERROR_PROC_NOT_FOUND: return "the library lacks the stream entry points";
        case ERROR_OPEN_FAILED: return "the driver's Init refused";
        case ERROR_INVALID_PARAMETER: return "the key lacks Dll, Prefix or a valid Index";
        case ERROR_INVALID_HANDLE: return "no active device has this handle";
        case ERROR_DEVICE_NOT_AVAILABLE: return "cehost cannot be reached";
        default: return "error " + std::to_string(e);
    }
}

std::string log_hint() { return " (see " + ce::root() + "/.cehost/log)"; }

bool set_sz(HKEY root, const char16_t* path, const char16_t* name, const std::u16string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG e = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(key);
    return e == ERROR_SUCCESS;
}

bool set_dword(HKEY root, const char16_t* path, const char16_t* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG e = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(key);
    return e == ERROR_SUCCESS;
}

int run_devices(const Args& args) {
    if (!args.empty()) return fail("devices takes no arguments");
    std::string why;
    if (!ce::ensure_host(&why)) return fail("devices: " + why);
    auto list = ce::list_devices();
    if (!list) return fail("devices: cehost cannot be reached" + log_hint());
    for (const auto& d : *list) std::printf("%s\t%s\t%u\n", d.name.c_str(), d.key.c_str(), d.handle);
    return 0;
}

// "HKLM\Drivers\X" and "Drivers\X" both name the key ActivateDeviceEx takes.
std::string strip_hklm(const std::string& key) {
    for (const char* prefix : {"HKLM\\", "HKEY_LOCAL_MACHINE\\", "HKLM/", "HKEY_LOCAL_MACHINE/"}) {
        size_t n = std::strlen(prefix);
        if (key.size() > n && strncasecmp(key.c_str(), prefix, n) == 0) return key.substr(n);
    }
    return key;
}

int run_activate(const Args& args) {
    if (args.size() != 1) return fail("usage: activate KEY");
    std::string key = strip_hklm(args[0]);
    std::u16string k = ce::widen(key);
    HANDLE h = ActivateDeviceEx(k.c_str(), nullptr, 0, nullptr);
    if (!h) return fail("activate " + key + ": " + error_reason(GetLastError()) + log_hint());
    std::printf("%u\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
    return 0;
}

int run_deactivate(const Args& args) {
    uint32_t handle = 0;
    if (args.size() != 1 || !parse_u32(args[0], handle)) return fail("usage: deactivate HANDLE (a number)");
    if (!DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle))))
        return fail("deactivate " + args[0] + ": " + error_reason(GetLastError()));
    return 0;
}

int run_port(const Args& args) {
    if (args.empty()) return fail("usage: port NAME [--write TEXT]... [--write-hex HEX]... [--read-ms N] [--hex]");
    std::string name = args[0];
    if (name.find(':') == std::string::npos) name += ':';
    std::vector<std::string> writes;
    uint32_t read_ms = 0;
    bool hex = false;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string& a = args[i];
        std::string bytes;
        if ((a == "--write" || a == "--write-hex" || a == "--read-ms") && i + 1 >= args.size())
            return fail("port: " + a + " needs a value");
        if (a == "--write") {
            if (!unescape(args[++i], bytes)) return fail("port: malformed escape in '" + args[i] + "'");
            writes.push_back(bytes);
        } else if (a == "--write-hex") {
            if (!parse_hex(args[++i], bytes)) return fail("port: malformed hex '" + args[i] + "'");
            writes.push_back(bytes);
        } else if (a == "--read-ms") {
            if (!parse_u32(args[++i], read_ms)) return fail("port: --read-ms needs a number");
        } else if (a == "--hex") {
            hex = true;
        } else {
            return fail("port: unknown option '" + a + "'");
        }
    }
    std::u16string wname = ce::widen(name);
    HANDLE h = CreateFileW(wname.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail("port: " + name + " cannot be opened: " + error_reason(GetLastError()));
    for (const auto& w : writes) {
        DWORD done = 0;
        if (!WriteFile(h, w.data(), static_cast<DWORD>(w.size()), &done, nullptr) || done != w.size()) {
            DWORD e = GetLastError();
            CloseHandle(h);
            return fail("port: write to " + name + " failed: " + error_reason(e));
        }
    }
    std::string received;
    if (read_ms > 0) {
        // A reader thread, so that a Read blocked in the driver ends when the
        // time is up: closing the handle releases it.
        std::mutex mutex;
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            char buf[4096];
            while (!stop.load()) {
                DWORD got = 0;
                if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) break;
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    received.append(buf, got);
                } else {
                    usleep(5000);  // a device whose read returns at once when empty
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(ce::platform_ms_to_real_us(read_ms)));
        stop.store(true);
        CloseHandle(h);
        reader.join();
    } else {
        CloseHandle(h);
    }
    if (hex) {
        for (size_t i = 0; i < received.size(); i++)
            std::printf(i ? " %02x" : "%02x", static_cast<unsigned char>(received[i]));
        if (!received.empty()) std::printf("\n");
    } else {
        std::fwrite(received.data(), 1, received.size(), stdout);
    }
    return 0;
}

int run_headset(const Args& args) {
    if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return fail("usage: headset on|off");
    if (!set_dword(HKEY_LOCAL_MACHINE, kHeadsetKey, u"Headset", args[0] == "on" ? 1 : 0))
        return fail("headset: cannot write HKLM\\System\\State\\Hardware Headset");
    return 0;
}

int run_gps(const Args& args) {
    std::string source, path;
    if (args.size() == 1 && args[0] == "synthetic") {
        source = "synthetic";
    } else if (args.size() == 2 && (args[0] == "replay" || args[0] == "device")) {
        source = args[0];
        path = args[1];
        // A host path, kept absolute: cehost runs in another folder.
        char resolved[PATH_MAX];
        if (source == "replay") {
            std::string error;
            if (!realpath(path.c_str(), resolved))
                return fail("gps: cannot read " + path + ": " + std::strerror(errno));
            // The host reads the log whole: only a regular file of a sensible size will do.
            if (!ce::read_regular_file(resolved, kMaxGpsLogBytes, nullptr, &error)) return fail("gps: " + error);
            path = resolved;
        } else if (!path.empty() && path[0] != '/') {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
        }
    } else {
        return fail("usage: gps synthetic | gps replay FILE | gps device PATH");
    }
    if (!set_sz(HKEY_LOCAL_MACHINE, kGpsKey, u"Source", ce::widen(source)) ||
        !set_sz(HKEY_LOCAL_MACHINE, kGpsKey, u"Path", ce::widen(path)))
        return fail("gps: cannot write HKLM\\Platform\\Gps");
    ce::notify_gps_changed();
    return 0;
}

int run_stop(const Args& args) {
    if (!args.empty()) return fail("stop takes no arguments");
    ce::stop_host();  // nothing to do when none runs
    return 0;
}

}  // namespace
}  // namespace cectl

CECTL_COMMAND("devices", "  devices                        active devices: NAME<TAB>KEY<TAB>HANDLE",
              cectl::run_devices);
CECTL_COMMAND("activate", "  activate KEY                   ActivateDeviceEx(KEY under HKLM); prints the handle",
              cectl::run_activate);
CECTL_COMMAND("deactivate", "  deactivate HANDLE              DeactivateDevice", cectl::run_deactivate);
CECTL_COMMAND("port",
              "  port NAME [--write TEXT]... [--write-hex HEX]... [--read-ms N] [--hex]\n"
              "                                 open NAME as a client, write, read for N ms, print, close",
              cectl::run_port);
CECTL_COMMAND("headset", "  headset on|off                 HKLM\\System\\State\\Hardware Headset", cectl::run_headset);
CECTL_COMMAND("gps", "  gps synthetic | gps replay FILE | gps device PATH   the GPD0: source", cectl::run_gps);
CECTL_COMMAND("stop", "  stop                           deactivate every device, stop cehost", cectl::run_stop);
