// `cectl init` for the control programs: KvorClient, KvorClientSP and
// Kvor_Switch under the root's \Program Files\Tervalon, so that each knows its
// device path (GetModuleFileNameW) and Kvor_Switch finds "NavApp.lnk" beside
// itself. The platform libraries they need go beside them.
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "ce_platform.h"
#include "cectl.h"

namespace {

bool init_programs(bool) {
    std::filesystem::path build = cectl::build_dir();
    if (build.empty()) return true;
    std::filesystem::path dir = std::filesystem::path(ce::root()) / "Program Files" / "Tervalon";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return cectl::fail("init: cannot create " + dir.string()) == 0;
    for (const char* name : {"KvorClient", "KvorClientSP", "Kvor_Switch"}) {
        if (!cectl::install_file(build / "bin" / name, dir, std::string(name) + ".exe")) return false;
    }
    for (const char* name : {"libce.so", "libceui.so"}) {
        if (!cectl::install_file(build / "lib" / name, dir, name)) return false;
    }
    // Programs inside the root find the host program through this note.
    std::filesystem::path host = build / "bin" / "cehost";
    std::filesystem::path hostdir = std::filesystem::path(ce::root()) / ".cehost";
    if (std::filesystem::create_directories(hostdir, ec))
        std::filesystem::permissions(hostdir, std::filesystem::perms::owner_all, ec);
    std::ofstream note(std::filesystem::path(ce::root()) / ".cehost" / "program", std::ios::trunc);
    note << host.string() << "\n";
    if (!note) return cectl::fail("init: cannot write " + ce::root() + "/.cehost/program") == 0;
    return true;
}

}  // namespace

CECTL_INIT_STEP(50, "control programs", init_programs);
