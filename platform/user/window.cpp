// Windows and window classes: the table of this process's windows, their
// properties, and the windows of other processes of the root through the
// broker in cehost. A window value carries its process id in its high half,
// so a value from another process is told apart without asking anyone.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "ce_platform.h"
#include "ce_trace.h"
#include "user_internal.h"
#include "window_broker.h"

namespace ce::user {

namespace {

struct Table {
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<Window>> windows;
    std::vector<HWND> order;                                         // creation order, for FindWindowW and listings
    std::map<std::u16string, std::shared_ptr<WindowClass>> classes;  // upper-cased names
    uint32_t next = 0;
    HWND last_raised = nullptr;
};

Table& table() {
    static auto* t = new Table;  // windows may be touched during exit
    return *t;
}

std::u16string upper(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return s;
}

std::u16string class_key(LPCWSTR name) {
    if (!name) return {};
    // An atom from RegisterClassW stands for the class it registered.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000) {
        return u"#" + widen(std::to_string(reinterpret_cast<uintptr_t>(name)));
    }
    return upper(name);
}

HWND new_hwnd() {
    auto& t = table();
    if (t.next == 0) {
        // Values differ from one run of a process id to the next.
        std::random_device rd;
        t.next = (rd() & 0xFFFFu) << 12 | 1;
    }
    uint64_t value = static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32 | t.next++;
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
}

uint64_t value_of(HWND hwnd) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)); }

// The broker runs a request from another process for one of our windows.
broker::Result handle_remote(const broker::Request& r) {
    broker::Result out;
    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(r.hwnd));
    HWND target = hwnd;
    if ((r.kind == broker::Kind::GetText || r.kind == broker::Kind::SetText) && r.item >= 0) {
        target = GetDlgItem(hwnd, r.item);
    }
    if (!find(hwnd) || !target) {
        out.error = ERROR_INVALID_WINDOW_HANDLE;
        return out;
    }
    SetLastError(ERROR_SUCCESS);
    switch (r.kind) {
        case broker::Kind::Send:
            out.value = SendMessageW(target, r.message, r.wparam, r.lparam);
            out.ok = GetLastError() != ERROR_INVALID_WINDOW_HANDLE;
            break;
        case broker::Kind::Post:
            out.ok = PostMessageW(target, r.message, r.wparam, r.lparam) != FALSE;
            out.value = out.ok;
            break;
        case broker::Kind::GetText: {
            int n = static_cast<int>(SendMessageW(target, WM_GETTEXTLENGTH, 0, 0));
            std::u16string text(static_cast<size_t>(std::max(n, 0)) + 1, u'\0');
            int got =
                static_cast<int>(SendMessageW(target, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
            text.resize(static_cast<size_t>(std::clamp(got, 0, n)));
            out.text = text;
            out.ok = find(target) != nullptr;
            break;
        }
        case broker::Kind::SetText:
            out.ok = SetWindowTextW(target, r.text.c_str()) != FALSE;
            out.value = out.ok;
            break;
        case broker::Kind::Foreground:
            SendMessageW(target, kRaiseMessage, 0, 0);
            out.ok = true;
            out.value = 1;
            break;
    }
    if (!out.ok && !out.error) out.error = ERROR_INVALID_WINDOW_HANDLE;
    return out;
}

void ensure_broker_handler() {
    static const bool installed = [] {
        broker::set_handler(&handle_remote);
        return true;
    }();
    (void)installed;
}

// Runs fn on the window's own thread: at once when the caller is that thread,
// else by a message sent to it.
template <class Fn>
bool on_window_thread(Window& w, UINT message, WPARAM wparam, LPARAM lparam, Fn fn) {
    if (w.thread_id == GetCurrentThreadId()) {
        fn();
        return true;
    }
    SetLastError(ERROR_SUCCESS);
    SendMessageW(w.hwnd, message, wparam, lparam);
    return GetLastError() != ERROR_INVALID_WINDOW_HANDLE;
}

void do_show(Window& w, bool show) {
    bool was = w.visible.exchange(show);
    if (was == show) return;
    if (auto* d = display_driver()) d->window_shown(w, show);
}

void do_enable(Window& w, bool enable) {
    bool was = w.enabled.exchange(enable);
    if (was == enable) return;
    if (auto* d = display_driver()) d->window_enabled(w, enable);
    call_proc(w, WM_ENABLE, enable ? TRUE : FALSE, 0);
}

// Raises the window and then the windows it owns (its open dialog, and the
// dialog that one opened), which stay above it, each above its owner.
void do_raise(Window& w) {
    std::vector<std::shared_ptr<Window>> owned;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        table().last_raised = w.hwnd;
        std::vector<HWND> owners{w.hwnd};
        for (size_t i = 0; i < owners.size(); i++) {
            for (const auto& [value, other] : table().windows) {
                if (other->owner != owners[i] || other->destroyed.load() || !other->visible.load()) continue;
                // An owner's owned window is raised once, even in a cycle a program made.
                if (std::find(owners.begin(), owners.end(), other->hwnd) != owners.end()) continue;
                owners.push_back(other->hwnd);
                owned.push_back(other);
            }
        }
    }
    auto* d = display_driver();
    if (!d) return;
    d->window_raised(w);
    for (auto& o : owned) d->window_raised(*o);
}

}  // namespace

