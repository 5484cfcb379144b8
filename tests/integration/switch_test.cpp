// Kvor_Switch as installed by cectl init, through cehost with the real
// driver, launching a stand-in navigation program: a script that notes its
// start and runs until the test tells it to end, or one that allows a single
// instance and hands a second start over to the first.
#include <sys/inotify.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "host_support.h"

using namespace hosttest;

namespace {

std::string program_dir() { return ce::root() + "/Program Files/Tervalon"; }

// The stand-in: writes "<pid> <arguments>" to nav.log and runs until
// stop-<pid> exists (or a minute has passed). A single-instance one started
// while another runs writes "<pid> handed over" and ends at once.
void write_navigation_program(bool single_instance = false) {
    std::string path = ce::root() + "/nav.sh";
    std::ofstream(path) << "#!/bin/sh\n"
                        << (single_instance ? "mkdir \"$CE_ROOT/nav.lock\" 2>/dev/null || "
                                              "{ echo \"$$ handed over\" >> \"$CE_ROOT/nav.log\"; exit 0; }\n"
                                            : "")
                        << "echo \"$$ $*\" >> \"$CE_ROOT/nav.log\"\n"
                           "i=0\n"
                           "while [ ! -e \"$CE_ROOT/stop-$$\" ] && [ $i -lt 3000 ]; do sleep 0.02; i=$((i+1)); done\n"
                        << (single_instance ? "rmdir \"$CE_ROOT/nav.lock\"\n" : "");
    chmod(path.c_str(), 0755);
}

void write_shortcut(const std::string& text) { std::ofstream(program_dir() + "/NavApp.lnk") << text; }

std::vector<std::string> started() { return lines_of(read_file(ce::root() + "/nav.log")); }
std::string pid_of(const std::string& line) { return line.substr(0, line.find(' ')); }
void end_navigation(const std::string& pid) { std::ofstream(ce::root() + "/stop-" + pid) << "\n"; }

bool driver_loaded() { return cectl({"devices"}).out.find("COM9:") != std::string::npos; }

// The launcher running in the background; its exit status once it has ended.
class Launcher {
public:
    void start_as(const std::string& file = "Kvor_Switch.exe") {
        thread_ = std::thread([this, file] { status_ = run({program_dir() + "/" + file}).status; });
    }
    bool ended() const { return status_ != -1; }
    int status() {
        if (thread_.joinable()) thread_.join();
        return status_;
    }
    ~Launcher() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
    std::atomic<int> status_{-1};
};

class SwitchTest : public ::testing::Test {
protected:
    // One launch: the driver's state while the program runs and after it ended.
    void launch_once(bool loaded_while, bool loaded_after, const std::string& file = "Kvor_Switch.exe") {
        Launcher launcher;
        launcher.start_as(file);
        ASSERT_TRUE(eventually([] { return started().size() == 1; }, 30));
        EXPECT_EQ(driver_loaded(), loaded_while);
        end_navigation(pid_of(started()[0]));
        EXPECT_EQ(launcher.status(), 0);
        EXPECT_EQ(driver_loaded(), loaded_after);
    }

    void SetUp() override {
        host_.start();
        ASSERT_EQ(cectl({"init"}).status, 0);
        ASSERT_TRUE(std::filesystem::exists(program_dir() + "/Kvor_Switch.exe"));
        write_navigation_program();
        write_shortcut("9#\"\\nav.sh\" --demo\r\n");
    }
    Host host_;
};

TEST_F(SwitchTest, TheDriverIsLoadedWhileTheProgramRunsAndUnloadedAfter) {
    Launcher launcher;
    launcher.start_as();
    ASSERT_TRUE(eventually([] { return started().size() == 1; }, 30));
    EXPECT_EQ(started()[0].substr(started()[0].find(' ')), " --demo");
    EXPECT_TRUE(driver_loaded());
    // A close request to the hidden window is ignored.
    std::string list = cectl({"window", "list"}).out;
    ASSERT_NE(list.find("\tKvor_Switch\tKvor_Switch\t"), std::string::npos) << list;
    std::string h = list.substr(0, list.find('\t'));
    EXPECT_EQ(cectl({"window", "send", h, "16"}).out, "0\n");
    EXPECT_NE(cectl({"window", "list"}).out.find("Kvor_Switch"), std::string::npos);
    EXPECT_FALSE(launcher.ended());
    end_navigation(pid_of(started()[0]));
    EXPECT_EQ(launcher.status(), 0);
    EXPECT_FALSE(driver_loaded());
    EXPECT_EQ(cectl({"window", "list"}).out, "");
}

TEST_F(SwitchTest, ADriverLoadedBeforeIsUnloadedWhileTheProgramRunsAndLoadedAgainAfter) {
    ASSERT_EQ(cectl({"activate", "Drivers\\Tervalon"}).status, 0);
    launch_once(false, true);
}

// The shortcut lies beside the launcher whatever its file is called.
TEST_F(SwitchTest, ALauncherOfAnyNameFindsTheShortcutBesideIt) {
    std::filesystem::copy_file(program_dir() + "/Kvor_Switch.exe", program_dir() + "/Nav.exe");
    launch_once(true, false, "Nav.exe");
}

TEST_F(SwitchTest, WithoutAShortcutNothingHappens) {
    std::filesystem::remove(program_dir() + "/NavApp.lnk");
    EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}).status, 0);
    EXPECT_FALSE(driver_loaded());
    EXPECT_EQ(host_log().find("activated COM9:"), std::string::npos);
}

