// Kernel services: events and waits, the scaled and wrapping clock, handle
// lifetime, threads, critical sections, interlocked words, the local heap and
// the per-thread last error. Clock tests run in a child process (this same
// program) started with CE_TIME_SCALE / CE_TICK_START, since the clock reads
// them once per process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ce_platform.h"
#include "windows.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls until pred holds or a generous deadline passes.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Waiter {
    HANDLE event;
    std::atomic<int>* released;
};

DWORD wait_then_count(LPVOID p) {
    auto* w = static_cast<Waiter*>(p);
    if (WaitForSingleObject(w->event, INFINITE) == WAIT_OBJECT_0) w->released->fetch_add(1);
    return 0;
}

std::vector<HANDLE> start_waiters(Waiter& w, int n) {
    std::vector<HANDLE> threads;
    for (int i = 0; i < n; i++) {
        HANDLE t = CreateThread(nullptr, 0, wait_then_count, &w, 0, nullptr);
        EXPECT_NE(t, nullptr);
        threads.push_back(t);
    }
    return threads;
}

void join(const std::vector<HANDLE>& threads) {
    for (HANDLE t : threads) {
        EXPECT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
        CloseHandle(t);
    }
}

TEST(KernelEvents, AutoResetReleasesExactlyOneWaiterPerSet) {
    std::atomic<int> released{0};
    Waiter w{CreateEventW(nullptr, FALSE, FALSE, nullptr), &released};
    auto threads = start_waiters(w, 3);
    for (int expected = 1; expected <= 3; expected++) {
        ASSERT_TRUE(SetEvent(w.event));
        ASSERT_TRUE(eventually([&] { return released.load() >= expected; }));
        // A second waiter must not slip through on the same signal.
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(released.load(), expected);
    }
    join(threads);
    // Taken by the last waiter: nothing left signalled.
    EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_TIMEOUT);
    CloseHandle(w.event);
}

TEST(KernelEvents, ManualResetReleasesAllAndStaysSignalled) {
    std::atomic<int> released{0};
    Waiter w{CreateEventW(nullptr, TRUE, FALSE, nullptr), &released};
    auto threads = start_waiters(w, 4);
    ASSERT_TRUE(SetEvent(w.event));
    EXPECT_TRUE(eventually([&] { return released.load() == 4; }));
    join(threads);
    EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(w.event));
    EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_TIMEOUT);
    CloseHandle(w.event);
}

TEST(KernelEvents, PulseReleasesWaitersAndLeavesEventClear) {
    for (BOOL manual : {TRUE, FALSE}) {
        SCOPED_TRACE(manual ? "manual reset" : "auto reset");
        std::atomic<int> released{0};
        Waiter w{CreateEventW(nullptr, manual, FALSE, nullptr), &released};
        auto threads = start_waiters(w, 3);
        // Waiters that have not reached their wait yet miss a pulse, so pulse
        // until all are through; an auto-reset pulse frees at most one.
        auto end = Clock::now() + 20s;
        while (released.load() < 3 && Clock::now() < end) {
            int before = released.load();
            ASSERT_TRUE(PulseEvent(w.event));
            std::this_thread::sleep_for(5ms);
            if (!manual) {
                EXPECT_LE(released.load() - before, 1);
            }
        }
        EXPECT_EQ(released.load(), 3);
        join(threads);
        EXPECT_EQ(WaitForSingleObject(w.event, 0), WAIT_TIMEOUT);
        CloseHandle(w.event);
    }
}

TEST(KernelEvents, PulseWithoutWaitersReleasesNobodyLater) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(PulseEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(e, 20), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(KernelEvents, BadHandlesFailCleanly) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x12345)));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    HANDLE e = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[] = {other, e};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
    ASSERT_TRUE(CloseHandle(e));
    EXPECT_FALSE(CloseHandle(e));  // twice: the handle is gone
    EXPECT_FALSE(SetEvent(e));
    CloseHandle(other);
}

struct CloseRace {
    HANDLE event;
    std::atomic<bool> waiting{false};
    std::atomic<DWORD> result{0};
    std::atomic<BOOL> set_after{TRUE};
};

DWORD wait_briefly(LPVOID p) {
    auto* r = static_cast<CloseRace*>(p);
    r->waiting = true;
    r->result = WaitForSingleObject(r->event, 300);
    // This thread resolved the handle before another closed it: it must fail now.
    r->set_after = SetEvent(r->event);
    return 0;
}

