// The window manager's message queue without a display, checked as sequences:
// every window procedure notes what it gets, and the notes are compared with a
// table of what Win32 delivers. Sent messages run at once on the window's own
// thread, or inside its next GetMessage/PeekMessage before anything posted;
// WM_QUIT comes once nothing is posted, WM_TIMER after that; a thread waiting
// on its own send serves what is sent to it; a window that goes away, or a
// thread that ends, fails the sends waiting on it; a modal loop inside a sent
// message serves both kinds.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "user_internal.h"
#include "windows.h"

namespace {

constexpr UINT kPost = WM_USER + 1;  // what the tests post
constexpr UINT kSend = WM_USER + 2;  // what they send
constexpr UINT kBack = WM_USER + 3;  // sent back to a thread that is sending
constexpr UINT kOpen = WM_USER + 4;  // opens a modal dialog
constexpr UINT kEnd = WM_USER + 5;   // ends it

// The notes, from every thread, in order: "window:message(wparam)". The
// message loop notes thread messages ("thread"), messages for windows that
// are gone ("gone") and the WM_QUIT that ends it ("loop").
std::mutex g_mutex;
std::vector<std::string> g_notes;
using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
std::map<HWND, std::string> g_names;
std::map<HWND, Handler> g_handlers;
Handler g_dialog_handler;

std::string describe(const std::string& window, UINT message, WPARAM wparam) {
    static const std::map<UINT, const char*> names = {
        {kPost, "post"},     {kSend, "send"},         {kBack, "back"},
        {kOpen, "open"},     {kEnd, "end"},           {WM_QUIT, "quit"},
        {WM_TIMER, "timer"}, {WM_DESTROY, "destroy"}, {WM_INITDIALOG, "initdialog"}};
    auto it = names.find(message);
    std::string name = it != names.end() ? it->second : std::to_string(message);
    // A quit's code is an int; a dialog's first control is no business of these tables.
    long long value = message == WM_QUIT ? static_cast<int>(wparam) : message == WM_INITDIALOG ? 0 : wparam;
    return window + ':' + name + '(' + std::to_string(value) + ')';
}

void note(const std::string& window, UINT message, WPARAM wparam) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.push_back(describe(window, message, wparam));
}

// The notes so far that start with prefix, space-separated.
std::string notes(const std::string& prefix = "") {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string out;
    for (const auto& n : g_notes) {
        if (n.rfind(prefix, 0) != 0) continue;
        if (!out.empty()) out += ' ';
        out += n;
    }
    return out;
}

// All the notes so far, forgotten once taken.
std::string take_notes() {
    std::string out = notes();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.clear();
    return out;
}

// Messages a test is about; the rest (creation, the window manager's own) go by.
bool noted(UINT message) {
    return message >= WM_USER || message == WM_TIMER || message == WM_DESTROY || message == WM_INITDIALOG;
}

LRESULT handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, const Handler* fallback) {
    // A procedure runs on its window's thread only, however the message came.
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), GetCurrentThreadId()) << message;
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_notes.push_back(describe(g_names[hwnd], message, wparam));
        auto it = g_handlers.find(hwnd);
        if (it != g_handlers.end()) handler = it->second;
        else if (fallback) handler = *fallback;
    }
    return handler ? handler(hwnd, message, wparam, lparam) : 0;
}

LRESULT CALLBACK NotingProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!noted(message)) return DefWindowProcW(hwnd, message, wparam, lparam);
    return handle(hwnd, message, wparam, lparam, nullptr);
}

BOOL CALLBACK NotingDialog(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (!noted(message)) return FALSE;
    if (message == WM_INITDIALOG) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_names[hwnd] = "dlg";
    }
    handle(hwnd, message, wparam, lparam, &g_dialog_handler);
    return TRUE;
}

