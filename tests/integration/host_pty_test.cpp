// Devices published as pseudo-terminals: a plain POSIX program talks to the
// driver through <root>/dev/NAME.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

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

// A killed host is gone once the root's lock is free again (its last thread
// has ended).
bool host_gone() {
    int fd = open((ce::root() + "/.cehost/lock").c_str(), O_RDWR | O_CLOEXEC);
    bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

// A host killed with its devices published leaves links to terminals that are
// gone; the next host removes them when it starts.
TEST_F(HostPty, AKilledHostsLinksGoWhenTheNextHostStarts) {
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    std::string link = ce::root() + "/dev/TST1";
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    kill(host.pid(), SIGKILL);
    ASSERT_TRUE(eventually(host_gone));
    EXPECT_EQ(lstat(link.c_str(), &st), 0) << "the killed host could not clean up";
    host.start();
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_NE(host_log().find("removed a stale link dev/TST1"), std::string::npos) << host_log();
}

// The pseudo-terminals other programs open: a killed host's pty numbers are
// free again and go to whoever asks next.
struct OtherPrograms {
    std::vector<int> masters;
    ~OtherPrograms() {
        for (int fd : masters) close(fd);
    }
    // Opens ptys until one is numbered past every number in use before: the
    // numbers freed since then are all among ours (the kernel hands out the
    // lowest free one).
    bool take_numbers_through(int highest) {
        for (int number = -1; masters.size() < 1024;) {
            int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            if (master < 0) return false;
            masters.push_back(master);
            if (grantpt(master) != 0 || unlockpt(master) != 0 || ioctl(master, TIOCGPTN, &number) != 0) return false;
            if (number >= highest) return true;
        }
        return false;
    }
    // Whether text reached one of our terminals.
    bool received(const std::string& text) {
        for (int master : masters) {
            char buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0 && std::string(buf, static_cast<size_t>(n)).find(text) != std::string::npos) return true;
        }
        return false;
    }
};

int highest_pty_number() {
    int highest = 0;
    if (DIR* d = opendir("/dev/pts")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] >= '0' && e->d_name[0] <= '9') highest = std::max(highest, std::atoi(e->d_name));
        }
        closedir(d);
    }
    return highest;
}

// Whatever another program gets after a host is killed, the host's links do
// not lead there: at once they lead nowhere, and the next cectl command or
// host start removes them, also when the host's pid names another program
// now. A live host's links stay and work.
TEST_F(HostPty, AKilledHostsLinksLeadToNoOtherTerminal) {
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    const std::vector<std::string> links = {ce::root() + "/dev/TST1", ce::root() + "/dev/GPD0"};
    struct stat st {};
    for (const auto& link : links) ASSERT_EQ(stat(link.c_str(), &st), 0) << link;
    int highest = highest_pty_number();
    kill(host.pid(), SIGKILL);
    ASSERT_TRUE(eventually(host_gone));

    OtherPrograms others;
    ASSERT_TRUE(others.take_numbers_through(highest));
    for (const auto& link : links) {
        int fd = open(link.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_LT(fd, 0) << link << " still opens a terminal";
        if (fd < 0) continue;
        const std::string marker = "bytes for " + link;
        ssize_t w = write(fd, marker.data(), marker.size());
        (void)w;
        close(fd);
        EXPECT_FALSE(eventually([&] { return others.received(marker); }, 10)) << "they reached another program";
    }

    // The host's pid given to another program, which holds a terminal under
    // the descriptor the link names.
    int held = ioctl(others.masters[0], TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    others.masters.push_back(held);
    std::string reused = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(held);
    unlink(links[0].c_str());
    ASSERT_EQ(symlink(reused.c_str(), links[0].c_str()), 0);
    // A link of the user's own beside them is no business of the host's.
    std::string mine = ce::root() + "/dev/receiver";
    ASSERT_EQ(symlink("/dev/ttyUSB0", mine.c_str()), 0);
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Drivers\\Tst1"}).status, 0);
    for (const auto& link : links) EXPECT_NE(lstat(link.c_str(), &st), 0) << link << " outlived its host";
    EXPECT_EQ(lstat(mine.c_str(), &st), 0);

    host.start();
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Tst1", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(cectl({"devices"}).status, 0);
    EXPECT_EQ(run({bin("host_pty_probe"), links[0], "echo"}).status, 0) << host_log();
}

// A host that starts while another program looks for a live one (holding
// what cectl holds then) waits for the look to end instead of taking it for
// a live host.
TEST_F(HostPty, AHostStartingDuringALookForALiveOneWaitsForIt) {
    host.stop();
    int folder = open((ce::root() + "/.cehost").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int lock = open((ce::root() + "/.cehost/lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    ASSERT_EQ(flock(lock, LOCK_SH), 0);
    struct stat st {};
    ASSERT_EQ(fstat(folder, &st), 0);
    char inode[64];
    snprintf(inode, sizeof inode, " %02x:%02x:%lu ", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    auto starting = spawn({bin("cehost"), "--root", ce::root()});
    // Waiting shows as a blocked request ("->") on the folder in /proc/locks.
    ASSERT_TRUE(eventually([&] {
        for (const auto& line : lines_of(read_file("/proc/locks"))) {
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
        }
        return !alive(starting->pid);
    }));
    close(lock);
    close(folder);
    int status = -1;
    waitpid(starting->pid, &status, 0);
    starting->pid = -1;
    EXPECT_EQ(status, 0) << host_log();
    ce::stop_host();
}

}  // namespace
