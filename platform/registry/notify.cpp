// Registry change notifications across processes, without polling.
//
// Every committed write rewrites <root>/.registry-changes (registry.cpp). One
// thread per process blocks in read() on an inotify descriptor that watches
// that file; when it wakes it re-reads each watched value and calls back only
// for the values whose bytes (or existence) changed and whose condition holds.
// While nothing is written the thread sleeps in the kernel: no timers, no
// polling. Callbacks run on that thread with no registry lock held, so a
// callback may use the registry, and may close its own notification.
//
// Conditions: REG_CT_EQUAL ... REG_CT_LESS_OR_EQUAL compare a REG_DWORD value,
// masked by dwMask (0 taken as all bits), with TargetValue.dw;
// REG_CT_CONTAINS, REG_CT_STARTS_WITH and REG_CT_ENDS_WITH compare a REG_SZ
// value with TargetValue.psz, ignoring ASCII case; REG_CT_ANYCHANGE and no
// condition call back on every change, a deletion included (data NULL, size 0).
// A value of another type never meets a comparison.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"
#include "regext.h"
#include "registry_internal.h"

namespace ce::reg {

namespace {

struct Notifier;

class Watch : public KObject {
public:
    std::string device_root;
    int64_t base_id = 0;
    std::vector<std::u16string> parts;
    std::u16string value_name;
    REGISTRYNOTIFYCALLBACK callback = nullptr;
    DWORD user_data = 0;
    bool has_condition = false;
    REG_COMPARISONTYPE comparison = REG_CT_ANYCHANGE;
    DWORD mask = 0xFFFFFFFFu;
    DWORD target_dw = 0;
    std::u16string target_sz;  // folded
    HREGNOTIFY self = nullptr;
    ValueState last;            // guarded by Notifier::scan_mutex
    bool closed = false;        // guarded by Notifier::mutex
    Notifier* owner = nullptr;  // guarded by Notifier::mutex
};

struct RootWatch {
    int wd = -1;
    int users = 0;
};

struct Notifier {
    // Held while a registration reads its starting value and while the thread
    // compares values, so that no write falls between the two unseen.
    std::mutex scan_mutex;
    // The watch list, the roots being watched, the callback in progress.
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<Watch>> watches;
    std::shared_ptr<Watch> running;
    std::map<std::string, RootWatch> roots;
    bool started = false;
    int fd = -1;
    std::thread::id thread_id;
    std::atomic<pid_t> tid{0};
    std::atomic<uint64_t> wakeups{0};
};

Notifier*& notifier_ptr() {
    static Notifier* n = new Notifier;  // never destroyed: its thread outlives main
    return n;
}

Notifier& notifier() { return *notifier_ptr(); }

std::vector<Notifier*>& abandoned() {
    static auto* v = new std::vector<Notifier*>;
    return *v;
}

bool is_string(const ValueState& v) { return v.exists && (v.type == REG_SZ || v.type == REG_EXPAND_SZ); }

bool condition_holds(const Watch& w, const ValueState& v) {
    if (!w.has_condition || w.comparison == REG_CT_ANYCHANGE) return true;
    if (!v.exists) return false;
    switch (w.comparison) {
        case REG_CT_EQUAL:
        case REG_CT_NOT_EQUAL:
        case REG_CT_GREATER:
        case REG_CT_GREATER_OR_EQUAL:
        case REG_CT_LESS:
        case REG_CT_LESS_OR_EQUAL: {
            if (v.type != REG_DWORD || v.data.size() != sizeof(DWORD)) return false;
            DWORD x;
            std::memcpy(&x, v.data.data(), sizeof x);
            x &= w.mask;
            DWORD t = w.target_dw;
            switch (w.comparison) {
                case REG_CT_EQUAL: return x == t;
                case REG_CT_NOT_EQUAL: return x != t;
                case REG_CT_GREATER: return x > t;
                case REG_CT_GREATER_OR_EQUAL: return x >= t;
                case REG_CT_LESS: return x < t;
                default: return x <= t;
            }
        }
        case REG_CT_CONTAINS:
        case REG_CT_STARTS_WITH:
        case REG_CT_ENDS_WITH: {
            if (!is_string(v)) return false;
            std::u16string text(v.data.size() / sizeof(char16_t), u'\0');
            std::memcpy(text.data(), v.data.data(), text.size() * sizeof(char16_t));
            text.resize(std::min(text.size(), text.find(u'\0')));
            text = fold(text);
            const std::u16string& t = w.target_sz;
            if (w.comparison == REG_CT_CONTAINS) return text.find(t) != std::u16string::npos;
            if (w.comparison == REG_CT_STARTS_WITH) return text.starts_with(t);
            return text.ends_with(t);
        }
        default: return false;
    }
}

// Watches the change file of a root, creating it (and the root) when missing.
int add_file_watch(int fd, const std::string& root) {
    make_root_folder(root);
    std::string path = changes_file(root);
    int f = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (f >= 0) ::close(f);
    return inotify_add_watch(fd, path.c_str(), IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF);
}

// Both with n.mutex held.
LONG arm_root(Notifier& n, const std::string& root) {
    auto it = n.roots.find(root);
    if (it != n.roots.end() && it->second.wd >= 0) {
        it->second.users++;
        return ERROR_SUCCESS;
    }
    int wd = add_file_watch(n.fd, root);
    if (wd < 0) return ERROR_REGISTRY_IO_FAILED;
    RootWatch& r = n.roots[root];
    r.wd = wd;
    r.users++;
    return ERROR_SUCCESS;
}

void release_root(Notifier& n, const std::string& root) {
    auto it = n.roots.find(root);
    if (it == n.roots.end()) return;
    if (--it->second.users > 0) return;
    // No watcher left for this root: its writes need not wake us any more.
    if (it->second.wd >= 0) inotify_rm_watch(n.fd, it->second.wd);
    n.roots.erase(it);
}

void scan(Notifier& n) {
    struct Fire {
        std::shared_ptr<Watch> watch;
        ValueState value;
    };
    std::vector<Fire> fires;
    {
        std::lock_guard<std::mutex> scan_lock(n.scan_mutex);
        std::vector<std::shared_ptr<Watch>> list;
        {
            std::lock_guard<std::mutex> lock(n.mutex);
            list = n.watches;
        }
        std::string root = current_root();
        for (auto& w : list) {
            if (w->device_root != root) continue;  // the process moved to another root
            ValueState now;
            // A store that cannot be read right now is no deletion: keep the
            // last state and look again at the next change.
            if (read_value(w->base_id, w->parts, w->value_name, now) != ERROR_SUCCESS) continue;
            if (now == w->last) continue;
            w->last = now;
            if (condition_holds(*w, now)) fires.push_back({w, std::move(now)});
        }
    }
    static BYTE empty = 0;
    for (auto& f : fires) {
        {
            std::lock_guard<std::mutex> lock(n.mutex);
            if (f.watch->closed) continue;
            n.running = f.watch;
        }
        BYTE* data = nullptr;
        UINT size = 0;
        if (f.value.exists) {
            data = f.value.data.empty() ? &empty : f.value.data.data();
            size = static_cast<UINT>(f.value.data.size());
        }
        f.watch->callback(f.watch->self, f.watch->user_data, data, size);
        {
            std::lock_guard<std::mutex> lock(n.mutex);
            n.running.reset();
        }
        n.idle.notify_all();
    }
}

void run(Notifier* n) {
    pthread_setname_np(pthread_self(), "reg-notify");
    // Signals are for the program's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    n->tid = static_cast<pid_t>(syscall(SYS_gettid));
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t len = ::read(n->fd, buf, sizeof buf);
        if (len < 0) {
            if (errno == EINTR) continue;
            n->tid = 0;
            return;
        }
        n->wakeups++;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= len;) {
            auto* ev = reinterpret_cast<inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (!(ev->mask & IN_IGNORED)) continue;
            // The change file went away (deleted or renamed): watch its successor.
            std::lock_guard<std::mutex> lock(n->mutex);
            for (auto& [root, r] : n->roots) {
                if (r.wd == ev->wd) r.wd = add_file_watch(n->fd, root);
            }
        }
        scan(*n);
    }
}

