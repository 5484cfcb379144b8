// cehost's window broker (see window_table.h): the table of top-level
// windows, the requests waiting for their owners and the owners' long polls.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "host.h"
#include "window_table.h"

namespace cehost {

namespace {

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

}  // namespace

void WindowTable::fail(Pending& p) {
    p.done = true;
    p.answer = {};
    p.answer.error = kInvalidWindow;
    answered_.notify_all();
}

void WindowTable::wake(Owner& owner) {
    uint64_t one = 1;
    for (int fd : owner.wakes) {
        ssize_t w = ::write(fd, &one, sizeof one);
        (void)w;
    }
}

uint32_t WindowTable::add(uint64_t token, pid_t pid, uint64_t window, const std::u16string& class_name,
                          const std::u16string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return ERROR_NOT_READY;
    // The window manager puts its pid in the handle's high half: a process
    // may list only handles of its own, so no one can stand in for another's window.
    if ((window >> 32) != static_cast<uint64_t>(pid) || pid <= 0) {
        log_line("refused window %llu from pid %d: the handle belongs to pid %llu", ull(window), pid,
                 ull(window >> 32));
        return ERROR_ACCESS_DENIED;
    }
    auto owner = owners_.find(token);
    if (owner == owners_.end() || owner->second.listeners == 0) {
        // Nobody would ever answer a request for it.
        log_line("refused window %llu from pid %d: the process has no window listener", ull(window), pid);
        return ERROR_NOT_READY;
    }
    auto it = windows_.find(window);
    if (it != windows_.end()) {
        if (it->second.token != token) {
            log_line("refused window %llu from pid %d: listed already by another session", ull(window), pid);
            return ERROR_ALREADY_EXISTS;
        }
        it->second.class_name = class_name;
        it->second.title = title;
        return 0;
    }
    if (windows_.size() >= ce::rpc::kMaxWindows) {
        log_line("refused window %llu from pid %d: the table is full (%u windows)", ull(window), pid,
                 ce::rpc::kMaxWindows);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    Window w;
    w.token = token;
    w.pid = pid;
    w.order = next_order_++;
    w.class_name = class_name;
    w.title = title;
    by_order_[w.order] = window;
    windows_.emplace(window, std::move(w));
    return 0;
}

uint32_t WindowTable::set_title(uint64_t token, uint64_t window, const std::u16string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end()) return kInvalidWindow;
    if (it->second.token != token) return ERROR_ACCESS_DENIED;
    it->second.title = title;
    return 0;
}

uint32_t WindowTable::remove(uint64_t token, uint64_t window) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end()) return kInvalidWindow;
    if (it->second.token != token) return ERROR_ACCESS_DENIED;
    by_order_.erase(it->second.order);
    windows_.erase(it);
    // Requests the owner has not taken yet would only find the window gone.
    auto owner = owners_.find(token);
    if (owner != owners_.end()) {
        auto& q = owner->second.queue;
        for (auto p = q.begin(); p != q.end();) {
            if ((*p)->call.window == window) {
                fail(**p);
                p = q.erase(p);
            } else {
                ++p;
            }
        }
    }
    return 0;
}

std::vector<ce::rpc::WindowInfo> WindowTable::list(uint64_t after, size_t budget, bool& more) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ce::rpc::WindowInfo> out;
    more = false;
    size_t used = 4;
    for (auto it = by_order_.upper_bound(after); it != by_order_.end(); ++it) {
        const Window& w = windows_.at(it->second);
        ce::rpc::WindowInfo info{it->second, w.class_name, w.title, static_cast<uint32_t>(w.pid), w.order};
        size_t size = ce::rpc::encoded_size(info);
        if (used + size > budget) {
            more = true;
            break;
        }
        used += size;
        out.push_back(std::move(info));
    }
    return out;
}

uint64_t WindowTable::foreground() {
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_.count(foreground_) ? foreground_ : 0;
}

