// The entry of a control program with windows: the device's programs start at
// WinMain. Here main() takes the root (--root DIR), starts Qt with the display
// driver, and calls the program's WinMain with its instance and command line.
// Qt cannot start without a display and aborts when it finds none; a program
// says so in one line instead and ends with 1.
#include <QApplication>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "ui_internal.h"

namespace {

const char* g_program = "";

bool named(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

[[noreturn]] void no_display(const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s; run it on a desktop, or headless with QT_QPA_PLATFORM=offscreen\n", g_program,
                 why.c_str());
    std::fflush(stderr);
    _exit(1);
}

// What stopped Qt, in the user's terms: the platform asked for, else the
// display it tried.
std::string why_qt_failed() {
    if (named("QT_QPA_PLATFORM"))
        return std::string("cannot start the display platform \"") + std::getenv("QT_QPA_PLATFORM") + "\"";
    if (named("DISPLAY")) return std::string("cannot open display ") + std::getenv("DISPLAY");
    if (named("WAYLAND_DISPLAY")) return std::string("cannot open display ") + std::getenv("WAYLAND_DISPLAY");
    return "no display (DISPLAY is not set)";
}

// Qt's messages while it starts are held back: when it cannot open the
// display it ends with a fatal one, and the program's own line replaces them
// all. Once it has started, what it said is passed on.
struct HeldMessage {
    QtMsgType type;
    const char* file;
    int line;
    const char* function;
    const char* category;  // Qt's categories and source places are static texts
    QString text;
};
std::vector<HeldMessage> g_held;

void hold_message(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) no_display(why_qt_failed());
    g_held.push_back({type, context.file, context.line, context.function, context.category, text});
}

void pass_held_messages() {
    for (const auto& m : g_held)
        qt_message_output(m.type, QMessageLogContext(m.file, m.line, m.function, m.category), m.text);
    g_held.clear();
}

}  // namespace

int main(int argc, char** argv) {
    std::u16string command_line;
    int exit_code = 0;
    if (!ce::take_program_arguments(argc, argv, &command_line, &exit_code)) return exit_code;
    g_program = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
    // Qt picks a desktop platform unless one is named; with no display of
    // either kind there is nothing to try.
    if (!named("QT_QPA_PLATFORM") && !named("DISPLAY") && !named("WAYLAND_DISPLAY"))
        no_display("no display (DISPLAY is not set)");
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    QtMessageHandler previous = qInstallMessageHandler(hold_message);
    QApplication app(qt_argc, qt_argv);
    qInstallMessageHandler(previous);
    pass_held_messages();
    app.setQuitOnLastWindowClosed(false);
    ceui::install();
    return WinMain(GetModuleHandleW(nullptr), nullptr, command_line.data(), SW_SHOW);
}
