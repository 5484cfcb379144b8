// The entry of a control program: the device's programs start at WinMain.
// Here main() takes the root (--root DIR), starts Qt with the display driver,
// and calls the program's WinMain with its instance and command line.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>

#include "ce_platform.h"
#include "ui_internal.h"

namespace {

int usage(const char* program, FILE* out, int status) {
    std::fprintf(out, "usage: %s [--root DIR]\n", program);
    std::fprintf(out, "The root is --root, else $CE_ROOT, else ~/.local/share/tervalon/device.\n");
    std::fprintf(out, "Without a display, run with QT_QPA_PLATFORM=offscreen.\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
    std::u16string command_line;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            ce::set_root(argv[++i]);
        } else if (a.rfind("--root=", 0) == 0) {
            ce::set_root(a.substr(7));
        } else if (a == "--root") {
            std::fprintf(stderr, "%s: --root needs a folder\n", name);
            return 1;
        } else if (a == "--help" || a == "-h") {
            return usage(name, stdout, 0);
        } else {
            // What is not ours is the program's command line, as on the device.
            if (!command_line.empty()) command_line += u' ';
            command_line += ce::widen(a);
        }
    }
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    QApplication app(qt_argc, qt_argv);
    app.setQuitOnLastWindowClosed(false);
    ceui::install();
    int result = WinMain(GetModuleHandleW(nullptr), nullptr, command_line.data(), SW_SHOW);
    return result;
}
