// Kernel services: handles, events, waits, threads, critical sections,
// interlocked words, the local heap, last-error and the platform clock.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"

namespace ce {

// ---- the handle table ------------------------------------------------------

namespace {

// One handle value. Closing it marks it closed before it leaves the table,
// so that a thread's cached resolution (below) sees the close.
struct HandleEntry {
    explicit HandleEntry(std::shared_ptr<KObject> o) : object(std::move(o)) {}
    std::shared_ptr<KObject> object;
    std::atomic<bool> closed{false};
};

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleEntry>> entries;
    // Handle values count up and are never reused within a process, so a
    // stale handle can only fail, never reach another object.
    uintptr_t next = 0x1000;
};

HandleTable& table() {
    static auto* t = new HandleTable;  // never destroyed: threads may outlive main
    return *t;
}

// The handles a thread used last, resolved without the table's lock: the
// hot calls (setting an event, waiting on it, a device's read) name the same
// few handles again and again, from several threads at once. A weak
// reference, so that a closed handle's object goes when its last user does.
struct CachedHandle {
    uintptr_t value = 0;
    std::weak_ptr<HandleEntry> entry;
};
constexpr size_t kHandleCacheSize = 16;
thread_local CachedHandle t_handle_cache[kHandleCacheSize];

CachedHandle& cache_slot(uintptr_t value) { return t_handle_cache[(value >> 2) % kHandleCacheSize]; }

}  // namespace

