// The windowing layer as the control programs lean on it: controls that tell
// their dialog what the user did, a worker thread updating controls while the
// dialog thread waits (and while the dialog goes away), timers and the quit
// message, a hidden window found and driven from another process, owned
// windows raised above their owners, and a program started without a display.
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <aygshell.h>
#include <commctrl.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "gui_support.h"

extern char** environ;

using namespace guitest;
using namespace hosttest;

namespace {

constexpr int kDialog = 200;
constexpr UINT kDone = WM_USER + 50;

std::vector<std::pair<int, int>> g_commands;  // (id, notification) as the dialog got them

void fill(HWND d) {
    for (const char16_t* s : {u"one", u"two", u"three"}) {
        SendDlgItemMessageW(d, 12, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
        SendDlgItemMessageW(d, 13, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
    }
    SendDlgItemMessageW(d, 12, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(d, 13, LB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(d, 17, PBM_SETRANGE, 0, MAKELPARAM(0, 15));
}

BOOL CALLBACK RecordingDialog(HWND d, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: fill(d); return TRUE;
        case WM_COMMAND:
            g_commands.emplace_back(LOWORD(wparam), HIWORD(wparam));
            if (LOWORD(wparam) == IDCANCEL) EndDialog(d, IDCANCEL);
            return TRUE;
        default: return FALSE;
    }
}

HWND controls_dialog() {
    HWND d = FindWindowW(u"Dialog", u"Controls");
    return d && IsWindowVisible(d) ? d : nullptr;
}

INT_PTR run_dialog(DLGPROC proc) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialog), nullptr, proc, 0);
}

TEST(UiLayer, ControlsTellTheirDialogWhatTheUserDid) {
    g_commands.clear();
    User user;
    user.then("the dialog", [] { return controls_dialog() != nullptr; }).then("press, choose, spin, type", [] {
        HWND d = controls_dialog();
        // Nothing inside a disabled dialog takes input; its controls keep their own state.
        EnableWindow(d, FALSE);
        QTest::mouseClick(widget(d, 11), Qt::LeftButton);
        QTest::keyClick(widget(d, 12), Qt::Key_Down);
        EXPECT_EQ(SendDlgItemMessageW(d, 12, CB_GETCURSEL, 0, 0), 0);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, 12)));
        EnableWindow(d, TRUE);
        QTest::mouseClick(widget(d, 11), Qt::LeftButton);
        QTest::keyClick(widget(d, 12), Qt::Key_Down);
        QTest::keyClick(widget(d, 13), Qt::Key_Left);  // wraps to the last entry
        QTest::keyClicks(widget(d, 15), "87.5");
        EXPECT_EQ(SendDlgItemMessageW(d, 12, CB_GETCURSEL, 0, 0), 1);
        EXPECT_EQ(SendDlgItemMessageW(d, 13, LB_GETCURSEL, 0, 0), 2);
        EXPECT_EQ(item_text(d, 15), u"87.5");
        // What the program sets is no user's change: no notification.
        SendDlgItemMessageW(d, 12, CB_SETCURSEL, 2, 0);
        SendDlgItemMessageW(d, 13, LB_SETCURSEL, 1, 0);
        EXPECT_EQ(SendDlgItemMessageW(d, 13, LB_SETCURSEL, 9, 0), LB_ERR);
        EXPECT_EQ(SendDlgItemMessageW(d, 13, LB_GETCURSEL, 0, 0), LB_ERR);
        SendDlgItemMessageW(d, 17, PBM_SETPOS, 9, 0);
        EXPECT_EQ(dynamic_cast<QProgressBar*>(widget(d, 17))->value(), 9);
        EXPECT_EQ(dynamic_cast<QProgressBar*>(widget(d, 17))->maximum(), 15);
        screenshot(d, "controls.png");
        PostMessageW(d, WM_CLOSE, 0, 0);  // the dialog manager makes it Cancel
        return true;
    });
    EXPECT_EQ(user.play([] { return static_cast<int>(run_dialog(RecordingDialog)); }), IDCANCEL);
    std::vector<std::pair<int, int>> user_actions;
    for (auto c : g_commands) {
        if (c.first != 15) user_actions.push_back(c);
    }
    EXPECT_EQ(user_actions, (std::vector<std::pair<int, int>>{
                                {11, BN_CLICKED}, {12, CBN_SELCHANGE}, {13, LBN_SELCHANGE}, {IDCANCEL, 0}}));
    EXPECT_EQ(std::count(g_commands.begin(), g_commands.end(), std::make_pair(15, static_cast<int>(EN_CHANGE))), 4);
}

