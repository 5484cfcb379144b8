// Trace channels: a failing platform call prints one line on its channel,
// with its arguments and the error's name, and nothing else does: calls that
// succeed, the normal end of an enumeration, channels that are off, and a
// program started without CE_DEBUG.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "ce_trace.h"
#include "devload.h"
#include "test_support.h"
#include "windows.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Points the trace at a file of the root and sets CE_DEBUG; restores both
// (and the channels libce started with) afterwards.
class Trace : public ::testing::Test {
protected:
    cetest::TempRoot root;
    std::string file = root.path() + "/.trace";

    void TearDown() override {
        unsetenv("CE_DEBUG");
        unsetenv("CE_DEBUG_FILE");
        ce::trace::reload();
    }

    void channels(const char* list) {
        setenv("CE_DEBUG", list, 1);
        setenv("CE_DEBUG_FILE", file.c_str(), 1);
        ce::trace::reload();
    }

    // The lines written since the last call.
    std::string take() {
        std::string all = slurp(file);
        std::string fresh = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        return fresh;
    }

    std::string prefix(const char* channel) {
        return "ce:" + std::string(channel) + ":" + std::to_string(getpid()) + ":" +
               std::to_string(GetCurrentThreadId()) + ": ";
    }

private:
    size_t seen_ = 0;
};

struct FailingCall {
    const char* channel;
    std::function<void()> call;
    const char* line;  // after the prefix
};

const FailingCall kCalls[] = {
    {"reg",
     [] {
         HKEY key = nullptr;
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, 0, &key);
     },
     "RegOpenKeyExW(HKLM, \"Drivers\\\\Tervalon\", 0, 0x0) -> ERROR_FILE_NOT_FOUND\n"},
    {"files", [] { CreateFileW(u"\\Missing\\log.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr); },
     "CreateFileW(\"\\\\Missing\\\\log.txt\", 0x80000000, 0x0, 3) -> ERROR_PATH_NOT_FOUND\n"},
    {"modules", [] { LoadLibraryW(u"NoSuchDriver.dll"); },
     "LoadLibraryW(\"NoSuchDriver.dll\") -> ERROR_MOD_NOT_FOUND\n"},
    {"devices", [] { ActivateDeviceEx(u"", nullptr, 0, nullptr); },
     "ActivateDeviceEx(\"\", 0) -> ERROR_INVALID_PARAMETER\n"},
    {"kernel", [] { CloseHandle(reinterpret_cast<HANDLE>(uintptr_t{987654321})); },
     "CloseHandle(987654321) -> ERROR_INVALID_HANDLE\n"},
};

class TraceChannel : public Trace, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(TraceChannel, AFailingCallPrintsOneLineOnItsChannelOnly) {
    const FailingCall& c = GetParam();
    std::string others = std::string("all,-") + c.channel;
    channels(others.c_str());
    c.call();
    EXPECT_EQ(take(), "") << "printed with " << c.channel << " off";

    channels(c.channel);
    SetLastError(0);
    c.call();
    EXPECT_EQ(take(), prefix(c.channel) + c.line);
}

INSTANTIATE_TEST_SUITE_P(Calls, TraceChannel, ::testing::ValuesIn(kCalls),
                         [](const auto& info) { return std::string(info.param.channel); });

TEST_F(Trace, TheLineLeavesTheCallersLastErrorAlone) {
    channels("all");
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"NoSuchDriver.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(take(), "");
}

TEST_F(Trace, SuccessesAndTheEndOfAnEnumerationPrintNothing) {
    channels("all");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    WCHAR name[64];
    DWORD size = 64;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    size = 64;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(take(), "");
}

TEST(TraceParse, ChannelNamesAllAndDropsMakeTheMask) {
    using namespace ce::trace;
    EXPECT_EQ(parse(nullptr), 0u);
    EXPECT_EQ(parse(""), 0u);
    EXPECT_EQ(parse("reg,files"), (1u << reg) | (1u << files));
    EXPECT_EQ(parse("all,-ui"), ((1u << kChannelCount) - 1) & ~(1u << ui));
    EXPECT_EQ(parse(" modules , nonsense,,+kernel"), (1u << modules) | (1u << kernel));
}

// A real program: CE_DEBUG is read when libce loads. Without it a failing
// command says its one line and nothing more; with it the trace line joins.
class TraceProgram : public ::testing::TestWithParam<const char*> {
protected:
    cetest::TempRoot root;
};

TEST_P(TraceProgram, CectlOnAMissingKeyTracesOnlyWithCeDebug) {
    const char* debug = GetParam();
    std::string program = (cetest::build_dir() / "bin" / "cectl").string();
    std::string err = root.path() + "/.err";
    pid_t pid = fork();
    if (pid == 0) {
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(e, 2);
        if (*debug) setenv("CE_DEBUG", debug, 1);
        else unsetenv("CE_DEBUG");
        unsetenv("CE_DEBUG_FILE");
        execl(program.c_str(), program.c_str(), "--root", root.path().c_str(), "reg", "query", "HKLM\\Drivers\\Nowhere",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = slurp(err);
    bool traced = text.find(": RegOpenKeyExW(HKLM, \"Drivers\\\\Nowhere\", 0, 0x") != std::string::npos &&
                  text.find(") -> ERROR_FILE_NOT_FOUND\n") != std::string::npos;
    EXPECT_EQ(traced, *debug != 0) << text;
    if (!*debug) {
        EXPECT_EQ(text.find("ce:"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Env, TraceProgram, ::testing::Values("", "reg"),
                         [](const auto& info) { return std::string(*info.param ? "With" : "Without"); });

}  // namespace