BOOL KObject::read(void*, DWORD, DWORD* done) {
    if (done) *done = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KObject::write(const void*, DWORD, DWORD* done) {
    if (done) *done = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KObject::ioctl(DWORD, void*, DWORD, void*, DWORD, DWORD* returned) {
    if (returned) *returned = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
DWORD KObject::seek(LONG, LONG*, DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
}
DWORD KObject::size(DWORD*) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
}

void KObject::signal_all() {
    std::lock_guard<std::mutex> lock(wait_mutex);
    wait_cv.notify_all();
}

HANDLE handle_insert(std::shared_ptr<KObject> object) {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    uintptr_t value = t.next;
    t.next += 4;
    object->handle_count++;
    t.entries.emplace(value, std::make_shared<HandleEntry>(std::move(object)));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KObject> handle_get(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    CachedHandle& slot = cache_slot(value);
    if (slot.value == value) {
        if (auto entry = slot.entry.lock(); entry && !entry->closed.load(std::memory_order_acquire))
            return entry->object;
    }
    auto& t = table();
    std::shared_ptr<HandleEntry> entry;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.entries.find(value);
        if (it == t.entries.end()) return nullptr;
        entry = it->second;
    }
    slot.value = value;
    slot.entry = entry;
    return entry->object;
}

// ---- the platform clock ------------------------------------------------------

namespace {

double read_scale() {
    const char* s = std::getenv("CE_TIME_SCALE");
    if (!s || !*s) return 1.0;
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (end == s || !std::isfinite(v) || v <= 0.0) return 1.0;
    if (v < 0.0005) v = 0.0005;  // below this the clock would only jitter
    if (v > 1000.0) v = 1000.0;
    return v;
}

struct Clock {
    double scale = read_scale();
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    uint32_t tick_start = 0;
    Clock() {
        // CE_TICK_START lets a test start the tick count just below the wrap.
        if (const char* s = std::getenv("CE_TICK_START"))
            tick_start = static_cast<uint32_t>(std::strtoull(s, nullptr, 0));
        else {
            // Like a device's uptime: this host's monotonic time, scaled.
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            double ms = (static_cast<double>(ts.tv_sec) * 1000.0 + ts.tv_nsec / 1e6) / scale;
            tick_start = static_cast<uint32_t>(static_cast<uint64_t>(ms));
        }
    }
};

Clock& clock_state() {
    static Clock c;
    return c;
}

}  // namespace

double time_scale() { return clock_state().scale; }

int64_t platform_ms_to_real_us(int64_t platform_ms) {
    return static_cast<int64_t>(std::llround(static_cast<double>(platform_ms) * 1000.0 * time_scale()));
}

std::chrono::steady_clock::time_point deadline_after(DWORD platform_ms) {
    if (platform_ms == INFINITE) return std::chrono::steady_clock::time_point::max();
    return std::chrono::steady_clock::now() + std::chrono::microseconds(platform_ms_to_real_us(platform_ms));
}

DWORD wait_object(KObject& object, DWORD platform_ms) {
    auto deadline = deadline_after(platform_ms);
    std::unique_lock<std::mutex> lock(object.wait_mutex);
    object.wait_begin();
    struct Leave {
        KObject& o;
        ~Leave() { o.wait_end(); }  // still under the wait lock
    } leave{object};
    while (!object.try_consume()) {
        if (platform_ms == 0) return WAIT_TIMEOUT;
        if (deadline == std::chrono::steady_clock::time_point::max()) {
            object.wait_cv.wait(lock);
        } else if (object.wait_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (object.try_consume()) return WAIT_OBJECT_0;
            return WAIT_TIMEOUT;
        }
    }
    return WAIT_OBJECT_0;
}

// ---- events and threads ------------------------------------------------------

namespace {

class Event : public KObject {
public:
    Event(bool manual, bool initial) : manual_(manual), signalled_(initial) {}
    bool waitable() const override { return true; }
    bool try_consume() override {
        if (signalled_) {
            if (!manual_) signalled_ = false;
            return true;
        }
        // A pulse left one release for each waiter it found (one for an
        // auto-reset event); each is taken once.
        if (pulse_releases_ > 0) {
            pulse_releases_--;
            return true;
        }
        return false;
    }
    void wait_begin() override { waiters_++; }
    void wait_end() override {
        waiters_--;
        // Releases nobody took (their waiter timed out) must not reach a
        // thread that starts waiting after the pulse.
        if (pulse_releases_ > waiters_) pulse_releases_ = waiters_;
    }
    void set() {
        {
            std::lock_guard<std::mutex> lock(wait_mutex);
            signalled_ = true;
        }
        // Woken after the lock is left, so that the waiter does not run only
        // to block on it again. An auto-reset event releases one waiter; the
        // others keep waiting.
        if (manual_) wait_cv.notify_all();
        else wait_cv.notify_one();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(wait_mutex);
        signalled_ = false;
    }
    void pulse() {
        std::lock_guard<std::mutex> lock(wait_mutex);
        // Releases the waiters present now (one of them for an auto-reset
        // event) and leaves the event not signalled. Setting and clearing the
        // state under one lock would release nobody: a woken waiter only runs
        // after the clear.
        signalled_ = false;
        pulse_releases_ = manual_ ? waiters_ : (waiters_ > 0 ? 1 : 0);
        if (pulse_releases_) wait_cv.notify_all();
    }

private:
    bool manual_;
    bool signalled_;
    int waiters_ = 0;
    int pulse_releases_ = 0;
};

class Thread : public KObject {
public:
    bool waitable() const override { return true; }
    bool try_consume() override { return finished; }
    bool finished = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD id = 0;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    std::string name;  // set by the thread itself: a detached one may be gone before its creator could
    std::mutex resume_mutex;
    std::condition_variable resume_cv;
    bool suspended = false;
};

std::atomic<DWORD> next_thread_id{0x100};
thread_local DWORD current_thread_id = 0;
thread_local DWORD last_error = 0;

// A name for a new thread that tells who started it: the module holding the
// start routine and the thread's number among that module's, "Driver.2".
// It shows in /proc/<pid>/task/*/comm, in ps -L and in a debugger.
std::string thread_name_for(LPTHREAD_START_ROUTINE start) {
    std::string stem = "thread";
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(start), &info) && info.dli_fname && *info.dli_fname) {
        std::string file = info.dli_fname;
        file = file.substr(file.find_last_of('/') + 1);
        if (file.rfind("lib", 0) == 0 && file.size() > 3) file.erase(0, 3);
        file = file.substr(0, file.find(".so"));
        if (!file.empty()) stem = file;
    }
    stem = stem.substr(0, 10);
    static std::mutex mutex;
    static std::unordered_map<std::string, unsigned> counts;
    unsigned n;
    {
        std::lock_guard<std::mutex> lock(mutex);
        n = ++counts[stem];
    }
    return stem + "." + std::to_string(n % 10000);
}

void* thread_main(void* arg) {
    // The thread keeps its own reference: its handle may be closed at once.
    auto* holder = static_cast<std::shared_ptr<Thread>*>(arg);
    std::shared_ptr<Thread> self = std::move(*holder);
    delete holder;
    current_thread_id = self->id;
    pthread_setname_np(pthread_self(), self->name.c_str());
    {
        std::unique_lock<std::mutex> lock(self->resume_mutex);
        self->resume_cv.wait(lock, [&] { return !self->suspended; });
    }
    DWORD code = self->start(self->parameter);
    {
        std::lock_guard<std::mutex> lock(self->wait_mutex);
        self->exit_code = code;
        self->finished = true;
        self->wait_cv.notify_all();
    }
    return nullptr;
}

}  // namespace
}  // namespace ce

