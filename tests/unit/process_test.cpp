// Processes started from the root and the thread snapshot: a child's handle
// is signalled with its exit code, its id stays reserved while a handle names
// it, a start that cannot be made says why, and the snapshot lists other
// processes' threads but never an ended child.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "ce_platform.h"
#include "test_support.h"
#include "tlhelp32.h"
#include "windows.h"

namespace {

void write_script(const std::string& root, const std::string& name, const std::string& body) {
    std::string path = root + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

std::set<DWORD> owners() {
    std::set<DWORD> out;
    HANDLE s = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    EXPECT_NE(s, INVALID_HANDLE_VALUE);
    THREADENTRY32 e;
    e.dwSize = sizeof e;
    for (BOOL more = Thread32First(s, &e); more; more = Thread32Next(s, &e)) out.insert(e.th32OwnerProcessID);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(CloseToolhelp32Snapshot(s));
    return out;
}

TEST(Process, AChildRunsFromTheRootIsListedWhileItRunsAndIsGoneOnceEnded) {
    cetest::TempRoot root;
    // The arguments come from the command line; the child's exit code from its end.
    write_script(root.path(), "child.sh", "echo \"$@\" > \"$CE_ROOT/args\"; read line < \"$CE_ROOT/gate\"; exit 7");
    mkfifo((root.path() + "/gate").c_str(), 0600);
    WCHAR args[] = u"one \"two words\"";
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessW(u"\\child.sh", args, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                               nullptr, &pi));
    EXPECT_GT(pi.dwProcessId, 0u);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    auto running = owners();
    EXPECT_TRUE(running.count(pi.dwProcessId));
    EXPECT_TRUE(running.count(GetCurrentProcessId()));
    std::ofstream(root.path() + "/gate") << "go\n";  // the child ends
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 7u);
    // Reaped: no zombie left to be listed.
    EXPECT_FALSE(owners().count(pi.dwProcessId));
    std::ifstream in(root.path() + "/args");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "one two words");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

// Whether pid still names our child, running or ended but not collected:
// while it does, no other process can be given that id.
bool reserved(DWORD pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// A program that watches a process by its id (Kvor_Switch) holds the handle
// for as long as it watches: the id of an ended child stays taken until the
// last handle goes, and a child nobody holds is collected as soon as it ends.
TEST(Process, AnIdStaysReservedWhileAHandleNamesTheProcess) {
    cetest::TempRoot root;
    write_script(root.path(), "quick.sh", "exit 3");
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessW(u"\\quick.sh", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(reserved(pi.dwProcessId));
    EXPECT_FALSE(owners().count(pi.dwProcessId));  // ended, though its id is kept
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(reserved(pi.dwProcessId));  // the thread handle names it still
    CloseHandle(pi.hThread);
    EXPECT_FALSE(reserved(pi.dwProcessId));

    write_script(root.path(), "gated.sh", "read line < \"$CE_ROOT/gate\"");
    mkfifo((root.path() + "/gate").c_str(), 0600);
    ASSERT_TRUE(CreateProcessW(u"\\gated.sh", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_TRUE(reserved(pi.dwProcessId));  // running
    std::ofstream(root.path() + "/gate") << "go\n";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reserved(pi.dwProcessId) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(reserved(pi.dwProcessId));
}

TEST(Process, AStartThatCannotBeMadeSaysWhy) {
    cetest::TempRoot root;
    std::ofstream(root.path() + "/plain.txt") << "not a program\n";
    struct Case {
        const char16_t* path;
        DWORD error;
    } cases[] = {{u"\\missing.exe", ERROR_FILE_NOT_FOUND},
                 {u"\\plain.txt", ERROR_ACCESS_DENIED},
                 {u"", ERROR_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        PROCESS_INFORMATION pi;
        SetLastError(0);
        EXPECT_FALSE(CreateProcessW(c.path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
        EXPECT_EQ(GetLastError(), c.error) << ce::narrow(c.path);
        EXPECT_EQ(pi.dwProcessId, 0u);
    }
}

}  // namespace