// A target that cannot start: the driver is switched over and back about one
// check period later; neither settings key: the load fails silently.
TEST_F(SwitchTest, AFailedStartOrAMissingKeySwitchesBackAndEndsCleanly) {
    write_shortcut("12#\"\\missing.sh\"");
    EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}).status, 0);
    EXPECT_FALSE(driver_loaded());
    std::string log = host_log();
    size_t loaded = log.find("activated COM9: from Drivers\\Tervalon");
    EXPECT_NE(loaded, std::string::npos) << log;
    EXPECT_NE(log.find("deactivated COM9:", loaded), std::string::npos) << log;

    write_shortcut("9#\"\\nav.sh\"");
    ASSERT_EQ(cectl({"reg", "delete", "HKLM\\Drivers\\Tervalon"}).status, 0);
    launch_once(false, false);
}

// A second start makes the first one start the program again and ends at
// once; the first then watches the new process.
TEST_F(SwitchTest, ASecondStartRelaunchesAndTheNewProcessIsWatched) {
    Launcher launcher;
    launcher.start_as();
    ASSERT_TRUE(eventually([] { return started().size() == 1; }, 30));
    EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}).status, 0);
    ASSERT_TRUE(eventually([] { return started().size() == 2; }, 30));
    std::string first = pid_of(started()[0]), second = pid_of(started()[1]);
    EXPECT_NE(first, second);
    end_navigation(first);
    // Several check periods pass while the relaunched program still runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(5000 * 3 * ce::time_scale())));
    EXPECT_FALSE(launcher.ended());
    EXPECT_TRUE(driver_loaded());
    // A relaunch that cannot start keeps the watched process.
    chmod((ce::root() + "/nav.sh").c_str(), 0644);
    EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(5000 * 3 * ce::time_scale())));
    EXPECT_FALSE(launcher.ended());
    end_navigation(second);
    EXPECT_EQ(launcher.status(), 0);
    EXPECT_FALSE(driver_loaded());
}

// A program that allows one instance answers the relaunch by handing over to
// the first and ending at once: the driver stays loaded while the first runs.
TEST_F(SwitchTest, UnderASingleInstanceProgramTheDriverStaysUntilTheFirstEnds) {
    write_navigation_program(true);
    Launcher launcher;
    launcher.start_as();
    ASSERT_TRUE(eventually([] { return started().size() == 1; }, 30));
    EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}).status, 0);
    ASSERT_TRUE(eventually([] { return started().size() == 2; }, 30));
    ASSERT_NE(started()[1].find(" handed over"), std::string::npos);
    // The launcher keeps the id of a process it watches until a check finds
    // it ended: the id's release shows that a check has been made since.
    pid_t second = std::stoi(pid_of(started()[1]));
    ASSERT_TRUE(eventually([&] { return kill(second, 0) != 0; }, 30));
    EXPECT_TRUE(driver_loaded());
    EXPECT_FALSE(launcher.ended());
    end_navigation(pid_of(started()[0]));
    EXPECT_EQ(launcher.status(), 0);
    EXPECT_FALSE(driver_loaded());
}

// A second start whose request finds the first launcher's window gone (that
// launcher was ending) starts the program itself. The stand-in for the first
// lists the launcher's window and ends while the request waits on it.
TEST_F(SwitchTest, ASecondStartThatFindsTheFirstGoneStartsTheProgramItself) {
    auto first = spawn({bin("host_window_owner"), "Kvor_Switch", "Kvor_Switch", "1260"});
    ASSERT_TRUE(first->wait_for("ready"));
    Launcher second;
    second.start_as();
    ASSERT_TRUE(first->wait_for("holding"));
    first->kill_now();
    ASSERT_TRUE(eventually([&] { return started().size() == 1 || second.ended(); }, 30));
    ASSERT_EQ(started().size(), 1u);
    EXPECT_TRUE(driver_loaded());
    end_navigation(pid_of(started()[0]));
    EXPECT_EQ(second.status(), 0);
    EXPECT_FALSE(driver_loaded());
}