// The shell: a full-screen dialog with the task bar's OK button, and soft
// keys from the resources, one of which opens a menu.
HWND g_bar = nullptr;

BOOL CALLBACK ShellDialog(HWND d, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            SHINITDLGINFO shell = {SHIDIM_FLAGS, d, SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN};
            EXPECT_TRUE(SHInitDialog(&shell));
            SHMENUBARINFO bar = {};
            bar.cbSize = sizeof bar;
            bar.hwndParent = d;
            bar.nToolBarId = 210;
            bar.hInstRes = GetModuleHandleW(nullptr);
            EXPECT_TRUE(SHCreateMenuBar(&bar));
            g_bar = bar.hwndMB;
            return TRUE;
        }
        case WM_COMMAND:
            g_commands.emplace_back(LOWORD(wparam), HIWORD(wparam));
            if (LOWORD(wparam) == IDOK) EndDialog(d, IDOK);
            return TRUE;
        default: return FALSE;
    }
}

TEST(UiLayer, SoftKeysAndTheTaskBarOkReachTheDialog) {
    g_commands.clear();
    static HWND d = nullptr;
    User user;
    user.then("the full-screen dialog",
              [] {
                  d = FindWindowW(u"Dialog", u"Shell");
                  if (!d || !IsWindowVisible(d)) return false;
                  EXPECT_EQ(ceui::widget_of(d)->size(), QSize(240, 320));
                  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 240);
                  EXPECT_EQ(ceui::soft_key(g_bar, 0)->text(), "Left");
                  EXPECT_EQ(ceui::soft_key(g_bar, 1)->text(), "Menu");
                  QTest::mouseClick(ceui::soft_key(g_bar, 0), Qt::LeftButton);
                  // The menu runs a loop of its own: open it from the loop, choose from inside it.
                  QTimer::singleShot(0, [] { QTest::mouseClick(ceui::soft_key(g_bar, 1), Qt::LeftButton); });
                  return true;
              })
        .then("the soft key's menu",
              [] {
                  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                  if (!menu) return false;
                  EXPECT_EQ(menu->actions().size(), 2);
                  for (QAction* a : menu->actions()) {
                      if (a->text() == "Second") a->trigger();
                  }
                  menu->close();
                  return true;
              })
        .then("the task bar's OK", [] {
            if (g_commands.size() < 2) return false;
            for (auto* b : ceui::widget_of(d)->findChildren<QPushButton*>()) {
                if (b->text() == "ok") QTest::mouseClick(b, Qt::LeftButton);
            }
            return true;
        });
    EXPECT_EQ(user.play([] {
        return static_cast<int>(
            DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(220), nullptr, ShellDialog, 0));
    }),
              IDOK);
    EXPECT_EQ(g_commands, (std::vector<std::pair<int, int>>{{300, 0}, {302, 0}, {IDOK, BN_CLICKED}}));
}