using namespace ce;
using ce::trace::hex;

// GetLastError -> a thread_local word of this thread.
DWORD GetLastError() { return last_error; }

// SetLastError -> stores the thread_local word.
void SetLastError(DWORD error) { last_error = error; }

// CreateEventW -> a kernel object with a mutex and a condition variable; unnamed events only.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    // Named events are not needed by the system's code: all its events are private.
    if (name && *name) {
        CE_TRACE_FAIL(kernel, ERROR_NOT_SUPPORTED, CreateEventW, manualReset, initialState, name);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return handle_insert(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

static BOOL event_modify(HANDLE handle, DWORD func) {
    auto event = handle_get_as<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (func) {
        case EVENT_SET: event->set(); return TRUE;
        case EVENT_RESET: event->reset(); return TRUE;
        case EVENT_PULSE: event->pulse(); return TRUE;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
}

// EventModify -> sets, resets or pulses the event under its mutex, waking its waiters.
BOOL EventModify(HANDLE handle, DWORD func) {
    return CE_TRACE_RET(kernel, event_modify(handle, func), FALSE, EventModify, handle, func);
}

// SetEvent -> EventModify(EVENT_SET): signalled, its waiters woken (one, for an auto-reset event).
BOOL SetEvent(HANDLE event) { return CE_TRACE_RET(kernel, event_modify(event, EVENT_SET), FALSE, SetEvent, event); }

// ResetEvent -> EventModify(EVENT_RESET): not signalled.
BOOL ResetEvent(HANDLE event) {
    return CE_TRACE_RET(kernel, event_modify(event, EVENT_RESET), FALSE, ResetEvent, event);
}

// PulseEvent -> EventModify(EVENT_PULSE): releases the threads waiting now, then not signalled.
BOOL PulseEvent(HANDLE event) {
    return CE_TRACE_RET(kernel, event_modify(event, EVENT_PULSE), FALSE, PulseEvent, event);
}

// WaitForSingleObject -> a wait on the object's condition variable until the deadline on the scaled clock.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = handle_get(handle);
    if (!object || !object->waitable()) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, WaitForSingleObject, handle, milliseconds);
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return wait_object(*object, milliseconds);
}

// WaitForMultipleObjects -> any one of the objects, looked at in 1 ms real steps (no wait-all).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    // Waits for any one of the objects. The system waits on single objects
    // only; this serves tools and tests, polling in 1 ms real steps.
    if (count == 0 || count > 64 || !handles || waitAll) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_PARAMETER, WaitForMultipleObjects, count, waitAll, milliseconds);
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KObject>> objects;
    for (DWORD i = 0; i < count; i++) {
        auto o = handle_get(handles[i]);
        if (!o || !o->waitable()) {
            CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, WaitForMultipleObjects, count, waitAll, milliseconds);
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(o));
    }
    auto deadline = deadline_after(milliseconds);
    for (;;) {
        for (DWORD i = 0; i < count; i++) {
            std::lock_guard<std::mutex> lock(objects[i]->wait_mutex);
            if (objects[i]->try_consume()) return WAIT_OBJECT_0 + i;
        }
        if (std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// CloseHandle -> drops the handle table's reference; waiters and readers keep their own until they return.
BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<KObject> object;
    bool last = false;
    {
        auto& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.entries.end()) {
            CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, CloseHandle, handle);
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        it->second->closed.store(true, std::memory_order_release);
        object = it->second->object;
        t.entries.erase(it);
        last = --object->handle_count == 0;
    }
    if (last) object->on_last_handle_closed();
    return TRUE;
}