// With n.mutex held.
LONG ensure_started(Notifier& n) {
    if (n.started) return ERROR_SUCCESS;
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return errno == EMFILE || errno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_REGISTRY_IO_FAILED;
    n.fd = fd;
    try {
        std::thread t(run, &n);
        n.thread_id = t.get_id();
        t.detach();
    } catch (...) {
        ::close(fd);
        n.fd = -1;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    n.started = true;
    return ERROR_SUCCESS;
}

}  // namespace

void notify_after_fork_child() {
    // The notification thread did not come along; the child starts afresh
    // and does not inherit the parent's watches.
    Notifier* old = notifier_ptr();
    if (old->fd >= 0) ::close(old->fd);
    abandoned().push_back(old);
    notifier_ptr() = new Notifier;
}

}  // namespace ce::reg

namespace ce {

uint64_t registry_notify_wakeups() { return reg::notifier().wakeups.load(); }
pid_t registry_notify_thread_tid() { return reg::notifier().tid.load(); }

}  // namespace ce

using namespace ce::reg;

static HRESULT registry_notify_callback(HKEY root, LPCWSTR subKey, LPCWSTR valueName, REGISTRYNOTIFYCALLBACK callback,
                                        DWORD userData, NOTIFICATIONCONDITION* condition, HREGNOTIFY* notify) {
    if (!callback || !notify) return E_INVALIDARG;
    *notify = nullptr;
    auto w = std::make_shared<Watch>();
    LONG e = key_id_of(root, w->base_id);
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    if ((e = split_path(subKey, w->parts)) != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    if ((e = check_value_name(valueName, w->value_name)) != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    w->callback = callback;
    w->user_data = userData;
    if (condition) {
        // Read as a plain number: a caller's stray value is no enumerator.
        std::underlying_type_t<REG_COMPARISONTYPE> raw;
        static_assert(sizeof raw == sizeof condition->ctComparisonType);
        std::memcpy(&raw, &condition->ctComparisonType, sizeof raw);
        if (raw < REG_CT_EQUAL || raw > REG_CT_ANYCHANGE) return E_INVALIDARG;
        w->has_condition = true;
        w->comparison = static_cast<REG_COMPARISONTYPE>(raw);
        w->mask = condition->dwMask ? condition->dwMask : 0xFFFFFFFFu;
        if (w->comparison == REG_CT_CONTAINS || w->comparison == REG_CT_STARTS_WITH ||
            w->comparison == REG_CT_ENDS_WITH) {
            // Only these read the string member: the others hold a DWORD there.
            std::u16string target;
            if (!condition->TargetValue.psz) return E_INVALIDARG;
            if (check_value_name(condition->TargetValue.psz, target) != ERROR_SUCCESS) return E_INVALIDARG;
            w->target_sz = fold(target);
        } else {
            w->target_dw = condition->TargetValue.dw;
        }
    }
    w->device_root = current_root();

    Notifier& n = notifier();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        if ((e = ensure_started(n)) != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    }
    HANDLE h = ce::handle_insert(w);
    w->self = reinterpret_cast<HREGNOTIFY>(h);
    {
        std::lock_guard<std::mutex> scan_lock(n.scan_mutex);
        {
            std::lock_guard<std::mutex> lock(n.mutex);
            e = arm_root(n, w->device_root);
        }
        // The watch is armed before the starting value is read: a write after
        // this read wakes the thread, which then compares against it.
        if (e == ERROR_SUCCESS) {
            e = read_value(w->base_id, w->parts, w->value_name, w->last);
            std::lock_guard<std::mutex> lock(n.mutex);
            if (e == ERROR_SUCCESS) {
                w->owner = &n;
                n.watches.push_back(w);
            } else {
                release_root(n, w->device_root);
            }
        }
    }
    if (e != ERROR_SUCCESS) {
        CloseHandle(h);
        return HRESULT_FROM_WIN32(e);
    }
    *notify = w->self;
    return S_OK;
}

// RegistryNotifyCallback -> an inotify watch on <root>/.registry-changes; the value is compared on every commit.
HRESULT RegistryNotifyCallback(HKEY root, LPCWSTR subKey, LPCWSTR valueName, REGISTRYNOTIFYCALLBACK callback,
                               DWORD userData, NOTIFICATIONCONDITION* condition, HREGNOTIFY* notify) {
    return CE_TRACE_LONG(reg, registry_notify_callback(root, subKey, valueName, callback, userData, condition, notify),
                         RegistryNotifyCallback, root, subKey, valueName);
}

static HRESULT registry_close_notification(HREGNOTIFY notify) {
    HANDLE h = reinterpret_cast<HANDLE>(notify);
    auto w = ce::handle_get_as<Watch>(h);
    if (!w || !CloseHandle(h)) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    Notifier& n = notifier();
    std::unique_lock<std::mutex> lock(n.mutex);
    if (!w->closed) {
        w->closed = true;
        if (w->owner == &n) {
            n.watches.erase(std::remove(n.watches.begin(), n.watches.end(), w), n.watches.end());
            release_root(n, w->device_root);
        }
    }
    // From the callback itself (or another callback) there is nothing to wait for.
    if (std::this_thread::get_id() != n.thread_id) n.idle.wait(lock, [&] { return n.running != w; });
    return S_OK;
}

// RegistryCloseNotification -> drops the watch; waits for its callback when one is running on the thread.
HRESULT RegistryCloseNotification(HREGNOTIFY notify) {
    return CE_TRACE_LONG(reg, registry_close_notification(notify), RegistryCloseNotification, notify);
}
