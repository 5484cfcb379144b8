// cehost's socket server: one thread per client connection, sessions that
// own the opens of one client process, and the end of a session when its
// process dies (pidfd) or drops its last connection.
#include "server.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ce_platform.h"

namespace cehost {

namespace {

int pidfd_open_compat(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// How long a new connection has to say hello (real ms, from its connect),
// and how many may be open at once; the environment can set both (tests do).
int env_number(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return end && *end == 0 && n > 0 && n < 1000000 ? static_cast<int>(n) : fallback;
}

int hello_timeout_ms() {
    static const int ms = env_number("CE_HOST_HELLO_MS", 5000);
    return ms;
}

int max_connections() {
    static const int n = env_number("CE_HOST_MAX_CONNECTIONS", 512);
    return n;
}

// Connections of one user still waiting for their hello. Kept at half the
// limit, so that a flood of slow ones never takes the places of clients that
// have introduced themselves.
int max_introducing() { return std::max(1, max_connections() / 2); }

// Lines a flood of connections could write by the thousand: the first is
// written, then at most one every ten seconds, which counts those left out.
class LogThrottle {
public:
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex mutex_;
    std::chrono::steady_clock::time_point last_;
    bool written_ = false;
    unsigned long long held_ = 0;
};

void LogThrottle::line(const char* format, ...) {
    unsigned long long held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        if (written_ && now - last_ < std::chrono::seconds(10)) {
            held_++;
            return;
        }
        written_ = true;
        last_ = now;
        held = held_;
        held_ = 0;
    }
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (held) log_line("%s (and %llu more like it since the last such line)", message, held);
    else log_line("%s", message);
}

LogThrottle other_user_log, over_limit_log, pushed_out_log, hello_timeout_log;

void signal_fd(int fd) {
    uint64_t one = 1;
    ssize_t w = ::write(fd, &one, sizeof one);
    (void)w;
}

}  // namespace

Server::Server() {
    stop_event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    watch_wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Server::~Server() {
    if (stop_event_ >= 0) ::close(stop_event_);
    if (watch_wake_ >= 0) ::close(watch_wake_);
}

bool Server::listen(const std::string& path, std::string* error) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(path.c_str());  // stale: we hold the root's lock
    mode_t old = ::umask(0177);
    int rc = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (rc != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(listen_fd_, 64) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void Server::start() {
    accept_thread_ = std::thread([this] { accept_loop(); });
    watch_thread_ = std::thread([this] { watch_loop(); });
}

void Server::accept_loop() {
    pthread_setname_np(pthread_self(), "cehost-accept");
    for (;;) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                log_line("accept: %s", std::strerror(errno));
                ::usleep(100000);
                continue;
            }
            return;  // shut down
        }
        // The hello's time runs from here, however the peer spreads its bytes.
        auto hello_by = std::chrono::steady_clock::now() + std::chrono::milliseconds(hello_timeout_ms());
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
            other_user_log.line("refused a connection from uid %u (pid %d): not this host's user", cred.uid, cred.pid);
            ::close(fd);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !admit(cred.uid, cred.pid)) {
            ::close(fd);
            continue;
        }
        uint64_t id = next_connection_++;
        auto& c = connections_[id];
        c.fd = fd;
        c.uid = cred.uid;
        c.pid = cred.pid;
        c.thread = std::thread([this, id, fd, pid = cred.pid, hello_by] { serve(id, fd, pid, hello_by); });
    }
}

bool Server::admit(uid_t uid, pid_t pid) {
    // Reap the threads of connections that ended, and count the others.
    size_t open = 0;
    int introducing = 0;
    Connection* longest = nullptr;
    for (auto it = connections_.begin(); it != connections_.end();) {
        Connection& c = it->second;
        if (c.done) {
            c.thread.join();
            it = connections_.erase(it);
            continue;
        }
        ++it;
        if (c.pushed_out) continue;
        open++;
        if (c.introducing && c.uid == uid && introducing++ == 0) longest = &c;  // ids grow with time
    }
    // A user at the cap of connections still waiting for their hello loses
    // the one that has waited longest, rather than the new one: a client
    // says hello as soon as it connects, so a flood of slow connections only
    // ever pushes out its own members.
    if (longest && introducing >= max_introducing()) {
        pushed_out_log.line(
            "uid %u has %d connections that have not introduced themselves, at most %d; closed the "
            "oldest (pid %d) for a new one from pid %d",
            uid, introducing, max_introducing(), longest->pid, pid);
        ::shutdown(longest->fd, SHUT_RDWR);
        longest->pushed_out = true;
        open--;
    }
    // One thread a connection: beyond the cap, new ones are refused.
    if (open >= static_cast<size_t>(max_connections())) {
        over_limit_log.line("%zu connections open, at most %d; refusing new ones (%llu refused so far)", open,
                            max_connections(), static_cast<unsigned long long>(++refused_connections_));
        return false;
    }
    return true;
}