// A window of the calling thread.
HWND make_window(const std::string& name, Handler handler = {}) {
    static const bool registered = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = NotingProc;
        wc.lpszClassName = u"QueueTest";
        return RegisterClassW(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    HWND hwnd = CreateWindowExW(0, u"QueueTest", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(hwnd, nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_names[hwnd] = name;
    if (handler) g_handlers[hwnd] = std::move(handler);
    return hwnd;
}

// Ends a loop that a fault left waiting for a quit that never comes, so that
// its test fails on the sequence rather than hangs.
void CALLBACK Watchdog(HWND, UINT, UINT_PTR id, DWORD) {
    note("watchdog", WM_TIMER, 0);
    KillTimer(nullptr, id);
    PostQuitMessage(-1);
}

// The thread's message loop, as a program's WinMain runs it; its WM_QUIT's code.
int pump() {
    UINT_PTR watchdog = SetTimer(nullptr, 0, 30000, Watchdog);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message != WM_TIMER) note("thread", msg.message, msg.wParam);
        if (msg.hwnd && !IsWindow(msg.hwnd)) note("gone", msg.message, msg.wParam);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, watchdog);
    note("loop", WM_QUIT, msg.wParam);
    return static_cast<int>(msg.wParam);
}

template <class Pred>
bool eventually(Pred pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// How many sends from other threads wait in the thread's queue.
size_t sends_waiting(DWORD thread) {
    auto queue = ce::user::queue_of_thread(thread);
    if (!queue) return 0;
    std::lock_guard<std::mutex> lock(queue->mutex);
    return queue->sent.size();
}

// A send from a thread of its own; its answer and error once it returned.
struct Sender {
    LRESULT answer = -1;
    DWORD error = 0;
    std::thread thread;
    void start(HWND hwnd, UINT message, WPARAM value) {
        thread = std::thread([this, hwnd, message, value] {
            SetLastError(0);
            answer = SendMessageW(hwnd, message, value, 0);
            error = GetLastError();
        });
    }
};

class MessageQueue : public ::testing::Test {
protected:
    void SetUp() override { take_notes(); }
    void TearDown() override {
        std::vector<HWND> windows;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            for (const auto& [hwnd, name] : g_names) windows.push_back(hwnd);
        }
        for (HWND hwnd : windows) {
            if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) DestroyWindow(hwnd);
        }
        // Whatever a table left out is still queued.
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << describe("left", msg.message, msg.wParam);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {}
        std::lock_guard<std::mutex> lock(g_mutex);
        g_names.clear();
        g_handlers.clear();
        g_dialog_handler = nullptr;
        g_notes.clear();
    }

    cetest::TempRoot root_;  // windows never reach a host here (CE_HOST_AUTOSTART=0)
};

// ---- one thread: a script of posts, sends, timers and quits, and what the loop then delivers ----

// Sends answer ten times their value; a timer kills itself and ends the loop with its id.
LRESULT standard(HWND hwnd, UINT message, WPARAM wparam, LPARAM) {
    if (message == kSend) return static_cast<LRESULT>(wparam * 10);
    if (message == WM_TIMER) {
        KillTimer(hwnd, wparam);
        PostQuitMessage(static_cast<int>(wparam));
    }
    return 0;
}

struct Script {
    const char* name;
    const char* steps;  // see run_step
    const char* expected;
};

const Script kScripts[] = {
    {"SentRunsAtOncePostedInOrderQuitLast", "post a 1; post b 2; send a 3; quit 7; post a 4; threadpost 5; pump",
     "a:send(3) a:post(1) b:post(2) a:post(4) thread:post(5) loop:quit(7)"},
    {"ADueTimerWaitsForPostedMessagesAndTheQuit", "timer a 11; post a 1; quit 3; pump; pump",
     "a:post(1) loop:quit(3) a:timer(11) loop:quit(11)"},
    {"AKilledTimerNeverFires", "timer a 12; kill a 12; timer b 13; pump", "b:timer(13) loop:quit(13)"},
    {"ADestroyedWindowTakesItsMessagesAndTimers", "post a 1; timer a 14; post b 2; destroy a; timer b 15; pump",
     "a:destroy(0) b:post(2) b:timer(15) loop:quit(15)"},
};

void PrintTo(const Script& s, std::ostream* out) { *out << s.name; }

// Polls without taking anything until a WM_TIMER of the window is due.
void wait_until_due(HWND hwnd) {
    MSG msg;
    ASSERT_TRUE(eventually(
        [&] { return PeekMessageW(&msg, hwnd, WM_TIMER, WM_TIMER, PM_NOREMOVE) && msg.message == WM_TIMER; }));
}