// DuplicateHandle -> a new handle value on the same object, in this process only.
BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL, DWORD) {
    auto object = handle_get(source);
    if (!object || !target) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, DuplicateHandle, source);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *target = handle_insert(std::move(object));
    return TRUE;
}

// ---- critical sections ---------------------------------------------------------

// InitializeCriticalSection -> a recursive pthread mutex.
void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    auto* m = new pthread_mutex_t;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);  // critical sections nest
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    section->LockImpl = m;
    section->OwnerThread = 0;
    section->LockCount = 0;
}

// DeleteCriticalSection -> pthread_mutex_destroy; a second delete does nothing.
void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (!section || !section->LockImpl) return;
    auto* m = static_cast<pthread_mutex_t*>(section->LockImpl);
    pthread_mutex_destroy(m);
    delete m;
    section->LockImpl = nullptr;
}

// EnterCriticalSection -> pthread_mutex_lock.
void EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(section->LockImpl));
}

// TryEnterCriticalSection -> pthread_mutex_trylock.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return pthread_mutex_trylock(static_cast<pthread_mutex_t*>(section->LockImpl)) == 0;
}

// LeaveCriticalSection -> pthread_mutex_unlock.
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(section->LockImpl));
}

// ---- threads ---------------------------------------------------------------------

// CreateThread -> a detached pthread named after its module, holding its own reference to the thread object.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD threadId) {
    if (!start) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_PARAMETER, CreateThread, stackSize, start, hex(flags));
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    thread->id = next_thread_id.fetch_add(1);
    thread->start = start;
    thread->parameter = parameter;
    thread->name = thread_name_for(start);
    thread->suspended = (flags & CREATE_SUSPENDED) != 0;
    HANDLE handle = handle_insert(thread);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    size_t stack = stackSize ? std::max<size_t>(stackSize, 256 * 1024) : 0;
    if (stack) pthread_attr_setstacksize(&attr, stack);
    pthread_t tid;
    auto* holder = new std::shared_ptr<Thread>(thread);
    int rc = pthread_create(&tid, &attr, thread_main, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        CloseHandle(handle);
        CE_TRACE_FAIL(kernel, ERROR_NOT_ENOUGH_MEMORY, CreateThread, stackSize, start, hex(flags));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId) *threadId = thread->id;
    return handle;
}

// ResumeThread -> releases a thread created with CREATE_SUSPENDED; the previous suspend count.
DWORD ResumeThread(HANDLE handle) {
    auto thread = handle_get_as<Thread>(handle);
    if (!thread) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, ResumeThread, handle);
        SetLastError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    std::lock_guard<std::mutex> lock(thread->resume_mutex);
    DWORD previous = thread->suspended ? 1 : 0;
    thread->suspended = false;
    thread->resume_cv.notify_all();
    return previous;
}

// GetExitCodeThread -> the start routine's result, or STILL_ACTIVE while it runs.
BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = handle_get_as<Thread>(handle);
    if (!thread || !exitCode) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, GetExitCodeThread, handle);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(thread->wait_mutex);
    *exitCode = thread->exit_code;
    return TRUE;
}

