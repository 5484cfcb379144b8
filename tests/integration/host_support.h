// Helpers of the device manager's integration tests: a private cehost in a
// temporary root (always stopped, also when a test fails), registry set-up,
// running the command-line tools and waiting for what a driver logged.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "test_support.h"
#include "windows.h"

extern char** environ;

namespace hosttest {

// Platform time twenty times faster in this process and in every host it starts.
inline const bool time_scaled = [] {
    setenv("CE_TIME_SCALE", "0.05", 1);
    return true;
}();

inline std::string bin(const std::string& program) { return (cetest::build_dir() / "bin" / program).string(); }

struct RunResult {
    int status = -1;
    std::string out;
};

// A program left running, its stdout readable line by line.
struct Spawned {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    // Whether `what` appears in its output within the time.
    bool wait_for(const std::string& what, int seconds = 30) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            if (text.find(what) != std::string::npos) return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[512];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return false;
            text.append(buf, static_cast<size_t>(n));
        }
    }
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Spawned() {
        kill_now();
        if (out >= 0) close(out);
    }
};

inline std::unique_ptr<Spawned> spawn(const std::vector<std::string>& argv) {
    auto s = std::make_unique<Spawned>();
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return s;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&s->pid, args[0], &actions, nullptr, args.data(), environ) != 0) s->pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    s->out = pipe_fds[0];
    return s;
}

// Runs a program to its end, capturing stdout (stderr passes through). With a
// limit, a program still running after that many seconds is killed and the
// status is -2: a wedge fails the test instead of hanging it.
inline RunResult run(const std::vector<std::string>& argv, int limit_seconds = 0) {
    auto program = spawn(argv);
    RunResult result;
    if (program->pid < 0) return result;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    bool killed = false;
    char buf[4096];
    for (;;) {
        if (limit_seconds > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{program->out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
                kill(program->pid, SIGKILL);
                killed = true;
                break;
            }
        }
        ssize_t n = read(program->out, buf, sizeof buf);
        if (n <= 0) break;
        result.out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(program->pid, &status, 0);
    program->pid = -1;
    result.status = killed ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

inline RunResult cectl(std::vector<std::string> args, int limit_seconds = 0) {
    args.insert(args.begin(), {bin("cectl"), "--root", ce::root()});
    return run(args, limit_seconds);
}

inline void set_sz(const std::u16string& key, const char16_t* name, const std::u16string& value) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(k);
}

inline void set_dword(const std::u16string& key, const char16_t* name, DWORD value) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(k);
}

// A TST device's key: Dll TstDriver.dll, Prefix TST, the given Index.
inline void tst_key(const std::u16string& key, DWORD index, const std::u16string& dll = u"TstDriver.dll") {
    set_sz(key, u"Dll", dll);
    set_sz(key, u"Prefix", u"TST");
    set_dword(key, u"Index", index);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline std::string tst_log() { return read_file(ce::root() + "/tst.log"); }
inline std::string host_log() { return read_file(ce::root() + "/.cehost/log"); }

// Waits (generously: a slow machine is no failure) until pred() holds.
template <class Pred>
bool eventually(Pred pred, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// Runs gpsd on a published port and reads its JSON reports until a line
// satisfies pred or 90 s pass. Returns whether one did; what gpsd said goes
// to *seen for the failure message. Needs /usr/sbin/gpsd (callers skip
// without it).
template <class Pred>
bool gpsd_reports(const std::string& device, Pred pred, std::string* seen) {
    // A free local port for gpsd's socket.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(probe);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    close(probe);

    std::string port_text = std::to_string(ntohs(addr.sin_port));
    std::string dev = device;
    char* argv[] = {const_cast<char*>("/usr/sbin/gpsd"),
                    const_cast<char*>("-N"),
                    const_cast<char*>("-n"),
                    const_cast<char*>("-S"),
                    port_text.data(),
                    dev.data(),
                    nullptr};
    pid_t gpsd;
    if (posix_spawn(&gpsd, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } reaper{gpsd};

    int fd = -1;
    if (!eventually([&] {
            fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
            close(fd);
            fd = -1;
            return false;
        }))
        return false;
    const char watch[] = "?WATCH={\"enable\":true,\"json\":true};\n";
    if (send(fd, watch, sizeof watch - 1, MSG_NOSIGNAL) <= 0) {
        close(fd);
        return false;
    }
    std::string text;
    bool found = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!found && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        for (const auto& line : lines_of(text)) {
            if (pred(line)) found = true;
        }
    }
    close(fd);
    if (seen) *seen = text.substr(0, 3000);
    return found;
}

inline bool log_has(const std::string& line) {
    for (const auto& l : lines_of(tst_log())) {
        if (l == line) return true;
    }
    return false;
}

// Whether `wanted` appear in this order among the log's lines.
inline bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    size_t at = 0;
    for (const auto& l : lines) {
        if (at < wanted.size() && l == wanted[at]) at++;
    }
    return at == wanted.size();
}

// Whether a process runs (a zombie waiting for its reaper does not).
inline bool alive(pid_t pid) {
    if (kill(pid, 0) != 0) return false;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

// A private cehost in a fresh temporary root; stopped by the destructor.
class Host {
public:
    Host() = default;
    ~Host() { stop(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const std::string& root() const { return root_.path(); }

    void start() {
        RunResult r = run({bin("cehost"), "--root", root_.path()});
        ASSERT_EQ(r.status, 0) << host_log();
        std::ifstream pid_file(root_.path() + "/.cehost/pid");
        pid_file >> pid_;
        ASSERT_GT(pid_, 0);
    }

    pid_t pid() const { return pid_; }

    void stop() {
        if (pid_ <= 0) return;
        ce::stop_host();
        // A host that does not go is killed: no test leaves one behind.
        if (!eventually([&] { return !alive(pid_); }, 30)) kill(pid_, SIGKILL);
        pid_ = 0;
        // The host's stderr is its log: a sanitizer's report there fails the test.
        std::string log = read_file(root_.path() + "/.cehost/log");
        for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
            if (log.find(mark) != std::string::npos) ADD_FAILURE() << "cehost: " << log;
        }
    }

private:
    cetest::TempRoot root_;
    pid_t pid_ = 0;
};

}  // namespace hosttest
