// The entry of a control program with windows: the device's programs start at
// WinMain. Here main() takes the root (--root DIR), starts Qt with the display
// driver, and calls the program's WinMain with its instance and command line.
#include <QApplication>

#include "ce_platform.h"
#include "ui_internal.h"

int main(int argc, char** argv) {
    std::u16string command_line;
    int exit_code = 0;
    if (!ce::take_program_arguments(argc, argv, &command_line, &exit_code)) return exit_code;
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    QApplication app(qt_argc, qt_argv);
    app.setQuitOnLastWindowClosed(false);
    ceui::install();
    return WinMain(GetModuleHandleW(nullptr), nullptr, command_line.data(), SW_SHOW);
}
