// The window broker's client side (see window_broker.h). Registrations,
// lists and forwarded requests are calls over the process's connection pool;
// the requests for this process's windows arrive on one connection of its
// own, where the listener thread waits in recv() for the host's next request,
// runs it through the window manager's handler and sends the result back.
#include "window_broker.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "ce_platform.h"
#include "host_call.h"
#include "rpc.h"
#include "windows.h"

namespace ce::broker {

namespace {

std::atomic<Handler> g_handler{nullptr};

// The listener's connection. The thread owns the descriptor and closes it
// when it ends; fd is cleared then, so the next registration starts afresh.
struct Listener {
    std::mutex mutex;
    int fd = -1;
    std::string root;
};

Listener& listener() {
    static auto* l = new Listener;  // never destroyed: the thread may outlive static destruction
    return *l;
}

void after_fork_child() {
    // The thread did not come along, and the child must not read requests
    // meant for its parent: it registers on its own session if it wants to.
    auto& l = listener();
    new (&l.mutex) std::mutex;
    if (l.fd >= 0) ::close(l.fd);
    l.fd = -1;
    l.root.clear();
}

[[maybe_unused]] const bool g_atfork = [] {
    pthread_atfork(nullptr, nullptr, after_fork_child);
    return true;
}();

// Names end at a NUL (the host refuses frames with one inside) and are cut
// to what the wire carries.
std::u16string clip(const std::u16string& text, size_t max) {
    std::u16string t = text.substr(0, text.find(u'\0'));
    if (t.size() > max) t.resize(max);
    return t;
}

Request request_of(const rpc::WindowCall& c) {
    Request r;
    r.kind = static_cast<Kind>(c.kind);
    r.hwnd = c.window;
    r.message = c.message;
    r.wparam = c.wparam;
    r.lparam = static_cast<int64_t>(c.lparam);
    r.item = static_cast<int32_t>(c.item);
    r.text = c.text;
    return r;
}

rpc::WindowAnswer run(const rpc::WindowCall& call) {
    rpc::WindowAnswer a;
    Handler handler = g_handler.load();
    if (!handler) {
        a.error = kInvalidWindow;  // no window manager: this process has no windows
        return a;
    }
    Result result = handler(request_of(call));
    a.ok = result.ok ? 1 : 0;
    a.error = result.ok ? 0 : (result.error ? result.error : kInvalidWindow);
    a.value = static_cast<uint64_t>(result.value);
    a.text = clip(result.text, rpc::kMaxWindowText);
    return a;
}

// The request the listener is running. A program that ends right after
// handling one (a Quit command sent from another process) still answers it:
// the sender must not see a failure for what was done.
struct InFlight {
    std::mutex mutex;
    std::condition_variable done;
    bool running = false;
};

InFlight& in_flight() {
    static auto* f = new InFlight;  // never destroyed: the listener may outlive static destruction
    return *f;
}

void set_running(bool running) {
    auto& f = in_flight();
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        f.running = running;
    }
    f.done.notify_all();
}

// At exit: lets the answer of a request that has run reach the host (bounded:
// a request stuck on a thread that has ended is given up).
void drain_at_exit() {
    auto& f = in_flight();
    std::unique_lock<std::mutex> lock(f.mutex);
    f.done.wait_for(lock, std::chrono::seconds(1), [&] { return !f.running; });
}

void listen_loop(int fd) {
    pthread_setname_np(pthread_self(), "ce-winbroker");
    static const bool drained = [] { return std::atexit(drain_at_exit) == 0; }();
    (void)drained;
    for (;;) {
        // Blocks in recv() until the host has a request for us: no cost while idle.
        auto polled = rpc::call(fd, rpc::WindowPollRequest{});
        if (!polled || !polled->result || !polled->polled) break;
        rpc::WindowResultRequest result;
        result.serial = polled->polled->serial;
        set_running(true);
        result.answer = run(polled->polled->call);
        bool sent = rpc::call(fd, result).has_value();
        set_running(false);
        if (!sent) break;
    }
    // The host stopped or dropped us: our windows are no longer listed there.
    auto& l = listener();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.fd == fd) {
        l.fd = -1;
        l.root.clear();
    }
    ::close(fd);
}

