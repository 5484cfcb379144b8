// The Tervalon driver's costs, printed:
//   driver_bench latency [N]     RDS record handed to the driver (its FM event
//                                set) -> a client's COM_Read returning the
//                                sentence, in-process, N times: median and p99
//   driver_bench rate [SECONDS]  RDS at 100 times the real group rate (1140
//                                groups/s) for SECONDS (default 10) with a
//                                reading client: groups sent, received, lost
//   driver_bench roundtrip [N]   through cehost: $PSRF107 written to COM9: ->
//                                the answers read back, N times: median and p99
//   driver_bench idle [SECONDS]  cehost's CPU time and context switches over
//                                SECONDS (default 30) with COM9: open, a client
//                                waiting in ReadFile and no station on the air
// Without an argument: latency, rate and roundtrip.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "driver.h"
#include "driver_fake_fm.h"
#include "driver_null_port.h"
#include "kobject.h"
#include "test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void print_spread(const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    std::printf("%s: n=%zu median=%.1f us p99=%.1f us max=%.1f us\n", what, v.size(), v[v.size() / 2],
                v[std::min(v.size() - 1, v.size() * 99 / 100)], v.back());
}

// ---- in-process: the driver over the fake FM library ------------------------

struct InProcess {
    std::string root;
    DEVCONTEXT device = 0;
    DEVCONTEXT open = 0;
    ce::DeviceOpener device_manager = nullptr;  // put back at the end, for the cases through cehost
    InProcess() {
        char dir[] = "/tmp/tervalon-bench-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        root = dir;
        ce::set_root(root);
        device_manager = drivertest::UseNullGpsPort();
        fakefm::reset();
        device = COM_Init(u"Drivers\\Active\\01", nullptr);
        open = COM_Open(device, GENERIC_READ | GENERIC_WRITE, 0);
        if (!open) std::abort();
    }
    ~InProcess() {
        COM_Close(open);
        COM_Deinit(device);
        ce::set_device_opener(device_manager);
        std::system(("rm -rf " + root).c_str());
    }
};

void bench_latency(int n) {
    InProcess p;
    std::vector<double> samples;
    char buffer[4096];
    // Settle: let the first status sentence go by.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (COM_Read(p.open, buffer, sizeof buffer) > 0) {}
    for (int i = 0; i < n; i++) {
        std::atomic<bool> ready{false};
        Clock::time_point t0;
        std::thread producer([&] {
            while (!ready) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // the reader is blocked by now
            t0 = Clock::now();
            fakefm::push_rds({fakefm::group(0xD318, 0x8405, static_cast<WORD>(i), 0xABCD)});
        });
        std::string got;
        ready = true;
        while (got.find("$RTTMC") == std::string::npos || got.back() != '\n') {
            DWORD r = COM_Read(p.open, buffer, sizeof buffer);
            got.append(buffer, r);
        }
        auto t1 = Clock::now();
        producer.join();
        if (got.rfind("$RTTMC", 0) == 0) samples.push_back(micros(t1 - t0));  // a status sentence in between: skip
        fakefm::clear_calls();
    }
    print_spread("driver latency, RDS record to COM_Read returning $RTTMC (in-process)", samples);
}

void bench_rate(int seconds) {
    InProcess p;
    const int per_second = 1140;  // 100 x 11.4 groups/s
    std::atomic<bool> stop{false};
    std::atomic<long> received{0};
    std::thread reader([&] {
        char buffer[4096];
        std::string pending;
        while (!stop) {
            DWORD r = COM_Read(p.open, buffer, sizeof buffer);
            pending.append(buffer, r);
            size_t at;
            while ((at = pending.find("\r\n")) != std::string::npos) {
                if (pending.compare(0, 7, "$RTTMC,") == 0) received++;
                pending.erase(0, at + 2);
            }
        }
    });
    long sent = 0;
    auto start = Clock::now();
    // The tuner hands over about 4 groups per piece; so does this.
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        std::vector<FmRdsGroup> batch;
        for (int i = 0; i < 4; i++) batch.push_back(fakefm::group(0xD318, 0x8405, static_cast<WORD>(sent + i), 0));
        fakefm::push_rds(batch);
        sent += 4;
        auto due = start + std::chrono::microseconds(sent * 1000000 / per_second);
        std::this_thread::sleep_until(due);
        if (sent % 4000 == 0) fakefm::clear_calls();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    reader.join();
    if (received == 0) {
        std::fprintf(stderr, "driver_bench: the client read no $RTTMC at all\n");
        std::exit(1);
    }
    std::printf("sustained 100x RDS rate for %d s (in-process): sent %ld groups, received %ld, lost %ld\n", seconds,
                sent, received.load(), sent - received.load());
}

