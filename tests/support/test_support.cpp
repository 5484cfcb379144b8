#include "test_support.h"

#include <cstdlib>
#include <system_error>

#include "ce_platform.h"

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

std::filesystem::path build_dir() {
    if (const char* env = std::getenv("CE_TEST_BUILD_DIR")) return env;
    return CE_BUILD_DIR;
}

}  // namespace cetest
