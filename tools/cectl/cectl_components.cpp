// `cectl init` for the components of the system. Each component declares,
// beside its sources, what it needs in a device root: registry defaults in
// .reg form and a list of built files to copy in. The build puts the
// declarations under CE_COMPONENTS_DIR beside the programs, named
// ORDER-NAME.reg and ORDER-NAME.files; they are applied by name, so a
// component's keys are written after those of the components it builds on.
// Every declaration is read before anything is written: one fault anywhere
// leaves the root as it was. Then the built files are installed, each whole
// (the old file or the new one, never a part), and last the registry
// defaults of every component go in as one transaction: a failure or a kill
// at any point leaves the registry as it was, with the files installed so
// far in place for the next init.
//
// A files list has one file a line: the built file, relative to the tree
// cectl runs from, then the device path it goes to; ";" starts a comment.
//   lib/libExample.so   \Windows\libExample.so
// An installed tree's lists name the installed files (lib/tervalon/...).
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "ce_platform.h"
#include "cectl.h"

#ifndef CE_COMPONENTS_DIR
#error "CE_COMPONENTS_DIR: where the build puts the components' declarations, under the build tree"
#endif

namespace {

namespace fs = std::filesystem;

// Files lists are small; anything this large is not one.
constexpr size_t kMaxDeclaration = 4u << 20;

struct InstallFile {
    fs::path from;      // in the build tree
    std::u16string to;  // device path
    int line = 0;
};

struct Component {
    fs::path reg_path, files_path;
    std::vector<regfile::Entry> entries;
    std::vector<InstallFile> files;
};

bool read_declaration(const fs::path& path, std::string& contents) {
    std::string why;
    if (ce::read_regular_file(path.string(), kMaxDeclaration, &contents, &why)) return true;
    cectl::fail("init: " + why);
    return false;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool parse_files(const fs::path& path, const std::string& text, std::vector<InstallFile>& files) {
    int number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line = trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        number++;
        if (line.empty() || line.front() == ';') continue;
        auto bad = [&](const std::string& why) {
            cectl::fail("init: " + path.string() + ":" + std::to_string(number) + ": " + why);
            return false;
        };
        size_t space = line.find_first_of(" \t");
        if (space == std::string_view::npos) return bad("a built file without the device path it goes to");
        fs::path from(std::string(line.substr(0, space)));
        std::string to(trim(line.substr(space)));
        if (from.is_absolute() || std::any_of(from.begin(), from.end(), [](const fs::path& p) { return p == ".."; }))
            return bad("the built file must be a path inside the build tree");
        if (to.empty() || to.front() != '\\' || to.back() == '\\')
            return bad("the device path must be a file's full path (\\Folder\\Name)");
        files.push_back({from, ce::widen(to), number});
    }
    return true;
}

bool install(const Component& c, const fs::path& build) {
    for (const auto& f : c.files) {
        ce::MappedPath target = ce::map_path(f.to);
        std::string where = c.files_path.string() + ":" + std::to_string(f.line) + ": ";
        if (target.error)
            return cectl::fail("init: " + where + "the device path " + ce::narrow(f.to) + " is not valid") == 0;
        fs::path host(target.host);
        std::error_code ec;
        fs::create_directories(host.parent_path(), ec);
        if (ec) return cectl::fail("init: cannot create " + host.parent_path().string()) == 0;
        if (!cectl::install_file(build / f.from, host.parent_path(), host.filename().string())) return false;
    }
    return true;
}

bool init_components(bool force) {
    fs::path build = cectl::build_dir();
    fs::path dir = build / CE_COMPONENTS_DIR;
    std::error_code ec;
    // A root provisioned without them would lack every component: refuse.
    if (build.empty() || !fs::is_directory(dir, ec))
        return cectl::fail("init: no component declarations in " + dir.string()) == 0;
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        auto ext = entry.path().extension();
        if (ext == ".reg" || ext == ".files") names.push_back(entry.path().parent_path() / entry.path().stem());
    }
    if (ec) return cectl::fail("init: cannot read " + dir.string()) == 0;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());

    std::vector<Component> components;
    for (const auto& name : names) {
        Component c;
        c.reg_path = fs::path(name.string() + ".reg");
        c.files_path = fs::path(name.string() + ".files");
        std::string text;
        if (fs::exists(c.reg_path, ec)) {
            if (!read_declaration(c.reg_path, text)) return false;
            regfile::Error error;
            if (!regfile::parse(text, c.entries, error))
                return cectl::fail("init: " + c.reg_path.string() +
                                   (error.line ? ":" + std::to_string(error.line) : "") + ": " + error.message) == 0;
        }
        if (fs::exists(c.files_path, ec)) {
            if (!read_declaration(c.files_path, text) || !parse_files(c.files_path, text, c.files)) return false;
        }
        components.push_back(std::move(c));
    }
    // The files first, each whole: the registry then names only files that
    // are in place. A root made here is private, as the registry makes it.
    if (!ce::make_root_folder(ce::root())) return cectl::fail("init: cannot create the root " + ce::root()) == 0;
    for (const auto& c : components) {
        if (!install(c, build)) return false;
    }
    // Every component's registry part in one transaction: all of it or none.
    ce::RegistryTransaction transaction;
    if (transaction.error() != ERROR_SUCCESS)
        return cectl::fail("init: " + cectl::registry_error_text(transaction.error())) == 0;
    std::string why;
    for (const auto& c : components) {
        if (!cectl::apply_reg(c.entries, force ? cectl::RegApply::Replace : cectl::RegApply::Keep,
                              "init: " + c.reg_path.string(), why))
            return cectl::fail(why + "; the registry is as it was") == 0;
    }
    LONG e = transaction.commit();
    if (e != ERROR_SUCCESS)
        return cectl::fail("init: " + cectl::registry_error_text(e) + "; the registry is as it was") == 0;
    return true;
}

}  // namespace

CECTL_INIT_STEP(10, "components", init_components);
