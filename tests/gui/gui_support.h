// Helpers of the GUI tests: the programs run in this process on Qt's
// offscreen platform, and a scripted user acts inside their message loops
// with real key presses and clicks on the real widgets.
#pragma once

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "host_support.h"
#include "ui_internal.h"

namespace guitest {

// The steps a user takes, one after another. Each step is tried on the GUI
// thread until it answers true (it acts when what it waits for is there); a
// step that never gets there fails the test and the user closes the window.
class User {
public:
    User& then(std::string what, std::function<bool()> step) {
        steps_.push_back({std::move(what), std::move(step)});
        return *this;
    }

    // Runs the program (its WinMain) while the steps play inside its loop.
    int play(const std::function<int()>& program, int limit_seconds = 60) {
        size_t next = 0;
        auto started = std::chrono::steady_clock::now();
        QTimer timer;
        timer.setInterval(15);
        bool running = false;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            // A step that opened a modal loop (through later()) is still on the stack: the
            // loop's timer ticks come here too, and the next steps run from inside it.
            if (next >= steps_.size() || running) return;
            running = true;
            bool done = steps_[next].step();
            running = false;
            if (done) {
                next++;
                started = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - started > std::chrono::seconds(limit_seconds)) {
                ADD_FAILURE() << "the user waited in vain: " << steps_[next].what;
                next = steps_.size();
                // Whatever is up is closed as the desktop closes the screen (a
                // message box included), so the program ends.
                ceui::screen_window()->close();
            }
        });
        timer.start();
        int result = program();
        timer.stop();
        EXPECT_EQ(next, steps_.size()) << "the program ended before the user was done";
        return result;
    }

private:
    struct Step {
        std::string what;
        std::function<bool()> step;
    };
    std::vector<Step> steps_;
};

// Does what opens a modal loop (a menu, a dialog) from the event loop, so
// that the step that asked for it returns and the next steps run inside it.
inline void later(std::function<void()> action) { QTimer::singleShot(0, std::move(action)); }

inline QWidget* widget(HWND dialog, int id) { return ceui::widget_of(GetDlgItem(dialog, id)); }

inline std::u16string text(HWND window) {
    WCHAR buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

inline std::u16string item_text(HWND dialog, int id) { return text(GetDlgItem(dialog, id)); }

// Where the phone's screen that shows a window lies on the desktop.
inline QRect screen_rect(HWND window) {
    QWidget* screen = ceui::widget_of(window)->window();
    return QRect(screen->mapToGlobal(QPoint(0, 0)), screen->size());
}

// Saves the phone's screen that shows the window, whole, for the docs: into
// $CE_SCREENSHOT_DIR when set (docs/images), else beside the build. On an X
// server (scripts/screenshots) it is what the server shows of the screen
// window, popups included; offscreen, the widgets drawn.
inline void screenshot(HWND window, const std::string& name) {
    QWidget* w = ceui::widget_of(window);
    ASSERT_NE(w, nullptr);
    const char* dir = std::getenv("CE_SCREENSHOT_DIR");
    std::string folder = dir ? dir : (cetest::build_dir() / "screenshots").string();
    std::filesystem::create_directories(folder);
    QWidget* screen = w->window();
    QPixmap picture;
    if (QGuiApplication::platformName() == "offscreen") {
        picture = screen->grab();
    } else {
        // Painted now and on the server before it is read back.
        screen->repaint();
        QApplication::processEvents();
        picture = screen->screen()->grabWindow(screen->winId());
    }
    EXPECT_TRUE(picture.save(QString::fromStdString(folder + "/" + name), "PNG"));
}

// A setting as the driver's key holds it (missing when absent).
inline DWORD stored_setting(const char16_t* name, DWORD missing = 0xFFFFFFFF) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, 0, &key) != ERROR_SUCCESS) return missing;
    DWORD value = missing, size = 4;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        value = missing;
    RegCloseKey(key);
    return value;
}

inline bool driver_loaded() { return hosttest::cectl({"devices"}).out.find("COM9:") != std::string::npos; }

// A control program's test: a private cehost in a root that cectl init has
// provisioned, without a settings key, as at a program's first start.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_.start();
        ASSERT_EQ(hosttest::cectl({"init"}).status, 0);
        ASSERT_EQ(hosttest::cectl({"reg", "delete", "HKLM\\Drivers\\Tervalon"}).status, 0);
    }
    void TearDown() override { ce::set_message_box_hook(nullptr); }

    // Runs the program's WinMain while the user's steps play.
    int run(User& user, int limit_seconds = 90) {
        return user.play([] { return WinMain(GetModuleHandleW(nullptr), nullptr, nullptr, SW_SHOW); }, limit_seconds);
    }

    hosttest::Host host_;
};

}  // namespace guitest