// ---- through cehost ------------------------------------------------------------

std::string bin(const char* name) { return (cetest::build_dir() / "bin" / name).string(); }

int run(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string cmd;
    for (const auto& a : args) cmd += "'" + a + "' ";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return -1;
    char buf[512];
    std::string text;
    while (fgets(buf, sizeof buf, f)) text += buf;
    if (out) *out = text;
    int status = pclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct HostRoot {
    std::string root;
    pid_t pid = -1;
    explicit HostRoot(bool no_air) {
        char dir[] = "/tmp/tervalon-bench-host-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        root = dir;
        ce::set_root(root);
        run({bin("cectl"), "--root", root, "init"});
        if (no_air) run({bin("cectl"), "--root", root, "air", "clear"});
        run({bin("cehost"), "--root", root});
        std::ifstream f(root + "/.cehost/pid");
        f >> pid;
        std::string handle;
        if (run({bin("cectl"), "--root", root, "activate", "Drivers\\Tervalon"}, &handle) != 0) {
            std::fprintf(stderr, "driver_bench: cannot activate the driver\n");
            std::exit(1);
        }
    }
    ~HostRoot() {
        ce::stop_host();
        std::system(("rm -rf " + root).c_str());
    }
};

void bench_roundtrip(int n) {
    HostRoot host(true);
    HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "driver_bench: cannot open COM9: (error %u)\n", GetLastError());
        std::exit(1);
    }
    std::vector<double> samples;
    char buffer[4096];
    DWORD got = 0;
    for (int i = 0; i < n; i++) {
        PurgeComm(port, PURGE_RXCLEAR);
        auto t0 = Clock::now();
        DWORD written = 0;
        WriteFile(port, "$PSRF107*\r\n", 11, &written, nullptr);
        std::string text;
        while (text.find("$PSRF154,107*3D\r\n") == std::string::npos) {
            if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) {
                // A figure from a client that got nothing would mislead.
                std::fprintf(stderr, "driver_bench: round trip %d: ReadFile on COM9: failed (error %u)\n", i,
                             GetLastError());
                std::exit(1);
            }
            text.append(buffer, got);
        }
        samples.push_back(micros(Clock::now() - t0));
    }
    CloseHandle(port);
    print_spread("round trip through cehost, $PSRF107 written to its three answers read", samples);
}

struct ProcCost {
    double cpu_s = 0;
    long voluntary = 0, involuntary = 0;
};

ProcCost proc_cost(pid_t pid) {
    ProcCost c;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(s.substr(s.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; i++) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) {
            stime = std::stol(f);
            break;
        }
    }
    c.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    // Context switches are counted per thread: add up every thread's.
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) c.voluntary += std::stol(line.substr(24));
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) c.involuntary += std::stol(line.substr(27));
        }
    }
    return c;
}

void bench_idle(int seconds) {
    HostRoot host(true);
    HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "driver_bench: cannot open COM9: (error %u)\n", GetLastError());
        std::exit(1);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0};
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (!stop && ReadFile(port, buffer, sizeof buffer, &got, nullptr)) bytes += got;
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ProcCost a = proc_cost(host.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ProcCost b = proc_cost(host.pid);
    stop = true;
    reader.join();
    CloseHandle(port);
    if (bytes == 0) {
        std::fprintf(stderr, "driver_bench: the client read nothing from COM9: (no status sentence)\n");
        std::exit(1);
    }
    double scale = ce::time_scale();
    std::printf(
        "cehost idle with COM9: open, no RDS, %d s (platform time x%.3g): cpu %.3f s, voluntary switches %ld, "
        "involuntary %ld; status ticks expected: %.0f\n",
        seconds, scale, b.cpu_s - a.cpu_s, b.voluntary - a.voluntary, b.involuntary - a.involuntary,
        seconds / (5.0 * scale));
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    int n = argc > 2 ? std::atoi(argv[2]) : 0;
    if (what.empty() || what == "latency") bench_latency(n ? n : 1000);
    if (what.empty() || what == "rate") bench_rate(n ? n : 10);
    if (what.empty() || what == "roundtrip") bench_roundtrip(n ? n : 300);
    if (what == "idle") bench_idle(n ? n : 30);
    return 0;
}
