// A device root is used only when it is its user's alone: another user's
// folder, or one others may write to, is refused by every program before it
// loads anything from it, and a host of another user is never talked to.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

#include "host_support.h"

namespace fs = std::filesystem;
using namespace hosttest;

namespace {

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(RootTrust, LooseOrForeignFoldersAreRefusedWithTheirReason) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& root)> arrange;
        uid_t uid_offset;      // checked as if run by geteuid() + this
        const char* folder;    // the folder the refusal names, "" when accepted
        const char* mentions;  // what else the line must say
    };
    const std::vector<Case> cases = {
        {"a private root", [](const fs::path& r) { fs::create_directory(r / "Windows"); }, 0, "", ""},
        {"group-writable root", [](const fs::path& r) { chmod(r.c_str(), 0770); }, 0, "", "0770"},
        {"world-writable root", [](const fs::path& r) { chmod(r.c_str(), 0777); }, 0, "", "chmod go-w"},
        {"another user's root", [](const fs::path&) {}, 1, "", "not by you"},
        {"loose .cehost",
         [](const fs::path& r) { fs::create_directory(r / ".cehost"), chmod((r / ".cehost").c_str(), 0777); }, 0,
         ".cehost", "0777"},
        {"loose windows, any spelling",
         [](const fs::path& r) { fs::create_directory(r / "wINDOWS"), chmod((r / "wINDOWS").c_str(), 0775); }, 0,
         "wINDOWS", "0775"},
        {"Windows as a link", [](const fs::path& r) { fs::create_directory_symlink("/tmp", r / "Windows"); }, 0,
         "Windows", "a link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cetest::TempRoot temp;
        fs::path root = temp.path();
        c.arrange(root);
        std::string problem = ce::root_trust_problem(root.string(), geteuid() + c.uid_offset);
        bool refused = std::string(c.mentions).size() > 0;
        if (!refused) {
            EXPECT_EQ(problem, "");
            continue;
        }
        fs::path named = *c.folder ? root / c.folder : root;
        EXPECT_EQ(problem.rfind(named.string() + " is ", 0), 0u) << problem;
        EXPECT_NE(problem.find(c.mentions), std::string::npos) << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos);
        chmod(root.c_str(), 0700);
    }
}

TEST(RootTrust, AFolderAboveThatOthersMayRenameInIsRefusedUnlessSticky) {
    cetest::TempRoot temp;
    fs::path above = fs::path(temp.path()) / "shared";
    fs::create_directory(above);
    fs::create_directory(above / "root");
    chmod(temp.path().c_str(), 0700);
    chmod(above.c_str(), 0777);
    std::string problem = ce::root_trust_problem((above / "root").string(), geteuid());
    EXPECT_NE(problem.find(above.string() + " (above the root"), std::string::npos) << problem;
    chmod(above.c_str(), 01777);
    EXPECT_EQ(ce::root_trust_problem((above / "root").string(), geteuid()), "");
}

// The attack itself: a root with a driver key and a library in it, made by
// someone else (or open to everyone), runs nothing.
TEST(RootTrust, NoProgramUsesARootThatIsNotTheUsersAlone) {
    std::vector<std::pair<const char*, std::function<void(const std::string&)>>> loosen = {
        {"0777", [](const std::string& root) { chmod(root.c_str(), 0777); }},
    };
    if (geteuid() == 0)
        loosen.push_back({"nobody (uid 65534)", [](const std::string& root) { chown(root.c_str(), 65534, 65534); }});
    for (const auto& [says, arrange] : loosen) {
        SCOPED_TRACE(says);
        cetest::TempRoot scratch_root;  // the programs' output, apart from other tests'
        const fs::path scratch = scratch_root.path();
        cetest::TempRoot temp;
        const std::string root = temp.path();
        tst_key(u"Drivers\\Builtin\\Planted", 4);
        fs::create_directory(root + "/Windows");
        fs::copy_file(cetest::build_dir() / "lib" / "libTstDriver.so", root + "/Windows/TstDriver.dll");
        arrange(root);
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{bin("cehost"), "--root", root, "--foreground"},
              std::vector<std::string>{bin("cectl"), "--root", root, "devices"}}) {
            cetest::ProgramRun r = cetest::run_program(command[0], {command.begin() + 1, command.end()}, scratch);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("refusing the device root: " + root + " is owned by"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        }
        EXPECT_FALSE(fs::exists(root + "/tst.log"));
        EXPECT_FALSE(fs::exists(root + "/.cehost/socket"));
        // Inside a process the registry and the loader refuse it too, once
        // they open the root afresh.
        {
            cetest::TempRoot other;
            HKEY software = nullptr;
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, &software);
        }
        ce::set_root(root);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Builtin\\Planted", 0, 0, &key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(LoadLibraryW(u"\\Windows\\TstDriver.dll"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        chown(root.c_str(), geteuid(), getegid());
        chmod(root.c_str(), 0700);
    }
}

TEST(RootTrust, AnOldRootIsMadePrivateOnFirstUseAndSaysSoOnce) {
    cetest::TempRoot scratch_root;
    const fs::path scratch = scratch_root.path();
    cetest::TempRoot temp;
    const fs::path root = temp.path();
    tst_key(u"Drivers\\Old", 1);
    fs::create_directory(root / ".cehost");
    const std::vector<fs::path> files = {root / "registry.db", root / ".registry-changes", root / "Tervalon.log",
                                         root / ".cehost" / "log"};
    for (const auto& f : files) {
        std::ofstream(f, std::ios::app) << "";
        chmod(f.c_str(), 0644);
    }
    chmod(root.c_str(), 0755);
    chmod((root / ".cehost").c_str(), 0755);
    cetest::ProgramRun first =
        cetest::run_program(bin("cectl"), {"--root", root, "reg", "query", "HKLM\\Drivers\\Old"}, scratch);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("made the device root " + root.string() + " private"), std::string::npos) << first.err;
    EXPECT_EQ(mode_of(root), 0700u);
    EXPECT_EQ(mode_of(root / ".cehost"), 0700u);
    for (const auto& f : files) EXPECT_EQ(mode_of(f), 0600u) << f;
    cetest::ProgramRun second =
        cetest::run_program(bin("cectl"), {"--root", root, "reg", "query", "HKLM\\Drivers\\Old"}, scratch);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
}

TEST(RootTrust, AClientSaysNothingToAHostOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    cetest::TempRoot temp;
    const std::string root = temp.path();
    const std::string socket_path = root + "/.cehost/socket";
    fs::create_directory(root + "/.cehost");
    // Let the stand-in host bind there, then close the folder again.
    chmod(root.c_str(), 0711);
    chmod((root + "/.cehost").c_str(), 0777);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, socket_path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) _exit(3);
        char c = '1';
        if (write(ready[1], &c, 1) != 1) _exit(3);
        int conn = accept(fd, nullptr, nullptr);
        char buf[64];
        _exit(conn >= 0 && read(conn, buf, sizeof buf) == 0 ? 0 : 4);  // 4: it said something
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    chmod((root + "/.cehost").c_str(), 0700);
    chmod(root.c_str(), 0700);
    EXPECT_FALSE(ce::list_devices().has_value());
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
