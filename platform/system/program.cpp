// The entry of the control programs: their own options, and the rest as the
// command line the device hands to WinMain.
#include <cstdio>
#include <cstring>
#include <string>

#include "ce_platform.h"

namespace ce {

bool take_program_arguments(int argc, char** argv, std::u16string* command_line, int* exit_code) {
    const char* name = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
    command_line->clear();
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            set_root(argv[++i]);
        } else if (a.rfind("--root=", 0) == 0 && a.size() > 7) {
            set_root(a.substr(7));
        } else if (a == "--root" || a == "--root=") {
            std::fprintf(stderr, "%s: --root needs a folder\n", name);
            *exit_code = 1;
            return false;
        } else if (a == "--help" || a == "-h") {
            std::printf("usage: %s [--root DIR]\n", name);
            std::printf("The root is --root, else $CE_ROOT, else ~/.local/share/tervalon/device.\n");
            std::printf(
                "A program with windows needs a display; without one, run it with QT_QPA_PLATFORM=offscreen.\n");
            *exit_code = 0;
            return false;
        } else {
            if (!command_line->empty()) *command_line += u' ';
            *command_line += widen(a);
        }
    }
    if (std::string why; !claim_root(root(), &why)) {
        std::fprintf(stderr, "%s: %s\n", name, why.c_str());
        *exit_code = 1;
        return false;
    }
    return true;
}

}  // namespace ce
