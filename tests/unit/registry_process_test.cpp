// The registry shared between processes: concurrent writers lose nothing, and
// change notifications reach other processes without the notification thread
// ever waking while nothing changes.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../platform/registry/registry_internal.h"
#include "ce_platform.h"
#include "regext.h"
#include "test_support.h"
#include "windows.h"

namespace {

using namespace std::chrono_literals;

// Runs body in a forked child; the child's exit status is body's result.
pid_t spawn(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(RegistryProcess, ConcurrentWritersFromSeveralProcessesLoseNothing) {
    cetest::TempRoot root;
    // The parent uses the store before forking: the children must not share
    // its connection.
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Concurrent", u"Parent", 1), S_OK);

    constexpr int kChildren = 3, kValues = 150;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; c++) {
        children.push_back(spawn([&, c] {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 0) return 2;  // start together when the pipe closes
            int failures = 0;
            for (int i = 0; i < kValues; i++) {
                std::u16string name = ce::widen("c" + std::to_string(c) + "_" + std::to_string(i));
                if (RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Concurrent", name.c_str(), c * 1000 + i) != S_OK) failures++;
                // Key creation races on the same parents too.
                std::u16string path =
                    ce::widen("Concurrent\\Tree\\" + std::to_string(i % 7) + "\\c" + std::to_string(c));
                HKEY k = nullptr;
                if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr) !=
                    ERROR_SUCCESS)
                    failures++;
                else RegCloseKey(k);
            }
            return failures ? 1 : 0;
        }));
    }
    close(go[0]);
    close(go[1]);
    for (pid_t p : children) EXPECT_EQ(wait_exit(p), 0);

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Concurrent", 0, KEY_READ, &k), ERROR_SUCCESS);
    std::map<std::string, DWORD> values;
    for (DWORD i = 0;; i++) {
        WCHAR name[64];
        DWORD name_size = 64, v = 0, size = 4;
        LONG e = RegEnumValueW(k, i, name, &name_size, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        values[ce::narrow(name)] = v;
    }
    RegCloseKey(k);
    ASSERT_EQ(values.size(), static_cast<size_t>(kChildren * kValues + 1));
    for (int c = 0; c < kChildren; c++) {
        for (int i = 0; i < kValues; i++) {
            EXPECT_EQ(values["c" + std::to_string(c) + "_" + std::to_string(i)], static_cast<DWORD>(c * 1000 + i));
        }
    }
    for (int t = 0; t < 7; t++) {
        for (int c = 0; c < kChildren; c++) {
            std::u16string path = ce::widen("Concurrent\\Tree\\" + std::to_string(t) + "\\c" + std::to_string(c));
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
            RegCloseKey(k);
        }
    }
}