// One step: "post a 1", "send a 3", "threadpost 5", "quit 7", "timer a 11" (set,
// then waited for until due), "kill a 12", "destroy a", "pump".
void run_step(const std::string& step, const std::map<std::string, HWND>& windows) {
    std::istringstream in(step);
    std::string verb, window;
    WPARAM value = 0;
    in >> verb;
    if (verb == "post" || verb == "send" || verb == "timer" || verb == "kill" || verb == "destroy") in >> window;
    in >> value;
    HWND hwnd = window.empty() ? nullptr : windows.at(window);
    if (verb == "post") {
        ASSERT_TRUE(PostMessageW(hwnd, kPost, value, 0));
    } else if (verb == "send") {
        EXPECT_EQ(SendMessageW(hwnd, kSend, value, 0), static_cast<LRESULT>(value * 10));
    } else if (verb == "threadpost") {
        ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kPost, value, 0));
    } else if (verb == "quit") {
        PostQuitMessage(static_cast<int>(value));
    } else if (verb == "timer") {
        ASSERT_EQ(SetTimer(hwnd, value, 1, nullptr), value);
        wait_until_due(hwnd);
    } else if (verb == "kill") {
        ASSERT_TRUE(KillTimer(hwnd, value));
    } else if (verb == "destroy") {
        ASSERT_TRUE(DestroyWindow(hwnd));
    } else if (verb == "pump") {
        pump();
    } else {
        FAIL() << "no such step: " << step;
    }
}

class QueueOrder : public MessageQueue, public ::testing::WithParamInterface<Script> {};

