// Devices published as pseudo-terminals: a plain POSIX program talks to the
// driver through <root>/dev/NAME.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "host_support.h"

using namespace hosttest;

namespace {

class HostPty : public ::testing::Test {
protected:
    void SetUp() override {
        tst_key(u"Drivers\\Tst1", 1);
        tst_key(u"Drivers\\Tst4", 4);
        set_dword(u"Drivers\\Tst4", u"RefuseOpen", 1);
        host.start();
    }
    Host host;
};

TEST_F(HostPty, APosixProgramTalksToTheDriver) {
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    std::string link = ce::root() + "/dev/TST1";
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    RunResult probe = run({bin("host_pty_probe"), link, "echo"});
    EXPECT_EQ(probe.status, 0);
    ASSERT_TRUE(eventually([] { return log_has("TST1: Close"); })) << tst_log();
    const std::string bytes = "he\\x0d\\x0a\\x00\\x7f\\x03\\xffo";
    EXPECT_TRUE(in_order(lines_of(tst_log()), {"TST1: Open C0000000 0", "TST1: Write " + bytes, "TST1: Read " + bytes,
                                                "TST1: IOControl 001B0044 8", "TST1: Close"}))
        << tst_log();

    // Opening again opens the device again.
    EXPECT_EQ(run({bin("host_pty_probe"), link, "echo"}).status, 0) << tst_log() << host_log();
    EXPECT_TRUE(DeactivateDevice(dev));
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // unpublished with the device
}

TEST_F(HostPty, ARefusedOpenHangsUpTheProgram) {
    HANDLE dev = ActivateDeviceEx(u"Drivers\\Tst4", nullptr, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    std::string link = ce::root() + "/dev/TST4";
    EXPECT_EQ(run({bin("host_pty_probe"), link, "hangup"}).status, 0);
    EXPECT_TRUE(eventually([] { return host_log().find("TST4: the driver refused the open") != std::string::npos; }))
        << host_log();
    // The port is published again for the next program.
    struct stat st {};
    EXPECT_TRUE(eventually([&] { return stat(link.c_str(), &st) == 0; }));
    EXPECT_TRUE(DeactivateDevice(dev));
}

}  // namespace

namespace {

// A host killed with its devices published leaves links to terminals that are
// gone; the next host removes them when it starts.
TEST_F(HostPty, AKilledHostsLinksGoWhenTheNextHostStarts) {
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    std::string link = ce::root() + "/dev/TST1";
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    kill(host.pid(), SIGKILL);
    // Gone once the root's lock is free again (its last thread has ended).
    ASSERT_TRUE(eventually([] {
        int fd = open((ce::root() + "/.cehost/lock").c_str(), O_RDWR | O_CLOEXEC);
        bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) close(fd);
        return free;
    }));
    EXPECT_EQ(lstat(link.c_str(), &st), 0) << "the killed host could not clean up";
    host.start();
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_NE(host_log().find("removed a stale link dev/TST1"), std::string::npos) << host_log();
}

}  // namespace