TEST(KernelHandles, CloseWhileAnotherThreadWaitsIsSafe) {
    CloseRace race;
    race.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, wait_briefly, &race, 0, nullptr);
    ASSERT_TRUE(eventually([&] { return race.waiting.load(); }));
    std::this_thread::sleep_for(20ms);
    // The waiter holds its own reference: closing the last handle must not
    // free the object under it (ASan would report it).
    ASSERT_TRUE(CloseHandle(race.event));
    EXPECT_FALSE(SetEvent(race.event));
    ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(race.result.load(), WAIT_TIMEOUT);
    EXPECT_FALSE(race.set_after.load());
    CloseHandle(t);
}

TEST(KernelHandles, DuplicateKeepsObjectAfterOriginalCloses) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE, 0));
    ASSERT_TRUE(CloseHandle(e));
    ASSERT_TRUE(SetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
    CloseHandle(copy);
}

struct ThreadProbe {
    std::atomic<DWORD> seen_id{0};
    HANDLE go;
};

DWORD report_id(LPVOID p) {
    auto* probe = static_cast<ThreadProbe*>(p);
    WaitForSingleObject(probe->go, INFINITE);
    probe->seen_id = GetCurrentThreadId();
    return 77;
}

TEST(KernelThreads, IdExitCodeAndEarlyClose) {
    ThreadProbe probe;
    probe.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, report_id, &probe, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    SetEvent(probe.go);
    ASSERT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 77u);
    EXPECT_EQ(probe.seen_id.load(), id);
    CloseHandle(t);

    // The driver closes a thread's handle at once and keeps only its id:
    // the thread runs on regardless.
    ThreadProbe second;
    second.go = probe.go;
    DWORD id2 = 0;
    HANDLE t2 = CreateThread(nullptr, 0, report_id, &second, 0, &id2);
    ASSERT_TRUE(CloseHandle(t2));
    EXPECT_TRUE(eventually([&] { return second.seen_id.load() == id2; }));
    EXPECT_NE(id2, id);
    CloseHandle(probe.go);
}

TEST(KernelThreads, SuspendedThreadWaitsForResume) {
    ThreadProbe probe;
    probe.go = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, report_id, &probe, CREATE_SUSPENDED, &id);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.seen_id.load(), 0u);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.seen_id.load(), id);
    CloseHandle(t);
    CloseHandle(probe.go);
}

struct SectionProbe {
    CRITICAL_SECTION* section;
    std::atomic<int> result{-1};
};

DWORD try_section(LPVOID p) {
    auto* probe = static_cast<SectionProbe*>(p);
    BOOL got = TryEnterCriticalSection(probe->section);
    if (got) LeaveCriticalSection(probe->section);
    probe->result = got ? 1 : 0;
    return 0;
}

int try_from_other_thread(CRITICAL_SECTION* cs) {
    SectionProbe probe{cs};
    HANDLE t = CreateThread(nullptr, 0, try_section, &probe, 0, nullptr);
    WaitForSingleObject(t, 20000);
    CloseHandle(t);
    return probe.result.load();
}

TEST(KernelSync, CriticalSectionsNestPerThread) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // the owner enters again without blocking
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_EQ(try_from_other_thread(&cs), 0);  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_EQ(try_from_other_thread(&cs), 1);
    DeleteCriticalSection(&cs);
}

struct Counter {
    LONG volatile value = 0;
    CRITICAL_SECTION cs;
    long plain = 0;
};

DWORD hammer(LPVOID p) {
    auto* c = static_cast<Counter*>(p);
    for (int i = 0; i < 20000; i++) {
        InterlockedIncrement(&c->value);
        EnterCriticalSection(&c->cs);
        c->plain++;
        LeaveCriticalSection(&c->cs);
    }
    for (int i = 0; i < 5000; i++) InterlockedDecrement(&c->value);
    return 0;
}

TEST(KernelSync, InterlockedAndCriticalSectionsLoseNoUpdates) {
    Counter c;
    InitializeCriticalSection(&c.cs);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; i++) threads.push_back(CreateThread(nullptr, 0, hammer, &c, 0, nullptr));
    join(threads);
    EXPECT_EQ(c.value, 4 * 15000);
    EXPECT_EQ(c.plain, 4 * 20000);
    DeleteCriticalSection(&c.cs);

    LONG v = 5;
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no match: unchanged
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
}