std::mutex& table_mutex() { return table().mutex; }

std::shared_ptr<Window> find(HWND hwnd) {
    if (!hwnd) return nullptr;
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.windows.find(value_of(hwnd));
    if (it == t.windows.end() || it->second->destroyed.load()) return nullptr;
    return it->second;
}

std::shared_ptr<Window> find_or_fail(HWND hwnd) {
    auto w = find(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

bool is_foreign(HWND hwnd) {
    uint64_t v = value_of(hwnd);
    uint32_t pid = static_cast<uint32_t>(v >> 32);
    return pid != 0 && pid != static_cast<uint32_t>(getpid());
}

std::vector<std::shared_ptr<Window>> all_windows() {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::vector<std::shared_ptr<Window>> out;
    for (HWND h : t.order) {
        auto it = t.windows.find(value_of(h));
        if (it != t.windows.end() && !it->second->destroyed.load()) out.push_back(it->second);
    }
    return out;
}

std::u16string window_text(const Window& w) {
    std::lock_guard<std::mutex> lock(table().mutex);
    return w.text;
}

void store_text(Window& w, const std::u16string& text) {
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        w.text = text;
    }
    if (w.registered) broker::set_title(value_of(w.hwnd), text);
}

bool register_system_class(const std::u16string& name, WNDPROC proc) {
    auto cls = std::make_shared<WindowClass>();
    cls->name = name;
    cls->proc = proc;
    cls->system = true;
    std::lock_guard<std::mutex> lock(table().mutex);
    table().classes[upper(name)] = cls;
    return true;
}

void screen_size(int* width, int* height) {
    int w = 240, h = 320;
    if (const char* env = std::getenv("CE_SCREEN")) {
        int a = 0, b = 0;
        if (std::sscanf(env, "%dx%d", &a, &b) == 2 && a >= 120 && b >= 120 && a <= 4096 && b <= 4096) {
            w = a;
            h = b;
        }
    }
    if (width) *width = w;
    if (height) *height = h;
}

LRESULT call_proc(Window& w, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case kShowMessage: do_show(w, wparam != 0); return 0;
        case kEnableMessage: do_enable(w, wparam != 0); return 0;
        case kRaiseMessage: do_raise(w); return 0;
        case kMoveMessage:
            if (auto* d = display_driver()) d->window_moved(w);
            return 0;
        case kDestroyMessage: return DestroyWindow(w.hwnd);
        default: break;
    }
    WNDPROC proc = w.proc.load();
    if (!proc) return DefWindowProcW(w.hwnd, message, wparam, lparam);
    return proc(w.hwnd, message, wparam, lparam);
}

}  // namespace ce::user

using namespace ce::user;
using ce::trace::hex;
using ce::user::Window;

static ATOM register_class(const WNDCLASSW* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->proc = wc->lpfnWndProc;
    cls->style = wc->style;
    cls->instance = wc->hInstance;
    cls->icon = wc->hIcon;
    cls->background = wc->hbrBackground;
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto key = upper(cls->name);
    auto it = t.classes.find(key);
    if (it != t.classes.end() && !it->second->system) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    t.classes[key] = cls;
    return static_cast<ATOM>(0xC000 + (t.classes.size() & 0x3FFF));
}

// RegisterClassW -> a class of this process by name; its atom (the class name stays the usual way to name it).
ATOM RegisterClassW(const WNDCLASSW* wc) {
    return CE_TRACE_RET(ui, register_class(wc), 0, RegisterClassW, wc ? wc->lpszClassName : nullptr);
}

