// `cectl init`: a note in the root of where cehost is, so that programs run
// from inside the root (installed there by the components' declarations)
// find the host program and start it.
#include <filesystem>
#include <fstream>
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
    std::ofstream note(hostdir / "program", std::ios::trunc);
    note << host.string() << "\n";
    if (!note) return cectl::fail("init: cannot write " + ce::root() + "/.cehost/program") == 0;
    return true;
}

}  // namespace

CECTL_INIT_STEP(50, "host program note", init_host_note);
