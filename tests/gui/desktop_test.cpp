// The control programs on a real X server (a private Xvfb), as a user on a
// desktop meets them: each program is one native window, the phone's screen,
// sized as the screen and titled with the program's name; keys typed into it
// reach the program's dialog, and closing it ends the program the way its own
// close request does, so what the user changed is stored. Skipped where Xvfb
// or xdotool (which types the keys) is not installed.
#include "host_support.h"

// After the test headers: Xlib's macros (None, Bool, ...) would rename theirs.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

using namespace hosttest;

namespace {

// The program's path, or "" when it is not installed.
std::string installed(const std::string& name) {
    std::string path = run({"/bin/sh", "-c", "command -v " + name}).out;
    return path.substr(0, path.find('\n'));
}

// A private X server on a display number it picks (and writes to its
// standard output once it takes connections); stopped with the test.
class Xvfb {
public:
    explicit Xvfb(const std::string& program)
        : server_(spawn({program, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"})) {
        if (server_->pid > 0 && server_->wait_for("\n", 60))
            display_.append(":").append(server_->text, 0, server_->text.find('\n'));
    }
    ~Xvfb() {
        // Asked to end, the server removes its socket and lock file.
        if (server_->pid > 0) {
            kill(server_->pid, SIGTERM);
            waitpid(server_->pid, nullptr, 0);
            server_->pid = -1;
        }
    }
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<Spawned> server_;
    std::string display_;
};

struct TopWindow {
    Window id = 0;
    int width = 0, height = 0;
    std::string title;
};

// A window that went away between two requests is no failure of the test.
int ignore_x_errors(Display*, XErrorEvent*) { return 0; }

std::vector<unsigned char> property(Display* x, Window w, const char* name, Atom type) {
    Atom actual;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned char> out;
    if (XGetWindowProperty(x, w, XInternAtom(x, name, False), 0, 1024, False, type, &actual, &format, &count, &after,
                           &data) == Success &&
        data) {
        out.assign(data, data + count * static_cast<unsigned long>(format == 32 ? sizeof(long) : format / 8));
        XFree(data);
    }
    return out;
}

// The top-level windows of a process that the server shows (what xdotool
// search --onlyvisible --pid finds).
std::vector<TopWindow> visible_windows(Display* x, pid_t pid) {
    std::vector<TopWindow> out;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XSync(x, False);
    if (!XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count)) return out;
    for (unsigned i = 0; i < count; i++) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(x, children[i], &a) || a.map_state != IsViewable) continue;
        auto owner = property(x, children[i], "_NET_WM_PID", XA_CARDINAL);
        if (owner.size() < sizeof(long) || *reinterpret_cast<long*>(owner.data()) != pid) continue;
        auto title = property(x, children[i], "_NET_WM_NAME", XInternAtom(x, "UTF8_STRING", False));
        out.push_back({children[i], a.width, a.height, std::string(title.begin(), title.end())});
    }
    if (children) XFree(children);
    return out;
}

// What a desktop's close button does: WM_DELETE_WINDOW to the window.
void close_window(Display* x, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, w, False, NoEventMask, &e);
    XSync(x, False);
}

struct Program {
    const char* name;
    int status_id;                  // the dialog's status line
    const char* listed;             // a window of the platform's list: class and title
    std::vector<std::string> keys;  // from the first control to FM Band's next entry
    int exit_status;                // of a close request
};

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

class Desktop : public ::testing::TestWithParam<Program> {};

TEST_P(Desktop, AProgramIsOneScreenWindowAndClosingItKeepsWhatTheUserChose) {
    const Program& program = GetParam();
    std::string server_program = installed("Xvfb"), xdotool = installed("xdotool");
    if (server_program.empty() || xdotool.empty()) GTEST_SKIP() << "needs Xvfb and xdotool (Debian: xvfb, xdotool)";
    Xvfb server(server_program);
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server.display().c_str(), 1);
    unsetenv("QT_QPA_PLATFORM");
    XSetErrorHandler(ignore_x_errors);
    Display* x = XOpenDisplay(server.display().c_str());
    ASSERT_NE(x, nullptr);

    Host host;
    host.start();
    ASSERT_EQ(cectl({"init"}).status, 0);
    ASSERT_EQ(cectl({"reg", "delete", "HKLM\\Drivers\\Tervalon"}).status, 0);
    auto running = spawn({bin(program.name), "--root", ce::root()});
    ASSERT_GT(running->pid, 0);
    const std::string pid = std::to_string(running->pid);

    // The program is up once its dialog answers; a second answer comes after
    // whatever it showed before the first has reached the server.
    std::string dialog;
    auto status_line = [&] { return cectl({"window", "text", dialog, std::to_string(program.status_id)}).out; };
    ASSERT_TRUE(eventually([&] {
        for (const auto& line : lines_of(cectl({"window", "list"}).out)) {
            if (line.find("\tDialog\t") != std::string::npos && line.ends_with("\t" + pid))
                dialog = line.substr(0, line.find('\t'));
        }
        return !dialog.empty() && status_line() == "TMC DRIVER INACTIVE\n";
    }));
    ASSERT_EQ(status_line(), "TMC DRIVER INACTIVE\n");
    auto windows = visible_windows(x, running->pid);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].width, 240);
    EXPECT_EQ(windows[0].height, 320);
    EXPECT_EQ(windows[0].title, program.name);
    // The platform's list still has the program's own windows.
    std::string list = cectl({"window", "list"}).out;
    EXPECT_NE(list.find(std::string(program.listed) + pid + "\n"), std::string::npos) << list;

    // The user types into the window, then closes it.
    XSetInputFocus(x, windows[0].id, RevertToPointerRoot, CurrentTime);
    XSync(x, False);
    std::vector<std::string> keys = {xdotool, "key", "--delay", "20"};
    keys.insert(keys.end(), program.keys.begin(), program.keys.end());
    ASSERT_EQ(run(keys).status, 0);
    close_window(x, windows[0].id);
    int status = -1;
    ASSERT_TRUE(eventually([&] {
        int raw = 0;
        if (waitpid(running->pid, &raw, WNOHANG) != running->pid) return false;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
    }));
    running->pid = -1;
    EXPECT_EQ(status, program.exit_status);
    // FM Band as the user chose it, with the rest of the save step.
    EXPECT_NE(cectl({"reg", "query", "HKLM\\Drivers\\Tervalon", "Band"}).out.find("Band\tREG_DWORD\t1"),
              std::string::npos);
    EXPECT_NE(cectl({"reg", "query", "HKLM\\Drivers\\Tervalon", "Index"}).out.find("Index\tREG_DWORD\t9"),
              std::string::npos);
    XCloseDisplay(x);
}

// KvorClient's focus starts on TMC, then the lists; KvorClientSP's on its
// first list, where up and down move between the lists and right steps one.
INSTANTIATE_TEST_SUITE_P(
    ControlPrograms, Desktop,
    ::testing::Values(Program{"KvorClient", 1019, "\tKvorClient\tKvorClient\t", {"Tab", "Tab", "Down"}, 0},
                      Program{"KvorClientSP", 118, "\tDialog\tKvorClient\t", {"Down", "Right"}, 16}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
