// MessageBoxW: the windowing layer shows a real message box; a process
// without it (or a test) still gets an answer instead of a hang.
#include <atomic>
#include <cstdio>

#include "ce_platform.h"
#include "user_internal.h"
#include "windows.h"

namespace ce {

namespace {
std::atomic<MessageBoxHook> g_hook{nullptr};
}

void set_message_box_hook(MessageBoxHook hook) { g_hook.store(hook); }

}  // namespace ce

// MessageBoxW -> the test hook if set, else the display driver's box, else a line on stderr answering IDOK.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    if (auto hook = ce::g_hook.load()) return hook(owner, text, caption, type);
    if (auto* driver = ce::user::display_driver()) return driver->message_box(owner, text, caption, type);
    std::string t = ce::narrow(text ? text : u"");
    std::string c = ce::narrow(caption ? caption : u"Error");
    std::fprintf(stderr, "%s: %s\n", c.c_str(), t.c_str());
    return IDOK;
}
