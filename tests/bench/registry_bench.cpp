// Registry latencies in a temporary root: open + query + close of a DWORD (the
// driver's settings read), a DWORD write, and the delivery of a change
// notification written by another process.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "regext.h"
#include "test_support.h"
#include "windows.h"

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // the same clock in every process
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void report(const char* what, std::vector<double> us) {
    if (us.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::sort(us.begin(), us.end());
    double median = us[us.size() / 2];
    double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    std::printf("%-44s n=%-6zu median %9.1f us   p99 %9.1f us\n", what, us.size(), median, p99);
}

std::mutex delivered_mutex;
std::vector<double> delivered_us;
std::atomic<int> delivered{0};

void on_change(HREGNOTIFY, DWORD, const PBYTE data, const UINT size) {
    int64_t at = now_ns();
    if (!data || size != 8) return;
    int64_t sent;
    std::memcpy(&sent, data, 8);
    std::lock_guard<std::mutex> lock(delivered_mutex);
    delivered_us.push_back(static_cast<double>(at - sent) / 1000.0);
    delivered++;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (runs <= 0) runs = 20000;
    cetest::TempRoot root;
    const char16_t* path = u"Drivers\\Tervalon";
    if (RegistrySetDWORD(HKEY_LOCAL_MACHINE, path, u"Frequency", 90000) != S_OK) {
        std::fprintf(stderr, "registry_bench: cannot write the registry in %s\n", root.path().c_str());
        return 1;
    }

    std::vector<double> read_us;
    read_us.reserve(runs);
    for (int i = 0; i < runs; i++) {
        int64_t t0 = now_ns();
        HKEY k = nullptr;
        DWORD v = 0, size = sizeof v;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k);
        RegQueryValueExW(k, u"Frequency", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(k);
        read_us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
    }
    report("open + query + close of a DWORD", read_us);

    std::vector<double> write_us;
    HKEY k = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &k);
    for (int i = 0; i < std::max(runs / 10, 100); i++) {
        DWORD v = static_cast<DWORD>(i);
        int64_t t0 = now_ns();
        RegSetValueExW(k, u"Frequency", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v);
        write_us.push_back(static_cast<double>(now_ns() - t0) / 1000.0);
    }
    RegCloseKey(k);
    report("RegSetValueExW of a DWORD (commit)", write_us);

    // Another process writes its clock into the watched value, one change at
    // a time; the callback here takes the difference.
    HREGNOTIFY watch = nullptr;
    if (RegistryNotifyCallback(HKEY_LOCAL_MACHINE, path, u"Stamp", on_change, 0, nullptr, &watch) != S_OK) {
        std::fprintf(stderr, "registry_bench: cannot watch the registry\n");
        return 1;
    }
    const int writes = 300;
    pid_t child = fork();
    if (child == 0) {
        HKEY wk = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &wk, nullptr) != ERROR_SUCCESS)
            _exit(1);
        for (int i = 0; i < writes; i++) {
            int64_t t = now_ns();
            RegSetValueExW(wk, u"Stamp", 0, REG_BINARY, reinterpret_cast<BYTE*>(&t), sizeof t);
            usleep(5000);
        }
        RegCloseKey(wk);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    for (int i = 0; i < 200 && delivered < writes; i++) usleep(10000);
    RegistryCloseNotification(watch);
    {
        std::lock_guard<std::mutex> lock(delivered_mutex);
        report("notification from another process (write->callback)", delivered_us);
    }
    std::printf("%-44s %d of %d writes\n", "notifications delivered", delivered.load(), writes);
    return 0;
}
