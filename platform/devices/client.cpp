// The device manager's client side in every process: ActivateDeviceEx,
// DeactivateDevice and CreateFileW on "XXXn:" names. Inside cehost the calls
// go to its device manager directly; elsewhere they travel over the root's
// socket to cehost, which is started on demand.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

#include "ce_devices.h"
#include "ce_platform.h"
#include "ce_trace.h"
#include "devload.h"
#include "host_call.h"
#include "local_manager.h"
#include "windows.h"

extern char** environ;

namespace ce {

namespace {

std::atomic<LocalDeviceManager*> g_local{nullptr};

// ---- connections -------------------------------------------------------------

uint64_t new_token() {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ (static_cast<uint64_t>(getpid()) << 16);
}

// Idle connections to one root's cehost. A call borrows one (or opens a new
// one) for its duration, so calls of several threads run side by side and a
// blocked read never holds up another thread's write or close.
struct Pool {
    std::vector<int> idle;
};

struct Pools {
    std::mutex mutex;
    std::map<std::string, Pool> by_root;
    uint64_t token = new_token();  // names this process's session to the host
};

Pools& pools() {
    static auto* p = new Pools;  // never destroyed: handles may be closed during exit
    return *p;
}

void after_fork_child() {
    // The child must not talk on its parent's connections: the host would
    // mix the two processes' calls. It starts a session of its own.
    auto& p = pools();
    new (&p.mutex) std::mutex;
    for (auto& [root, pool] : p.by_root) {
        for (int fd : pool.idle) ::close(fd);
    }
    p.by_root.clear();
    p.token = new_token();
}

[[maybe_unused]] const bool g_atfork = [] {
    pthread_atfork(nullptr, nullptr, after_fork_child);
    return true;
}();

std::string socket_path_of(const std::string& root) { return root + "/.cehost/socket"; }

int try_connect(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    // Nothing is said to a host of another user: a socket planted there would
    // see our session token and our calls, and answer them as it liked.
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != ::geteuid()) {
        static std::once_flag said;
        std::call_once(said, [&] {
            std::fprintf(stderr, "%s: %s is served by uid %u, not by you (uid %u); not talking to it\n",
                         program_invocation_short_name, path.c_str(), static_cast<unsigned>(peer.uid),
                         static_cast<unsigned>(::geteuid()));
        });
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool executable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

std::string dir_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// cehost is found by $CE_HOST, beside the running program, in the bin/ folder
// beside libce's lib/ folder, where `cectl init` noted it for the root (for
// the programs it installs inside the root), else on PATH.
std::string find_host_program(const std::string& root) {
    if (const char* env = std::getenv("CE_HOST"); env && executable(env)) return env;
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string candidate = dir_of(exe) + "/cehost";
        if (executable(candidate)) return candidate;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&executable), &info) && info.dli_fname) {
        std::string candidate = dir_of(info.dli_fname) + "/../bin/cehost";
        if (executable(candidate)) return candidate;
    }
    char noted[4096];
    int fd = ::open((root + "/.cehost/program").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t got = ::read(fd, noted, sizeof noted - 1);
        ::close(fd);
        if (got > 0) {
            std::string candidate(noted, static_cast<size_t>(got));
            while (!candidate.empty() && (candidate.back() == '\n' || candidate.back() == '\r')) candidate.pop_back();
            if (executable(candidate)) return candidate;
        }
    }
    return "cehost";
}

