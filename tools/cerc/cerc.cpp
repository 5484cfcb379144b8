// cerc: the platform's resource compiler, run by the build (ce_add_resources).
//   cerc [-I DIR]... [-D NAME[=VALUE]]... [--depfile FILE] [--icon-png SIZE FILE] -o OUT.cpp SCRIPT.rc
// A script's <windows.h>, <commctrl.h>, ... are read from the -I folders, so
// the build names the SDK's headers there. --icon-png also writes the
// script's first icon, its SIZE x SIZE image, as a PNG file for the desktop.
// Errors: "SCRIPT.rc:LINE: what is wrong" on stderr and exit status 1, so the
// build stops at the line to fix.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "rc_compiler.h"
#include "rc_icon.h"

namespace {

int usage(const char* why) {
    std::fprintf(
        stderr,
        "cerc: %s\nusage: cerc [-I DIR]... [-D NAME[=VALUE]]... [--depfile FILE] [--icon-png SIZE FILE] -o OUT.cpp "
        "SCRIPT.rc\n",
        why);
    return 1;
}

// Written beside the target and renamed over it, so a build never sees half a
// file; an unchanged file is left alone, so nothing that depends on it rebuilds.
bool write_file(const std::string& path, const std::string& text) {
    {
        std::ifstream old(path, std::ios::binary);
        if (old && std::string(std::istreambuf_iterator<char>(old), std::istreambuf_iterator<char>()) == text)
            return true;
    }
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        out.close();
        if (!out) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    ce::rc::Options options;
    std::string output, depfile, script, icon_png;
    int icon_size = 0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* flag) -> std::string {
            if (a.size() > std::strlen(flag)) return a.substr(std::strlen(flag));
            if (i + 1 >= argc) return {};
            return argv[++i];
        };
        if (a.rfind("-I", 0) == 0) {
            std::string dir = value("-I");
            if (dir.empty()) return usage("-I needs a folder");
            options.include_dirs.push_back(dir);
        } else if (a.rfind("-D", 0) == 0) {
            std::string def = value("-D");
            if (def.empty()) return usage("-D needs a name");
            size_t eq = def.find('=');
            options.defines.emplace_back(def.substr(0, eq), eq == std::string::npos ? "" : def.substr(eq + 1));
        } else if (a == "-o") {
            output = value("-o");
        } else if (a == "--depfile") {
            depfile = value("--depfile");
        } else if (a == "--icon-png") {
            if (i + 2 >= argc) return usage("--icon-png needs a size and a file");
            icon_size = std::atoi(argv[++i]);
            icon_png = argv[++i];
            if (icon_size < 1 || icon_size > 256) return usage("--icon-png: the size is 1 to 256");
        } else if (!a.empty() && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else if (script.empty()) {
            script = a;
        } else {
            return usage("more than one script");
        }
    }
    if (script.empty() || output.empty()) return usage("a script and -o OUT.cpp are needed");

    ce::rc::Result result = ce::rc::compile(script, options);
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", result.error.c_str());
        return 1;
    }
    std::string name = script.substr(script.find_last_of('/') + 1);
    if (!write_file(output, ce::rc::generate_cpp(result.resources, name))) {
        std::fprintf(stderr, "cerc: cannot write %s\n", output.c_str());
        return 1;
    }
    if (!icon_png.empty()) {
        const ce::rc::Resource* icon = nullptr;
        for (const auto& r : result.resources) {
            if (!icon && !r.type.is_name() && r.type.ordinal == ce::rc::kTypeGroupIcon) icon = &r;
        }
        std::string why = "the script has no icon";
        std::string png = icon ? ce::rc::icon_to_png(std::string(icon->data.begin(), icon->data.end()), icon_size, &why)
                               : std::string();
        if (png.empty()) {
            std::fprintf(stderr, "%s: %s\n", script.c_str(), why.c_str());
            return 1;
        }
        if (!write_file(icon_png, png)) {
            std::fprintf(stderr, "cerc: cannot write %s\n", icon_png.c_str());
            return 1;
        }
    }
    if (!depfile.empty() && !write_file(depfile, ce::rc::make_depfile(output, result.inputs))) {
        std::fprintf(stderr, "cerc: cannot write %s\n", depfile.c_str());
        return 1;
    }
    return 0;
}
