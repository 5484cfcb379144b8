// Processes: CreateProcessW starts a Linux process from a device path of the
// root, and a per-process reaper thread waits on every child's pidfd. A child
// that ends signals its handle and keeps its exit code at once, but its id
// stays reserved (the child stays unreaped) until the last handle to it is
// closed, as on the device: a program that watches an id through an open
// handle never sees it reused by another process. The toolhelp thread
// snapshot reads /proc for every process of the machine.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"
#include "tlhelp32.h"
#include "windows.h"

extern char** environ;

namespace ce {

namespace {

// Collects an ended child, freeing its id.
void reap_child(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
}

class Process : public KObject {
public:
    bool waitable() const override { return true; }
    bool try_consume() override { return ended; }  // stays signalled, as a process does

    // The last handle is gone: an ended child is collected now, a running
    // one as soon as it ends.
    void on_last_handle_closed() override {
        bool reap_now;
        {
            std::lock_guard<std::mutex> lock(wait_mutex);
            held = false;
            reap_now = ended && !reaped;
            reaped = reaped || reap_now;
        }
        if (reap_now) reap_child(pid);
    }

    pid_t pid = 0;
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    bool held = true;     // a handle is open (from before the child is watched)
    bool reaped = false;  // the id is released
};

// The children this process started, each watched through its pidfd.
class Reaper {
public:
    bool watch(const std::shared_ptr<Process>& process) {
        int fd = static_cast<int>(syscall(SYS_pidfd_open, process->pid, 0));
        if (fd < 0) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (wake_ < 0) {
            wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            std::thread([this] { run(); }).detach();
        }
        children_[fd] = process;
        uint64_t one = 1;
        ssize_t w = ::write(wake_, &one, sizeof one);
        (void)w;
        return true;
    }

private:
    void run() {
        pthread_setname_np(pthread_self(), "ce-reaper");
        for (;;) {
            std::vector<pollfd> fds;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fds.push_back({wake_, POLLIN, 0});
                for (const auto& [fd, process] : children_) fds.push_back({fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds[0].revents) {
                uint64_t v;
                ssize_t r = ::read(wake_, &v, sizeof v);
                (void)r;
            }
            for (size_t i = 1; i < fds.size(); i++) {
                if (fds[i].revents) reap(fds[i].fd);
            }
        }
    }

    void reap(int fd) {
        std::shared_ptr<Process> process;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = children_.find(fd);
            if (it == children_.end()) return;
            process = it->second;
            children_.erase(it);
        }
        ::close(fd);
        // WNOWAIT: the exit code is read but the child stays a zombie, which
        // keeps its id from being given to another process while a handle
        // still names it.
        siginfo_t info{};
        int r;
        while ((r = ::waitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOWAIT)) < 0 && errno == EINTR) {
        }
        DWORD code = 0;
        if (r == 0 && info.si_pid == process->pid) {
            code = info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status) & 0xFF
                                              : 128 + static_cast<DWORD>(info.si_status);
        }
        bool reap_now;
        {
            std::lock_guard<std::mutex> lock(process->wait_mutex);
            process->exit_code = code;
            process->ended = true;
            reap_now = !process->held && !process->reaped;
            process->reaped = process->reaped || reap_now;
            process->wait_cv.notify_all();
        }
        if (reap_now) reap_child(process->pid);
    }

    std::mutex mutex_;
    int wake_ = -1;
    std::map<int, std::shared_ptr<Process>> children_;
};

Reaper& reaper() {
    static auto* r = new Reaper;  // its thread outlives static destruction
    return *r;
}

// The program's arguments from a command line: blanks separate them, double
// quotes group (and are dropped).
std::vector<std::string> split_command_line(const std::u16string& line) {
    std::vector<std::string> out;
    std::u16string current;
    bool quoted = false, any = false;
    for (char16_t c : line) {
        if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if ((c == u' ' || c == u'\t') && !quoted) {
            if (any) out.push_back(narrow(current));
            current.clear();
            any = false;
        } else {
            current.push_back(c);
            any = true;
        }
    }
    if (any) out.push_back(narrow(current));
    return out;
}

DWORD error_of(int e) {
    switch (e) {
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
        case ENOMEM:
        case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_INVALID_PARAMETER;
    }
}

class Snapshot : public KObject {
public:
    std::vector<THREADENTRY32> threads;
    size_t next = 0;
};

