// KvorClientSP's idle cost, printed: the real program on the offscreen
// platform, its dialog up and nothing happening, over SECONDS (default 30).
//   client_sp_bench [SECONDS]
// A program that waits for messages should sleep: the aim is under 0.1% of a
// core. Runs a private cehost in a temporary root and stops it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ce_devices.h"
#include "ce_platform.h"
#include "test_support.h"
#include "window_broker.h"
#include "windows.h"

extern char** environ;

namespace {

std::string bin(const char* name) { return (cetest::build_dir() / "bin" / name).string(); }

pid_t spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: client_sp_bench [SECONDS]\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    cetest::TempRoot root;
    std::string error;
    if (!ce::ensure_host(&error)) {
        std::fprintf(stderr, "client_sp_bench: %s\n", error.c_str());
        return 1;
    }
    pid_t program = spawn({bin("KvorClientSP"), "--root", root.path()});
    // Up when its dialog is listed.
    bool up = false;
    for (int i = 0; i < 400 && !up; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (auto list = ce::broker::list()) {
            for (const auto& w : *list) up = up || w.pid == static_cast<uint32_t>(program);
        }
    }
    int rc = 0;
    if (!up) {
        std::fprintf(stderr, "client_sp_bench: KvorClientSP did not show its dialog\n");
        rc = 1;
    } else {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // settled
        auto before = cetest::process_usage(program);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        auto after = cetest::process_usage(program);
        double cpu = after.cpu_ms - before.cpu_ms;
        std::printf("KvorClientSP idle over %.1f s: CPU %.1f ms (%.3f%% of a core), voluntary context switches %ld\n",
                    seconds, cpu, cpu / (seconds * 10.0), after.voluntary - before.voluntary);
    }
    kill(program, SIGTERM);
    waitpid(program, nullptr, 0);
    ce::stop_host();
    return rc;
}