// A listener connected to root's host; fresh replaces one the host no
// longer knows (it stopped and another took its place).
bool ensure_listener(const std::string& root, bool fresh) {
    auto& l = listener();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.fd >= 0 && l.root == root && !fresh) return true;
    if (l.fd >= 0) {
        // Its thread notices, closes the descriptor and ends.
        ::shutdown(l.fd, SHUT_RDWR);
        l.fd = -1;
        l.root.clear();
    }
    int fd = host_connection(root, true);
    if (fd < 0) return false;
    auto reply = rpc::call(fd, rpc::WindowListenRequest{});
    if (!reply || !reply->result) {
        ::close(fd);
        return false;
    }
    try {
        std::thread(listen_loop, fd).detach();
    } catch (const std::system_error&) {
        ::close(fd);
        return false;
    }
    l.fd = fd;
    l.root = root;
    return true;
}

bool listening() {
    auto& l = listener();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.fd >= 0;
}

}  // namespace

void set_handler(Handler handler) { g_handler.store(handler); }

bool add_window(uint64_t hwnd, const std::u16string& class_name, const std::u16string& title) {
    std::u16string cls = clip(class_name, rpc::kMaxText + 1);
    if (cls.size() > rpc::kMaxText) return false;
    const std::string root = ce::root();
    rpc::WindowAddRequest r;
    r.window = hwnd;
    r.class_name = cls;
    r.title = clip(title, rpc::kMaxText);
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!ensure_listener(root, attempt > 0)) return false;
        auto reply = host_call(root, r, true);
        if (!reply) return false;
        if (reply->result) return true;
        // Our listener belonged to a host that has since been replaced.
        if (reply->error != ERROR_NOT_READY) return false;  // the host knows no listener of ours
    }
    return false;
}

void set_title(uint64_t hwnd, const std::u16string& title) {
    if (!listening()) return;  // nothing of ours is listed
    rpc::WindowTitleRequest r;
    r.window = hwnd;
    r.title = clip(title, rpc::kMaxText);
    host_call(ce::root(), r, false);
}

void remove_window(uint64_t hwnd) {
    if (!listening()) return;
    rpc::WindowRemoveRequest r;
    r.window = hwnd;
    host_call(ce::root(), r, false);
}

std::optional<std::vector<WindowInfo>> list() {
    const std::string root = ce::root();
    std::vector<WindowInfo> out;
    rpc::WindowListRequest r;
    r.after = 0;  // the cursor: windows created after this order
    for (;;) {
        auto reply = host_call(root, r, false);
        if (!reply || !reply->result) return std::nullopt;
        const auto& page = reply->windows;
        for (const auto& w : page) out.push_back({w.window, w.class_name, w.title, w.pid});
        // A page that does not advance the cursor would repeat forever.
        if (!reply->count || page.empty() || page.back().order <= r.after) break;
        r.after = page.back().order;
    }
    return out;
}

Result forward(const Request& request) {
    Result result;
    if (static_cast<uint32_t>(request.kind) < 1 || static_cast<uint32_t>(request.kind) > 5 ||
        request.text.size() > rpc::kMaxWindowText) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    rpc::WindowForwardRequest r;
    r.call.kind = static_cast<uint32_t>(request.kind);
    r.call.window = request.hwnd;
    r.call.message = request.message;
    r.call.wparam = request.wparam;
    r.call.lparam = static_cast<uint64_t>(request.lparam);
    r.call.item = static_cast<uint32_t>(request.item);
    r.call.text = clip(request.text, rpc::kMaxWindowText);
    // Without a host no window of another process exists.
    auto reply = host_call(ce::root(), r, false);
    if (!reply) {
        result.error = kInvalidWindow;
        return result;
    }
    result.ok = reply->result != 0;
    result.error = result.ok ? 0 : reply->error;
    result.value = static_cast<int64_t>(reply->value);
    result.text = std::move(reply->text);
    return result;
}

uint64_t foreground() {
    auto reply = host_call(ce::root(), rpc::WindowForegroundRequest{}, false);
    return reply && reply->result ? reply->window : 0;
}

}  // namespace ce::broker