void Server::serve(uint64_t id, int fd, pid_t pid, std::chrono::steady_clock::time_point hello_by) {
    pthread_setname_np(pthread_self(), "cehost-client");
    Peer peer;
    peer.id = id;
    peer.fd = fd;
    peer.pid = pid;
    peer.hello_by = hello_by;
    bool keep_open = converse(peer);
    if (peer.listener) windows_.unlisten(peer.token);
    if (peer.token) leave_session(peer.token);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(id);
    if (it != connections_.end()) {
        it->second.done = true;
        // The stop request's connection stays open until the process ends:
        // its end tells the client that the host is gone.
        if (!keep_open) {
            ::close(fd);
            it->second.fd = -1;
        } else {
            it->second.kept = true;
        }
    }
}

bool Server::converse(Peer& peer) {
    const int fd = peer.fd;
    const pid_t pid = peer.pid;
    uint64_t& token = peer.token;
    ce::rpc::FrameParser parser;
    std::string buffer(64 * 1024, '\0');
    for (;;) {
        // A connection that does not introduce itself in time is dropped: it
        // would hold a thread for nothing. The time counts from the connect,
        // so a byte now and then does not keep a connection alive.
        if (token == 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(peer.hello_by - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                hello_timeout_log.line("pid %d did not introduce itself within %d ms; connection closed", pid,
                                       hello_timeout_ms());
                return false;
            }
        }
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        parser.feed(buffer.data(), static_cast<size_t>(n));
        for (;;) {
            ce::rpc::Header header;
            std::string payload;
            auto status = parser.next(header, payload);
            if (status == ce::rpc::FrameParser::Status::NeedMore) break;
            // Hello first, and only first; a reply's flag, an unknown
            // operation or (in serve_request) a payload that does not parse
            // ends the connection.
            if (status != ce::rpc::FrameParser::Status::Frame || header.op < ce::rpc::OpHello ||
                header.op > ce::rpc::OpLast || (token == 0) != (header.op == ce::rpc::OpHello)) {
                log_line("pid %d sent a malformed request; connection closed", pid);
                return false;
            }
            if (!(this->*kDispatch[header.op])(peer, header.tag, payload)) return false;
            if (peer.stop) {
                signal_fd(stop_event_);
                return true;
            }
        }
    }
}

// ---- the handlers ------------------------------------------------------------------

template <class Rq>
bool Server::serve_request(Peer& peer, uint32_t tag, const std::string& payload) {
    Rq request;
    if (!ce::rpc::decode(payload, request)) {
        log_line("pid %d sent a malformed request; connection closed", peer.pid);
        return false;
    }
    typename Rq::Reply reply;
    SetLastError(ERROR_SUCCESS);
    handle(request, reply, peer);
    if (peer.drop) return false;
    return ce::rpc::send_reply<Rq>(peer.fd, tag, reply);
}

template <class... Rq>
constexpr auto Server::dispatch_table(ce::rpc::Types<Rq...>) {
    // Indexed by the operation's number; Requests lists them in that order.
    return std::array<Dispatch, sizeof...(Rq) + 1>{nullptr, &Server::serve_request<Rq>...};
}

const std::array<Server::Dispatch, ce::rpc::OpLast + 1> Server::kDispatch = dispatch_table(ce::rpc::Requests{});

