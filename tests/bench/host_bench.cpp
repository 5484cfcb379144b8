// The device manager host's costs, printed:
//   host_bench roundtrip [N]   a 1-byte WriteFile + ReadFile through the socket
//                              to the TST echo driver, N times: median and p99
//   host_bench idle [SECONDS]  cehost's CPU time and voluntary context switches
//                              over SECONDS (default 10) with one idle client open
//   host_bench flood [N]       how long `cectl devices` takes to answer, alone and
//                              while N connections (default 512) each send a byte
//                              of their Hello every 2 s, reopening what the host closes
//   host_bench                 all three, with their defaults
// Each run starts a private cehost in a temporary root and stops it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "hello_flood.h"
#include "test_support.h"
#include "windows.h"

extern char** environ;

namespace {

std::string bin(const char* name) { return (cetest::build_dir() / "bin" / name).string(); }

pid_t start_host(const std::string& root) {
    std::string host = bin("cehost");
    char* argv[] = {host.data(), const_cast<char*>("--root"), const_cast<char*>(root.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream f(root + "/.cehost/pid");
    pid_t host_pid = -1;
    f >> host_pid;
    return host_pid;
}

// One `cectl devices` run from spawn to exit, in ms; negative when it failed.
double time_devices(const std::string& root) {
    std::string cectl = bin("cectl");
    char* argv[] = {cectl.data(), const_cast<char*>("--root"), const_cast<char*>(root.c_str()),
                    const_cast<char*>("devices"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// Median and worst of `runs` answers; how many failed.
void print_devices(const std::string& root, const char* when, int runs) {
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < runs; i++) {
        double t = time_devices(root);
        if (t < 0) failed++;
        else ms.push_back(t);
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("cectl devices %s: no answer in %d runs\n", when, runs);
        return;
    }
    std::printf("cectl devices %s, %d runs: median %.1f ms, max %.1f ms, %d failed\n", when, runs, ms[ms.size() / 2],
                ms.back(), failed);
}

void set_key() {
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tst1", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    const char16_t dll[] = u"TstDriver.dll", prefix[] = u"TST";
    DWORD index = 1;
    RegSetValueExW(k, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll), sizeof dll);
    RegSetValueExW(k, u"Prefix", 0, REG_SZ, reinterpret_cast<const BYTE*>(prefix), sizeof prefix);
    RegSetValueExW(k, u"Index", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&index), 4);
    RegCloseKey(k);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "all";
    cetest::TempRoot root;
    set_key();
    pid_t host = start_host(root.path());
    if (host <= 0) {
        std::fprintf(stderr, "host_bench: cehost did not start\n");
        return 1;
    }
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    HANDLE port = CreateFileW(u"TST1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!dev || port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "host_bench: cannot open TST1:\n");
        ce::stop_host();
        return 1;
    }
    int rc = 0;
    if (mode == "roundtrip" || mode == "all") {
        int n = argc > 2 ? std::atoi(argv[2]) : 20000;
        std::vector<double> us;
        us.reserve(n);
        char c = 'x', back = 0;
        for (int i = 0; i < n + 200; i++) {
            auto t0 = std::chrono::steady_clock::now();
            DWORD done = 0;
            WriteFile(port, &c, 1, &done, nullptr);
            ReadFile(port, &back, 1, &done, nullptr);
            auto t1 = std::chrono::steady_clock::now();
            if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());  // after warm-up
        }
        std::sort(us.begin(), us.end());
        std::printf(
            "host round trip, 1-byte WriteFile + ReadFile over the socket, %d calls: median %.1f us, p99 %.1f us, "
            "max %.1f us\n",
            n, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    }
    if (mode == "idle" || mode == "all") {
        double seconds = argc > 2 && mode == "idle" ? std::atof(argv[2]) : 10.0;
        auto before = cetest::process_usage(host);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        auto after = cetest::process_usage(host);
        std::printf("cehost idle with one open client over %.1f s: CPU %.1f ms, voluntary context switches %ld\n",
                    seconds, after.cpu_ms - before.cpu_ms, after.voluntary - before.voluntary);
    }
    if (mode == "flood" || mode == "all") {
        int n = argc > 2 && mode == "flood" ? std::atoi(argv[2]) : 512;
        print_devices(root.path(), "alone", 10);
        cetest::HelloFlood flood(ce::host_socket_path(), n, std::chrono::seconds(2));
        // Measured once the host has closed as many of the flood's
        // connections as there are: those come back, the flood is at its worst.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (flood.closed_by_host() < static_cast<uint64_t>(n) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        uint64_t closed = flood.closed_by_host();
        char when[96];
        std::snprintf(when, sizeof when, "under a flood of %d slow hellos", n);
        print_devices(root.path(), when, 10);
        std::printf("flood connections closed by the host during the runs: %llu\n",
                    static_cast<unsigned long long>(flood.closed_by_host() - closed));
    }
    if (mode != "all" && mode != "roundtrip" && mode != "idle" && mode != "flood") {
        std::fprintf(stderr, "usage: host_bench [roundtrip [N] | idle [SECONDS] | flood [N]]\n");
        rc = 1;
    }
    CloseHandle(port);
    DeactivateDevice(dev);
    ce::stop_host();
    return rc;
}
