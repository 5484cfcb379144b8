// The window broker across processes: a window registered by another
// process (host_window_owner) is listed, answers Send, Post, text and
// foreground requests through cehost, and a request waiting on it fails
// with 1400 instead of hanging when its owner dies or the host stops.
#include <fcntl.h>

#include <atomic>

#include "host_support.h"
#include "window_broker.h"

using namespace hosttest;
using ce::broker::Kind;

namespace {

constexpr uint32_t kHold = 0x8002;  // the owner holds this Send until "release"

// The owner program, with a pipe to its stdin and one from its stdout.
class Owner {
public:
    Owner() {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string program = bin("host_window_owner");
        char* argv[] = {program.data(), nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Owner() {
        kill_now();
        close(to_);
        close(from_);
    }

    // The next line it printed; empty when it ended or said nothing for a
    // minute (a hang guard, not a timing check).
    std::string line() {
        for (;;) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            pollfd p{from_, POLLIN, 0};
            char chunk[256];
            ssize_t n = poll(&p, 1, 60000) > 0 ? read(from_, chunk, sizeof chunk) : 0;
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    void release() { ASSERT_EQ(write(to_, "release\n", 8), 8); }
    void kill_now() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    pid_t pid() const { return pid_; }

    // Waits for its window; the handle it printed.
    uint64_t start() {
        EXPECT_EQ(line(), "refused");
        std::string ready = line();
        EXPECT_EQ(ready.rfind("ready ", 0), 0u) << ready << host_log();
        return ready.size() > 6 ? std::stoull(ready.substr(6)) : 0;
    }

private:
    pid_t pid_ = 0;
    int to_ = -1, from_ = -1;
    std::string buffer_;
};

// A Send run on a thread of its own, so the test can watch it wait.
struct PendingSend {
    explicit PendingSend(uint64_t hwnd) {
        thread = std::thread([this, hwnd] {
            ce::broker::Request r;
            r.hwnd = hwnd;
            r.message = kHold;
            result = ce::broker::forward(r);
            done = true;
        });
    }
    ce::broker::Result finish() {
        thread.join();
        return result;
    }
    std::thread thread;
    std::atomic<bool> done{false};
    ce::broker::Result result;
};

class HostWindows : public ::testing::Test {
protected:
    void SetUp() override { host.start(); }
    Host host;
};

TEST_F(HostWindows, AWindowOfAnotherProcessIsListedAndAnswers) {
    Owner owner;
    uint64_t hwnd = owner.start();
    ASSERT_EQ(hwnd >> 32, static_cast<uint64_t>(owner.pid()));
    const std::string h = std::to_string(hwnd);
    EXPECT_NE(host_log().find("refused window"), std::string::npos) << host_log();

    auto list = [] { return cectl({"window", "list"}); };
    RunResult r = list();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, h + "\tTstWindow\tOwner One\t" + std::to_string(owner.pid()) + "\n");

    r = cectl({"window", "send", h, "0x8001", "3", "-4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2996\n");

    r = cectl({"window", "post", h, "0x8010", "9"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(owner.line(), "posted 32784 9");

    EXPECT_EQ(cectl({"window", "text", h, "--set", "Tervalon \xc3\xa9"}).status, 0);
    EXPECT_EQ(cectl({"window", "text", h}).out, "Tervalon \xc3\xa9\n");
    EXPECT_NE(list().out.find("\tTstWindow\tTervalon \xc3\xa9\t"), std::string::npos);
    EXPECT_EQ(cectl({"window", "text", h, "5", "--set", "abc"}).status, 0);
    EXPECT_EQ(cectl({"window", "text", h, "5"}).out, "abc\n");
    EXPECT_EQ(cectl({"window", "text", h, "9"}).status, 1);

    ce::broker::Request fg;
    fg.kind = Kind::Foreground;
    fg.hwnd = hwnd;
    EXPECT_TRUE(ce::broker::forward(fg).ok);
    EXPECT_EQ(owner.line(), "foreground");
    EXPECT_EQ(ce::broker::foreground(), hwnd);

    // Unknown windows, including one of a live process that never listed it.
    EXPECT_EQ(cectl({"window", "send", "123", "1"}).status, 1);
    fg.hwnd = hwnd + 1;
    auto unknown = ce::broker::forward(fg);
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.error, ce::broker::kInvalidWindow);
}

TEST_F(HostWindows, ASendWaitsForItsOwnerAndFailsWhenTheOwnerDies) {
    Owner owner;
    uint64_t hwnd = owner.start();
    {
        PendingSend send(hwnd);
        ASSERT_EQ(owner.line(), "holding");
        // The owner's handler has not returned, so the Send must still wait.
        EXPECT_FALSE(send.done);
        owner.release();
        auto result = send.finish();
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.value, 77);
    }
    PendingSend send(hwnd);
    ASSERT_EQ(owner.line(), "holding");
    owner.kill_now();
    auto result = send.finish();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ce::broker::kInvalidWindow);
    auto list = ce::broker::list();
    ASSERT_TRUE(list.has_value());
    EXPECT_TRUE(list->empty());
    EXPECT_NE(host_log().find("window request(s) abandoned"), std::string::npos) << host_log();
}

TEST_F(HostWindows, StoppingTheHostReleasesAWaitingSend) {
    Owner owner;
    uint64_t hwnd = owner.start();
    PendingSend send(hwnd);
    ASSERT_EQ(owner.line(), "holding");
    host.stop();
    auto result = send.finish();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ce::broker::kInvalidWindow);
    EXPECT_NE(host_log().find("stopping: 1 window request(s) abandoned"), std::string::npos) << host_log();
    // Without a host nothing is listed, and nothing starts one.
    RunResult r = cectl({"window", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(ce::broker::list().has_value());
    EXPECT_FALSE(ce::host_running());
}

}  // namespace
