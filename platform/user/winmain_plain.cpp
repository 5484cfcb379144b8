// The entry of a control program that shows nothing (a hidden window, timers
// and its message loop need no display): main() takes the root and calls the
// program's WinMain. The window manager then waits without any toolkit.
#include "ce_platform.h"
#include "windows.h"

int main(int argc, char** argv) {
    std::u16string command_line;
    int exit_code = 0;
    if (!ce::take_program_arguments(argc, argv, &command_line, &exit_code)) return exit_code;
    return WinMain(GetModuleHandleW(nullptr), nullptr, command_line.data(), SW_SHOW);
}