// UnregisterClassW -> forgets a class of this process.
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    auto& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.classes.find(class_key(className));
    if (it == t.classes.end() || it->second->system) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    t.classes.erase(it);
    return TRUE;
}

static HWND create_window(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                          int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    std::shared_ptr<WindowClass> cls;
    {
        auto& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.classes.find(class_key(className));
        if (it != t.classes.end()) cls = it->second;
    }
    if (!cls) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    std::shared_ptr<Window> parent_window;
    if (parent) {
        parent_window = find(parent);
        if (!parent_window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
    } else if (style & WS_CHILD) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    auto w = std::make_shared<Window>();
    w->cls = cls;
    w->proc.store(cls->proc);
    w->style.store(style & ~WS_VISIBLE);
    w->ex_style.store(exStyle);
    w->instance = instance;
    w->text = windowName ? windowName : u"";
    w->thread_id = GetCurrentThreadId();
    w->queue = current_queue();
    w->enabled.store((style & WS_DISABLED) == 0);
    if (style & WS_CHILD) {
        w->parent = parent;
        w->control_id.store(static_cast<int>(reinterpret_cast<intptr_t>(menu)));
    } else {
        w->owner = parent;
    }
    int sw = 0, sh = 0;
    screen_size(&sw, &sh);
    if (x == CW_USEDEFAULT) x = 0, y = 0;
    if (width == CW_USEDEFAULT) width = sw, height = sh;
    w->rect = RECT{x, y, x + width, y + height};
    {
        auto& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        w->hwnd = new_hwnd();
        t.windows[value_of(w->hwnd)] = w;
        t.order.push_back(w->hwnd);
        if (parent_window) parent_window->children.push_back(w->hwnd);
    }
    if (auto* d = display_driver()) d->window_created(*w);
    CREATESTRUCTW cs{};
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cx = width;
    cs.cy = height;
    cs.x = x;
    cs.y = y;
    cs.style = static_cast<LONG>(style);
    cs.lpszName = windowName;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    if (call_proc(*w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(w->hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!(style & WS_CHILD) && !w->destroyed.load()) {
        ensure_broker_handler();
        w->registered = ce::broker::add_window(value_of(w->hwnd), cls->name, window_text(*w));
    }
    if (style & WS_VISIBLE) {
        w->style.fetch_or(WS_VISIBLE);
        do_show(*w, true);
    }
    return w->destroyed.load() ? nullptr : w->hwnd;
}

// CreateWindowExW -> a window of the calling thread, after WM_CREATE; a top-level one is listed with the broker.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    return CE_TRACE_RET(
        ui, create_window(exStyle, className, windowName, style, x, y, width, height, parent, menu, instance, param),
        nullptr, CreateWindowExW, className, windowName, hex(style), parent);
}

// DestroyWindow -> on the window's thread: WM_DESTROY, its owned and child windows, then itself; waiters fail.
BOOL DestroyWindow(HWND window) {
    auto w = find_or_fail(window);
    if (!w) return FALSE;
    if (w->thread_id != GetCurrentThreadId()) {
        SetLastError(ERROR_SUCCESS);
        LRESULT r = SendMessageW(window, kDestroyMessage, 0, 0);
        return r ? TRUE : FALSE;
    }
    call_proc(*w, WM_DESTROY, 0, 0);
    std::vector<HWND> dependants;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        dependants = w->children;
        for (const auto& [value, other] : table().windows) {
            if (other->owner == window && !other->destroyed.load()) dependants.push_back(other->hwnd);
        }
    }
    for (HWND h : dependants) DestroyWindow(h);
    if (w->destroyed.exchange(true)) return TRUE;
    if (auto* d = display_driver()) d->window_destroyed(*w);
    if (auto q = w->queue.lock()) forget_window_messages(window, *q);
    if (w->registered) ce::broker::remove_window(value_of(window));
    {
        auto& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        if (w->parent) {
            auto it = t.windows.find(value_of(w->parent));
            if (it != t.windows.end()) {
                auto& c = it->second->children;
                c.erase(std::remove(c.begin(), c.end(), window), c.end());
            }
        }
        t.windows.erase(value_of(window));
        t.order.erase(std::remove(t.order.begin(), t.order.end(), window), t.order.end());
        if (t.last_raised == window) t.last_raised = nullptr;
    }
    return TRUE;
}

