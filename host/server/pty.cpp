// Publishing a device as a pseudo-terminal, <root>/dev/NAME. Opening the
// pts opens the device (inotify reports IN_OPEN and IN_CLOSE on the pts
// node); bytes written by the program reach the driver's Write, and a host
// thread per pty calls the driver's Read and writes what it returns to the
// program. The master runs in packet mode, so a tcflush(TCIFLUSH) by the
// program shows up as TIOCPKT_FLUSHREAD and becomes IOCTL_SERIAL_PURGE.
//
// The link names the host's own descriptor on the slave, /proc/PID/fd/N,
// not /dev/pts/N: a killed host's pty numbers go to whoever opens a pty
// next, its descriptors to no one.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ce_devices.h"
#include "ce_platform.h"
#include "host.h"
#include "pegdser.h"

namespace cehost {

struct PtyPort::Impl {
    Manager& manager;
    std::u16string device_name;
    std::string name;  // without the colon
    std::string link;  // <root>/dev/NAME
    bool comm_wait;

    int master = -1;
    std::string pts;
    int slave_path = -1;  // O_PATH: no open of the terminal, which counts opens
    std::string target;   // what the link names
    int inotify = -1;
    int watch = -1;
    int stop_fd = -1;
    std::thread pump;

    int client_opens = 0;  // opens of the pts by programs
    std::shared_ptr<Open> open;
    std::thread reader;

    Impl(Manager& m, std::u16string n, bool w) : manager(m), device_name(std::move(n)), comm_wait(w) {
        name = u8(device_name);
        if (!name.empty() && name.back() == ':') name.pop_back();
        link = ce::root() + "/dev/" + name;
    }

    bool make_pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        char path[128];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0) {
            ::close(master);
            master = -1;
            return false;
        }
        pts = path;
        // Raw from the start: no echo, no CR/LF translation, no signals. The
        // master's settings are the pair's, so the slave is never opened here.
        termios tio{};
        if (tcgetattr(master, &tio) == 0) {
            cfmakeraw(&tio);
            tio.c_cc[VMIN] = 1;
            tio.c_cc[VTIME] = 0;
            tcsetattr(master, TCSANOW, &tio);
        }
        int on = 1;
        ioctl(master, TIOCPKT, &on);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        slave_path = slave_path_descriptor();
        if (slave_path < 0) {
            log_line("%s: cannot hold %s: %s", name.c_str(), pts.c_str(), std::strerror(errno));
            return false;
        }
        target = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(slave_path);
        watch = inotify_add_watch(inotify, pts.c_str(), IN_OPEN | IN_CLOSE);
        std::string tmp = link + ".new";
        ::unlink(tmp.c_str());
        if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
            log_line("%s: cannot publish %s: %s", name.c_str(), link.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    // An O_PATH descriptor opens nothing, so the master still hangs up when
    // the last program closes the slave. Opening /proc/PID/fd/N opens the
    // slave afresh, as /dev/pts/N does. The number is kept high: once the
    // host is gone its pid may come back as another program's, and a low
    // number (where shells keep their terminal) would lead the link into that
    // program's terminal until the next check removes it.
    int slave_path_descriptor() {
        int fd = ioctl(master, TIOCGPTPEER, O_PATH | O_CLOEXEC);
        if (fd < 0) return -1;
        rlimit limit{};
        rlim_t low = 512;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            low = std::min(low, limit.rlim_cur / 2);
        int high = fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(low));
        if (high < 0) return fd;
        ::close(fd);
        return high;
    }

    void unlink_if_ours(const std::string& ours) {
        char now[256];
        ssize_t n = ::readlink(link.c_str(), now, sizeof now - 1);
        if (n > 0 && ours == std::string_view(now, static_cast<size_t>(n))) ::unlink(link.c_str());
    }

    void drop_pty() {
        if (watch >= 0) inotify_rm_watch(inotify, watch);
        watch = -1;
        if (master >= 0) ::close(master);
        master = -1;
        if (slave_path >= 0) ::close(slave_path);
        slave_path = -1;
    }

    // The program's open was refused: Linux cannot fail an open that has
    // happened, so the pty is hung up (a new one takes its place).
    void hang_up() {
        // The new pty replaces the link before the old one goes, so the
        // link never dangles, nor names a descriptor number that the host
        // may give to a file or a connection next.
        int old_master = master, old_watch = watch, old_slave_path = slave_path;
        std::string old_target = target;
        watch = slave_path = -1;  // a new pty that fails half-made must not close them twice
        client_opens = 0;
        if (!make_pty()) unlink_if_ours(old_target);
        if (old_watch >= 0) inotify_rm_watch(inotify, old_watch);
        if (old_master >= 0) ::close(old_master);
        if (old_slave_path >= 0) ::close(old_slave_path);
    }

