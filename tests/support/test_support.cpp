#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "ce_platform.h"
#include "tervalon.h"

namespace {

// ctest gives a test program one environment variable whatever the escaping
// through gtest_discover_tests, so ce_add_test's ENV settings travel together
// in CE_TEST_ENV ("NAME=VALUE|NAME=VALUE") and are set here, before any test
// or static object of the program reads them.
__attribute__((constructor(101))) void apply_test_environment() {
    const char* all = std::getenv("CE_TEST_ENV");
    if (!all) return;
    std::string rest = all;
    while (!rest.empty()) {
        size_t bar = rest.find('|');
        std::string one = rest.substr(0, bar);
        rest = bar == std::string::npos ? "" : rest.substr(bar + 1);
        size_t eq = one.find('=');
        if (eq != std::string::npos && eq > 0) setenv(one.substr(0, eq).c_str(), one.c_str() + eq + 1, 1);
    }
}

#if defined(CE_TEST_ASAN)
// liquid-dsp 1.5.0 loses a few hundred bytes inside every multi-stage
// resampler design it makes (the search object of the filter design is never
// freed); the tuner makes each design once per rate. The test programs say so
// to their own leak checker, and every program they start (cehost, cectl)
// reads the same list from the file.
__attribute__((constructor(102))) void suppress_library_leaks_in_children() {
    setenv("LSAN_OPTIONS", "suppressions=" CE_TESTS_SOURCE_DIR "/support/lsan_liquid.supp", 0);
}
#endif

}  // namespace

#if defined(CE_TEST_ASAN)
// The leak checker finds its suppressions through this hook only at global
// scope, with C linkage.
extern "C" const char* __lsan_default_suppressions() { return "leak:qs1dsearch_create\n"; }
#endif

namespace cetest {

TempRoot::TempRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ce-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = tmpl;
    ce::set_root(path_);
}

TempRoot::~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::optional<std::filesystem::path> captures_dir() {
    if (const char* env = std::getenv("CE_CAPTURES")) {
        if (std::filesystem::is_directory(env)) return std::filesystem::path(env);
        return std::nullopt;
    }
    std::filesystem::path p = CE_CAPTURES_DIR;
    if (std::filesystem::is_directory(p)) return p;
    return std::nullopt;
}

ProcessUsage process_usage(int pid) {
    ProcessUsage usage;
    std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(task_dir.c_str());
    if (!d) return usage;
    long ticks = sysconf(_SC_CLK_TCK);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string base = task_dir + "/" + e->d_name;
        std::ifstream stat(base + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close_paren = text.rfind(')');
        if (close_paren != std::string::npos) {
            std::vector<std::string> fields;
            std::string field;
            for (size_t i = close_paren + 2; i <= text.size(); i++) {
                if (i == text.size() || text[i] == ' ') {
                    fields.push_back(field);
                    field.clear();
                } else {
                    field += text[i];
                }
            }
            // Fields 14 and 15 of stat (utime, stime), counted after the name.
            if (fields.size() > 12) usage.cpu_ms += (std::stod(fields[11]) + std::stod(fields[12])) * 1000.0 / ticks;
        }
        std::ifstream status(base + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) usage.voluntary += std::stol(line.substr(24));
        }
    }
    closedir(d);
    return usage;
}

bool nmea_checksum_ok(const std::string& line) {
    size_t star = line.find('*');
    if (line.empty() || line[0] != '$' || star == std::string::npos || star + 3 != line.size()) return false;
    std::string expected = line.substr(0, star + 1) + "...";
    AddNmeaChecksum(expected.data());
    return line == expected.c_str();
}

std::string nmea_sentence(const std::string& body) {
    std::string sentence = "$" + body + "*...";
    AddNmeaChecksum(sentence.data());
    return sentence.c_str();
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& scratch, const std::vector<std::string>* environment) {
    // Everything the child needs is made before the fork: it only redirects and runs.
    std::vector<std::string> argv_text{program.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> env_text = environment ? *environment : std::vector<std::string>{};
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string out = (scratch / ".out").string(), err = (scratch / ".err").string();
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        execve(program.c_str(), argv.data(), environment ? envp.data() : environ);
        _exit(127);
    }
    ProgramRun r;
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    r.status = pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::filesystem::path build_dir() {
    if (const char* env = std::getenv("CE_TEST_BUILD_DIR")) return env;
    return CE_BUILD_DIR;
}

}  // namespace cetest