bool start_host(const std::string& root, std::string* error) {
    if (const char* env = std::getenv("CE_HOST_AUTOSTART"); env && std::strcmp(env, "0") == 0) {
        if (error) *error = "cehost is not running (and CE_HOST_AUTOSTART=0)";
        return false;
    }
    std::string dir = root + "/.cehost";
    make_root_folder(root);
    ::mkdir(dir.c_str(), 0700);
    // The host program may be one the root names: only a root of ours alone.
    if (!claim_root(root, error)) return false;
    // Two clients finding no host at once must not start two: the second
    // waits here and then finds the first one's host.
    int lock = ::open((dir + "/start.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        if (error) *error = "cannot create " + dir + "/start.lock: " + std::strerror(errno);
        return false;
    }
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {}
    bool ok = false;
    int fd = try_connect(socket_path_of(root));
    if (fd >= 0) {
        ::close(fd);
        ok = true;
    } else {
        std::string program = find_host_program(root);
        std::string root_arg = root;
        char arg0[] = "cehost";
        char arg1[] = "--root";
        char* argv[] = {arg0, arg1, root_arg.data(), nullptr};
        pid_t pid;
        // cehost detaches itself and its first process exits once the host
        // serves the socket (or has failed), so waiting for it is the wait
        // for readiness.
        int rc = program.find('/') == std::string::npos
                     ? posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ)
                     : posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
        if (rc != 0) {
            if (error) *error = "cannot start " + program + ": " + std::strerror(rc);
        } else {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            fd = try_connect(socket_path_of(root));
            if (fd >= 0) {
                ::close(fd);
                ok = true;
            } else if (error) {
                *error = "cehost did not start (see " + dir + "/log)";
            }
        }
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
    return ok;
}

// A connection to the root's host that has said hello; -1 when none.
int open_connection(const std::string& root, bool start, uint64_t token) {
    int fd = try_connect(socket_path_of(root));
    if (fd < 0 && start && (errno == ENOENT || errno == ECONNREFUSED)) {
        if (start_host(root, nullptr)) fd = try_connect(socket_path_of(root));
    }
    if (fd < 0) return -1;
    rpc::HelloRequest hello;
    hello.version = rpc::kVersion;
    hello.token = token;
    auto reply = rpc::call(fd, hello);
    if (!reply || !reply->result) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connection for one call: an idle one of the pool (reused set), else a new one.
int borrow(const std::string& root, bool start, bool& reused) {
    uint64_t token;
    {
        auto& p = pools();
        std::lock_guard<std::mutex> lock(p.mutex);
        auto& pool = p.by_root[root];
        if (!pool.idle.empty()) {
            int fd = pool.idle.back();
            pool.idle.pop_back();
            reused = true;
            return fd;
        }
        token = p.token;
    }
    reused = false;
    return open_connection(root, start, token);
}

// After the host went away, every idle connection to it is dead.
void drop_idle(const std::string& root) {
    auto& p = pools();
    std::lock_guard<std::mutex> lock(p.mutex);
    auto& pool = p.by_root[root];
    for (int fd : pool.idle) ::close(fd);
    pool.idle.clear();
}

void give_back(const std::string& root, int fd) {
    auto& p = pools();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.by_root[root].idle.push_back(fd);
}

}  // namespace

bool with_host_connection(const std::string& root, bool start, const std::function<bool(int fd)>& talk) {
    for (int attempt = 0; attempt < 2; attempt++) {
        bool reused = false;
        int fd = borrow(root, start, reused);
        if (fd < 0) break;
        if (talk(fd)) {
            give_back(root, fd);
            return true;
        }
        ::close(fd);
        // A pooled connection may belong to a host that has since stopped:
        // the call is tried once more on a fresh connection.
        if (!reused) break;
        drop_idle(root);
    }
    SetLastError(ERROR_DEVICE_NOT_AVAILABLE);
    return false;
}

namespace {

// ---- an open device in another process ------------------------------------------

class RemoteDeviceFile : public KObject {
public:
    RemoteDeviceFile(std::string root, uint32_t id) : root_(std::move(root)), id_(id) {}

    BOOL read(void* buffer, DWORD size, DWORD* done) override {
        if (done) *done = 0;
        rpc::ReadRequest r;
        r.open = id_;
        // One ReadFile is one Read of the device, as on the device; a buffer
        // larger than a frame carries is served in part, as a serial read may be.
        r.size = std::min<DWORD>(size, rpc::kMaxIo);
        auto reply = host_call(root_, r, false);
        if (!reply) return FALSE;
        if (!reply->result) {
            SetLastError(reply->error);
            return FALSE;
        }
        size_t n = std::min<size_t>(reply->data.size(), r.size);
        if (n) std::memcpy(buffer, reply->data.view().data(), n);
        if (done) *done = static_cast<DWORD>(n);
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD size, DWORD* done) override {
        if (done) *done = 0;
        rpc::WriteRequest r;
        r.open = id_;
        DWORD total = 0;
        do {
            DWORD chunk = std::min<DWORD>(size - total, rpc::kMaxIo);
            // Lent, not copied: the caller's buffer goes to the socket as it is.
            r.data.borrowed = std::string_view(static_cast<const char*>(buffer) + total, chunk);
            auto reply = host_call(root_, r, false);
            if (!reply) return FALSE;
            if (!reply->result) {
                SetLastError(reply->error);
                return FALSE;
            }
            total += std::min(reply->count, chunk);
            if (done) *done = total;
            if (reply->count < chunk) break;
        } while (total < size);
        return TRUE;
    }

    BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override {
        if (returned) *returned = 0;
        if (in_size > rpc::kMaxIo || out_size > rpc::kMaxIo || (in_size && !in) || (out_size && !out)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        rpc::IoControlRequest r;
        r.open = id_;
        r.code = code;
        if (in_size) r.in.assign(static_cast<const char*>(in), in_size);
        r.out_size = out_size;
        auto reply = host_call(root_, r, false);
        if (!reply) return FALSE;
        size_t n = std::min<size_t>(reply->out.size(), out_size);
        if (n) std::memcpy(out, reply->out.data(), n);
        if (returned) *returned = std::min<DWORD>(reply->count, out_size);
        if (!reply->result) {
            SetLastError(reply->error);
            return FALSE;
        }
        return TRUE;
    }

    DWORD seek(LONG distance, LONG* high, DWORD method) override {
        rpc::SeekRequest r;
        r.open = id_;
        r.distance = static_cast<uint32_t>(distance);
        r.method = method;
        if (high) *high = 0;
        auto reply = host_call(root_, r, false);
        if (!reply) return INVALID_SET_FILE_POINTER;
        if (reply->result == INVALID_SET_FILE_POINTER && reply->error) SetLastError(reply->error);
        return reply->result;
    }

    void on_last_handle_closed() override {
        rpc::CloseRequest r;
        r.open = id_;
        // Never starts a host: a host that is gone has closed the open already.
        host_call(root_, r, false);
    }

private:
    std::string root_;
    uint32_t id_;
};

HANDLE open_device(LPCWSTR name, DWORD access, DWORD share) {
    std::u16string n = name ? std::u16string(name) : std::u16string();
    if (!is_stream_device_name(n)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        CE_TRACE_LAST(devices, CreateFileW, name, trace::hex(access), trace::hex(share));
        return INVALID_HANDLE_VALUE;
    }
    if (auto* local = g_local.load()) {
        DWORD error = 0;
        auto object = local->open(n, access, share, &error);
        if (!object) {
            SetLastError(error ? error : ERROR_FILE_NOT_FOUND);
            CE_TRACE_LAST(devices, CreateFileW, name, trace::hex(access), trace::hex(share));
            return INVALID_HANDLE_VALUE;
        }
        return handle_insert(std::move(object));
    }
    rpc::OpenRequest r;
    r.name = n;
    r.access = access;
    r.share = share;
    std::string root = ce::root();
    auto reply = host_call(root, r, true);
    if (!reply) CE_TRACE_LAST(devices, CreateFileW, name, trace::hex(access), trace::hex(share));
    if (!reply) return INVALID_HANDLE_VALUE;
    if (!reply->result) {
        SetLastError(reply->error ? reply->error : ERROR_FILE_NOT_FOUND);
        CE_TRACE_LAST(devices, CreateFileW, name, trace::hex(access), trace::hex(share));
        return INVALID_HANDLE_VALUE;
    }
    return handle_insert(std::make_shared<RemoteDeviceFile>(root, reply->result));
}

[[maybe_unused]] const bool g_opener_installed = [] {
    set_device_opener(&open_device);
    return true;
}();

}  // namespace

int host_connection(const std::string& root, bool start) {
    uint64_t token;
    {
        auto& p = pools();
        std::lock_guard<std::mutex> lock(p.mutex);
        token = p.token;
    }
    return open_connection(root, start, token);
}

void set_local_device_manager(LocalDeviceManager* manager) { g_local.store(manager); }
LocalDeviceManager* local_device_manager() { return g_local.load(); }

bool is_stream_device_name(const std::u16string& name, bool allow_bare) {
    if (name.size() != 5 && !(allow_bare && name.size() == 4)) return false;
    for (int i = 0; i < 3; i++) {
        char16_t c = name[i];
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'))) return false;
    }
    if (name[3] < u'0' || name[3] > u'9') return false;
    return name.size() == 4 || name[4] == u':';
}

std::string host_socket_path() { return socket_path_of(ce::root()); }

bool host_running() {
    int fd = try_connect(host_socket_path());
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool ensure_host(std::string* error) { return host_running() || start_host(ce::root(), error); }

std::optional<std::vector<ActiveDevice>> list_devices() {
    auto reply = host_call(ce::root(), rpc::ListRequest{}, true);
    if (!reply) return std::nullopt;
    std::vector<ActiveDevice> out;
    for (const auto& d : reply->devices) out.push_back({narrow(d.name), narrow(d.key), d.handle});
    return out;
}

bool stop_host() {
    uint64_t token;
    {
        auto& p = pools();
        std::lock_guard<std::mutex> lock(p.mutex);
        token = p.token;
    }
    int fd = open_connection(ce::root(), false, token);
    if (fd < 0) return false;
    rpc::Header h;
    std::string payload;
    bool ok = rpc::send_request(fd, rpc::StopRequest{}) && rpc::recv_frame(fd, h, payload);
    // The host keeps this connection until it has deactivated everything and
    // is exiting: the end of the stream is the end of the host.
    if (ok) {
        char c;
        while (::recv(fd, &c, 1, 0) > 0 || errno == EINTR) {}
    }
    ::close(fd);
    return ok;
}

void notify_gps_changed() { host_call(ce::root(), rpc::GpsReloadRequest{}, false); }

}  // namespace ce

using namespace ce;

// ActivateDeviceEx -> an RPC to cehost (or a direct call inside it), which loads the driver with dlopen.
HANDLE ActivateDeviceEx(LPCWSTR key, LPCVOID regEnts, DWORD cRegEnts, LPVOID devParam) {
    if (!key || !*key || (cRegEnts && !regEnts) || cRegEnts > rpc::kMaxRegEnts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
        return nullptr;
    }
    std::u16string k(key);
    if (k.size() > rpc::kMaxText) {
        SetLastError(ERROR_INVALID_PARAMETER);
        CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
        return nullptr;
    }
    std::vector<rpc::RegEnt> ents;
    const auto* list = static_cast<const REGINI*>(regEnts);
    for (DWORD i = 0; i < cRegEnts; i++) {
        if (!list[i].lpszVal || (list[i].dwLen && !list[i].pData) || list[i].dwLen > rpc::kMaxRegData) {
            SetLastError(ERROR_INVALID_PARAMETER);
            CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
            return nullptr;
        }
        rpc::RegEnt e;
        e.name = list[i].lpszVal;
        e.type = list[i].dwType;
        e.data.assign(reinterpret_cast<const char*>(list[i].pData), list[i].dwLen);
        ents.push_back(std::move(e));
    }
    if (auto* local = local_device_manager()) {
        DWORD error = 0;
        uint32_t handle = local->activate(k, ents, devParam, &error);
        if (!handle) SetLastError(error);
        if (!handle) CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
    }
    // The parameter is an address in this process; the host cannot use it.
    rpc::ActivateRequest r;
    r.key = k;
    r.ents = std::move(ents);
    auto reply = host_call(ce::root(), r, true);
    if (!reply) CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
    if (!reply) return nullptr;
    if (!reply->result) SetLastError(reply->error);
    if (!reply->result) CE_TRACE_LAST(devices, ActivateDeviceEx, key, cRegEnts);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply->result));
}

// DeactivateDevice -> an RPC to cehost (or a direct call inside it): Deinit, dlclose, Active entry removed.
BOOL DeactivateDevice(HANDLE device) {
    uintptr_t value = reinterpret_cast<uintptr_t>(device);
    if (value == 0 || value > 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_HANDLE);
        CE_TRACE_LAST(devices, DeactivateDevice, device);
        return FALSE;
    }
    if (auto* local = local_device_manager()) {
        DWORD error = 0;
        if (local->deactivate(static_cast<uint32_t>(value), &error)) return TRUE;
        SetLastError(error);
        CE_TRACE_LAST(devices, DeactivateDevice, device);
        return FALSE;
    }
    rpc::DeactivateRequest r;
    r.handle = static_cast<uint32_t>(value);
    auto reply = host_call(ce::root(), r, true);
    if (!reply) CE_TRACE_LAST(devices, DeactivateDevice, device);
    if (!reply) return FALSE;
    if (!reply->result) SetLastError(reply->error);
    if (!reply->result) CE_TRACE_LAST(devices, DeactivateDevice, device);
    return reply->result ? TRUE : FALSE;
}
