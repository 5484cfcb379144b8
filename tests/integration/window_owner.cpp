// A process with one top-level window, for the window broker's tests. Its
// handler answers as a small window would; stdout tells the test what
// arrived, and a line "release" on stdin ends a held SendMessage.
//
//   ready HWND      the window is listed (after "refused": a handle of another
//                   pid was turned down)
//   holding         a Send of kHold is waiting for "release"
//   posted MSG WPARAM | foreground
//
// Given CLASS TITLE MSG, it lists that window instead, holds every Send of
// MSG for good and runs until it is killed: a stand-in for a program whose
// window goes away while another process waits on it.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "window_broker.h"

namespace {

using ce::broker::Kind;
using ce::broker::Request;
using ce::broker::Result;

constexpr uint32_t kHold = 0x8002;  // a Send that waits for the test
constexpr int32_t kEditId = 5;

std::mutex g_mutex;
std::condition_variable g_cv;
bool g_released = false;
uint32_t g_hold = kHold;
uint64_t g_hwnd = 0;
std::u16string g_class = u"TstWindow", g_title = u"Owner One", g_edit;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

Result handle(const Request& r) {
    Result res;
    res.ok = true;
    res.value = 1;
    if (r.hwnd != g_hwnd) return {false, ce::broker::kInvalidWindow, 0, {}};
    std::u16string* text = r.item == -1 ? &g_title : r.item == kEditId ? &g_edit : nullptr;
    switch (r.kind) {
        case Kind::Send:
            if (r.message == g_hold) {
                say("holding");
                std::unique_lock<std::mutex> lock(g_mutex);
                g_cv.wait(lock, [] { return g_released; });
                g_released = false;
                res.value = 77;
            } else {
                res.value = static_cast<int64_t>(r.wparam) * 1000 + r.lparam;
            }
            break;
        case Kind::Post: say("posted " + std::to_string(r.message) + " " + std::to_string(r.wparam)); break;
        case Kind::GetText:
        case Kind::SetText:
            if (!text) return {false, 1421, 0, {}};  // ERROR_CONTROL_ID_NOT_FOUND
            if (r.kind == Kind::GetText) {
                res.text = *text;
            } else {
                *text = r.text;
                if (r.item == -1) ce::broker::set_title(g_hwnd, r.text);
            }
            break;
        case Kind::Foreground: say("foreground"); break;
    }
    return res;
}

std::u16string wide(const char* text) {
    std::u16string out;
    while (*text) out.push_back(static_cast<unsigned char>(*text++));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    bool stand_in = argc == 4;
    if (stand_in) {
        g_class = wide(argv[1]);
        g_title = wide(argv[2]);
        g_hold = static_cast<uint32_t>(std::stoul(argv[3]));
    }
    ce::broker::set_handler(handle);
    g_hwnd = static_cast<uint64_t>(getpid()) << 32 | 1;
    if (!ce::broker::add_window(g_hwnd, g_class, g_title)) {
        say("failed");
        return 1;
    }
    if (stand_in) {
        say("ready " + std::to_string(g_hwnd));
        for (;;) pause();
    }
    uint64_t foreign = (static_cast<uint64_t>(getpid()) + 1) << 32 | 1;
    say(ce::broker::add_window(foreign, u"TstWindow", u"Not mine") ? "accepted" : "refused");
    say("ready " + std::to_string(g_hwnd));
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "release") {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_released = true;
            g_cv.notify_all();
        }
    }
    return 0;
}
