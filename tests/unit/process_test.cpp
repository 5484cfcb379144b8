// Processes started from the root and the thread snapshot: a child's handle
// is signalled with its exit code, a start that cannot be made says why, and
// the snapshot lists other processes' threads but never an ended child.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <string>

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

TEST(Process, AStartThatCannotBeMadeSaysWhy) {
    cetest::TempRoot root;
    std::ofstream(root.path() + "/plain.txt") << "not a program\n";
    struct Case {
        const char16_t* path;
        DWORD error;
    } cases[] = {{u"\\missing.exe", ERROR_FILE_NOT_FOUND}, {u"\\plain.txt", ERROR_ACCESS_DENIED}, {u"", ERROR_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        PROCESS_INFORMATION pi;
        SetLastError(0);
        EXPECT_FALSE(CreateProcessW(c.path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi));
        EXPECT_EQ(GetLastError(), c.error) << ce::narrow(c.path);
        EXPECT_EQ(pi.dwProcessId, 0u);
    }
}

}  // namespace
