// The control programs' idle cost, printed: the real programs on the
// offscreen platform, nothing happening, over SECONDS (default 30) each.
//   client_idle_bench [SECONDS]
// KvorClientSP shows its dialog (aim: under 0.1% of a core). KvorClient has
// the driver loaded and its TMC test dialog open on a frequency without a
// station, so its receive thread reads the port that stays silent (aim: under
// 1% of a core: the read waits, it does not spin); then the same with the
// driver unloaded under the open dialog, whose port is gone (aim: under 1% as
// well: a failed read waits before the next). Each run has a private cehost
// in a temporary root and stops it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

pid_t spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int cectl(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("cectl"), "--root", ce::root()});
    pid_t pid = spawn(args);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

HWND wait_for(const char16_t* cls, const char16_t* title) {
    for (int i = 0; i < 400; i++) {
        if (HWND h = FindWindowW(cls, title)) return h;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return nullptr;
}

// Runs the program, brings it to the state to measure, and prints its cost.
bool measure(const char* program, const char* what, double seconds, const std::function<bool()>& prepare) {
    cetest::TempRoot root;
    if (cectl({"init"}) != 0) return false;
    pid_t pid = spawn({bin(program), "--root", root.path()});
    bool ok = pid > 0 && prepare();
    if (ok) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // settled
        auto before = cetest::process_usage(pid);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        auto after = cetest::process_usage(pid);
        double cpu = after.cpu_ms - before.cpu_ms;
        std::printf("%s %s over %.1f s: CPU %.1f ms (%.3f%% of a core), voluntary context switches %ld\n", program,
                    what, seconds, cpu, cpu / (seconds * 10.0), after.voluntary - before.voluntary);
    } else {
        std::fprintf(stderr, "client_idle_bench: %s did not get ready\n", program);
    }
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    ce::stop_host();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: client_idle_bench [SECONDS]\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    bool ok = measure("KvorClientSP", "idle, its dialog up", seconds,
                      [] { return wait_for(u"Dialog", u"KvorClient") != nullptr; });
    auto open_test_dialog = [] {
        if (cectl({"air", "clear"}) != 0) return false;
        HWND main = wait_for(u"Dialog", u"Tervalon");
        if (!main) return false;
        SendMessageW(main, WM_COMMAND, MAKEWPARAM(1011, 0), 0);   // TMC: the driver loads
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(32784, 0), 0);  // Test: a modal dialog
        return wait_for(u"Dialog", u"TMC Test") != nullptr;
    };
    ok &= measure("KvorClient", "with the test dialog open on a silent port", seconds, open_test_dialog);
    ok &= measure("KvorClient", "with the test dialog open on a port that is gone", seconds, [&] {
        if (!open_test_dialog()) return false;
        auto devices = ce::list_devices();
        for (const auto& d : devices ? *devices : std::vector<ce::ActiveDevice>{}) {
            if (d.name == "COM9:") return cectl({"deactivate", std::to_string(d.handle)}) == 0;
        }
        return false;
    });
    return ok ? 0 : 1;
}