// The edit control keeps its text as the device does (CR LF line ends), so
// selections and lengths count what a program counts; its limit holds.
TEST(UiLayer, MultiLineEditAppendsAndCutsAsTheDeviceCounts) {
    User user;
    user.then("the dialog", [] { return controls_dialog() != nullptr; }).then("append and cut", [] {
        HWND log = GetDlgItem(controls_dialog(), 16);
        EXPECT_EQ(SendMessageW(log, EM_GETLIMITTEXT, 0, 0), 32767);
        for (const char16_t* line : {u"$RTRDS,87.5,9\r\n", u"$RTTMC,8\r\n"}) {
            LRESULT end = GetWindowTextLengthW(log);
            SendMessageW(log, EM_SETSEL, end, end);
            SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(line));
        }
        EXPECT_EQ(text(log), u"$RTRDS,87.5,9\r\n$RTTMC,8\r\n");
        SendMessageW(log, EM_SETSEL, 0, 15);  // the oldest line, CR LF included
        SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u""));
        EXPECT_EQ(text(log), u"$RTTMC,8\r\n");
        SendMessageW(log, EM_LIMITTEXT, 12, 0);
        SendMessageW(log, EM_SETSEL, -1, -1);
        SendMessageW(log, EM_SETSEL, 10, 10);
        SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"abcdef"));
        EXPECT_EQ(text(log), u"$RTTMC,8\r\nab");
        // The widget shows what changed, line ends as the toolkit has them.
        EXPECT_EQ(dynamic_cast<QPlainTextEdit*>(ceui::widget_of(log))->toPlainText(), "$RTTMC,8\nab");
        EndDialog(controls_dialog(), 3);
        return true;
    });
    EXPECT_EQ(user.play([] { return static_cast<int>(run_dialog(RecordingDialog)); }), 3);
}

// ---- a worker thread and the dialog thread ---------------------------------------------------------

std::atomic<bool> g_stop{false};
std::atomic<int> g_updates{0};
std::atomic<bool> g_failed_send{false};
std::thread g_worker;

void worker(HWND d) {
    HWND status = GetDlgItem(d, 10), log = GetDlgItem(d, 16), bar = GetDlgItem(d, 17);
    while (!g_stop.load()) {
        SetLastError(0);
        SetWindowTextW(status, u"working");
        SendMessageW(bar, PBM_SETPOS, g_updates.load() % 16, 0);
        LRESULT end = GetWindowTextLengthW(log);
        SendMessageW(log, EM_SETSEL, end, end);
        SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"x"));
        if (GetLastError() == ERROR_INVALID_WINDOW_HANDLE) {
            // The dialog is gone: every later update fails at once, never hangs.
            g_failed_send = true;
            break;
        }
        if (++g_updates == 200) PostMessageW(d, kDone, 0, 0);
    }
}

BOOL CALLBACK WorkerDialog(HWND d, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            fill(d);
            g_worker = std::thread(worker, d);
            return TRUE;
        case kDone:
            // The dialog thread stops serving for a while, as a closing dialog
            // does, while the worker is inside an update; then the dialog ends
            // and goes away under it.
            Sleep(100);
            EndDialog(d, 7);
            return TRUE;
        case WM_COMMAND: return TRUE;
        default: return FALSE;
    }
    (void)wparam;
}

TEST(UiLayer, AWorkerUpdatesControlsWhileTheDialogThreadWaitsAndIsReleasedWhenTheDialogGoes) {
    g_stop = false;
    g_updates = 0;
    g_failed_send = false;
    User user;
    EXPECT_EQ(user.play([] { return static_cast<int>(run_dialog(WorkerDialog)); }), 7);
    // The worker is never left waiting on a window that is gone.
    g_worker.join();
    EXPECT_GE(g_updates.load(), 200);
    EXPECT_TRUE(g_failed_send.load());
}

// ---- timers, the quit message, and a hidden window driven from another process -------------------

int g_ticks = 0;
std::vector<std::pair<UINT, WPARAM>> g_hidden_messages;

LRESULT CALLBACK HiddenProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_TIMER:
            if (++g_ticks == 3) {
                KillTimer(hwnd, 173);
                PostQuitMessage(5);
            }
            return 0;
        case WM_USER + 236:
        case WM_USER + 237: g_hidden_messages.emplace_back(message, wparam); return 42 + static_cast<LRESULT>(lparam);
        case WM_CLOSE: return 0;  // a hidden window that refuses to close
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

