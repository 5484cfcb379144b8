// The device manager across processes: activation and the Active entries,
// refusals, stream calls from a client process, clients that block, die or
// outlive their device, the boot of Drivers\Builtin, malformed frames, the
// headset state and the command-line tools.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "devload.h"
#include "hello_flood.h"
#include "host_support.h"
#include "pegdser.h"
#include "regext.h"

using namespace hosttest;

namespace {

struct ActiveEntry {
    std::u16string key, name;
    DWORD hnd = 0;
    DWORD extra = 0;
};

std::vector<ActiveEntry> active_entries() {
    std::vector<ActiveEntry> out;
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD len = 256;
        if (RegEnumKeyExW(active, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(active, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        ActiveEntry e;
        WCHAR text[300] = {};
        DWORD size = sizeof text - 2;
        if (RegQueryValueExW(sub, u"Key", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size) == ERROR_SUCCESS)
            e.key = text;
        std::memset(text, 0, sizeof text);
        size = sizeof text - 2;
        if (RegQueryValueExW(sub, u"Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size) == ERROR_SUCCESS)
            e.name = text;
        size = 4;
        RegQueryValueExW(sub, u"Hnd", nullptr, nullptr, reinterpret_cast<LPBYTE>(&e.hnd), &size);
        size = 4;
        RegQueryValueExW(sub, u"Extra", nullptr, nullptr, reinterpret_cast<LPBYTE>(&e.extra), &size);
        RegCloseKey(sub);
        out.push_back(e);
    }
    RegCloseKey(active);
    return out;
}

const ActiveEntry* find_entry(const std::vector<ActiveEntry>& list, const std::u16string& key) {
    for (const auto& e : list) {
        if (e.key == key) return &e;
    }
    return nullptr;
}

DWORD handle_value(HANDLE h) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(h)); }

HANDLE open_port(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class HostDevices : public ::testing::Test {
protected:
    void SetUp() override {
        tst_key(u"Drivers\\Tst1", 1);
        host.start();
    }
    Host host;
};

TEST_F(HostDevices, ActivationWritesTheActiveEntryAndDeactivationRemovesIt) {
    DWORD extra = 7, forged = 99;
    const char16_t fake_key[] = u"Drivers\\Other", fake_name[] = u"COM1:";
    // A caller's entries never replace the values that say which device this is.
    REGINI ents[] = {{u"Extra", reinterpret_cast<LPBYTE>(&extra), 4, REG_DWORD},
                     {u"key", reinterpret_cast<LPBYTE>(const_cast<char16_t*>(fake_key)), sizeof fake_key, REG_SZ},
                     {u"Name", reinterpret_cast<LPBYTE>(const_cast<char16_t*>(fake_name)), sizeof fake_name, REG_SZ},
                     {u"Hnd", reinterpret_cast<LPBYTE>(&forged), 4, REG_DWORD}};
    HANDLE h = ActivateDeviceEx(u"Drivers\\Tst1", ents, 4, nullptr);
    ASSERT_NE(h, nullptr) << host_log();
    EXPECT_LE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFFu);

    auto entries = active_entries();
    const ActiveEntry* e = find_entry(entries, u"Drivers\\Tst1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->hnd, handle_value(h));
    EXPECT_EQ(e->name, u"TST1:");
    EXPECT_EQ(e->extra, 7u);  // written before Init
    EXPECT_NE(find_entry(entries, u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer"), nullptr);

    RunResult devices = cectl({"devices"});
    EXPECT_EQ(devices.status, 0);
    EXPECT_NE(devices.out.find("TST1:\tDrivers\\Tst1\t" + std::to_string(handle_value(h)) + "\n"), std::string::npos)
        << devices.out;
    EXPECT_NE(devices.out.find("GPD0:\t"), std::string::npos);

    ASSERT_TRUE(DeactivateDevice(h));
    EXPECT_EQ(find_entry(active_entries(), u"Drivers\\Tst1"), nullptr);
    EXPECT_TRUE(in_order(lines_of(tst_log()), {"TST1: Init Drivers\\Tst1", "TST1: Deinit"})) << tst_log();
    EXPECT_FALSE(DeactivateDevice(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The name is free again.
    HANDLE again = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, h);
    EXPECT_TRUE(DeactivateDevice(again));
}

TEST_F(HostDevices, RefusedActivationsLeaveNothingBehind) {
    HANDLE h = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);

    tst_key(u"Drivers\\Tst1b", 1);  // same name, TST1:
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Tst1b", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_IN_USE));

    tst_key(u"Drivers\\TstFail", 5);
    set_dword(u"Drivers\\TstFail", u"FailInit", 1);
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\TstFail", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPEN_FAILED));

    tst_key(u"Drivers\\Empty", 6, u"TstEmpty.dll");
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Empty", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(host_log().find("activate Drivers\\Empty: TstEmpty.dll lacks the stream entry points TST_Init TST_Deinit "
                              "TST_Open TST_Close; not activated"),
              std::string::npos)
        << host_log();

    tst_key(u"Drivers\\NoLib", 7, u"NoSuchDriver.dll");
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\NoLib", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Missing", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    set_sz(u"Drivers\\BadPrefix", u"Dll", u"TstDriver.dll");
    set_sz(u"Drivers\\BadPrefix", u"Prefix", u"T1");
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\BadPrefix", nullptr, 0, nullptr), nullptr);

    // Only the first device is active; the original is untouched.
    auto entries = active_entries();
    EXPECT_EQ(entries.size(), 2u);  // TST1: and GPD0:
    EXPECT_NE(find_entry(entries, u"Drivers\\Tst1"), nullptr);
    HANDLE port = open_port(u"TST1:");
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    EXPECT_TRUE(DeactivateDevice(h));
}

TEST_F(HostDevices, StreamCallsFromAClientReachTheDriver) {
    tst_key(u"Drivers\\TstRefuse", 4);
    set_dword(u"Drivers\\TstRefuse", u"RefuseOpen", 1);
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    HANDLE refusing = ActivateDeviceEx(u"Drivers\\TstRefuse", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    ASSERT_NE(refusing, nullptr);

    EXPECT_EQ(open_port(u"TST4:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open_port(u"XYZ7:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE port = CreateFileW(u"TST1:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port, "hello", 5, &done, nullptr));
    EXPECT_EQ(done, 5u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(std::string(buf, done), "hello");
    DWORD answer = 0, returned = 0, flags = PURGE_RXCLEAR;
    ASSERT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_PURGE, &flags, 4, &answer, 4, &returned, nullptr));
    EXPECT_EQ(answer, 0x5A5A5A5Au);
    EXPECT_EQ(returned, 4u);
    EXPECT_TRUE(SetCommMask(port, 0x81));
    EXPECT_EQ(SetFilePointer(port, 12, nullptr, FILE_BEGIN), 12u);
    ASSERT_TRUE(CloseHandle(port));

    EXPECT_TRUE(
        in_order(lines_of(tst_log()), {"TST1: Open 80000000 1", "TST1: Write hello", "TST1: Read hello",
                                       "TST1: IOControl 001B0044 8", "TST1: IOControl 001B0028 129", "TST1: Close"}))
        << tst_log();
    EXPECT_TRUE(DeactivateDevice(refusing));
    EXPECT_TRUE(DeactivateDevice(dev));
}

TEST_F(HostDevices, ABlockedReadDoesNotHoldUpAnotherClient) {
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    HANDLE port = open_port(u"TST1:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::string got;
    std::thread reader([&] {
        char buf[16];
        DWORD done = 0;
        if (ReadFile(port, buf, sizeof buf, &done, nullptr)) got.assign(buf, done);
    });
    ASSERT_TRUE(eventually([] { return log_has("TST1: Read waiting"); }));
    // Another process opens, writes and closes while this one's read is
    // inside the driver; its write is what releases the read.
    RunResult other = cectl({"port", "TST1:", "--write", "ping"});
    EXPECT_EQ(other.status, 0);
    reader.join();
    EXPECT_EQ(got, "ping");
    CloseHandle(port);
    EXPECT_TRUE(DeactivateDevice(dev));
}

TEST_F(HostDevices, AKilledClientHasItsOpenClosed) {
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    std::string cectl_path = bin("cectl");
    std::string root = ce::root();
    char* argv[] = {cectl_path.data(),
                    const_cast<char*>("--root"),
                    root.data(),
                    const_cast<char*>("port"),
                    const_cast<char*>("TST1:"),
                    const_cast<char*>("--read-ms"),
                    const_cast<char*>("100000000"),
                    nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    ASSERT_TRUE(eventually([] { return log_has("TST1: Read waiting"); })) << tst_log();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(eventually([] { return log_has("TST1: Close"); })) << tst_log();
    EXPECT_TRUE(DeactivateDevice(dev));
}

TEST_F(HostDevices, DeactivationWhileAClientIsBlockedInARead) {
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    HANDLE port = open_port(u"TST1:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        char buf[16];
        DWORD done = 0;
        BOOL ok = ReadFile(port, buf, sizeof buf, &done, nullptr);
        result = ok ? static_cast<int>(done) : -2;
    });
    ASSERT_TRUE(eventually([] { return log_has("TST1: Read waiting"); }));
    EXPECT_TRUE(DeactivateDevice(dev));
    reader.join();
    EXPECT_TRUE(result == 0 || result == -2) << result;
    // The handle outlives its device: calls fail, closing is fine.
    char c;
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(port, &c, 1, &done, nullptr));
    EXPECT_FALSE(WriteFile(port, "x", 1, &done, nullptr));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(in_order(lines_of(tst_log()), {"TST1: Close", "TST1: Deinit"})) << tst_log();
}

int connect_raw() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, ce::host_socket_path().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// Whether the host ends the connection (rather than it staying open).
bool closed_by_host(int fd) {
    char c;
    ssize_t n;
    while ((n = recv(fd, &c, 1, 0)) > 0) {}
    close(fd);
    return n == 0;
}

TEST_F(HostDevices, MalformedFramesEndOnlyTheirConnection) {
    struct stat st {};
    ASSERT_EQ(stat(ce::host_socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    HANDLE port = open_port(u"TST1:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    // A header announcing a huge frame.
    int a = connect_raw();
    uint32_t huge[3] = {0x7FFFFFFF, 1, 0};
    send(a, huge, sizeof huge, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_host(a));
    // A call before the hello; an unknown operation.
    int b = connect_raw();
    uint32_t early[3] = {4, 7 /* read */, 0};
    send(b, early, sizeof early, MSG_NOSIGNAL);
    send(b, "\0\0\0\0", 4, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_host(b));
    int c = connect_raw();
    uint32_t unknown[3] = {0, 0x7777, 0};
    send(c, unknown, sizeof unknown, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_host(c));
    // A hello of the right protocol without a session token.
    int d = connect_raw();
    uint32_t hello[6] = {12, 1 /* hello */, 0, 1 /* version */, 0, 0 /* token */};
    send(d, hello, sizeof hello, MSG_NOSIGNAL);
    EXPECT_TRUE(closed_by_host(d));

    DWORD done = 0;
    char buf[8];
    ASSERT_TRUE(WriteFile(port, "ok", 2, &done, nullptr));
    ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(std::string(buf, done), "ok");
    CloseHandle(port);
    EXPECT_TRUE(DeactivateDevice(dev));
    EXPECT_NE(host_log().find("sent a malformed request; connection closed"), std::string::npos);
    EXPECT_NE(host_log().find("introduced itself without a session token; connection closed"), std::string::npos)
        << host_log();
}

TEST_F(HostDevices, PeersOfAnotherUserAreRefused) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // Open the way to the socket, so that only the host's own check stands.
    std::string socket_path = ce::host_socket_path();
    ASSERT_EQ(chmod(ce::root().c_str(), 0711), 0);
    ASSERT_EQ(chmod((ce::root() + "/.cehost").c_str(), 0711), 0);
    ASSERT_EQ(chmod(socket_path.c_str(), 0666), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, socket_path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(3);
        // A well-formed hello; the host answers nobody of another user.
        uint32_t frame[6] = {12, 1, 0, 1, 0x1234, 0};
        send(fd, frame, sizeof frame, MSG_NOSIGNAL);
        char c;
        _exit(recv(fd, &c, 1, 0) <= 0 ? 0 : 4);  // closed (or reset) without an answer
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(host_log().find("refused a connection from uid 65534"), std::string::npos) << host_log();
}

TEST_F(HostDevices, CommandLineTools) {
    RunResult act = cectl({"activate", "HKLM\\Drivers\\Tst1"});
    ASSERT_EQ(act.status, 0);
    std::string handle = act.out.substr(0, act.out.find('\n'));
    RunResult port =
        cectl({"port", "TST1", "--write", "a\\x01\\r\\n", "--write-hex", "ff 00", "--read-ms", "2000", "--hex"});
    EXPECT_EQ(port.status, 0);
    EXPECT_EQ(port.out, "61 01 0d 0a ff 00\n");
    RunResult taken = cectl({"activate", "Drivers\\Tst1"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_TRUE(taken.out.empty());
    EXPECT_EQ(cectl({"port", "NOP3:"}).status, 1);
    EXPECT_EQ(cectl({"deactivate", handle}).status, 0);
    EXPECT_EQ(cectl({"deactivate", handle}).status, 1);
    EXPECT_EQ(cectl({"deactivate", "banana"}).status, 1);

    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(cectl({"stop"}).status, 0);
    EXPECT_FALSE(ce::host_running());
    EXPECT_TRUE(log_has("TST1: Deinit"));
    EXPECT_TRUE(active_entries().empty() || find_entry(active_entries(), u"Drivers\\Tst1") == nullptr);
}

std::mutex headset_mutex;
std::condition_variable headset_cv;
std::vector<DWORD> headset_values;

void on_headset(HREGNOTIFY, DWORD user, const PBYTE data, const UINT size) {
    if (user != 3149 || !data || size != 4) return;
    DWORD v;
    std::memcpy(&v, data, 4);
    std::lock_guard<std::mutex> lock(headset_mutex);
    headset_values.push_back(v);
    headset_cv.notify_all();
}

TEST_F(HostDevices, HeadsetStateReachesObservers) {
    DWORD value = 99;
    ASSERT_TRUE(SUCCEEDED(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", &value)));
    EXPECT_EQ(value, 0u);  // the host provides the value from the start
    HREGNOTIFY notify = nullptr;
    ASSERT_TRUE(SUCCEEDED(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", on_headset,
                                                 3149, nullptr, &notify)));
    auto wait_for = [](DWORD v) {
        std::unique_lock<std::mutex> lock(headset_mutex);
        return headset_cv.wait_for(lock, std::chrono::seconds(60),
                                   [&] { return !headset_values.empty() && headset_values.back() == v; });
    };
    EXPECT_EQ(cectl({"headset", "on"}).status, 0);
    EXPECT_TRUE(wait_for(1));
    EXPECT_EQ(cectl({"headset", "off"}).status, 0);
    EXPECT_TRUE(wait_for(0));
    EXPECT_EQ(cectl({"headset", "maybe"}).status, 1);
    RegistryCloseNotification(notify);
}

TEST(HostStart, ClientsStartOneHostOnDemand) {
    cetest::TempRoot root;
    struct StopAtEnd {
        ~StopAtEnd() { ce::stop_host(); }
    } stop_at_end;
    // Four clients find no host at once.
    std::vector<pid_t> clients;
    std::string cectl_path = bin("cectl");
    for (int i = 0; i < 4; i++) {
        char* argv[] = {cectl_path.data(), const_cast<char*>("devices"), nullptr};
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
        clients.push_back(pid);
    }
    for (pid_t pid : clients) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    size_t starts = 0;
    for (const auto& line : lines_of(host_log()))
        starts += line.find("cehost[") != std::string::npos && line.find("starting for") != std::string::npos;
    EXPECT_EQ(starts, 1u) << host_log();

    // This process keeps connections to the host; after a restart its next
    // calls reach the new host.
    ASSERT_TRUE(ce::list_devices().has_value());
    ASSERT_TRUE(ce::stop_host());
    EXPECT_FALSE(ce::host_running());
    auto list = ce::list_devices();  // starts the next host
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->size(), 1u);  // GPD0:
    EXPECT_EQ(ActivateDeviceEx(u"Drivers\\Nothing", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(HostBoot, BuiltinKeysActivateByOrder) {
    Host host;
    tst_key(u"Drivers\\Builtin\\Later", 2);
    set_dword(u"Drivers\\Builtin\\Later", u"Order", 20);
    tst_key(u"Drivers\\Builtin\\Sooner", 3);
    set_dword(u"Drivers\\Builtin\\Sooner", u"Order", 10);
    set_dword(u"Drivers\\Builtin\\NotADriver", u"Order", 1);  // no Dll
    host.start();
    auto list = ce::list_devices();
    ASSERT_TRUE(list.has_value());
    std::vector<std::string> names;
    for (const auto& d : *list) names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"GPD0:", "TST3:", "TST2:"}));
    EXPECT_TRUE(
        in_order(lines_of(tst_log()), {"TST3: Init Drivers\\Builtin\\Sooner", "TST2: Init Drivers\\Builtin\\Later"}));
    // SIGTERM deactivates everything too.
    kill(host.pid(), SIGTERM);
    EXPECT_TRUE(eventually([&] { return !alive(host.pid()); }));
    EXPECT_TRUE(in_order(lines_of(tst_log()), {"TST2: Deinit", "TST3: Deinit"})) << tst_log();
}

}  // namespace

namespace {

// A raw connection that has said hello (its reply read); -1 when the host
// closed it instead.
int introduced() {
    int fd = connect_raw();
    const uint32_t hello[6] = {12, 1 /* hello */, 0, 1 /* version */, 0x1234, 0 /* token */};
    send(fd, hello, sizeof hello, MSG_NOSIGNAL);
    char c;
    if (recv(fd, &c, 1, 0) == 1) return fd;
    close(fd);
    return -1;
}

// Connections that have not said hello hold a thread each: they are dropped
// a short time after their connect however they spread their bytes, one
// user's are held to half the limit (the oldest goes), and beyond the limit
// new connections are refused; real clients go on.
TEST(HostConnections, SilentConnectionsAreDroppedAndTheirNumberIsCapped) {
    setenv("CE_HOST_HELLO_MS", "300", 1);
    setenv("CE_HOST_MAX_CONNECTIONS", "8", 1);
    Host host;
    host.start();
    unsetenv("CE_HOST_HELLO_MS");
    unsetenv("CE_HOST_MAX_CONNECTIONS");

    // A byte every 100 ms keeps the line busy, but the Hello's time runs
    // from the connect: the host hangs up before the last byte, unanswered.
    const uint32_t hello[6] = {12, 1, 0, 1, 0x1234, 0};
    int slow = connect_raw();
    for (size_t i = 0; i < sizeof hello; i++) {
        send(slow, reinterpret_cast<const char*>(hello) + i, 1, MSG_NOSIGNAL);
        pollfd p{slow, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) break;
    }
    char c;
    EXPECT_LE(recv(slow, &c, 1, 0), 0) << "a Hello spread over 2.4 s was answered";
    close(slow);

    // Half the limit may wait at once: the fifth silent connection pushes out
    // the first (connecting until it happens within one 300 ms window).
    std::vector<int> silent;
    EXPECT_TRUE(eventually([&] {
        silent.push_back(connect_raw());
        return host_log().find("have not introduced themselves, at most 4; closed the oldest") != std::string::npos;
    })) << host_log();
    for (int fd : silent) EXPECT_TRUE(closed_by_host(fd));
    EXPECT_NE(host_log().find("did not introduce itself within 300 ms; connection closed"), std::string::npos);
    EXPECT_EQ(cectl({"devices"}).status, 0);

    // Eight clients fill the limit (once the threads of those before have
    // ended); the ninth connection is refused at once.
    std::vector<int> clients;
    ASSERT_TRUE(eventually([&] {
        if (int fd = introduced(); fd >= 0) clients.push_back(fd);
        return clients.size() == 8;
    }));
    EXPECT_TRUE(closed_by_host(connect_raw()));
    EXPECT_TRUE(eventually([] { return host_log().find("at most 8; refusing new ones") != std::string::npos; }));
    // Their places come free as they leave.
    for (int fd : clients) close(fd);
    EXPECT_TRUE(eventually([] { return cectl({"devices"}).status == 0; }));
}

// 512 connections that each send a byte of their Hello every two seconds,
// reopened whenever the host closes one, never keep a client out.
TEST(HostConnections, ADribblingFloodDoesNotLockOutAClient) {
    Host host;
    host.start();
    tst_key(u"Drivers\\Tst1", 1);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    cetest::HelloFlood flood(ce::host_socket_path(), 512, std::chrono::seconds(2));
    // Right after the flood arrived, and again once the closed ones have
    // come back and been closed again.
    for (uint64_t closed : {0, 512}) {
        ASSERT_TRUE(eventually([&] { return flood.closed_by_host() >= closed; }));
        RunResult devices = cectl({"devices"}, 120);
        EXPECT_EQ(devices.status, 0);
        EXPECT_NE(devices.out.find("TST1:"), std::string::npos) << devices.out;
    }
    EXPECT_NE(host_log().find("have not introduced themselves, at most 256; closed the oldest"), std::string::npos);
}

}  // namespace

namespace {

std::vector<std::string> cectl_argv(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("cectl"), "--root", ce::root()});
    return args;
}

// A driver call that ignores every release (TST's "hold") holds up neither
// the clean-up of other clients, nor the deactivation of its device, nor the
// host's stop; what had to be left is logged, and runs once the call returns.
TEST(HostStuckDriver, OneClientsCleanUpNeverWaitsOnAnother) {
    setenv("CE_HOST_CLOSE_MS", "600000", 1);  // a close that waits as long as it takes
    Host host;
    host.start();
    unsetenv("CE_HOST_CLOSE_MS");
    tst_key(u"Drivers\\Tst1", 1);
    tst_key(u"Drivers\\Tst2", 2);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst2", nullptr, 0, nullptr), nullptr);
    auto held = spawn(cectl_argv({"port", "TST1:", "--write", "hold"}));
    ASSERT_TRUE(eventually([] { return log_has("TST1: Write hold"); })) << tst_log();
    auto reader = spawn(cectl_argv({"port", "TST2:", "--read-ms", "100000000"}));
    ASSERT_TRUE(eventually([] { return log_has("TST2: Read waiting"); })) << tst_log();
    held->kill_now();  // its clean-up now waits for the held call
    reader->kill_now();
    EXPECT_TRUE(eventually([] { return log_has("TST2: Close"); }, 20)) << tst_log();
    EXPECT_FALSE(log_has("TST1: Close"));
    std::ofstream(ce::root() + "/tst.release").put('\n');
    EXPECT_TRUE(eventually([] { return log_has("TST1: Close"); }, 20)) << tst_log();
}

TEST(HostStuckDriver, DeactivationAndStopEndInBoundedTime) {
    setenv("CE_HOST_CLOSE_MS", "300", 1);
    Host host;
    host.start();
    unsetenv("CE_HOST_CLOSE_MS");
    tst_key(u"Drivers\\Tst1", 1);
    tst_key(u"Drivers\\Tst2", 2);
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst2", nullptr, 0, nullptr), nullptr);
    auto held = spawn(cectl_argv({"port", "TST1:", "--write", "hold"}));
    ASSERT_TRUE(eventually([] { return log_has("TST1: Write hold"); })) << tst_log();

    // The device goes at once; Close and Deinit follow the call's return.
    EXPECT_TRUE(DeactivateDevice(dev));
    EXPECT_EQ(cectl({"devices"}).out.find("TST1:"), std::string::npos);
    EXPECT_NE(host_log().find("1 call(s) still inside TST1: 300 ms after the close"), std::string::npos) << host_log();
    EXPECT_FALSE(log_has("TST1: Deinit"));
    std::ofstream(ce::root() + "/tst.release").put('\n');
    EXPECT_TRUE(eventually([] { return log_has("TST1: Deinit"); }, 20)) << tst_log();
    EXPECT_TRUE(in_order(lines_of(tst_log()), {"TST1: Write released", "TST1: Close", "TST1: Deinit"})) << tst_log();

    // A held call at the stop: the host still ends, and says what it left.
    std::filesystem::remove(ce::root() + "/tst.release");
    auto held2 = spawn(cectl_argv({"port", "TST2:", "--write", "hold"}));
    ASSERT_TRUE(eventually([] { return log_has("TST2: Write hold"); })) << tst_log();
    EXPECT_EQ(cectl({"stop"}, 60).status, 0);
    EXPECT_TRUE(eventually([&] { return !alive(host.pid()); }, 20));
    EXPECT_NE(host_log().find("left behind"), std::string::npos) << host_log();
}

}  // namespace