std::shared_ptr<Open> Server::owned_open(uint32_t id, const Peer& peer, ce::rpc::ReplyHead& reply) {
    auto o = manager().find_open(id);
    if (!o || o->session() != peer.token) {
        reply.error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return o;
}

void Server::handle(const ce::rpc::HelloRequest& r, ce::rpc::HelloReply& reply, Peer& peer) {
    if (r.version != ce::rpc::kVersion) {
        log_line("pid %d speaks protocol %u, not %u; connection closed", peer.pid, r.version, ce::rpc::kVersion);
        peer.drop = true;
        return;
    }
    if (r.token == 0) {
        log_line("pid %d introduced itself without a session token; connection closed", peer.pid);
        peer.drop = true;
        return;
    }
    peer.token = r.token;
    join_session(peer.token, peer.pid);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = connections_.find(peer.id);
        if (it != connections_.end()) it->second.introducing = false;
    }
    reply.result = 1;
}

void Server::handle(const ce::rpc::ActivateRequest& r, ce::rpc::ActivateReply& reply, Peer&) {
    DWORD error = 0;
    reply.result = manager().activate(r.key, r.ents, nullptr, &error);
    reply.error = error;
}

void Server::handle(const ce::rpc::DeactivateRequest& r, ce::rpc::DeactivateReply& reply, Peer&) {
    DWORD error = 0;
    reply.result = manager().deactivate(r.handle, &error) ? 1 : 0;
    reply.error = error;
}

void Server::handle(const ce::rpc::ListRequest&, ce::rpc::ListReply& reply, Peer&) {
    reply.result = 1;
    reply.devices = manager().list();
}

void Server::handle(const ce::rpc::OpenRequest& r, ce::rpc::OpenReply& reply, Peer& peer) {
    Manager& m = manager();
    DWORD error = 0;
    auto o = m.open_device(r.name, r.access, r.share, peer.token, &error);
    if (!o) {
        reply.error = error;
        return;
    }
    bool alive;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sessions_.find(peer.token);
        alive = it != sessions_.end() && !it->second.ended;
        if (alive) it->second.opens.insert(o->id());
    }
    if (!alive) {  // the process died while its open ran
        m.close_open(o);
        reply.error = ERROR_INVALID_HANDLE;
        return;
    }
    reply.result = o->id();
}

void Server::handle(const ce::rpc::CloseRequest& r, ce::rpc::CloseReply& reply, Peer& peer) {
    auto o = owned_open(r.open, peer, reply);
    if (!o) return;
    manager().close_open(o);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(peer.token);
    if (it != sessions_.end()) it->second.opens.erase(r.open);
    reply.result = 1;
}

void Server::handle(const ce::rpc::ReadRequest& r, ce::rpc::ReadReply& reply, Peer& peer) {
    auto o = owned_open(r.open, peer, reply);
    if (!o) return;
    // One buffer a connection thread, grown but never cleared: a read fills
    // what it returns, and only that is sent, straight from here.
    thread_local std::string buffer;
    if (buffer.size() < r.size) buffer.resize(r.size);
    DWORD done = 0;
    reply.result = o->read(buffer.data(), r.size, &done);
    if (!reply.result) reply.error = GetLastError();
    reply.data.borrowed = std::string_view(buffer.data(), done);
    reply.count = done;
}

void Server::handle(const ce::rpc::WriteRequest& r, ce::rpc::WriteReply& reply, Peer& peer) {
    auto o = owned_open(r.open, peer, reply);
    if (!o) return;
    DWORD done = 0;
    std::string_view data = r.data.view();
    reply.result = o->write(data.data(), static_cast<DWORD>(data.size()), &done);
    if (!reply.result) reply.error = GetLastError();
    reply.count = done;
}

void Server::handle(const ce::rpc::IoControlRequest& r, ce::rpc::IoControlReply& reply, Peer& peer) {
    auto o = owned_open(r.open, peer, reply);
    if (!o) return;
    std::string in = r.in;
    std::string& out = reply.out;
    out.assign(r.out_size, '\0');
    DWORD returned = 0;
    reply.result = o->ioctl(r.code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                            out.empty() ? nullptr : out.data(), r.out_size, &returned);
    if (!reply.result) reply.error = GetLastError();
    out.resize(std::min<DWORD>(returned, r.out_size));
    reply.count = static_cast<uint32_t>(out.size());
}