    void device_open() {
        DWORD error = 0;
        open = manager.open_device(device_name, GENERIC_READ | GENERIC_WRITE, 0, 0, &error);
        if (!open) {
            hang_up();
            log_line("%s: the driver refused the open of %s (error %u); hung up", name.c_str(), link.c_str(), error);
            return;
        }
        if (comm_wait) {
            DWORD mask = EV_RXCHAR;
            open->ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0, nullptr);
        }
        auto o = open;
        int m = master;
        reader = std::thread([this, o, m] { read_loop(o, m, comm_wait); });
    }

    void device_close() {
        if (!open) return;
        drain_master();
        // Releases the reader's Read. A reader whose call the driver keeps
        // is left behind: once that call returns it sees the close and
        // touches nothing of ours.
        if (manager.close_open(open)) {
            if (reader.joinable()) reader.join();
        } else if (reader.joinable()) {
            reader.detach();
        }
        open.reset();
    }

    // Sends what the program wrote to the driver, and flush requests as purges.
    void drain_master() {
        unsigned char buf[4097];
        for (;;) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) return;  // EAGAIN, or EIO while no program holds the pts
            if (!open) continue;
            if (buf[0] == TIOCPKT_DATA) {
                size_t at = 1;
                while (at < static_cast<size_t>(n)) {
                    DWORD done = 0;
                    if (!open->write(buf + at, static_cast<DWORD>(n - at), &done) || done == 0) break;
                    at += done;
                }
            } else {
                DWORD flags = 0;
                if (buf[0] & TIOCPKT_FLUSHREAD) flags |= PURGE_RXCLEAR;
                if (buf[0] & TIOCPKT_FLUSHWRITE) flags |= PURGE_TXCLEAR;
                if (flags) open->ioctl(IOCTL_SERIAL_PURGE, &flags, 4, nullptr, 0, nullptr);
            }
        }
    }

    bool write_master(Open& o, int m, const char* p, size_t n) {
        while (n > 0) {
            ssize_t w = ::write(m, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) {
                // The program is not reading: wait for room, or for the end.
                pollfd fds[2] = {{m, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
                if (::poll(fds, 2, 200) < 0 && errno != EINTR) return false;
                if (fds[1].revents || o.closing()) return false;
                continue;
            }
            return false;
        }
        return true;
    }

    void read_loop(std::shared_ptr<Open> o, int m, bool wait_by_event) {
        char buf[4096];
        int quick_empties = 0;
        while (!o->closing()) {
            DWORD done = 0;
            auto started = std::chrono::steady_clock::now();
            bool ok = o->read(buf, sizeof buf, &done);
            if (o->closing()) return;  // the port may be gone: touch nothing of it
            if (!ok) done = 0;
            if (done > 0) {
                quick_empties = 0;
                if (!write_master(*o, m, buf, done) && o->closing()) return;
                continue;
            }
            if (wait_by_event) {
                DWORD events = 0;
                o->ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, nullptr);
            } else if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(10)) {
                // One quick empty read is normal: a wake-up for data this loop
                // already took. Read again at once, or the next sentence waits
                // out the pause. A driver whose Read keeps returning at once
                // with nothing is kept from spinning.
                if (++quick_empties >= 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            } else {
                quick_empties = 0;
            }
        }
    }

    bool still_held() {
        pollfd p{master, 0, 0};
        return ::poll(&p, 1, 50) == 0;
    }

    void handle_events() {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = ::read(inotify, buf, sizeof buf);
            if (n <= 0) return;
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + e->len;
                if (e->wd != watch) continue;  // a hung-up pty's late events
                if (e->mask & IN_OPEN) {
                    if (client_opens++ == 0) device_open();
                } else if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                    if (client_opens > 0 && --client_opens == 0) {
                        // inotify merges identical events that wait unread,
                        // so two quick opens may have counted as one: the
                        // master's hang-up tells whether anyone still holds
                        // the pts (it follows the close event closely).
                        if (still_held()) client_opens = 1;
                        else device_close();
                    }
                }
            }
        }
    }

    void run() {
        bool master_dead = false;
        for (;;) {
            pollfd fds[3] = {{stop_fd, POLLIN, 0}, {inotify, POLLIN, 0}, {-1, POLLIN, 0}};
            if (open && !master_dead) fds[2].fd = master;
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            if (fds[1].revents) {
                // An open or close changes what the master's state means:
                // look at it afresh (a hang-up seen in this round may belong
                // to the program that has just gone).
                handle_events();
                master_dead = false;
                continue;
            }
            if (fds[2].revents & POLLIN) drain_master();
            // HUP: the program closed the pts; inotify's IN_CLOSE follows.
            if ((fds[2].revents & (POLLHUP | POLLERR)) && !(fds[2].revents & POLLIN)) master_dead = true;
        }
    }
};

void remove_device_links(const char* why) {
    for (const auto& link : ce::remove_host_links()) {
        if (link.error.empty()) log_line("removed %s link dev/%s -> %s", why, link.name.c_str(), link.target.c_str());
        else log_line("cannot remove %s link dev/%s: %s", why, link.name.c_str(), link.error.c_str());
    }
}

PtyPort::PtyPort(Manager& manager, std::u16string device_name, bool comm_wait)
    : impl_(std::make_unique<Impl>(manager, std::move(device_name), comm_wait)) {}

PtyPort::~PtyPort() { stop(); }

bool PtyPort::start() {
    auto& d = *impl_;
    ::mkdir((ce::root() + "/dev").c_str(), 0755);
    d.inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    d.stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.inotify < 0 || d.stop_fd < 0 || !d.make_pty()) {
        stop();
        return false;
    }
    d.pump = std::thread([&d] { d.run(); });
    return true;
}

void PtyPort::stop() {
    auto& d = *impl_;
    if (d.stop_fd >= 0) {
        uint64_t one = 1;
        ssize_t w = ::write(d.stop_fd, &one, sizeof one);
        (void)w;
    }
    if (d.pump.joinable()) d.pump.join();
    d.device_close();
    // The link goes before the descriptor it names, and only if it is still ours.
    d.unlink_if_ours(d.target);
    d.drop_pty();
    if (d.inotify >= 0) ::close(d.inotify);
    if (d.stop_fd >= 0) ::close(d.stop_fd);
    d.inotify = d.stop_fd = -1;
}

}  // namespace cehost
