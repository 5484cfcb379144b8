// Shared helpers of the test programs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Defined in AddressSanitizer's build: g++ says so with __SANITIZE_ADDRESS__,
// clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define CE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CE_TEST_ASAN 1
#endif
#endif

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
#define CE_REQUIRE_CAPTURE(var, name)                                \
    auto var##_dir = ::cetest::captures_dir();                       \
    if (!var##_dir || !std::filesystem::exists(*var##_dir / (name))) \
        GTEST_SKIP() << "recording " << (name) << " not available";  \
    std::filesystem::path var = *var##_dir / (name)

// A process's CPU time (user + system, in ms) and voluntary context
// switches, summed over its threads (from /proc).
struct ProcessUsage {
    double cpu_ms = 0;
    long voluntary = 0;
};
ProcessUsage process_usage(int pid);

// Whether a line is a whole "$BODY*HH" sentence whose HH is the checksum the
// driver and the control programs write.
bool nmea_checksum_ok(const std::string& line);
// "$BODY*HH" of a body, with that checksum.
std::string nmea_sentence(const std::string& body);

// The build tree (bin/ and lib/) these tests belong to.
std::filesystem::path build_dir();

// A file's whole contents ("" when it cannot be read).
std::string slurp(const std::filesystem::path& path);

// What a program said and how it ended.
struct ProgramRun {
    int status = -1;  // exit status; -1 when killed by a signal
    std::string out, err;
};
// Runs program with args (argv[0] is the program), waits for it and returns
// its standard output and error; scratch holds the two capture files. The
// program gets this process's environment, or exactly the one given
// ("NAME=VALUE" each).
ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& scratch, const std::vector<std::string>* environment = nullptr);

}  // namespace cetest
