// cehost: the device manager host of one device root. It loads the stream
// drivers, serves the device API to other processes over
// <root>/.cehost/socket, publishes every device as a pty under <root>/dev,
// and provides GPD0:, the GPS multiplexer port.
//
//   cehost [--root DIR] [--foreground]
//
// Without --foreground it detaches, and its first process exits (0) once the
// host serves the socket, or (1) when it could not start. In the foreground
// under a service manager it tells the manager the same through
// NOTIFY_SOCKET (READY=1), and logs to the journal as well.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "devload.h"
#include "host.h"
#include "server.h"
#include "service.h"

namespace {

void close_inherited_fds() {
    // A host started by a test must not hold the test runner's pipes open.
    std::vector<int> fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            int fd = std::atoi(e->d_name);
            if (fd > 2 && fd != dirfd(d)) fds.push_back(fd);
        }
        closedir(d);
    }
    for (int fd : fds) ::close(fd);
}

int usage() {
    std::fprintf(stderr, "usage: cehost [--root DIR] [--foreground]\n");
    return 1;
}

void set_dword(const char16_t* key, const char16_t* name, DWORD value) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    RegCloseKey(k);
}

// Entries of an earlier host run describe devices that are gone.
void clear_active_entries() {
    for (const auto& sub : cehost::reg_subkeys(DEVLOAD_ACTIVE_KEY)) {
        std::u16string path = std::u16string(DEVLOAD_ACTIVE_KEY) + u"\\" + sub;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool foreground = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--foreground") foreground = true;
        else if (a == "--root" && i + 1 < argc) ce::set_root(argv[++i]);
        else if (a.rfind("--root=", 0) == 0) ce::set_root(a.substr(7));
        else return usage();
    }
    close_inherited_fds();
    cehost::notify_open(foreground);
    const std::string root = ce::root();
    const std::string dir = root + "/.cehost";
    ce::make_root_folder(root);
    ::mkdir(dir.c_str(), 0700);
    // The host loads the drivers the root names: never another user's root.
    if (std::string why; !ce::claim_root(root, &why)) {
        std::fprintf(stderr, "cehost: %s\n", why.c_str());
        return 1;
    }

    int ready_fd = -1;
    if (!foreground) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return 1;
        pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid > 0) {
            ::close(p[1]);
            char c = 0;
            ssize_t n;
            while ((n = ::read(p[0], &c, 1)) < 0 && errno == EINTR) {}
            return n == 1 && c == '1' ? 0 : 1;
        }
        ::close(p[0]);
        setsid();
        if (fork() > 0) _exit(0);  // never a session leader: no controlling terminal
        ready_fd = p[1];
        int null_fd = ::open("/dev/null", O_RDWR);
        int log_fd = ::open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null_fd >= 0) dup2(null_fd, 0);
        if (log_fd >= 0) {
            dup2(log_fd, 1);
            dup2(log_fd, 2);
        }
        if (null_fd > 2) ::close(null_fd);
        if (log_fd > 2) ::close(log_fd);
    }
    auto ready = [&](bool ok) {
        if (ready_fd < 0) return;
        char c = ok ? '1' : '0';
        ssize_t w = ::write(ready_fd, &c, 1);
        (void)w;
        ::close(ready_fd);
        ready_fd = -1;
    };

    // One host per root: the lock lives as long as the host. It is taken
    // under the folder's lock, which other programs hold while they look for
    // a live host and remove a dead one's links: their look never makes a
    // starting host think another one serves the root, and their removal is
    // over before the new host publishes anything.
    int folder_lock = ce::lock_host_folder();
    int lock_fd = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    std::string refused;
    struct stat lock_stat {};
    if (lock_fd < 0) refused = "cannot open " + dir + "/lock: " + std::strerror(errno);
    else if (fstat(lock_fd, &lock_stat) != 0 || !S_ISREG(lock_stat.st_mode)) refused = dir + "/lock is not a file";
    else if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) refused = "another cehost serves " + root;
    if (folder_lock >= 0) ::close(folder_lock);
    if (!refused.empty()) {
        std::fprintf(stderr, "cehost: %s\n", refused.c_str());
        ready(false);
        return 1;
    }
    cehost::log_open(dir + "/log", foreground, cehost::stderr_is_journal());
    cehost::log_line("starting for %s (pid %d)", root.c_str(), static_cast<int>(getpid()));
    if (FILE* f = std::fopen((dir + "/pid").c_str(), "we")) {
        std::fprintf(f, "%d\n", static_cast<int>(getpid()));
        std::fclose(f);
    }

    // Signals arrive through a descriptor; every thread has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sig_fd = signalfd(-1, &signals, SFD_CLOEXEC);

    auto& manager = cehost::manager();
    ce::set_local_device_manager(&manager);
    clear_active_entries();
    // The state broker's headset value exists from the start (unplugged).
    if (!cehost::reg_dword(u"System\\State\\Hardware", u"Headset"))
        set_dword(u"System\\State\\Hardware", u"Headset", 0);

    cehost::remove_device_links("a stale");
    // GPD0: under the name the multiplexer key gives the system.
    std::u16string gps_name = u"GPD0:";
    const std::u16string mux = u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer";
    if (auto v = cehost::reg_sz(mux, u"DriverInterface"); v && ce::is_stream_device_name(*v)) gps_name = *v;
    DWORD error = 0;
    manager.activate_builtin(gps_name, mux, cehost::make_gps_driver(), &error);

    manager.boot();
    std::string status = "READY=1\nSTATUS=serving " + root;
    for (const auto& name : cehost::activate_at_start(manager)) status.append("; activated ").append(cehost::u8(name));

    cehost::Server server;
    std::string why;
    if (!server.listen(dir + "/socket", &why)) {
        cehost::log_line("%s", why.c_str());
        manager.deactivate_all();
        ready(false);
        return 1;
    }
    server.start();
    cehost::log_line("serving %s/socket", dir.c_str());
    ready(true);
    cehost::notify(status);

    // The host ends with its root: a test's temporary root being removed
    // must not leave a host behind.
    // Without a watch (the user's inotify instances all taken) the root is
    // looked at once a second instead.
    struct stat root_stat {};
    ::stat(root.c_str(), &root_stat);
    int root_watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (root_watch >= 0 && inotify_add_watch(root_watch, root.c_str(), IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        ::close(root_watch);
        root_watch = -1;
    }
    if (root_watch < 0)
        cehost::log_line("cannot watch %s (%s); looking at it every second", root.c_str(), std::strerror(errno));
    auto root_gone = [&] {
        struct stat now {};
        return ::stat(root.c_str(), &now) != 0 || now.st_ino != root_stat.st_ino || now.st_dev != root_stat.st_dev;
    };

    for (;;) {
        pollfd fds[3] = {{sig_fd, POLLIN, 0}, {server.stop_event(), POLLIN, 0}, {root_watch, POLLIN, 0}};
        int ready = ::poll(fds, 3, root_watch >= 0 ? -1 : 1000);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            if (!root_gone()) continue;
            cehost::log_line("the root was removed: stopping");
            break;
        }
        if (fds[0].revents) {
            signalfd_siginfo info{};
            ssize_t n = ::read(sig_fd, &info, sizeof info);
            (void)n;
            cehost::log_line("signal %u: stopping", info.ssi_signo);
            break;
        }
        if (fds[1].revents) break;
        if (fds[2].revents) {
            cehost::log_line("the root was removed: stopping");
            break;
        }
    }

    cehost::notify("STOPPING=1\nSTATUS=stopping: unloading the drivers");
    server.stop();
    manager.deactivate_all();
    size_t stuck = server.close_connections();
    cehost::remove_device_links("a leftover");
    ce::set_local_device_manager(nullptr);
    if (stuck) cehost::log_line("%zu connection(s) still inside a driver; left behind", stuck);
    cehost::log_line("stopped");
    ::unlink((dir + "/pid").c_str());
    if (stuck) {
        // Their threads would run on into a host that is being taken apart.
        ::close(lock_fd);
        _exit(0);
    }
    ::close(lock_fd);  // before the stop request's connection closes at exit
    if (root_watch >= 0) ::close(root_watch);
    if (sig_fd >= 0) ::close(sig_fd);
    return 0;
}