// A shortcut that is no regular file is refused at once, before the driver is
// touched; a FIFO would otherwise hold the launcher until something wrote it.
TEST_F(SwitchTest, AShortcutThatIsNoFileIsRefusedAtOnce) {
    std::string shortcut = program_dir() + "/NavApp.lnk";
    for (std::string kind : {"fifo", "folder", "device"}) {
        std::filesystem::remove(shortcut);
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(shortcut.c_str(), 0600), 0);
        }
        if (kind == "folder") std::filesystem::create_directory(shortcut);
        if (kind == "device") std::filesystem::create_symlink("/dev/null", shortcut);
        EXPECT_EQ(run({program_dir() + "/Kvor_Switch.exe"}, 60).status, 0) << kind;
    }
    EXPECT_FALSE(driver_loaded());
    EXPECT_EQ(host_log().find("activated COM9:"), std::string::npos);
}

// ---- a shortcut that names a launcher --------------------------------------------------------

// The launcher in a process group of its own: whatever it started ends with
// the group when the test is done, a runaway chain of launchers too.
struct LauncherGroup {
    explicit LauncherGroup(std::string path) {
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        char* argv[] = {path.data(), nullptr};
        if (posix_spawn(&pid, argv[0], nullptr, &attr, argv, environ) != 0) pid = -1;
        posix_spawnattr_destroy(&attr);
    }
    // Its exit status once it has ended, or -2 when it has not within a minute.
    int status() {
        int status = 0;
        if (pid <= 0 || !eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) return -2;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~LauncherGroup() {
        if (pid > 0 && kill(-pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
};

// Counts the starts of the launcher's files: exec opens the program file once
// per start, by whatever path or link it was named. The kernel folds an event
// into an identical one still unread before it; the launcher reads its
// shortcut between its own start and any start it makes, so the shortcut's
// open, watched here too, keeps the two apart.
class StartCounter {
public:
    StartCounter(const std::vector<std::string>& programs, const std::string& shortcut) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const auto& f : programs) {
            int wd = inotify_add_watch(fd_, f.c_str(), IN_OPEN);
            EXPECT_GE(wd, 0) << f;
            programs_.push_back(wd);
        }
        EXPECT_GE(inotify_add_watch(fd_, shortcut.c_str(), IN_OPEN), 0) << shortcut;
    }
    int starts() {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if (std::find(programs_.begin(), programs_.end(), event->wd) != programs_.end()) count_++;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }
    ~StartCounter() { close(fd_); }

private:
    int fd_ = -1;
    std::vector<int> programs_;
    int count_ = 0;
};

struct LauncherShortcut {
    const char* name;
    const char* launcher;  // the file in the program folder that is started
    const char* shortcut;
    int starts;  // of a launcher file, the first one's included
};

void PrintTo(const LauncherShortcut& c, std::ostream* out) { *out << c.name; }

class SwitchLauncherShortcut : public SwitchTest, public ::testing::WithParamInterface<LauncherShortcut> {};

// Refused as a target that cannot start: the driver is switched over and
// back about one check period later and the launcher ends, started once.
// Through a link the path cannot show, the launcher it started asks for a
// relaunch and is refused, so the chain ends there.
TEST_P(SwitchLauncherShortcut, IsATargetThatCannotStart) {
    const LauncherShortcut& c = GetParam();
    std::string dir = program_dir();
    std::filesystem::copy_file(dir + "/Kvor_Switch.exe", dir + "/Nav.exe");
    std::filesystem::create_directory(ce::root() + "/nav");
    std::filesystem::copy_file(dir + "/Kvor_Switch.exe", ce::root() + "/nav/Kvor_Switch.exe");
    std::filesystem::create_symlink("../Program Files/Tervalon/Kvor_Switch.exe", ce::root() + "/nav/go");
    write_shortcut(c.shortcut);

    StartCounter counter({dir + "/Kvor_Switch.exe", dir + "/Nav.exe", ce::root() + "/nav/Kvor_Switch.exe"},
                         dir + "/NavApp.lnk");
    LauncherGroup launcher(dir + "/" + c.launcher);
    EXPECT_EQ(launcher.status(), 0);
    EXPECT_EQ(counter.starts(), c.starts);
    EXPECT_FALSE(driver_loaded());
    std::string log = host_log();
    size_t loaded = log.find("activated COM9: from Drivers\\Tervalon");
    EXPECT_NE(loaded, std::string::npos) << log;
    EXPECT_NE(log.find("deactivated COM9:", loaded), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Shortcuts, SwitchLauncherShortcut,
    ::testing::Values(
        LauncherShortcut{"ItsOwnPath", "Kvor_Switch.exe", "38#\"\\Program Files\\Tervalon\\Kvor_Switch.exe\"\r\n", 1},
        // Runs as Nav.exe: only the path tells it is itself.
        LauncherShortcut{"ItsOwnPathOddlySpelt", "Nav.exe", "#\"/program files//TERVALON/./x/../NAV.EXE\" --demo", 1},
        LauncherShortcut{"AnyFileByItsName", "Kvor_Switch.exe", "#\\nav\\kvor_switch.EXE", 1},
        LauncherShortcut{"ALinkToIt", "Kvor_Switch.exe", "#\"\\nav\\go\"", 2}),
    [](const ::testing::TestParamInfo<LauncherShortcut>& info) { return std::string(info.param.name); });

}  // namespace