HWND make_hidden(const char16_t* name) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = HiddenProc;
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = name;
        registered = RegisterClassW(&wc) != 0;
    }
    return CreateWindowExW(0, name, name, WS_POPUP | WS_CAPTION, 0, 50, 0, 50, nullptr, nullptr, nullptr, nullptr);
}

int message_loop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

TEST(UiLayer, TimersTickUntilKilledAndTheQuitMessageEndsTheLoop) {
    Host host;
    host.start();
    g_ticks = 0;
    HWND hidden = make_hidden(u"Kvor_Test");
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(SetTimer(hidden, 173, 100, nullptr), 173u);
    static int proc_ticks = 0;
    UINT_PTR free_timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) { proc_ticks++; });
    EXPECT_NE(free_timer, 0u);
    EXPECT_EQ(message_loop(), 5);
    EXPECT_EQ(g_ticks, 3);
    EXPECT_GE(proc_ticks, 2);
    EXPECT_TRUE(KillTimer(nullptr, free_timer));
    EXPECT_FALSE(KillTimer(hidden, 173));
    DestroyWindow(hidden);
}

TEST(UiLayer, AHiddenWindowIsFoundAndDrivenFromAnotherProcess) {
    Host host;
    host.start();
    g_hidden_messages.clear();
    HWND hidden = make_hidden(u"Kvor_Test");
    ASSERT_NE(hidden, nullptr);
    HWND edit = CreateWindowExW(0, u"EDIT", u"", WS_CHILD, 0, 0, 50, 20, hidden,
                                reinterpret_cast<HMENU>(static_cast<uintptr_t>(5)), nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    const std::string h = std::to_string(reinterpret_cast<uintptr_t>(hidden));
    DWORD gui = GetCurrentThreadId();
    std::vector<RunResult> results;
    // Another process does what a second start of a program does; this thread serves its loop meanwhile.
    std::thread other([&] {
        results.push_back(cectl({"window", "list"}));
        results.push_back(cectl({"window", "send", h, "1260", "1", "0x10"}));
        results.push_back(cectl({"window", "post", h, "1261", "2"}));
        results.push_back(cectl({"window", "text", h, "5", "--set", "87.5"}));
        results.push_back(cectl({"window", "text", h, "5"}));
        results.push_back(cectl({"window", "send", h, "16"}));  // WM_CLOSE, refused by the window
        PostThreadMessageW(gui, WM_QUIT, 0, 0);
    });
    // The hidden window's messages come through the thread's queue like any other.
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) && msg.message != WM_QUIT) DispatchMessageW(&msg);
    other.join();
    ASSERT_EQ(results.size(), 6u);
    std::string pid = std::to_string(getpid());
    EXPECT_NE(results[0].out.find(h + "\tKvor_Test\tKvor_Test\t" + pid + "\n"), std::string::npos) << results[0].out;
    EXPECT_EQ(results[1].out, "58\n");
    EXPECT_EQ(results[2].status, 0);
    EXPECT_EQ(results[4].out, "87.5\n");
    EXPECT_EQ(text(edit), u"87.5");
    EXPECT_EQ(results[5].out, "0\n");
    EXPECT_TRUE(IsWindow(hidden));
    EXPECT_EQ(g_hidden_messages, (std::vector<std::pair<UINT, WPARAM>>{{1260, 1}, {1261, 2}}));
    EXPECT_EQ(FindWindowW(u"kvor_test", u"KVOR_TEST"), hidden);

    DestroyWindow(hidden);
    RunResult gone = cectl({"window", "send", h, "1260"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_FALSE(IsWindow(edit));
}

// ---- owned windows stay above their owners --------------------------------------------------

// Passes everything on to the display driver and notes the windows raised, in order.
class RaiseRecorder : public ce::user::DisplayDriver {
public:
    explicit RaiseRecorder(DisplayDriver* real) : real_(real) {}
    DisplayDriver* real() const { return real_; }
    std::vector<HWND> raised;

    bool is_gui_thread() override { return real_->is_gui_thread(); }
    void wait(std::chrono::steady_clock::time_point deadline) override { real_->wait(deadline); }
    void wake() override { real_->wake(); }
    void window_created(ce::user::Window& w) override { real_->window_created(w); }
    void window_destroyed(ce::user::Window& w) override { real_->window_destroyed(w); }
    void window_shown(ce::user::Window& w, bool visible) override { real_->window_shown(w, visible); }
    void window_enabled(ce::user::Window& w, bool enabled) override { real_->window_enabled(w, enabled); }
    void window_text_changed(ce::user::Window& w) override { real_->window_text_changed(w); }
    void window_moved(ce::user::Window& w) override { real_->window_moved(w); }
    void window_raised(ce::user::Window& w) override {
        raised.push_back(w.hwnd);
        real_->window_raised(w);
    }
    HWND focus() override { return real_->focus(); }
    void set_focus(ce::user::Window& w) override { real_->set_focus(w); }
    int message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) override {
        return real_->message_box(owner, text, caption, type);
    }
    void set_wait_cursor(bool on) override { real_->set_wait_cursor(on); }

private:
    DisplayDriver* real_;
};