// SetThreadPriority -> accepted and ignored: priorities are advisory on a desktop scheduler.
BOOL SetThreadPriority(HANDLE handle, int) {
    // Priorities are advisory on a desktop scheduler; accepted and ignored.
    if (!handle_get_as<Thread>(handle) && handle != GetCurrentThread()) {
        CE_TRACE_FAIL(kernel, ERROR_INVALID_HANDLE, SetThreadPriority, handle);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// GetCurrentThreadId -> libce's own number for the thread, given at its first use; never reused.
DWORD GetCurrentThreadId() {
    if (current_thread_id == 0) current_thread_id = next_thread_id.fetch_add(1);
    return current_thread_id;
}

// GetCurrentProcessId -> getpid(2).
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

// GetCurrentThread -> the pseudo handle -2, as on the device.
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

// GetCurrentProcess -> the pseudo handle -1, as on the device.
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// Sleep -> sleep_for the scaled time (CE_TIME_SCALE); 0 is sched_yield, INFINITE never returns.
void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(platform_ms_to_real_us(milliseconds)));
}

// GetTickCount -> CLOCK_MONOTONIC milliseconds, scaled by CE_TIME_SCALE (or from CE_TICK_START); wraps at 2^32.
DWORD GetTickCount() {
    auto& c = clock_state();
    auto elapsed = std::chrono::steady_clock::now() - c.start;
    double ms = std::chrono::duration<double, std::milli>(elapsed).count() / c.scale;
    // Wraps at 2^32 like the device's counter.
    return c.tick_start + static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

namespace {
void to_systemtime(const std::tm& t, long ms, LPSYSTEMTIME out) {
    out->wYear = static_cast<WORD>(t.tm_year + 1900);
    out->wMonth = static_cast<WORD>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    out->wDay = static_cast<WORD>(t.tm_mday);
    out->wHour = static_cast<WORD>(t.tm_hour);
    out->wMinute = static_cast<WORD>(t.tm_min);
    out->wSecond = static_cast<WORD>(t.tm_sec);
    out->wMilliseconds = static_cast<WORD>(ms);
}
}  // namespace

// GetLocalTime -> gettimeofday(2) and localtime_r(3).
void GetLocalTime(LPSYSTEMTIME time) {
    if (!time) return;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm t{};
    localtime_r(&tv.tv_sec, &t);
    to_systemtime(t, tv.tv_usec / 1000, time);
}

// GetSystemTime -> gettimeofday(2) and gmtime_r(3).
void GetSystemTime(LPSYSTEMTIME time) {
    if (!time) return;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm t{};
    gmtime_r(&tv.tv_sec, &t);
    to_systemtime(t, tv.tv_usec / 1000, time);
}

// ---- interlocked and heap ----------------------------------------------------------

// InterlockedIncrement -> __atomic_add_fetch, sequentially consistent.
LONG InterlockedIncrement(LONG volatile* target) {
    return __atomic_add_fetch(const_cast<LONG*>(target), 1, __ATOMIC_SEQ_CST);
}

// InterlockedDecrement -> __atomic_sub_fetch, sequentially consistent.
LONG InterlockedDecrement(LONG volatile* target) {
    return __atomic_sub_fetch(const_cast<LONG*>(target), 1, __ATOMIC_SEQ_CST);
}

// InterlockedExchange -> __atomic_exchange_n, sequentially consistent.
LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(const_cast<LONG*>(target), value, __ATOMIC_SEQ_CST);
}

// InterlockedCompareExchange -> __atomic_compare_exchange_n; the value found.
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(const_cast<LONG*>(target), &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

// LocalAlloc -> calloc(3) for LMEM_ZEROINIT, else malloc(3); a zero size still gives a unique block.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!p) {
        CE_TRACE_FAIL(kernel, ERROR_NOT_ENOUGH_MEMORY, LocalAlloc, hex(flags), bytes);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return p;
}

// LocalFree -> free(3); NULL back.
HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
