// Trace channels: CE_DEBUG=reg,files,... (or "all") makes libce print one
// line for every failing platform call of those channels, with its arguments
// and the error it sets, so that a driver's silent failure shows without a
// debugger:
//   ce:reg:1234:7: RegOpenKeyExW(HKLM, "Drivers\\Tervalon", 0, 0x0) -> ERROR_FILE_NOT_FOUND
// (channel, process id, the thread's GetCurrentThreadId). The lines go to
// stderr, or appended to the file CE_DEBUG_FILE names. CE_DEBUG is read once,
// when libce is loaded; a failing call then costs one relaxed load of the
// channel mask while tracing is off, a successful one nothing.
//
// A call site is one line. Inside a function, at the failing return:
//   CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, CloseHandle, handle);
//   CE_TRACE_LAST(devices, ActivateDeviceEx, key);       // the error already set
// Around an implementation, as the exported function's body:
//   return CE_TRACE_LONG(reg, open_key(key, sub, result), RegOpenKeyExW, key, sub, options, desired);
//   return CE_TRACE_RET(files, create_file(...), INVALID_HANDLE_VALUE, CreateFileW, name, ...);
// The arguments after the call's name are evaluated only when a line is
// printed. Strings print quoted and escaped, HKEYs by their root names,
// handles in decimal; ce::trace::hex(v) prints a flag word in hex.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>

#include "winbase.h"

namespace ce::trace {

// One bit each; the names CE_DEBUG takes are the enumerators' names.
enum Channel : unsigned {
    kernel,   // events, waits, threads, handles, the local heap, processes
    reg,      // the registry and its notifications
    files,    // files, folders, DeviceIoControl and the serial calls
    devices,  // ActivateDeviceEx, DeactivateDevice, opening "XXXn:" devices
    modules,  // LoadLibraryW, GetProcAddressW, resources
    system,   // system parameters, power, audio, text and time formatting
    ui,       // windows, dialogs, controls, messages
    kChannelCount
};

extern std::atomic<unsigned> g_mask;

inline bool on(Channel channel) { return (g_mask.load(std::memory_order_relaxed) >> channel) & 1u; }

// The CE_DEBUG name of a channel, and the Win32 name of an error code
// (nullptr when it has none here).
const char* channel_name(Channel channel);
const char* error_name(DWORD error);

// Parses a CE_DEBUG text ("reg,files", "all", "-ui" after "all" drops one)
// into a mask; unknown names are ignored.
unsigned parse(const char* text);

// Reads CE_DEBUG and CE_DEBUG_FILE again. libce does it once when loaded;
// tests call it after changing the environment.
void reload();

struct Hex {
    uint64_t value;
};
template <class T>
Hex hex(T value) {
    return Hex{static_cast<uint64_t>(value)};
}

// One argument's text, appended to out.
void put(std::string& out, const char16_t* text);
void put(std::string& out, const char* text);
void put(std::string& out, HKEY key);
void put(std::string& out, HWND window);
void put(std::string& out, Hex value);
void put_handle(std::string& out, const void* handle);
void put_pointer(std::string& out, const void* pointer);
void put_signed(std::string& out, long long value);
void put_unsigned(std::string& out, unsigned long long value);

template <class T>
void put(std::string& out, T value) {
    if constexpr (std::is_same_v<T, HANDLE>) put_handle(out, value);
    else if constexpr (std::is_pointer_v<T>) put_pointer(out, reinterpret_cast<const void*>(value));
    else if constexpr (std::is_enum_v<T>) put_signed(out, static_cast<long long>(value));
    else if constexpr (std::is_signed_v<T>) put_signed(out, value);
    else put_unsigned(out, value);
}
inline void put(std::string& out, char16_t* text) { put(out, static_cast<const char16_t*>(text)); }
inline void put(std::string& out, char* text) { put(out, static_cast<const char*>(text)); }

// Writes "ce:<channel>:<pid>:<tid>: <call>(<args>) -> <error>" as one line.
// Leaves the thread's last error as it found it.
void write_line(Channel channel, DWORD error, const char* call, const std::string& args);

template <class... A>
void fail(Channel channel, DWORD error, const char* call, const A&... args) {
    std::string text;
    [[maybe_unused]] bool first = true;
    ((text += first ? "" : ", ", first = false, put(text, args)), ...);
    write_line(channel, error, call, text);
}

}  // namespace ce::trace

#define CE_TRACE_FAIL(channel, error, call, ...)                                                                  \
    do {                                                                                                          \
        if (::ce::trace::on(::ce::trace::channel))                                                                \
            ::ce::trace::fail(::ce::trace::channel, static_cast<DWORD>(error), #call __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

#define CE_TRACE_LAST(channel, call, ...) CE_TRACE_FAIL(channel, GetLastError(), call __VA_OPT__(, ) __VA_ARGS__)

// The result of expr; traced with the last error when it equals bad.
#define CE_TRACE_RET(channel, expr, bad, call, ...)                                            \
    [&] {                                                                                      \
        auto ce_trace_result = (expr);                                                         \
        if (ce_trace_result == (bad)) CE_TRACE_LAST(channel, call __VA_OPT__(, ) __VA_ARGS__); \
        return ce_trace_result;                                                                \
    }()

// The result of expr, itself an error code (ERROR_SUCCESS when it worked).
#define CE_TRACE_LONG(channel, expr, call, ...)                                                             \
    [&] {                                                                                                   \
        auto ce_trace_result = (expr);                                                                      \
        if (ce_trace_result != 0) CE_TRACE_FAIL(channel, ce_trace_result, call __VA_OPT__(, ) __VA_ARGS__); \
        return ce_trace_result;                                                                             \
    }()