bool is_number(const char* s) {
    if (!*s) return false;
    for (; *s; s++) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

// Whether the process is alive: a zombie (or one being torn down) is not.
bool alive(const std::string& proc_dir) {
    int fd = ::open((proc_dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) return false;
    buffer[n] = 0;
    const char* paren = std::strrchr(buffer, ')');
    if (!paren || paren[1] != ' ') return false;
    char state = paren[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

void collect_threads(std::vector<THREADENTRY32>& out) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    while (dirent* p = ::readdir(proc)) {
        if (!is_number(p->d_name)) continue;
        std::string dir = std::string("/proc/") + p->d_name;
        if (!alive(dir)) continue;
        DWORD pid = static_cast<DWORD>(std::strtoul(p->d_name, nullptr, 10));
        DIR* tasks = ::opendir((dir + "/task").c_str());
        if (!tasks) continue;
        while (dirent* t = ::readdir(tasks)) {
            if (!is_number(t->d_name)) continue;
            THREADENTRY32 e{};
            e.dwSize = sizeof(THREADENTRY32);
            e.cntUsage = 1;
            e.th32ThreadID = static_cast<DWORD>(std::strtoul(t->d_name, nullptr, 10));
            e.th32OwnerProcessID = pid;
            e.th32CurrentProcessID = pid;
            out.push_back(e);
        }
        ::closedir(tasks);
    }
    ::closedir(proc);
}

bool next_thread(HANDLE snapshot, LPTHREADENTRY32 entry, bool first) {
    auto s = handle_get_as<Snapshot>(snapshot);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!entry || entry->dwSize < sizeof(THREADENTRY32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::mutex> lock(s->wait_mutex);
    if (first) s->next = 0;
    if (s->next >= s->threads.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    *entry = s->threads[s->next++];
    return true;
}

}  // namespace

}  // namespace ce

using namespace ce;
using ce::trace::hex;

static BOOL create_process(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                           BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
    if (info) *info = PROCESS_INFORMATION{};
    if (!applicationName || !*applicationName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MappedPath mapped = map_path(applicationName);
    if (mapped.error) {
        SetLastError(mapped.error);
        return FALSE;
    }
    std::vector<std::string> args{mapped.host};
    if (commandLine) {
        for (auto& a : split_command_line(commandLine)) args.push_back(std::move(a));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto process = std::make_shared<Process>();
    // The child starts without this process's signal mask or handlers.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&process->pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        SetLastError(error_of(rc));
        return FALSE;
    }
    // Without a handle to keep it, the id is released as soon as the child ends.
    process->held = info != nullptr;
    if (!reaper().watch(process)) {
        // Without a pidfd it cannot be watched: it is still reaped by whoever waits.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (info) {
        info->hProcess = handle_insert(process);
        info->hThread = handle_insert(process);
        info->dwProcessId = static_cast<DWORD>(process->pid);
        info->dwThreadId = static_cast<DWORD>(process->pid);  // the main thread's id is the process id
    }
    return TRUE;
}

// CreateProcessW -> posix_spawn of the device path's host file (a program, script or link) with the command line
// as arguments; the handle is signalled when the process ends, and the pid stays reserved until it is closed.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
    return CE_TRACE_RET(kernel, create_process(applicationName, commandLine, {}, {}, {}, {}, {}, {}, {}, info), FALSE,
                        CreateProcessW, applicationName, commandLine);
}

static BOOL get_exit_code_process(HANDLE process, LPDWORD exitCode) {
    auto p = handle_get_as<Process>(process);
    if (!p || !exitCode) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(p->wait_mutex);
    *exitCode = p->exit_code;
    return TRUE;
}

// GetExitCodeProcess -> STILL_ACTIVE until the child has ended (waitid with WNOWAIT), then its exit code.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return CE_TRACE_RET(kernel, get_exit_code_process(process, exitCode), FALSE, GetExitCodeProcess, process);
}

static BOOL terminate_process(HANDLE process, UINT) {
    auto p = handle_get_as<Process>(process);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(p->wait_mutex);
    if (p->ended) return TRUE;
    if (::kill(p->pid, SIGKILL) == 0) return TRUE;
    SetLastError(error_of(errno));  // a failure never leaves an older error behind
    return FALSE;
}

// TerminateProcess -> SIGKILL; the reaper records the end.
BOOL TerminateProcess(HANDLE process, UINT) {
    return CE_TRACE_RET(kernel, terminate_process(process, {}), FALSE, TerminateProcess, process);
}

static HANDLE create_snapshot(DWORD flags, DWORD) {
    if (!(flags & TH32CS_SNAPTHREAD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->threads.reserve(1024);
    collect_threads(snapshot->threads);
    return handle_insert(snapshot);
}

// CreateToolhelp32Snapshot -> the threads of every live process of the machine (/proc/<pid>/task).
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    return CE_TRACE_RET(kernel, create_snapshot(flags, {}), INVALID_HANDLE_VALUE, CreateToolhelp32Snapshot, hex(flags));
}

// Thread32First -> the snapshot's first entry; ERROR_NO_MORE_FILES when it holds none.
BOOL Thread32First(HANDLE snapshot, LPTHREADENTRY32 entry) {
    if (next_thread(snapshot, entry, true)) return TRUE;
    // The end of the list is how every walk ends: no failure.
    if (GetLastError() != ERROR_NO_MORE_FILES) CE_TRACE_LAST(kernel, Thread32First, snapshot);
    return FALSE;
}

// Thread32Next -> the snapshot's next entry; ERROR_NO_MORE_FILES after the last.
BOOL Thread32Next(HANDLE snapshot, LPTHREADENTRY32 entry) {
    if (next_thread(snapshot, entry, false)) return TRUE;
    if (GetLastError() != ERROR_NO_MORE_FILES) CE_TRACE_LAST(kernel, Thread32Next, snapshot);
    return FALSE;
}

// CloseToolhelp32Snapshot -> CloseHandle of the snapshot.
BOOL CloseToolhelp32Snapshot(HANDLE snapshot) { return CloseHandle(snapshot); }
