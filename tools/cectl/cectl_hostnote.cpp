// `cectl init`: a note in the root of where cehost is, so that programs run
// from inside the root (installed there by the components' declarations)
// find the host program and start it.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "ce_platform.h"
#include "cectl.h"

namespace {

bool init_host_note(bool) {
    std::filesystem::path build = cectl::build_dir();
    if (build.empty()) return true;
    std::filesystem::path host = build / "bin" / "cehost";
    std::filesystem::path hostdir = std::filesystem::path(ce::root()) / ".cehost";
    std::error_code ec;
    if (std::filesystem::create_directories(hostdir, ec))
        std::filesystem::permissions(hostdir, std::filesystem::perms::owner_all, ec);
    // Whole or not at all: a program starting the host reads it at any time.
    std::string text = host.string() + "\n", why;
    auto fill = [&](int fd, std::string& error) {
        if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) return true;
        error = std::string("cannot write it: ") + std::strerror(errno);
        return false;
    };
    if (!cectl::replace_file(hostdir / "program", 0600, fill, why))
        return cectl::fail("init: cannot write " + (hostdir / "program").string() + ": " + why) == 0;
    return true;
}

}  // namespace

CECTL_INIT_STEP(50, "host program note", init_host_note);
