// cehost as a service manager runs it: in the foreground, told where to send
// its notices (NOTIFY_SOCKET) and that stderr is the journal. The driver the
// host's settings name is loaded before the host says it is ready, and a
// SIGTERM unloads it and ends the host with status 0.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <cstddef>
#include <cstring>
#include <filesystem>

#include "host_support.h"

using namespace hosttest;

namespace {

// A datagram socket standing in for the manager's, at a path or (with a
// leading '@') an abstract name.
struct NotifySocket {
    int fd = -1;
    std::string address;
    explicit NotifySocket(const std::string& name) : address(name) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, name.data(), name.size());
        if (name[0] == '@') a.sun_path[0] = '\0';
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~NotifySocket() {
        if (fd >= 0) close(fd);
    }
    // The next notice, or "" when none came in time.
    std::string next(int seconds = 60) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, seconds * 1000) <= 0) return {};
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

class HostService : public ::testing::TestWithParam<bool> {};

TEST_P(HostService, ReadyWithTheDriverLoadedAndSigtermUnloadsIt) {
    const bool abstract = GetParam();
    cetest::TempRoot root;
    tst_key(u"Drivers\\TstService", 4);
    set_sz(u"Platform\\Host", u"Activate", u"Drivers\\TstService");

    NotifySocket manager(abstract ? "@ce-service-test-" + std::to_string(getpid()) : root.path() + "/notify");
    ASSERT_GE(manager.fd, 0) << manager.address;

    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    struct stat pipe_stat {};
    ASSERT_EQ(fstat(err[1], &pipe_stat), 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) env.emplace_back(*e);
    env.push_back("NOTIFY_SOCKET=" + manager.address);
    env.push_back("JOURNAL_STREAM=" + std::to_string(pipe_stat.st_dev) + ":" + std::to_string(pipe_stat.st_ino));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string host = bin("cehost");
    std::vector<char*> argv = {host.data(), const_cast<char*>("--root"), const_cast<char*>(root.path().c_str()),
                               const_cast<char*>("--foreground"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    const pid_t host_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    struct Reaper {
        pid_t& pid;
        ~Reaper() {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{pid};

    // Ready only once the driver is loaded and its port published.
    std::string ready = manager.next();
    ASSERT_NE(ready.find("READY=1"), std::string::npos) << ready << host_log();
    EXPECT_NE(ready.find("STATUS=serving " + root.path() + "; activated TST4:"), std::string::npos) << ready;
    EXPECT_NE(tst_log().find("TST4: Init "), std::string::npos) << tst_log();
    EXPECT_TRUE(std::filesystem::is_symlink(root.path() + "/dev/TST4"));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(manager.next().rfind("STOPPING=1\n", 0), 0u);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60)) << host_log();
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(log_has("TST4: Deinit")) << tst_log();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root.path() + "/dev/TST4")));

    // The journal got the log's lines, without the stamp and name it adds
    // itself; the log file has them too.
    std::string journal = drain(err[0]);
    close(err[0]);
    EXPECT_NE(journal.find("\nstopped\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find("\nserving " + root.path() + "/.cehost/socket\n"), std::string::npos) << journal;
    EXPECT_NE(host_log().find("cehost[" + std::to_string(host_pid) + "]"), std::string::npos);
    // Its stderr is the pipe here, not the log: a sanitizer's report lands in it.
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
        EXPECT_EQ(journal.find(mark), std::string::npos) << journal;
}

INSTANTIATE_TEST_SUITE_P(Socket, HostService, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Abstract" : "Path"; });

}  // namespace
