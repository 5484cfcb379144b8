// Shared helpers of the test programs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace cetest {

// A fresh device root in a temporary folder, made the process's root
// (and CE_ROOT for child processes); removed afterwards.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The folder of real recordings, when it exists beside the project.
std::optional<std::filesystem::path> captures_dir();
// A recording by file name; the test is skipped when it is missing.
#define CE_REQUIRE_CAPTURE(var, name)                                            \
    auto var##_dir = ::cetest::captures_dir();                                   \
    if (!var##_dir || !std::filesystem::exists(*var##_dir / (name)))             \
        GTEST_SKIP() << "recording " << (name) << " not available";               \
    std::filesystem::path var = *var##_dir / (name)

// A process's CPU time (user + system, in ms) and voluntary context
// switches, summed over its threads (from /proc).
struct ProcessUsage {
    double cpu_ms = 0;
    long voluntary = 0;
};
ProcessUsage process_usage(int pid);

// The build tree (bin/ and lib/) these tests belong to.
std::filesystem::path build_dir();

}  // namespace cetest