void Server::handle(const ce::rpc::SeekRequest& r, ce::rpc::SeekReply& reply, Peer& peer) {
    auto o = owned_open(r.open, peer, reply);
    if (!o) {
        reply.result = INVALID_SET_FILE_POINTER;
        return;
    }
    reply.result = o->seek(static_cast<LONG>(r.distance), r.method);
    reply.error = GetLastError();
}

void Server::handle(const ce::rpc::StopRequest&, ce::rpc::StopReply& reply, Peer& peer) {
    log_line("stop requested");
    reply.result = 1;
    peer.stop = true;
}

void Server::handle(const ce::rpc::GpsReloadRequest&, ce::rpc::GpsReloadReply& reply, Peer&) {
    gps_reload();
    reply.result = 1;
}

namespace {

// The window broker's replies: success, or the error.
void finish(ce::rpc::ReplyHead& reply, uint32_t error) {
    reply.result = error == 0;
    reply.error = error;
}

}  // namespace

void Server::handle(const ce::rpc::WindowAddRequest& r, ce::rpc::WindowAddReply& reply, Peer& peer) {
    finish(reply, windows_.add(peer.token, peer.pid, r.window, r.class_name, r.title));
}

void Server::handle(const ce::rpc::WindowTitleRequest& r, ce::rpc::WindowTitleReply& reply, Peer& peer) {
    finish(reply, windows_.set_title(peer.token, r.window, r.title));
}

void Server::handle(const ce::rpc::WindowRemoveRequest& r, ce::rpc::WindowRemoveReply& reply, Peer& peer) {
    finish(reply, windows_.remove(peer.token, r.window));
}

void Server::handle(const ce::rpc::WindowListRequest& r, ce::rpc::WindowListReply& reply, Peer&) {
    bool more = false;
    // Room for the reply's own fields besides the list.
    reply.windows = windows_.list(r.after, ce::rpc::kMaxPayload - 64, more);
    reply.result = 1;
    reply.count = more ? 1 : 0;
}

void Server::handle(const ce::rpc::WindowForwardRequest& r, ce::rpc::WindowForwardReply& reply, Peer&) {
    auto answer = windows_.forward(r.call);
    finish(reply, answer.ok ? 0 : (answer.error ? answer.error : ERROR_GEN_FAILURE));
    reply.value = answer.value;
    reply.text = std::move(answer.text);
}

void Server::handle(const ce::rpc::WindowListenRequest&, ce::rpc::WindowListenReply& reply, Peer& peer) {
    if (!peer.listener) {
        peer.listener = true;
        windows_.listen(peer.token, peer.pid);
    }
    reply.result = 1;
}

void Server::handle(const ce::rpc::WindowPollRequest&, ce::rpc::WindowPollReply& reply, Peer& peer) {
    if (!peer.listener) {
        finish(reply, ERROR_INVALID_FUNCTION);
        return;
    }
    auto& polled = reply.polled.emplace();
    // Its owner gone, the host stopping or the peer hanging up: the
    // listener's connection ends, which tells the process so.
    if (!windows_.next(peer.token, peer.fd, polled.serial, polled.call)) {
        peer.drop = true;
        return;
    }
    reply.result = 1;
}

void Server::handle(const ce::rpc::WindowResultRequest& r, ce::rpc::WindowResultReply& reply, Peer& peer) {
    if (!peer.listener) {
        finish(reply, ERROR_INVALID_FUNCTION);
        return;
    }
    // A result nobody waits for any more (the sender was released) is dropped.
    finish(reply, windows_.answer(peer.token, r.serial, r.answer) ? 0 : ERROR_INVALID_PARAMETER);
}

void Server::handle(const ce::rpc::WindowForegroundRequest&, ce::rpc::WindowForegroundReply& reply, Peer&) {
    reply.window = windows_.foreground();
    reply.result = 1;
}

// ---- sessions ------------------------------------------------------------------------

void Server::join_session(uint64_t token, pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& s = sessions_[token];
    s.connections++;
    if (s.pid == 0) {
        s.pid = pid;
        s.pidfd = pidfd_open_compat(pid);
        signal_fd(watch_wake_);
    }
}

void Server::leave_session(uint64_t token) {
    bool last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = sessions_.find(token);
        if (it == sessions_.end()) return;
        last = --it->second.connections == 0;
    }
    if (last) end_session(token, false);
}