// IsWindow -> TRUE for a live window of this process, or one the broker lists for another process.
BOOL IsWindow(HWND window) {
    if (!window) return FALSE;
    if (!is_foreign(window)) return find(window) ? TRUE : FALSE;
    auto list = ce::broker::list();
    if (!list) return FALSE;
    for (const auto& e : *list) {
        if (e.hwnd == value_of(window)) return TRUE;
    }
    return FALSE;
}

// DefWindowProcW -> the window's text, WM_CLOSE destroys, everything else 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto w = find(window);
    if (!w) return 0;
    switch (message) {
        case WM_SETTEXT: {
            auto text = lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string();
            store_text(*w, text);
            if (auto* d = display_driver()) d->window_text_changed(*w);
            return TRUE;
        }
        case WM_GETTEXT: {
            if (wParam == 0 || !lParam) return 0;
            auto text = window_text(*w);
            size_t n = std::min<size_t>(text.size(), wParam - 1);
            auto* out = reinterpret_cast<LPWSTR>(lParam);
            std::copy_n(text.data(), n, out);
            out[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH: return static_cast<LRESULT>(window_text(*w).size());
        case WM_CLOSE: DestroyWindow(window); return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(window, &ps);
            EndPaint(window, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        default: return 0;
    }
}

// CallWindowProcW -> a plain call of the procedure (there are no ANSI thunks to go through).
LRESULT CallWindowProcW(WNDPROC proc, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!proc) return 0;
    return proc(window, message, wParam, lParam);
}

// FindWindowW -> this process's top-level windows, then the broker's; case-insensitive, a null class or title matches.
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    auto matches = [&](const std::u16string& cls, const std::u16string& title) {
        if (className && upper(cls) != class_key(className)) return false;
        if (windowName && upper(title) != upper(windowName)) return false;
        return true;
    };
    for (const auto& w : all_windows()) {
        if (w->top_level() && matches(w->cls->name, window_text(*w))) return w->hwnd;
    }
    if (auto list = ce::broker::list()) {
        for (const auto& e : *list) {
            HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(e.hwnd));
            if (is_foreign(h) && matches(e.class_name, e.title)) return h;
        }
    }
    return nullptr;
}

// SetForegroundWindow -> raises the window (another process's through the broker, which remembers it).
BOOL SetForegroundWindow(HWND window) {
    if (window && is_foreign(window)) {
        ce::broker::Request r;
        r.kind = ce::broker::Kind::Foreground;
        r.hwnd = value_of(window);
        auto result = ce::broker::forward(r);
        if (!result.ok) SetLastError(result.error);
        return result.ok ? TRUE : FALSE;
    }
    auto w = find_or_fail(window);
    if (!w) return FALSE;
    return on_window_thread(*w, kRaiseMessage, 0, 0, [&] { do_raise(*w); }) ? TRUE : FALSE;
}

// GetForegroundWindow -> the window last raised through the broker, else the one this process raised last.
HWND GetForegroundWindow() {
    if (uint64_t v = ce::broker::foreground()) return reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
    std::lock_guard<std::mutex> lock(table().mutex);
    return table().last_raised;
}

// SetFocus -> the display driver moves the toolkit's focus (windows of this thread only); the previous focus.
HWND SetFocus(HWND window) {
    auto* d = display_driver();
    HWND previous = d ? d->focus() : nullptr;
    auto w = find(window);
    if (w && d && w->thread_id == GetCurrentThreadId()) d->set_focus(*w);
    return previous;
}

// GetFocus -> the display driver's focused window; NULL without a display.
HWND GetFocus() {
    auto* d = display_driver();
    return d ? d->focus() : nullptr;
}

// ShowWindow -> the previous visibility; done on the window's thread.
BOOL ShowWindow(HWND window, int command) {
    auto w = find_or_fail(window);
    if (!w) return FALSE;
    bool was = w->visible.load();
    bool show = command != SW_HIDE && command != SW_MINIMIZE;
    if (show) w->style.fetch_or(WS_VISIBLE);
    else w->style.fetch_and(~static_cast<DWORD>(WS_VISIBLE));
    on_window_thread(*w, kShowMessage, show, 0, [&] { do_show(*w, show); });
    return was ? TRUE : FALSE;
}

// UpdateWindow -> a visible window gets its WM_PAINT at once.
BOOL UpdateWindow(HWND window) {
    auto w = find(window);
    if (!w) return FALSE;
    if (w->visible.load()) SendMessageW(window, WM_PAINT, 0, 0);
    return TRUE;
}

