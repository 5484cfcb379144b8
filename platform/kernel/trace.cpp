// Trace channels (ce_trace.h): CE_DEBUG parsed once at load into a mask, and
// the one-line report of a failing call.
#include "ce_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ce_utf8.h"
#include "windows.h"

namespace ce::trace {

std::atomic<unsigned> g_mask{0};

namespace {

const char* const kChannelNames[kChannelCount] = {"kernel", "reg", "files", "devices", "modules", "system", "ui"};

// Where the lines go: stderr, or the CE_DEBUG_FILE opened for appending, so
// that the lines of several processes interleave whole.
std::atomic<int> g_fd{STDERR_FILENO};

// Long strings are cut: one line stays readable.
constexpr size_t kMaxText = 160;

void put_code_unit_escaped(std::string& out, char32_t c) {
    switch (c) {
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    char buf[12];
    if (c < 0x20 || c == 0x7f) {
        std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
        out += buf;
    } else {
        ce::append_utf8(out, c);
    }
}

// A resource name given as a number (MAKEINTRESOURCE) is no string.
bool is_int_resource(const void* p) { return reinterpret_cast<uintptr_t>(p) < 0x10000; }

}  // namespace

const char* channel_name(Channel channel) { return channel < kChannelCount ? kChannelNames[channel] : "?"; }

// The names of the codes winerror.h defines.
#define E(name) \
    { name, #name }
const struct {
    DWORD code;
    const char* name;
} kErrorNames[] = {E(ERROR_SUCCESS),
                   E(ERROR_INVALID_FUNCTION),
                   E(ERROR_FILE_NOT_FOUND),
                   E(ERROR_PATH_NOT_FOUND),
                   E(ERROR_TOO_MANY_OPEN_FILES),
                   E(ERROR_ACCESS_DENIED),
                   E(ERROR_INVALID_HANDLE),
                   E(ERROR_NOT_ENOUGH_MEMORY),
                   E(ERROR_BAD_FORMAT),
                   E(ERROR_INVALID_ACCESS),
                   E(ERROR_INVALID_DATA),
                   E(ERROR_OUTOFMEMORY),
                   E(ERROR_BAD_UNIT),
                   E(ERROR_NOT_READY),
                   E(ERROR_GEN_FAILURE),
                   E(ERROR_SHARING_VIOLATION),
                   E(ERROR_LOCK_VIOLATION),
                   E(ERROR_HANDLE_EOF),
                   E(ERROR_NOT_SUPPORTED),
                   E(ERROR_DEV_NOT_EXIST),
                   E(ERROR_FILE_EXISTS),
                   E(ERROR_INVALID_PARAMETER),
                   E(ERROR_BROKEN_PIPE),
                   E(ERROR_OPEN_FAILED),
                   E(ERROR_DISK_FULL),
                   E(ERROR_INSUFFICIENT_BUFFER),
                   E(ERROR_INVALID_NAME),
                   E(ERROR_MOD_NOT_FOUND),
                   E(ERROR_PROC_NOT_FOUND),
                   E(ERROR_NEGATIVE_SEEK),
                   E(ERROR_DIR_NOT_EMPTY),
                   E(ERROR_BUSY),
                   E(ERROR_ALREADY_EXISTS),
                   E(ERROR_FILENAME_EXCED_RANGE),
                   E(ERROR_MORE_DATA),
                   E(ERROR_NO_MORE_ITEMS),
                   E(ERROR_DIRECTORY),
                   E(ERROR_OPERATION_ABORTED),
                   E(ERROR_IO_PENDING),
                   E(ERROR_INVALID_FLAGS),
                   E(ERROR_BADDB),
                   E(ERROR_BADKEY),
                   E(ERROR_CANTOPEN),
                   E(ERROR_CANTREAD),
                   E(ERROR_CANTWRITE),
                   E(ERROR_REGISTRY_IO_FAILED),
                   E(ERROR_KEY_DELETED),
                   E(ERROR_NO_UNICODE_TRANSLATION),
                   E(ERROR_DLL_INIT_FAILED),
                   E(ERROR_RESOURCE_DATA_NOT_FOUND),
                   E(ERROR_RESOURCE_TYPE_NOT_FOUND),
                   E(ERROR_RESOURCE_NAME_NOT_FOUND),
                   E(ERROR_DEVICE_IN_USE),
                   E(ERROR_ALREADY_INITIALIZED),
                   E(ERROR_TIMEOUT),
                   E(ERROR_DEVICE_NOT_AVAILABLE),
                   E(ERROR_INVALID_WINDOW_HANDLE),
                   E(ERROR_INVALID_THREAD_ID),
                   E(ERROR_CLASS_ALREADY_EXISTS),
                   E(ERROR_CLASS_DOES_NOT_EXIST),
                   E(ERROR_CANNOT_FIND_WND_CLASS),
                   E(ERROR_INVALID_DWP_HANDLE),
                   E(ERROR_NO_MORE_FILES),
                   E(ERROR_BAD_EXE_FORMAT)};
#undef E

const char* error_name(DWORD error) {
    for (const auto& e : kErrorNames) {
        if (e.code == error) return e.name;
    }
    return nullptr;
}

unsigned parse(const char* text) {
    unsigned mask = 0;
    if (!text) return mask;
    const char* p = text;
    while (*p) {
        while (*p == ',' || *p == ' ' || *p == '+') p++;
        bool drop = *p == '-';
        if (drop) p++;
        const char* start = p;
        while (*p && *p != ',' && *p != ' ') p++;
        size_t n = static_cast<size_t>(p - start);
        if (n == 0) continue;
        unsigned bits = 0;
        if (n == 3 && std::strncmp(start, "all", 3) == 0) bits = (1u << kChannelCount) - 1;
        for (unsigned c = 0; c < kChannelCount; c++) {
            if (std::strlen(kChannelNames[c]) == n && std::strncmp(start, kChannelNames[c], n) == 0) bits = 1u << c;
        }
        mask = drop ? (mask & ~bits) : (mask | bits);
    }
    return mask;
}

void reload() {
    int fd = STDERR_FILENO;
    const char* file = std::getenv("CE_DEBUG_FILE");
    if (file && *file) {
        int opened = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (opened >= 0) fd = opened;
    }
    int old = g_fd.exchange(fd);
    if (old != STDERR_FILENO && old != fd) ::close(old);
    g_mask.store(parse(std::getenv("CE_DEBUG")), std::memory_order_relaxed);
}

void put(std::string& out, const char16_t* text) {
    if (!text) {
        out += "NULL";
        return;
    }
    if (is_int_resource(text)) {
        out += '#';
        put_unsigned(out, reinterpret_cast<uintptr_t>(text));
        return;
    }
    out += '"';
    size_t i = 0;
    for (; text[i] && i < kMaxText; i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        put_code_unit_escaped(out, c);
    }
    out += text[i] ? "\"..." : "\"";
}

void put(std::string& out, const char* text) {
    if (!text) {
        out += "NULL";
        return;
    }
    out += '"';
    size_t i = 0;
    for (; text[i] && i < kMaxText; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        // Bytes above ASCII pass as they are: the host's text is UTF-8.
        if (c >= 0x80) out += static_cast<char>(c);
        else put_code_unit_escaped(out, c);
    }
    out += text[i] ? "\"..." : "\"";
}

void put(std::string& out, HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) out += "HKLM";
    else if (key == HKEY_CURRENT_USER) out += "HKCU";
    else if (key == HKEY_CLASSES_ROOT) out += "HKCR";
    else if (key == HKEY_USERS) out += "HKU";
    else put_handle(out, key);
}

void put(std::string& out, HWND window) { put_handle(out, window); }

void put(std::string& out, Hex value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value.value));
    out += buf;
}