// Closes every open the process still holds. A session whose process died
// ends at once (pidfd), even while one of its calls is blocked in a driver:
// closing the open releases that call.
void Server::end_session(uint64_t token, bool died) {
    pid_t pid = 0;
    auto opens = take_session(token, &pid);
    close_session(token, pid, std::move(opens), died);
}

std::set<uint32_t> Server::take_session(uint64_t token, pid_t* pid) {
    std::set<uint32_t> opens;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(token);
    if (it == sessions_.end()) return opens;
    auto& s = it->second;
    opens.swap(s.opens);
    *pid = s.pid;
    s.ended = true;
    if (s.pidfd >= 0 && s.connections == 0) {
        ::close(s.pidfd);
        s.pidfd = -1;
    }
    if (s.connections == 0) sessions_.erase(it);
    else if (s.pidfd >= 0) {
        ::close(s.pidfd);  // watched no more
        s.pidfd = -1;
    }
    signal_fd(watch_wake_);
    return opens;
}

void Server::close_session(uint64_t token, pid_t pid, std::set<uint32_t> opens, bool died) {
    windows_.end_owner(token, died ? "died" : "disconnected");
    if (!opens.empty())
        log_line("pid %d %s; closing its %zu open(s)", pid, died ? "died" : "disconnected", opens.size());
    for (uint32_t id : opens) {
        if (auto o = manager().find_open(id)) manager().close_open(o);
    }
}

void Server::reap_cleanups(bool all) {
    std::lock_guard<std::mutex> lock(cleanup_mutex_);
    for (auto it = cleanups_.begin(); it != cleanups_.end();) {
        if (all || it->done->load()) {
            it->thread.join();
            it = cleanups_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::watch_loop() {
    pthread_setname_np(pthread_self(), "cehost-watch");
    for (;;) {
        std::vector<pollfd> fds{{watch_wake_, POLLIN, 0}};
        std::vector<uint64_t> tokens{0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            for (const auto& [token, s] : sessions_) {
                if (s.pidfd >= 0 && !s.ended) {
                    fds.push_back({s.pidfd, POLLIN, 0});
                    tokens.push_back(token);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[0].revents) {
            uint64_t v;
            ssize_t r = ::read(watch_wake_, &v, sizeof v);
            (void)r;
        }
        reap_cleanups(false);
        for (size_t i = 1; i < fds.size(); i++) {
            if (!fds[i].revents) continue;
            pid_t pid = 0;
            auto opens = take_session(tokens[i], &pid);
            auto done = std::make_shared<std::atomic<bool>>(false);
            uint64_t token = tokens[i];
            std::lock_guard<std::mutex> lock(cleanup_mutex_);
            cleanups_.push_back({std::thread([this, token, pid, opens = std::move(opens), done]() mutable {
                                     pthread_setname_np(pthread_self(), "cehost-cleanup");
                                     close_session(token, pid, std::move(opens), true);
                                     done->store(true);
                                 }),
                                 done});
        }
    }
}

void Server::stop() {
    // Requests waiting on a window owner would hold their connections' threads.
    windows_.stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        signal_fd(watch_wake_);
    }
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    if (accept_thread_.joinable()) accept_thread_.join();
    if (watch_thread_.joinable()) watch_thread_.join();
    reap_cleanups(true);  // each close is bounded
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    if (!path_.empty()) ::unlink(path_.c_str());
}

size_t Server::close_connections() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, c] : connections_) {
            if (c.fd >= 0 && !c.kept) ::shutdown(c.fd, SHUT_RDWR);
        }
    }
    // A connection's thread ends once its call returns; one stuck inside a
    // driver is left behind, so that the stop still ends.
    auto deadline = std::chrono::steady_clock::now() + close_budget();
    size_t left = 0;
    for (;;) {
        std::thread t;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            left = 0;
            for (auto it = connections_.begin(); it != connections_.end(); ++it) {
                if (!it->second.thread.joinable()) continue;
                if (it->second.done) {
                    t = std::move(it->second.thread);
                    break;
                }
                left++;
            }
        }
        if (t.joinable()) {
            t.join();
            continue;
        }
        if (left == 0 || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [token, s] : sessions_) {
        if (s.pidfd >= 0) ::close(s.pidfd);
        s.pidfd = -1;
    }
    return left;
}

}  // namespace cehost