// Another process sees a transaction's writes all at once when it commits,
// or never; a write in it that the registry answers with "not found" is
// undone alone.
TEST(RegistryProcess, ATransactionIsSeenWholeOrNotAtAll) {
    cetest::TempRoot root;
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Tx", u"Old", 1), S_OK);
    auto elsewhere = [](const char16_t* name) {
        return wait_exit(spawn([name] {
            DWORD v = 0;
            return RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Tx", name, &v) == S_OK ? static_cast<int>(v) : 99;
        }));
    };
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Tx", 0, 0, &k), ERROR_SUCCESS);
    for (bool commit : {false, true}) {
        ce::RegistryTransaction transaction;
        ASSERT_EQ(transaction.error(), ERROR_SUCCESS);
        ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Tx", u"A", 2), S_OK);
        EXPECT_EQ(RegDeleteValueW(k, u"Missing"), ERROR_FILE_NOT_FOUND);
        ASSERT_EQ(RegDeleteValueW(k, u"Old"), ERROR_SUCCESS);
        DWORD v = 0;
        EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Tx", u"A", &v), S_OK) << "its own writes are seen inside";
        EXPECT_EQ(elsewhere(u"A"), 99);
        EXPECT_EQ(elsewhere(u"Old"), 1);
        if (commit) EXPECT_EQ(transaction.commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(elsewhere(u"A"), 2);
    EXPECT_EQ(elsewhere(u"Old"), 99);
    RegCloseKey(k);
}

// ---- notifications -------------------------------------------------------------

// What the callbacks saw, by user data (the callback gets a DWORD, not a pointer).
struct Seen {
    bool exists;
    std::vector<BYTE> data;
    DWORD dword() const {
        DWORD v = 0xFFFFFFFF;
        if (data.size() == 4) std::memcpy(&v, data.data(), 4);
        return v;
    }
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<DWORD, std::vector<Seen>> calls;
    std::thread::id last_thread;

    void add(DWORD user, const BYTE* data, UINT size) {
        std::lock_guard<std::mutex> lock(mutex);
        calls[user].push_back({data != nullptr, std::vector<BYTE>(data, data + (data ? size : 0))});
        last_thread = std::this_thread::get_id();
        cv.notify_all();
    }
    size_t count(DWORD user) {
        std::lock_guard<std::mutex> lock(mutex);
        return calls[user].size();
    }
    // Waits (generously) until user has seen n calls.
    bool wait_for(DWORD user, size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, [&] { return calls[user].size() >= n; });
    }
    Seen at(DWORD user, size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        return calls[user].at(i);
    }
};

Recorder* recorder = nullptr;

void record(HREGNOTIFY, DWORD user, const PBYTE data, const UINT size) { recorder->add(user, data, size); }

class RegistryNotify : public ::testing::Test {
protected:
    void SetUp() override { recorder = new Recorder; }
    void TearDown() override {
        for (HREGNOTIFY h : handles) RegistryCloseNotification(h);
        delete recorder;
        recorder = nullptr;
    }
    HREGNOTIFY watch(const char16_t* key, const char16_t* value, DWORD user, NOTIFICATIONCONDITION* cond = nullptr,
                     REGISTRYNOTIFYCALLBACK cb = record) {
        HREGNOTIFY h = nullptr;
        EXPECT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, key, value, cb, user, cond, &h), S_OK);
        if (h) handles.push_back(h);
        return h;
    }
    cetest::TempRoot root;
    std::vector<HREGNOTIFY> handles;
};

const char16_t* kHardware = u"System\\State\\Hardware";

long voluntary_switches(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

TEST_F(RegistryNotify, WriteInAnotherProcessReachesTheCallback) {
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 0), S_OK);
    watch(kHardware, u"Headset", 3149);
    auto start = std::chrono::steady_clock::now();
    pid_t child = spawn([] { return RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 1) == S_OK ? 0 : 1; });
    EXPECT_EQ(wait_exit(child), 0);
    ASSERT_TRUE(recorder->wait_for(3149, 1));
    // A generous bound: the benchmark measures the real figure.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    Seen s = recorder->at(3149, 0);
    EXPECT_TRUE(s.exists);
    EXPECT_EQ(s.dword(), 1u);
    EXPECT_NE(recorder->last_thread, std::this_thread::get_id());

    // Deleting the value is a change too: no data.
    child = spawn([] {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHardware, 0, 0, &k) != ERROR_SUCCESS) return 1;
        LONG e = RegDeleteValueW(k, u"Headset");
        RegCloseKey(k);
        return e == ERROR_SUCCESS ? 0 : 1;
    });
    EXPECT_EQ(wait_exit(child), 0);
    ASSERT_TRUE(recorder->wait_for(3149, 2));
    EXPECT_FALSE(recorder->at(3149, 1).exists);
}

TEST_F(RegistryNotify, NothingFiresAndTheThreadSleepsWhileNothingChanges) {
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 0), S_OK);
    watch(kHardware, u"Headset", 1);
    pid_t tid = 0;
    for (int i = 0; i < 200 && !(tid = ce::registry_notify_thread_tid()); i++) std::this_thread::sleep_for(5ms);
    ASSERT_NE(tid, 0);
    std::this_thread::sleep_for(50ms);  // let it settle into its wait

    uint64_t wakeups = ce::registry_notify_wakeups();
    long switches = voluntary_switches(tid);
    ASSERT_GE(switches, 0);
    // Reads, opens and creates of existing keys are no changes.
    auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until) {
        DWORD v;
        EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", &v), S_OK);
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kHardware, 0, nullptr, 0, 0, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(k);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ce::registry_notify_wakeups(), wakeups);
    EXPECT_EQ(voluntary_switches(tid), switches);
    EXPECT_EQ(recorder->count(1), 0u);

    // Writing other values, or the same bytes again, wakes the thread but
    // calls nobody back.
    watch(kHardware, u"Marker", 2);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 0), S_OK);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Other", 5), S_OK);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Marker", 1), S_OK);
    ASSERT_TRUE(recorder->wait_for(2, 1));
    EXPECT_GT(ce::registry_notify_wakeups(), wakeups);
    EXPECT_EQ(recorder->count(1), 0u);
}

