// The device manager host's costs, printed:
//   host_bench roundtrip [N]   a 1-byte WriteFile + ReadFile through the socket
//                              to the TST echo driver, N times: median and p99
//   host_bench idle [SECONDS]  cehost's CPU time and voluntary context switches
//                              over SECONDS (default 10) with one idle client open
//   host_bench                 both, with their defaults
// Each run starts a private cehost in a temporary root and stops it.
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
        std::printf("host round trip, 1-byte WriteFile + ReadFile over the socket, %d calls: median %.1f us, p99 %.1f us, "
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
    if (mode != "all" && mode != "roundtrip" && mode != "idle") {
        std::fprintf(stderr, "usage: host_bench [roundtrip [N] | idle [SECONDS]]\n");
        rc = 1;
    }
    CloseHandle(port);
    DeactivateDevice(dev);
    ce::stop_host();
    return rc;
}
