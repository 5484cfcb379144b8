// TST: a small stream driver for the device manager's tests. An echo device:
// what any open writes, any open reads back. Every entry point it sees is
// appended to <root>/tst.log ("TST1: Open", ...), so tests in another process
// can tell what reached the driver and in which order. Its settings key
// (found through the Active entry's Key) may hold FailInit and RefuseOpen.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "ce_platform.h"
#include "ce_stream.h"
#include "windows.h"

namespace {

std::mutex log_mutex;

void note(const std::string& device, const std::string& what) {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (FILE* f = std::fopen((ce::root() + "/tst.log").c_str(), "a")) {
        std::fprintf(f, "%s %s\n", device.c_str(), what.c_str());
        std::fclose(f);
    }
}

std::u16string read_sz(HKEY key, const char16_t* name) {
    WCHAR buf[300] = {};
    DWORD size = sizeof buf - 2, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size) != ERROR_SUCCESS) return {};
    return std::u16string(buf);
}

DWORD read_dword(const std::u16string& path, const char16_t* name) {
    HKEY key = nullptr;
    DWORD value = 0, size = 4;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) != ERROR_SUCCESS)
        value = 0;
    RegCloseKey(key);
    return value;
}

// Bytes as log text: printable characters as they are, others as \xHH.
std::string escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

struct Device {
    std::string name;
    bool refuse_open = false;
    std::mutex mutex;
    std::condition_variable cv;
    std::string queue;
    bool ending = false;
};

struct OpenCtx {
    Device* device;
    bool closing = false;
};

}  // namespace

extern "C" {

DWORD_PTR TST_Init(LPCWSTR active, LPCVOID) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    std::u16string settings = read_sz(key, u"Key");
    std::u16string name = read_sz(key, u"Name");
    RegCloseKey(key);
    auto* d = new Device;
    d->name = ce::narrow(name);
    if (read_dword(settings, u"FailInit")) {
        note(d->name, "Init refused");
        delete d;
        return 0;
    }
    d->refuse_open = read_dword(settings, u"RefuseOpen") != 0;
    note(d->name, "Init " + ce::narrow(settings));
    return reinterpret_cast<DWORD_PTR>(d);
}

BOOL TST_PreDeinit(DWORD_PTR context) {
    auto* d = reinterpret_cast<Device*>(context);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->ending = true;
    d->cv.notify_all();
    return TRUE;
}

BOOL TST_Deinit(DWORD_PTR context) {
    auto* d = reinterpret_cast<Device*>(context);
    note(d->name, "Deinit");
    delete d;
    return TRUE;
}

DWORD_PTR TST_Open(DWORD_PTR context, DWORD access, DWORD share) {
    auto* d = reinterpret_cast<Device*>(context);
    if (d->refuse_open) {
        note(d->name, "Open refused");
        return 0;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "Open %08X %u", access, share);
    note(d->name, buf);
    return reinterpret_cast<DWORD_PTR>(new OpenCtx{d});
}

BOOL TST_PreClose(DWORD_PTR open) {
    auto* o = reinterpret_cast<OpenCtx*>(open);
    std::lock_guard<std::mutex> lock(o->device->mutex);
    o->closing = true;
    o->device->cv.notify_all();
    return TRUE;
}

BOOL TST_Close(DWORD_PTR open) {
    auto* o = reinterpret_cast<OpenCtx*>(open);
    note(o->device->name, "Close");
    delete o;
    return TRUE;
}

// Blocks until there is something to read, or the open or device ends.
DWORD TST_Read(DWORD_PTR open, LPVOID buffer, DWORD count) {
    auto* o = reinterpret_cast<OpenCtx*>(open);
    Device* d = o->device;
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->queue.empty()) {
        lock.unlock();
        note(d->name, "Read waiting");
        lock.lock();
    }
    d->cv.wait(lock, [&] { return !d->queue.empty() || o->closing || d->ending; });
    size_t n = std::min<size_t>(count, d->queue.size());
    std::string got = d->queue.substr(0, n);
    d->queue.erase(0, n);
    lock.unlock();
    if (n) {
        std::memcpy(buffer, got.data(), n);
        note(d->name, "Read " + escaped(got));
    }
    return static_cast<DWORD>(n);
}

DWORD TST_Write(DWORD_PTR open, LPCVOID buffer, DWORD count) {
    auto* o = reinterpret_cast<OpenCtx*>(open);
    Device* d = o->device;
    std::string data(static_cast<const char*>(buffer), count);
    note(d->name, "Write " + escaped(data));
    if (data == "hold") {
        // A driver call that ignores PreClose and PreDeinit: it returns only
        // once <root>/tst.release exists.
        const std::string release = ce::root() + "/tst.release";
        while (access(release.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        note(d->name, "Write released");
        return count;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    d->queue += data;
    d->cv.notify_all();
    return count;
}

DWORD TST_Seek(DWORD_PTR, LONG amount, WORD) { return static_cast<DWORD>(amount); }

BOOL TST_IOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD in_size, PBYTE out, DWORD out_size, PDWORD returned) {
    auto* o = reinterpret_cast<OpenCtx*>(open);
    DWORD arg = 0;
    if (in && in_size >= 4) std::memcpy(&arg, in, 4);
    char buf[64];
    std::snprintf(buf, sizeof buf, "IOControl %08X %u", code, arg);
    note(o->device->name, buf);
    if (code == 0x80002004) {
        // Inside the host, as the real driver does: open GPD0:, wait for a
        // port event on one thread and close the handle from another.
        DWORD result[2] = {0, 2};
        HANDLE gps = CreateFileW(u"GPD0:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (gps != INVALID_HANDLE_VALUE) {
            result[0] = 1;
            SetCommMask(gps, 0x81);
            std::thread waiter([&] {
                DWORD events = 0;
                result[1] = WaitCommEvent(gps, &events, nullptr) ? 1 : 0;
            });
            Sleep(1000);
            CloseHandle(gps);
            waiter.join();
        }
        if (!out || out_size < sizeof result) return FALSE;
        std::memcpy(out, result, sizeof result);
        if (returned) *returned = sizeof result;
        return TRUE;
    }
    if (code == 0x001B0044) {  // IOCTL_SERIAL_PURGE
        std::lock_guard<std::mutex> lock(o->device->mutex);
        o->device->queue.clear();
    }
    if (out && out_size >= 4) {
        DWORD answer = 0x5A5A5A5A;
        std::memcpy(out, &answer, 4);
        if (returned) *returned = 4;
    }
    return TRUE;
}

void TST_PowerDown(DWORD_PTR) {}
void TST_PowerUp(DWORD_PTR) {}

}  // extern "C"