TEST_F(RegistryNotify, ConditionsDecideWhichChangesCallBack) {
    NOTIFICATIONCONDITION greater{};
    greater.ctComparisonType = REG_CT_GREATER;
    greater.dwMask = 0xFFFFFFFF;
    greater.TargetValue.dw = 2;
    watch(kHardware, u"Level", 10, &greater);
    NOTIFICATIONCONDITION masked{};
    masked.ctComparisonType = REG_CT_EQUAL;
    masked.dwMask = 0x0F;
    masked.TargetValue.dw = 3;
    watch(kHardware, u"Level", 11, &masked);
    NOTIFICATIONCONDITION starts{};
    starts.ctComparisonType = REG_CT_STARTS_WITH;
    starts.TargetValue.psz = u"gpd";
    watch(kHardware, u"Port", 12, &starts);
    watch(kHardware, u"Level", 19);
    watch(kHardware, u"Tick", 90);

    // A scan reads one watch after another while writes go on: one scan may
    // see a write for one watch and not yet for another, which the next scan
    // catches up on. So each expected callback is waited for itself, and a
    // callback that must not come is looked for only once every watch has
    // been read after the write: a tick written after the write and seen,
    // then a second tick seen, comes from a scan that began after the first
    // tick's scan, and so after the write.
    DWORD ticks = 0;
    auto settle = [&] {
        for (int round = 0; round < 2; round++) {
            ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Tick", ++ticks), S_OK);
            ASSERT_TRUE(recorder->wait_for(90, ticks));
        }
    };
    auto set_level = [&](DWORD v) { ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Level", v), S_OK); };
    set_level(1);
    settle();
    EXPECT_EQ(recorder->count(10), 0u);
    EXPECT_EQ(recorder->count(11), 0u);
    set_level(5);
    ASSERT_TRUE(recorder->wait_for(10, 1));
    EXPECT_EQ(recorder->at(10, 0).dword(), 5u);
    settle();
    EXPECT_EQ(recorder->count(11), 0u);
    set_level(0x13);  // 0x13 > 2, and 0x13 & 0x0F == 3
    ASSERT_TRUE(recorder->wait_for(10, 2));
    EXPECT_EQ(recorder->at(10, 1).dword(), 0x13u);
    ASSERT_TRUE(recorder->wait_for(11, 1));
    EXPECT_EQ(recorder->at(11, 0).dword(), 0x13u);

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHardware, 0, 0, &k), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(k, u"Level"), ERROR_SUCCESS);
    ASSERT_TRUE(recorder->wait_for(19, 4));
    EXPECT_FALSE(recorder->at(19, 3).exists);
    settle();
    EXPECT_EQ(recorder->count(10), 2u);  // a deleted value meets no comparison
    EXPECT_EQ(recorder->count(11), 1u);

    auto set_port = [&](const std::u16string& text) {
        ASSERT_EQ(RegSetValueExW(k, u"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * 2)),
                  ERROR_SUCCESS);
    };
    set_port(u"COM4:");
    settle();
    EXPECT_EQ(recorder->count(12), 0u);
    set_port(u"GPD0:");
    ASSERT_TRUE(recorder->wait_for(12, 1));
    settle();
    EXPECT_EQ(recorder->count(12), 1u);
    RegCloseKey(k);
}

