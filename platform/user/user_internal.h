// The window manager's insides, shared by libce's window, queue and dialog
// code and by the display driver (libceui) that makes windows visible.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "windows.h"

namespace ce::user {

struct Window;

// A thread's message queue: posted messages, messages sent to it from other
// threads (waiting for their result), its timers and its quit request.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    LRESULT result = 0;
    bool done = false;
    bool failed = false;
    std::shared_ptr<struct ThreadQueue> sender;  // woken when done (may be null)
};

struct Timer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT elapse = 0;  // platform milliseconds
    TIMERPROC proc = nullptr;
    std::chrono::steady_clock::time_point due;
};

struct ThreadQueue {
    DWORD thread_id = 0;
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;  // something arrived since the last wait
    bool alive = true;       // false once the thread has ended
    bool gui = false;        // waits go through the display driver
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;

    // Marks the queue signalled and wakes its thread, wherever it waits.
    void wake();
};

// The calling thread's queue (made on first use).
std::shared_ptr<ThreadQueue> current_queue();
std::shared_ptr<ThreadQueue> queue_of_thread(DWORD thread_id);

// Runs the messages other threads have sent to this thread. True if any ran.
bool run_sent_messages(ThreadQueue& queue);
// Waits until the queue is signalled or the deadline passes.
void wait_queue(ThreadQueue& queue, std::chrono::steady_clock::time_point deadline);

// ---- windows -------------------------------------------------------------------

struct WindowClass {
    std::u16string name;
    WNDPROC proc = nullptr;
    UINT style = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HBRUSH background = nullptr;
    bool system = false;  // a control class of the windowing layer
};

struct Window {
    HWND hwnd = nullptr;
    DWORD thread_id = 0;
    std::weak_ptr<ThreadQueue> queue;
    std::shared_ptr<WindowClass> cls;
    std::atomic<WNDPROC> proc{nullptr};
    std::atomic<DWORD> style{0};
    std::atomic<DWORD> ex_style{0};
    std::atomic<int> control_id{0};
    HWND parent = nullptr;  // child windows
    HWND owner = nullptr;   // owned top-level windows (dialogs)
    HINSTANCE instance = nullptr;
    std::u16string text;  // guarded by the window table's lock
    RECT rect{};          // parent's client coordinates (screen for top-level)
    std::atomic<LONG_PTR> user_data{0};
    std::array<std::atomic<LONG_PTR>, 3> dialog_words{};  // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER
    std::atomic<bool> destroyed{false};
    std::atomic<bool> enabled{true};
    std::atomic<bool> visible{false};
    bool registered = false;  // known to the root's broker
    std::vector<HWND> children;

    // Dialogs.
    bool is_dialog = false;
    std::atomic<bool> dialog_ended{false};
    std::atomic<INT_PTR> dialog_result{0};
    HWND default_button = nullptr;

    // The display driver's object (a widget) and anything else it keeps.
    void* native = nullptr;
    void* native_extra = nullptr;

    bool top_level() const { return (style.load() & WS_CHILD) == 0; }
};

// Looks a window of this process up; null for unknown or destroyed ones.
std::shared_ptr<Window> find(HWND hwnd);
// The same, setting ERROR_INVALID_WINDOW_HANDLE when there is no such window.
std::shared_ptr<Window> find_or_fail(HWND hwnd);
// Whether the value names a window of another process (its pid differs).
bool is_foreign(HWND hwnd);
// Every live window of this process, in creation order.
std::vector<std::shared_ptr<Window>> all_windows();
// The lock that guards window texts, rectangles and child lists.
std::mutex& table_mutex();

// Fails what waits on a window that is going away and drops its messages.
void forget_window_messages(HWND hwnd, ThreadQueue& queue);

// Calls the window's procedure on this thread (the caller is its thread).
LRESULT call_proc(Window& window, UINT message, WPARAM wparam, LPARAM lparam);

std::u16string window_text(const Window& window);
void store_text(Window& window, const std::u16string& text);

// ---- the display driver ------------------------------------------------------------

// What makes windows visible and lets the GUI thread wait on its toolkit's
// events as well as on its message queue. Without one, windows exist and get
// their messages, but nothing is shown.
class DisplayDriver {
public:
    virtual ~DisplayDriver() = default;
    // Whether the calling thread is the toolkit's thread (its waits go through wait()).
    virtual bool is_gui_thread() = 0;
    // On the GUI thread: handles toolkit events until woken or the deadline.
    virtual void wait(std::chrono::steady_clock::time_point deadline) = 0;
    // From any thread: ends the GUI thread's current wait.
    virtual void wake() = 0;
    // Called on the window's thread as windows come and go and change.
    virtual void window_created(Window& window) = 0;
    virtual void window_destroyed(Window& window) = 0;
    virtual void window_shown(Window& window, bool visible) = 0;
    virtual void window_enabled(Window& window, bool enabled) = 0;
    virtual void window_text_changed(Window& window) = 0;
    virtual void window_moved(Window& window) = 0;
    virtual void window_raised(Window& window) = 0;
    virtual HWND focus() = 0;
    virtual void set_focus(Window& window) = 0;
    virtual int message_box(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) = 0;
    virtual void set_wait_cursor(bool on) = 0;
};

void set_display_driver(DisplayDriver* driver);

// The phone's screen: CE_SCREEN=WxH, by default 240x320 (portrait).
void screen_size(int* width, int* height);

// Messages the window manager sends itself so that a change asked for on
// another thread happens on the window's own thread. They never reach a
// window procedure (they lie above the 16-bit message range).
constexpr UINT kShowMessage = 0x10001;
constexpr UINT kEnableMessage = 0x10002;
constexpr UINT kRaiseMessage = 0x10003;
constexpr UINT kMoveMessage = 0x10004;
constexpr UINT kDestroyMessage = 0x10005;

// Registers a control class of the windowing layer (shared by every module).
bool register_system_class(const std::u16string& name, WNDPROC proc);
DisplayDriver* display_driver();

// The dialog template walker (also used by the windowing layer's tests).
struct DialogItem {
    DWORD style = 0;
    DWORD ex_style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    std::u16string class_name;  // atoms are given as their class names
    std::u16string text;
    WORD icon = 0;  // a title given by ordinal (an icon's id)
};
struct DialogTemplate {
    DWORD style = 0;
    DWORD ex_style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::u16string caption;
    std::u16string class_name;
    WORD point_size = 0;
    std::u16string face;
    std::vector<DialogItem> items;
};
// False for a template that runs past its end or names nothing sensible.
bool parse_dialog_template(const void* data, size_t size, DialogTemplate& out);

// Dialog units to pixels for the dialog font (8-point on a 96-dpi screen).
int dlu_to_x(int dlu);
int dlu_to_y(int dlu);

}  // namespace ce::user