ce::rpc::WindowAnswer WindowTable::forward(const ce::rpc::WindowCall& call) {
    std::unique_lock<std::mutex> lock(mutex_);
    ce::rpc::WindowAnswer gone;
    gone.error = kInvalidWindow;
    if (call.kind < 1 || call.kind > 5) {
        ce::rpc::WindowAnswer bad;
        bad.error = ERROR_INVALID_PARAMETER;
        return bad;
    }
    auto w = windows_.find(call.window);
    if (stopped_ || w == windows_.end()) return gone;
    auto owner = owners_.find(w->second.token);
    if (owner == owners_.end()) return gone;
    if (call.kind == 5) foreground_ = call.window;  // Foreground
    auto p = std::make_shared<Pending>();
    p->serial = next_serial_++;
    p->call = call;
    owner->second.queue.push_back(p);
    wake(owner->second);
    // As SendMessageW, no time limit: the owner answers, or its end or the
    // host's stop fails the request.
    answered_.wait(lock, [&] { return p->done; });
    return p->answer;
}

void WindowTable::listen(uint64_t token, pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& owner = owners_[token];
    owner.pid = pid;
    owner.listeners++;
}

bool WindowTable::next(uint64_t token, int fd, uint64_t& serial, ce::rpc::WindowCall& call) {
    int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) return false;
    bool got = false;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto owner = owners_.find(token);
        if (stopped_ || owner == owners_.end() || owner->second.listeners == 0) break;
        auto& o = owner->second;
        if (!o.queue.empty()) {
            auto p = o.queue.front();
            o.queue.pop_front();
            o.taken[p->serial] = p;
            serial = p->serial;
            call = p->call;
            got = true;
            break;
        }
        // The listener sends nothing while it polls: input or a hang-up on
        // its connection ends the poll as surely as a request does.
        o.wakes.insert(wake_fd);
        lock.unlock();
        pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {wake_fd, POLLIN, 0}};
        int rc = ::poll(fds, 2, -1);
        lock.lock();
        owner = owners_.find(token);
        if (owner != owners_.end()) owner->second.wakes.erase(wake_fd);
        if (rc < 0 && errno != EINTR) break;
        if (rc > 0 && fds[0].revents) break;
        uint64_t v;
        ssize_t r = ::read(wake_fd, &v, sizeof v);
        (void)r;
    }
    lock.unlock();
    ::close(wake_fd);
    return got;
}

bool WindowTable::answer(uint64_t token, uint64_t serial, const ce::rpc::WindowAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto owner = owners_.find(token);
    if (owner == owners_.end()) return false;
    auto it = owner->second.taken.find(serial);
    if (it == owner->second.taken.end()) return false;
    it->second->done = true;
    it->second->answer = answer;
    owner->second.taken.erase(it);
    answered_.notify_all();
    return true;
}

size_t WindowTable::drop_owner(std::map<uint64_t, Owner>::iterator it) {
    Owner& o = it->second;
    size_t abandoned = o.queue.size() + o.taken.size();
    for (auto& p : o.queue) fail(*p);
    for (auto& [serial, p] : o.taken) fail(*p);
    wake(o);
    owners_.erase(it);
    return abandoned;
}

void WindowTable::unlisten(uint64_t token) {
    bool last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = owners_.find(token);
        if (it == owners_.end()) return;
        last = --it->second.listeners <= 0;
    }
    if (last) end_owner(token, "dropped its window listener");
}

void WindowTable::end_owner(uint64_t token, const char* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = owners_.find(token);
    if (it == owners_.end()) return;
    pid_t pid = it->second.pid;
    size_t windows = 0;
    for (auto w = windows_.begin(); w != windows_.end();) {
        if (w->second.token == token) {
            by_order_.erase(w->second.order);
            w = windows_.erase(w);
            windows++;
        } else {
            ++w;
        }
    }
    size_t abandoned = drop_owner(it);
    if (stopped_) return;
    if (abandoned)
        log_line("pid %d %s; its %zu window(s) removed, %zu window request(s) abandoned (1400)", pid, why, windows,
                 abandoned);
    else if (windows) log_line("pid %d %s; its %zu window(s) removed", pid, why, windows);
}

void WindowTable::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    size_t abandoned = 0;
    for (auto& [token, o] : owners_) {
        abandoned += o.queue.size() + o.taken.size();
        for (auto& p : o.queue) fail(*p);
        for (auto& [serial, p] : o.taken) fail(*p);
        o.queue.clear();
        o.taken.clear();
        wake(o);
    }
    if (abandoned) log_line("stopping: %zu window request(s) abandoned (1400)", abandoned);
}

}  // namespace cehost