// A program brought forward shows the dialog its dialog opened on top: each
// owned window is raised after its owner; a hidden one is left where it is.
TEST(UiLayer, RaisingAWindowRaisesTheDialogsItOwnsAndTheirsAboveIt) {
    HWND main = make_hidden(u"Kvor_Test");
    auto owned = [](HWND owner) {
        return CreateWindowExW(0, u"Kvor_Test", u"owned", WS_POPUP, 0, 0, 50, 50, owner, nullptr, nullptr, nullptr);
    };
    HWND dialog = owned(main), nested = owned(dialog), hidden = owned(main);
    for (HWND h : {main, dialog, nested}) ShowWindow(h, SW_SHOW);
    RaiseRecorder recorder(ce::user::display_driver());
    ce::user::set_display_driver(&recorder);
    EXPECT_TRUE(SetForegroundWindow(main));
    ce::user::set_display_driver(recorder.real());
    EXPECT_EQ(recorder.raised, (std::vector<HWND>{main, dialog, nested}));
    EXPECT_EQ(GetForegroundWindow(), main);
    for (HWND h : {hidden, nested, dialog, main}) DestroyWindow(h);
}

// ---- a program without a display ------------------------------------------------------

// This process's environment without any display or Qt platform named, and
// with DISPLAY when one is given.
std::vector<std::string> environment_with_display(const std::string& display) {
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string v = *e;
        if (v.rfind("DISPLAY=", 0) != 0 && v.rfind("WAYLAND_DISPLAY=", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0)
            env.push_back(v);
    }
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    return env;
}

class NoDisplay : public ::testing::TestWithParam<const char*> {};

// Qt cannot start without a display and would abort. The program says what is
// missing in one line and ends with 1, whether no display is named or the one
// named cannot be opened (display 65000 has no socket and no TCP port).
TEST_P(NoDisplay, AControlProgramSaysSoInOneLineAndEndsWithOne) {
    const std::string program = GetParam();
    struct stat st;
    const bool display_free = stat("/tmp/.X11-unix/X65000", &st) != 0;
    for (std::string display : {"", ":65000"}) {
        if (!display_free && !display.empty()) continue;
        cetest::TempRoot root;
        const std::vector<std::string> env = environment_with_display(display);
        cetest::ProgramRun r = cetest::run_program(bin(program), {"--root", root.path()}, root.path(), &env);
        SCOPED_TRACE("DISPLAY=" + display + ": " + r.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
        EXPECT_EQ(r.err.rfind(program + ": ", 0), 0u);
        EXPECT_NE(r.err.find(display.empty() ? "no display (DISPLAY is not set)" : "cannot open display :65000"),
                  std::string::npos);
        EXPECT_NE(r.err.find("QT_QPA_PLATFORM=offscreen"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(ControlPrograms, NoDisplay, ::testing::Values("KvorClient", "KvorClientSP"));

}  // namespace
