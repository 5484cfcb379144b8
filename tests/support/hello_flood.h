// A flood of connections to a host's socket that introduce themselves as
// slowly as a peer can: each sends one byte of a well-formed Hello every
// period, and one the host closes is opened again at its next turn, so the
// flood lasts until it is destroyed. Used by the host's tests and benchmark.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace cetest {

class HelloFlood {
public:
    HelloFlood(std::string socket_path, int connections, std::chrono::milliseconds period)
        : path_(std::move(socket_path)), slots_(static_cast<size_t>(connections)), period_(period) {
        if (pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
        // Every connection is made before the constructor returns, so the
        // flood is in place for whatever the caller does next; the bytes
        // are spread evenly over each period.
        auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < slots_.size(); i++) {
            slots_[i].fd = connect_one();
            slots_[i].due = start + period_ * static_cast<int64_t>(i) / static_cast<int64_t>(slots_.size());
        }
        thread_ = std::thread([this] { run(); });
    }
    ~HelloFlood() {
        char c = 1;
        ssize_t w = write(stop_[1], &c, 1);
        (void)w;
        thread_.join();
        for (auto& s : slots_) {
            if (s.fd >= 0) close(s.fd);
        }
        close(stop_[0]);
        close(stop_[1]);
    }
    HelloFlood(const HelloFlood&) = delete;
    HelloFlood& operator=(const HelloFlood&) = delete;

    // How many of the flood's connections the host has closed so far.
    uint64_t closed_by_host() const { return closed_.load(); }

private:
    struct Slot {
        int fd = -1;
        size_t sent = 0;
        std::chrono::steady_clock::time_point due;
    };

    // Header (length 12, Hello, no flags, tag 0), protocol 1, a session token.
    static constexpr std::array<uint32_t, 6> kHello{12, 1, 0, 1, 0x5107f100, 0};

    int connect_one() const {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
        return fd;
    }

    void turn(Slot& s) {
        s.due += period_;
        if (s.fd < 0) {
            s.fd = connect_one();
            s.sent = 0;
            return;
        }
        // Once the whole Hello is out the connection is a client like any
        // other and stays idle.
        if (s.sent < sizeof kHello) {
            const char* bytes = reinterpret_cast<const char*>(kHello.data());
            if (send(s.fd, bytes + s.sent, 1, MSG_NOSIGNAL) == 1) s.sent++;
        }
    }

    void run() {
        std::vector<pollfd> fds;
        std::vector<Slot*> owners;
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            auto next = now + period_;
            fds.assign(1, pollfd{stop_[0], POLLIN, 0});
            owners.assign(1, nullptr);
            for (auto& s : slots_) {
                if (s.due <= now) turn(s);
                next = std::min(next, s.due);
                if (s.fd >= 0) {
                    fds.push_back({s.fd, POLLIN, 0});
                    owners.push_back(&s);
                }
            }
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
            if (poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait.count(), 0))) < 0) continue;
            if (fds[0].revents) return;
            for (size_t i = 1; i < fds.size(); i++) {
                if (!fds[i].revents) continue;
                // The host's reply to a finished Hello is read and dropped;
                // an end of the connection leaves the slot to reconnect.
                char buffer[256];
                ssize_t n = recv(owners[i]->fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
                close(owners[i]->fd);
                owners[i]->fd = -1;
                closed_++;
            }
        }
    }

    std::string path_;
    std::vector<Slot> slots_;
    std::chrono::milliseconds period_;
    int stop_[2] = {-1, -1};
    std::atomic<uint64_t> closed_{0};
    std::thread thread_;
};

}  // namespace cetest