// Handles print in decimal, as cectl prints them.
void put_handle(std::string& out, const void* handle) {
    if (handle == INVALID_HANDLE_VALUE) out += "INVALID_HANDLE_VALUE";
    else if (!handle) out += "NULL";
    else put_unsigned(out, reinterpret_cast<uintptr_t>(handle));
}

void put_pointer(std::string& out, const void* pointer) {
    if (!pointer) {
        out += "NULL";
        return;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%p", pointer);
    out += buf;
}

void put_signed(std::string& out, long long value) { out += std::to_string(value); }
void put_unsigned(std::string& out, unsigned long long value) { out += std::to_string(value); }

void write_line(Channel channel, DWORD error, const char* call, const std::string& args) {
    int saved_errno = errno;
    std::string line = "ce:";
    line += channel_name(channel);
    line += ':';
    line += std::to_string(::getpid());
    line += ':';
    line += std::to_string(GetCurrentThreadId());
    line += ": ";
    line += call;
    line += '(';
    line += args;
    line += ") -> ";
    auto code = static_cast<uint32_t>(error);
    if (const char* name = error_name(code)) {
        line += name;
    } else if ((code & 0xFFFF0000u) == 0x80070000u && error_name(code & 0xFFFF)) {
        // An HRESULT carrying a Win32 code (the registry helpers' results).
        line += "HRESULT_FROM_WIN32(";
        line += error_name(code & 0xFFFF);
        line += ')';
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, code >= 0x10000 ? "0x%08x" : "%u", code);
        line += buf;
    }
    line += '\n';
    // One write per line: lines of several threads and processes never mix.
    int fd = g_fd.load();
    const char* p = line.data();
    size_t left = line.size();
    while (left) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    errno = saved_errno;
}

namespace {
// CE_DEBUG is read once, when libce is loaded.
[[maybe_unused]] const bool g_loaded = [] {
    reload();
    return true;
}();
}  // namespace

}  // namespace ce::trace