TEST_F(RegistryNotify, WatchedValueOfAKeyThatComesAndGoes) {
    const char16_t* path = u"Drivers\\Later";
    watch(path, u"Value", 4);
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    DWORD v = 9;
    ASSERT_EQ(RegSetValueExW(k, u"value", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    RegCloseKey(k);
    ASSERT_TRUE(recorder->wait_for(4, 1));
    EXPECT_EQ(recorder->at(4, 0).dword(), 9u);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers"), ERROR_SUCCESS);
    ASSERT_TRUE(recorder->wait_for(4, 2));
    EXPECT_FALSE(recorder->at(4, 1).exists);
}

// A callback that takes its time, to close its notification meanwhile.
std::atomic<bool> slow_entered{false}, slow_finished{false};
void slow_callback(HREGNOTIFY, DWORD user, const PBYTE data, const UINT size) {
    slow_entered = true;
    std::this_thread::sleep_for(300ms);
    slow_finished = true;
    recorder->add(user, data, size);
}

TEST_F(RegistryNotify, ClosingWaitsForARunningCallbackAndStopsDelivery) {
    slow_entered = slow_finished = false;
    HREGNOTIFY slow = nullptr;
    ASSERT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", slow_callback, 5, nullptr, &slow),
              S_OK);
    watch(kHardware, u"Headset", 6);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 1), S_OK);
    for (int i = 0; i < 1000 && !slow_entered; i++) std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(slow_entered);
    EXPECT_EQ(RegistryCloseNotification(slow), S_OK);
    EXPECT_TRUE(slow_finished);  // returned only after the callback did
    EXPECT_TRUE(FAILED(RegistryCloseNotification(slow)));

    ASSERT_TRUE(recorder->wait_for(6, 1));
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 2), S_OK);
    ASSERT_TRUE(recorder->wait_for(6, 2));
    EXPECT_EQ(recorder->count(5), 1u);
}

// A callback that uses the registry and then ends its own notification.
HREGNOTIFY self_closing = nullptr;
std::atomic<HRESULT> self_close_result{E_FAIL};
void reentrant_callback(HREGNOTIFY h, DWORD user, const PBYTE data, const UINT size) {
    DWORD v = 0;
    RegistryGetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", &v);
    RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Echo", v);
    self_close_result = RegistryCloseNotification(h);
    recorder->add(user, data, size);
}

TEST_F(RegistryNotify, CallbackMayUseTheRegistryAndCloseItself) {
    ASSERT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", reentrant_callback, 7, nullptr,
                                     &self_closing),
              S_OK);
    watch(kHardware, u"Echo", 8);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 1), S_OK);
    ASSERT_TRUE(recorder->wait_for(8, 1));
    EXPECT_EQ(recorder->at(8, 0).dword(), 1u);
    EXPECT_EQ(self_close_result.load(), S_OK);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Headset", 2), S_OK);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, kHardware, u"Echo", 3), S_OK);
    ASSERT_TRUE(recorder->wait_for(8, 2));
    EXPECT_EQ(recorder->count(7), 1u);
}

TEST_F(RegistryNotify, BadArgumentsAreRefused) {
    HREGNOTIFY h = nullptr;
    EXPECT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", nullptr, 0, nullptr, &h), E_INVALIDARG);
    EXPECT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", record, 0, nullptr, nullptr),
              E_INVALIDARG);
    NOTIFICATIONCONDITION bad{};
    const unsigned stray = 77;  // no enumerator: written as the raw number a caller might leave there
    std::memcpy(&bad.ctComparisonType, &stray, sizeof stray);
    EXPECT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", record, 0, &bad, &h), E_INVALIDARG);
    NOTIFICATIONCONDITION no_text{};
    no_text.ctComparisonType = REG_CT_CONTAINS;
    EXPECT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, kHardware, u"Headset", record, 0, &no_text, &h), E_INVALIDARG);
    EXPECT_TRUE(FAILED(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, u"A\\\\B", u"X", record, 0, nullptr, &h)));
    EXPECT_TRUE(FAILED(RegistryNotifyCallback(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x777)), u"A", u"X", record,
                                              0, nullptr, &h)));
    EXPECT_TRUE(FAILED(RegistryCloseNotification(reinterpret_cast<HREGNOTIFY>(static_cast<uintptr_t>(0x999)))));
    EXPECT_TRUE(FAILED(RegistryCloseNotification(nullptr)));
}

}  // namespace