// EnableWindow -> nonzero when the window was disabled before; done on the window's thread.
BOOL EnableWindow(HWND window, BOOL enable) {
    auto w = find_or_fail(window);
    if (!w) return FALSE;
    bool was_disabled = !w->enabled.load();
    if (enable) w->style.fetch_and(~static_cast<DWORD>(WS_DISABLED));
    else w->style.fetch_or(WS_DISABLED);
    on_window_thread(*w, kEnableMessage, enable ? 1 : 0, 0, [&] { do_enable(*w, enable != FALSE); });
    return was_disabled ? TRUE : FALSE;
}

// IsWindowEnabled -> the window's enabled flag; FALSE for a window that is gone.
BOOL IsWindowEnabled(HWND window) {
    auto w = find(window);
    return w && w->enabled.load() ? TRUE : FALSE;
}

// IsWindowVisible -> the window's visible flag; FALSE for a window that is gone.
BOOL IsWindowVisible(HWND window) {
    auto w = find(window);
    return w && w->visible.load() ? TRUE : FALSE;
}

static BOOL set_window_text(HWND window, LPCWSTR text) {
    if (window && is_foreign(window)) {
        ce::broker::Request r;
        r.kind = ce::broker::Kind::SetText;
        r.hwnd = value_of(window);
        r.text = text ? text : u"";
        auto result = ce::broker::forward(r);
        if (!result.ok) SetLastError(result.error);
        return result.ok ? TRUE : FALSE;
    }
    if (!find(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    LRESULT r = SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : u""));
    return r && GetLastError() != ERROR_INVALID_WINDOW_HANDLE ? TRUE : FALSE;
}

// SetWindowTextW -> WM_SETTEXT on the window's thread; another process's window through the broker.
BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    return CE_TRACE_RET(ui, set_window_text(window, text), FALSE, SetWindowTextW, window, text);
}

// GetWindowTextW -> WM_GETTEXT on the window's thread; another process's window through the broker.
int GetWindowTextW(HWND window, LPWSTR text, int max) {
    if (!text || max <= 0) return 0;
    text[0] = 0;
    if (window && is_foreign(window)) {
        ce::broker::Request r;
        r.kind = ce::broker::Kind::GetText;
        r.hwnd = value_of(window);
        auto result = ce::broker::forward(r);
        if (!result.ok) {
            SetLastError(result.error);
            return 0;
        }
        size_t n = std::min<size_t>(result.text.size(), static_cast<size_t>(max - 1));
        std::copy_n(result.text.data(), n, text);
        text[n] = 0;
        return static_cast<int>(n);
    }
    if (!find(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(max), reinterpret_cast<LPARAM>(text)));
}

// GetWindowTextLengthW -> WM_GETTEXTLENGTH to the window; 0 for a window that is gone.
int GetWindowTextLengthW(HWND window) {
    if (!find(window)) return 0;
    return static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

// GetParent -> a child's parent, a top-level window's owner.
HWND GetParent(HWND window) {
    auto w = find(window);
    if (!w) return nullptr;
    return w->parent ? w->parent : w->owner;
}

// GetWindow -> GW_OWNER only: the window's owner.
HWND GetWindow(HWND window, UINT command) {
    auto w = find(window);
    if (!w || command != GW_OWNER) return nullptr;
    return w->owner;
}

// GetWindowThreadProcessId -> the creating thread; the process from the window's value.
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    uint64_t v = value_of(window);
    if (processId) *processId = static_cast<DWORD>(v >> 32);
    auto w = find(window);
    return w ? w->thread_id : 0;
}

