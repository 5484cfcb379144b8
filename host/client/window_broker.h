// The window broker's client side, inside libce: a process's top-level
// windows are listed with the root's cehost, and requests for them (a sent
// or posted message, a text, the foreground) reach this process through it
// from any other process of the root.
//
// The window manager owns the windows and installs the handler that runs
// requests for them; cectl and the window manager's cross-process calls use
// list() and forward(). HWND values are chosen by the window manager and
// carry their process's pid in the high 32 bits, so they are unique across
// the root and the host can check who registers them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ce::broker {

// The error a request for an unknown or vanished window fails with.
constexpr uint32_t kInvalidWindow = 1400;  // ERROR_INVALID_WINDOW_HANDLE

enum class Kind : uint32_t { Send = 1, Post = 2, GetText = 3, SetText = 4, Foreground = 5 };

struct Request {
    Kind kind = Kind::Send;
    uint64_t hwnd = 0;     // the target top-level window (a window of the owning process)
    uint32_t message = 0;  // Send/Post
    uint64_t wparam = 0;
    int64_t lparam = 0;
    int32_t item = -1;    // GetText/SetText: the control id inside hwnd, -1 = the window itself
    std::u16string text;  // SetText
};

struct Result {
    bool ok = false;  // false: error holds the Win32 code (1400 for an unknown window)
    uint32_t error = 0;
    int64_t value = 0;    // Send: the LRESULT; Post/SetText/Foreground: 1
    std::u16string text;  // GetText
};

struct WindowInfo {
    uint64_t hwnd = 0;
    std::u16string class_name, title;
    uint32_t pid = 0;
};

// The owner side: this process's window manager installs one handler, which
// runs a request for one of this process's windows and returns its result.
// It is called on the broker's listener thread of this process and may block
// (it hands the work to the window's thread). Requests arrive one at a time.
using Handler = Result (*)(const Request&);
void set_handler(Handler handler);

// Registers a top-level window of this process with the root's cehost
// (starting the host when none runs, unless CE_HOST_AUTOSTART=0; false when
// no host can be had or the host refuses: the window then stays private to
// this process). The first registration starts the listener. Titles longer
// than the host keeps (1024 characters) are cut.
bool add_window(uint64_t hwnd, const std::u16string& class_name, const std::u16string& title);
void set_title(uint64_t hwnd, const std::u16string& title);
void remove_window(uint64_t hwnd);

// Every registered top-level window of the root, in creation order; nullopt
// when no host runs (never starts one).
std::optional<std::vector<WindowInfo>> list();

// Carries a request to the window's owner through cehost and waits for its
// result (Send waits for the owner to finish, as SendMessageW does; Post
// returns once queued at the owner). Without a host: 1400.
Result forward(const Request& request);

// The window last brought to the foreground through Foreground (0 if none
// or it is gone).
uint64_t foreground();

}  // namespace ce::broker