TEST_P(QueueOrder, DeliversAsTheTableSays) {
    std::map<std::string, HWND> windows = {{"a", make_window("a", standard)}, {"b", make_window("b", standard)}};
    std::istringstream steps(GetParam().steps);
    for (std::string step; std::getline(steps, step, ';');) {
        ASSERT_NO_FATAL_FAILURE(run_step(step, windows)) << step;
    }
    EXPECT_EQ(take_notes(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(MessageQueue, QueueOrder, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// A filter takes the first message that matches and leaves the rest in
// order; a peek that does not remove leaves it too; WM_QUIT passes any range.
TEST_F(MessageQueue, FiltersTakeTheFirstMatchAndLeaveTheRestInOrder) {
    HWND a = make_window("a"), b = make_window("b");
    PostMessageW(a, kPost, 1, 0);
    PostMessageW(b, kPost, 2, 0);
    PostMessageW(a, kBack, 3, 0);
    PostMessageW(b, kBack, 4, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    ASSERT_TRUE(GetMessageW(&msg, nullptr, kBack, kBack));
    DispatchMessageW(&msg);
    ASSERT_TRUE(GetMessageW(&msg, b, kBack, kBack));
    DispatchMessageW(&msg);
    PostQuitMessage(5);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(pump(), 5);
    EXPECT_EQ(take_notes(), "a:back(3) b:back(4) a:post(1) b:post(2) loop:quit(5)");
}

// ---- two threads -------------------------------------------------------------------------------

// A message sent from another thread waits until the owner looks at its
// queue, then runs there before anything posted; a peek runs it even when
// its filter matches nothing.
TEST_F(MessageQueue, ASentMessageRunsOnTheOwnerBeforeAnythingPosted) {
    const DWORD me = GetCurrentThreadId();
    HWND a = make_window("a", standard);
    PostMessageW(a, kPost, 1, 0);
    Sender first, second;
    first.start(a, kSend, 2);
    ASSERT_TRUE(eventually([&] { return sends_waiting(me) == 1; }));
    MSG msg;
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    DispatchMessageW(&msg);
    EXPECT_EQ(take_notes(), "a:send(2) a:post(1)");
    first.thread.join();
    EXPECT_EQ(first.answer, 20);

    second.start(a, kSend, 3);
    ASSERT_TRUE(eventually([&] { return sends_waiting(me) == 1; }));
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(take_notes(), "a:send(3)");
    second.thread.join();
    EXPECT_EQ(second.answer, 30);
}

// Each thread, waiting on its own send, serves the other's: sends nest four
// deep across two threads and every answer finds its way back. A window of
// another thread is destroyed on its own thread.
TEST_F(MessageQueue, TwoThreadsSendingToEachOtherServeEachOther) {
    std::atomic<HWND> b{nullptr};
    HWND a = make_window("a", [&](HWND, UINT message, WPARAM n, LPARAM) -> LRESULT {
        if (message != kBack) return 0;
        return n >= 4 ? 100 : SendMessageW(b.load(), kSend, n + 1, 0) + 1;
    });
    std::thread worker([&] {
        HWND mine = make_window("b", [&](HWND, UINT message, WPARAM n, LPARAM) -> LRESULT {
            if (message == kSend) return SendMessageW(a, kBack, n + 1, 0) + 1;
            if (message == WM_DESTROY) PostQuitMessage(9);
            return 0;
        });
        b = mine;
        pump();
    });
    ASSERT_TRUE(eventually([&] { return b.load() != nullptr; }));
    EXPECT_EQ(SendMessageW(b.load(), kSend, 1, 0), 103);
    EXPECT_TRUE(DestroyWindow(b.load()));
    worker.join();
    EXPECT_EQ(take_notes(), "b:send(1) a:back(2) b:send(3) a:back(4) b:destroy(0) loop:quit(9)");
}

// Two threads that start sending to each other at the same moment never
// deadlock, and each window gets every message, in order.
TEST_F(MessageQueue, SendsCrossingBetweenTwoThreadsAllArriveInOrder) {
    constexpr WPARAM kRounds = 300;
    std::atomic<HWND> b{nullptr};
    std::atomic<bool> go{false};
    HWND a = make_window("a", [](HWND, UINT message, WPARAM n, LPARAM) -> LRESULT {
        if (message == kEnd) PostQuitMessage(0);
        return message == kSend ? static_cast<LRESULT>(n) : 0;
    });
    std::thread worker([&] {
        b = make_window("b", [](HWND, UINT message, WPARAM n, LPARAM) -> LRESULT {
            if (message == WM_DESTROY) PostQuitMessage(0);
            return message == kSend ? static_cast<LRESULT>(n) : 0;
        });
        while (!go) std::this_thread::yield();
        for (WPARAM i = 0; i < kRounds; i++) EXPECT_EQ(SendMessageW(a, kSend, i, 0), static_cast<LRESULT>(i));
        PostMessageW(a, kEnd, 0, 0);
        pump();
    });
    ASSERT_TRUE(eventually([&] { return b.load() != nullptr; }));
    go = true;
    for (WPARAM i = 0; i < kRounds; i++) EXPECT_EQ(SendMessageW(b.load(), kSend, i, 0), static_cast<LRESULT>(i));
    pump();  // until the worker's last send is served
    EXPECT_TRUE(DestroyWindow(b.load()));
    worker.join();
    auto every = [&](const char* window) {
        std::string out;
        for (WPARAM i = 0; i < kRounds; i++) {
            if (i) out += ' ';
            out += describe(window, kSend, i);
        }
        return out;
    };
    EXPECT_EQ(notes("a:send"), every("a"));
    EXPECT_EQ(notes("b:send"), every("b"));
}

// A send waiting on a window fails when the window goes first, whether its
// procedure destroys it while answering an earlier send (that answer stands)
// or its owner destroys it unserved; later sends and posts fail at once.
TEST_F(MessageQueue, AWindowDestroyedWhileSendsWaitFailsThem) {
    const DWORD me = GetCurrentThreadId();
    HWND a = make_window("a", [](HWND hwnd, UINT message, WPARAM n, LPARAM) -> LRESULT {
        if (message == kSend) DestroyWindow(hwnd);
        return message == kSend ? static_cast<LRESULT>(n * 10) : 0;
    });
    Sender one, two, three;
    one.start(a, kSend, 1);
    ASSERT_TRUE(eventually([&] { return sends_waiting(me) == 1; }));
    two.start(a, kSend, 2);
    ASSERT_TRUE(eventually([&] { return sends_waiting(me) == 2; }));
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    one.thread.join();
    two.thread.join();
    EXPECT_EQ(one.answer, 10);
    EXPECT_EQ(two.answer, 0);
    EXPECT_EQ(two.error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    HWND b = make_window("b", standard);
    three.start(b, kSend, 3);
    ASSERT_TRUE(eventually([&] { return sends_waiting(me) == 1; }));
    EXPECT_TRUE(DestroyWindow(b));
    three.thread.join();
    EXPECT_EQ(three.answer, 0);
    EXPECT_EQ(three.error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(take_notes(), "a:send(1) a:destroy(0) b:destroy(0)");

    SetLastError(0);
    EXPECT_EQ(SendMessageW(b, kSend, 4, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageW(a, kPost, 5, 0));
}

// A thread that ends with a send waiting in its queue releases the sender
// with a failure; its windows take no more messages.
TEST_F(MessageQueue, AThreadThatEndsFailsTheSendsWaitingOnIt) {
    std::atomic<HWND> b{nullptr};
    std::atomic<DWORD> owner{0};
    HANDLE end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        b = make_window("b", standard);
        owner = GetCurrentThreadId();
        WaitForSingleObject(end, INFINITE);  // ends without looking at its queue
    });
    ASSERT_TRUE(eventually([&] { return owner.load() != 0; }));
    Sender sender;
    sender.start(b.load(), kSend, 1);
    ASSERT_TRUE(eventually([&] { return sends_waiting(owner) == 1; }));
    SetEvent(end);
    worker.join();
    sender.thread.join();
    CloseHandle(end);
    EXPECT_EQ(sender.answer, 0);
    EXPECT_EQ(sender.error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(0);
    EXPECT_EQ(SendMessageW(b.load(), kSend, 2, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageW(b.load(), kPost, 3, 0));
    EXPECT_EQ(take_notes(), "");
}

// ---- a modal loop inside a sent message ----------------------------------------------------------

// Another thread sends the message that opens a modal dialog; inside the
// dialog's loop a message posted to the owner and one sent from a third
// thread are both served; the dialog ends by EndDialog or by WM_QUIT, which
// its loop passes on to the loop outside.
struct ModalCase {
    const char* name;
    bool quit;  // the dialog's loop meets WM_QUIT instead of its end command
    const char* expected;
};

const ModalCase kModalCases[] = {
    {"EndedByItsCommand", false,
     "a:open(0) dlg:initdialog(0) a:post(1) a:send(2) dlg:end(0) dlg:destroy(0) a:post(3) loop:quit(0)"},
    {"EndedByTheQuitMessage", true,
     "a:open(0) dlg:initdialog(0) a:post(1) a:send(2) dlg:destroy(0) a:post(3) loop:quit(6)"},
};

void PrintTo(const ModalCase& c, std::ostream* out) { *out << c.name; }

class ModalLoopInASentMessage : public MessageQueue, public ::testing::WithParamInterface<ModalCase> {};

// An empty dialog of the system's dialog class.
struct EmptyDialog {
    DWORD style = WS_POPUP;
    DWORD ex_style = 0;
    WORD items = 0;
    short x = 0, y = 0, cx = 100, cy = 100;
    WORD menu = 0, window_class = 0, title = 0;
};

TEST_P(ModalLoopInASentMessage, ServesBothKindsAndReturnsTheDialogsResult) {
    const bool quit = GetParam().quit;
    static const EmptyDialog dialog_template;
    std::atomic<HWND> dialog{nullptr};
    std::thread third;
    HWND a = nullptr;
    a = make_window("a", [&](HWND hwnd, UINT message, WPARAM n, LPARAM) -> LRESULT {
        if (message == kOpen) {
            INT_PTR result = DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATE>(&dialog_template), hwnd,
                                                     NotingDialog, 0);
            PostMessageW(hwnd, kPost, 3, 0);
            return result;
        }
        if (message == kPost && n == 1) third = std::thread([hwnd] { SendMessageW(hwnd, kSend, 2, 0); });
        if (message == kSend) {
            if (quit) PostQuitMessage(6);
            else PostMessageW(dialog.load(), kEnd, 0, 0);
        }
        if (message == kPost && n == 3 && !quit) PostQuitMessage(0);
        return 0;
    });
    g_dialog_handler = [&](HWND hwnd, UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_INITDIALOG) {
            dialog = hwnd;
            PostMessageW(a, kPost, 1, 0);
        }
        if (message == kEnd) EndDialog(hwnd, 42);
        return 0;
    };
    Sender opener;
    opener.start(a, kOpen, 0);
    pump();
    opener.thread.join();
    if (third.joinable()) third.join();
    if (!quit) {
        EXPECT_EQ(opener.answer, 42);
    }
    EXPECT_FALSE(IsWindow(dialog.load()));
    EXPECT_TRUE(IsWindowEnabled(a));
    EXPECT_EQ(take_notes(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(MessageQueue, ModalLoopInASentMessage, ::testing::ValuesIn(kModalCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
