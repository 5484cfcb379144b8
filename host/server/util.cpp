// cehost's log and the registry reads the device manager needs.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "ce_platform.h"
#include "host.h"

namespace cehost {

namespace {
std::mutex log_mutex;
FILE* log_file = nullptr;
bool log_echo = false;
bool log_journal = false;
}  // namespace

void log_open(const std::string& path, bool echo_stderr, bool journal) {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_file) std::fclose(log_file);
    log_file = std::fopen(path.c_str(), "ae");
    log_echo = echo_stderr || journal;
    log_journal = journal;
}

void log_line(const char* format, ...) {
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm t{};
    localtime_r(&tv.tv_sec, &t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<long>(tv.tv_usec / 1000));
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_file) {
        std::fprintf(log_file, "%s cehost[%d]: %s\n", stamp, static_cast<int>(getpid()), message);
        std::fflush(log_file);
    }
    // The journal stamps each line with the time and "cehost[PID]" itself.
    if (log_journal) std::fprintf(stderr, "%s\n", message);
    else if (log_echo || !log_file) std::fprintf(stderr, "cehost: %s\n", message);
}

std::string u8(const std::u16string& text) { return ce::narrow(text); }

std::optional<std::u16string> reg_sz(const std::u16string& key, const char16_t* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
    WCHAR buffer[1024];
    DWORD size = sizeof buffer - sizeof(WCHAR);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    size_t chars = size / sizeof(WCHAR);
    buffer[chars] = 0;
    std::u16string value(buffer, chars);
    while (!value.empty() && value.back() == 0) value.pop_back();
    return value;
}

std::optional<DWORD> reg_dword(const std::u16string& key, const char16_t* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG rc = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != 4) return std::nullopt;
    return value;
}

bool reg_key_exists(const std::u16string& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

std::vector<std::u16string> reg_subkeys(const std::u16string& key) {
    std::vector<std::u16string> out;
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD len = 256;
        if (RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        out.emplace_back(name, len);
    }
    RegCloseKey(k);
    return out;
}

}  // namespace cehost