namespace {

// Reads or writes one of a window's words; Ptr selects the pointer-sized dialog offsets.
LONG_PTR window_long(HWND window, int index, bool set, LONG_PTR value, bool ptr) {
    auto w = find_or_fail(window);
    if (!w) return 0;
    auto swap = [&](auto& slot) -> LONG_PTR {
        LONG_PTR old = static_cast<LONG_PTR>(slot.load());
        if (set) slot.store(static_cast<std::remove_reference_t<decltype(slot.load())>>(value));
        return old;
    };
    switch (index) {
        case GWL_STYLE: return static_cast<LONG>(swap(w->style));
        case GWL_EXSTYLE: return static_cast<LONG>(swap(w->ex_style));
        case GWL_ID: return swap(w->control_id);
        case GWL_USERDATA: return swap(w->user_data);
        case GWL_WNDPROC: {
            LONG_PTR old = reinterpret_cast<LONG_PTR>(w->proc.load());
            if (set) w->proc.store(reinterpret_cast<WNDPROC>(value));
            return old;
        }
        default: break;
    }
    if (w->is_dialog && index >= 0) {
        int slot = ptr ? index / static_cast<int>(sizeof(LONG_PTR)) : index / 4;
        if (slot < 3 && index % (ptr ? static_cast<int>(sizeof(LONG_PTR)) : 4) == 0) {
            return swap(w->dialog_words[static_cast<size_t>(slot)]);
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

}  // namespace

// GetWindowLongW -> one of the window's words (style, id, user data, procedure, a dialog's DWL_* slots).
LONG GetWindowLongW(HWND window, int index) { return static_cast<LONG>(window_long(window, index, false, 0, false)); }

// SetWindowLongW -> stores one of the window's words; the old value.
LONG SetWindowLongW(HWND window, int index, LONG value) {
    return static_cast<LONG>(window_long(window, index, true, value, false));
}

// GetWindowLongPtrW -> as GetWindowLongW, with the dialog's slots pointer-sized.
LONG_PTR GetWindowLongPtrW(HWND window, int index) { return window_long(window, index, false, 0, true); }

// SetWindowLongPtrW -> as SetWindowLongW, with the dialog's slots pointer-sized.
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    return window_long(window, index, true, value, true);
}

// MoveWindow -> the new rectangle (the parent's client coordinates), shown on the window's thread.
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL) {
    auto w = find_or_fail(window);
    if (!w) return FALSE;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        w->rect = RECT{x, y, x + width, y + height};
    }
    return on_window_thread(*w, kMoveMessage, 0, 0,
                            [&] {
                                if (auto* d = display_driver()) d->window_moved(*w);
                            })
               ? TRUE
               : FALSE;
}

// GetWindowRect -> the rectangle kept from creation and MoveWindow, in the parent's client coordinates.
BOOL GetWindowRect(HWND window, LPRECT rect) {
    auto w = find(window);
    if (!w || !rect) return FALSE;
    std::lock_guard<std::mutex> lock(table().mutex);
    *rect = w->rect;
    return TRUE;
}

// GetClientRect -> the kept rectangle moved to 0,0.
BOOL GetClientRect(HWND window, LPRECT rect) {
    auto w = find(window);
    if (!w || !rect) return FALSE;
    std::lock_guard<std::mutex> lock(table().mutex);
    *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

// Painting: the toolkit draws the windows; a paint cycle only marks the window painted.
// InvalidateRect -> nothing to mark: TRUE for a live window.
BOOL InvalidateRect(HWND window, const RECT*, BOOL) { return find(window) ? TRUE : FALSE; }

// BeginPaint -> a cleared PAINTSTRUCT over the client rectangle; the window stands for its device context.
HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    if (!paint) return nullptr;
    *paint = PAINTSTRUCT{};
    paint->hdc = reinterpret_cast<HDC>(window);
    GetClientRect(window, &paint->rcPaint);
    return paint->hdc;
}

// EndPaint -> nothing to release: TRUE.
BOOL EndPaint(HWND, const PAINTSTRUCT*) { return TRUE; }

// GetStockObject -> the stock brushes as distinct values (the toolkit paints the backgrounds).
HGDIOBJ GetStockObject(int object) {
    if (object < 0 || object > NULL_BRUSH) return nullptr;
    return reinterpret_cast<HGDIOBJ>(static_cast<uintptr_t>(0x5700 + object));
}

// GetSystemMetrics -> SM_CXSCREEN and SM_CYSCREEN from the phone-sized screen (CE_SCREEN); 0 for the rest.
int GetSystemMetrics(int index) {
    int w = 0, h = 0;
    screen_size(&w, &h);
    if (index == SM_CXSCREEN) return w;
    if (index == SM_CYSCREEN) return h;
    return 0;
}

// LoadCursorW -> the arrow and the wait cursor as distinct values.
HCURSOR LoadCursorW(HINSTANCE, LPCWSTR name) {
    uintptr_t id = reinterpret_cast<uintptr_t>(name);
    if (id != 32512 && id != 32514) return nullptr;
    return reinterpret_cast<HCURSOR>(id);
}

// SetCursor -> the wait cursor shows over the whole program until another cursor (or none) is set.
HCURSOR SetCursor(HCURSOR cursor) {
    static std::atomic<HCURSOR> current{nullptr};
    HCURSOR previous = current.exchange(cursor);
    if (auto* d = display_driver()) d->set_wait_cursor(reinterpret_cast<uintptr_t>(cursor) == 32514);
    return previous;
}