TEST(KernelHeap, ZeroInitReallyZeroes) {
    const size_t size = 64 * 1024;
    // Dirty a block of the same size first, so that the allocator has
    // non-zero memory to hand back.
    for (int round = 0; round < 4; round++) {
        void* dirty = LocalAlloc(LMEM_FIXED, size);
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xA5, size);
        LocalFree(dirty);
        auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, size));
        ASSERT_NE(p, nullptr);
        size_t nonzero = 0;
        for (size_t i = 0; i < size; i++) nonzero += p[i] != 0;
        EXPECT_EQ(nonzero, 0u);
        EXPECT_EQ(LocalFree(p), nullptr);
    }
    void* empty = LocalAlloc(LPTR, 0);  // a zero-size block is still a block
    EXPECT_NE(empty, nullptr);
    LocalFree(empty);
}

DWORD set_own_error(LPVOID p) {
    SetLastError(7);
    *static_cast<DWORD*>(p) = GetLastError();
    return 0;
}

TEST(KernelErrors, LastErrorIsPerThread) {
    SetLastError(5);
    DWORD seen = 0;
    HANDLE t = CreateThread(nullptr, 0, set_own_error, &seen, 0, nullptr);
    WaitForSingleObject(t, 20000);
    CloseHandle(t);
    EXPECT_EQ(seen, 7u);
    EXPECT_EQ(GetLastError(), 5u);
}

// ---- the clock, in a child process ------------------------------------------------

std::string self_path() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Runs this program as a child in clock mode `which` with the given
// environment; returns its output, which ends with "child-ok" when every
// check passed there.
std::string run_child(const std::string& which, const std::string& env) {
    std::string cmd = env + " CE_KERNEL_CHILD=" + which + " '" + self_path() + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p)) out += buffer;
    int status = pclose(p);
    if (status != 0) out += "\nchild exit status " + std::to_string(status);
    return out;
}

int failures = 0;
void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("failed: %s\n", what);
        failures++;
    }
}

void child_scaled_waits() {
    check(ce::time_scale() == 0.01, "scale 0.01 taken from CE_TIME_SCALE");
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto start = Clock::now();
    check(WaitForSingleObject(e, 1000) == WAIT_TIMEOUT, "wait times out");
    Sleep(1000);
    // 2000 platform ms at scale 0.01 are 20 real ms; a generous bound only.
    check(Clock::now() - start < 900ms, "1000 ms wait and sleep well under a real second");
    DWORD t0 = GetTickCount();
    Sleep(100);
    check(GetTickCount() - t0 >= 100u, "the tick count runs on platform time");
    CloseHandle(e);
}

void child_tick_wrap() {
    DWORD t0 = GetTickCount();
    check(t0 >= 0xFFFFFF00u, "CE_TICK_START sets where the count starts");
    Sleep(1000);
    DWORD t1 = GetTickCount();
    check(t1 < t0, "the count wrapped past zero");
    check(t1 - t0 >= 1000u && t1 - t0 < 1000000u, "differences stay right across the wrap");
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD before = GetTickCount();
    check(WaitForSingleObject(e, 300) == WAIT_TIMEOUT, "a wait across the wrap times out");
    check(GetTickCount() - before >= 300u, "and lasts its platform time");
    CloseHandle(e);
}

// In the child the checks run before GoogleTest starts, and it exits there.
const bool child_mode = [] {
    const char* which = std::getenv("CE_KERNEL_CHILD");
    if (!which) return false;
    if (std::strcmp(which, "scale") == 0) child_scaled_waits();
    else if (std::strcmp(which, "wrap") == 0) child_tick_wrap();
    else check(false, "known child mode");
    if (failures == 0) std::printf("child-ok\n");
    std::fflush(stdout);
    std::_Exit(failures == 0 ? 0 : 1);
    return true;
}();

TEST(KernelClock, ScaleSpeedsUpWaitsSleepsAndTicks) {
    std::string out = run_child("scale", "CE_TIME_SCALE=0.01");
    EXPECT_NE(out.find("child-ok"), std::string::npos) << out;
}

TEST(KernelClock, TickCountWrapsAt32Bits) {
    std::string out = run_child("wrap", "CE_TIME_SCALE=0.01 CE_TICK_START=0xFFFFFF00");
    EXPECT_NE(out.find("child-ok"), std::string::npos) << out;
}

}  // namespace
