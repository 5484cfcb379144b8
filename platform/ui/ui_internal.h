// The windowing layer's insides: the Qt display driver, the controls and the
// shell share these. Tests reach the real widgets through them, to click and
// type as a user does.
#pragma once

#include <QIcon>
#include <QWidget>

#include <functional>

#include "user_internal.h"
#include "windows.h"

class QPushButton;

namespace ceui {

// The shell's title strip and soft-key bar, and the title strip's colour.
constexpr int kBarHeight = 26;
constexpr QRgb kTitleColour = 0x1c3f7a;

// Installs the Qt display driver and registers the control classes; the
// QApplication must exist. Called once by the programs' entry.
void install();

// The widget that shows a window (null for an unknown window).
QWidget* widget_of(HWND hwnd);
// The window a widget shows (null if none).
HWND hwnd_of(const QWidget* widget);
// Marks a widget as the one that shows a window.
void mark_widget(QWidget* widget, HWND hwnd);
// Where a window's children go: a top-level window's client area, else the
// window's own widget.
QWidget* client_of(ce::user::Window& window);

// The frame of a top-level window: the shell's title strip at the top (with
// its OK button), the client area, and the soft-key bar at the bottom.
class Frame;
Frame* frame_of(HWND hwnd);
void frame_set_shell(Frame* frame, DWORD flags);  // SHInitDialog's flags
QWidget* frame_soft_key_area(Frame* frame);       // the soft-key bar's place
void frame_show_soft_keys(Frame* frame, bool show);

// The phone's screen: the process's one native window, the size of the
// device's screen (CE_SCREEN) and titled with the program's name. Every
// top-level window is a frame inside it, stacked as the windows are; popups
// (menus, drop-downs) are kept within it, message boxes are drawn on it.
QWidget* screen_window();
// Brings the screen in step with its frames: shown while one is, the focus
// in the top one, and a close request of the desktop carried on.
void screen_changed();
// Runs a message box on the screen until it is answered: IDOK, IDCANCEL, ...
int screen_message_box(const QString& caption, const QString& text, UINT type);
// Moves the focus to the next (or previous) control inside scope, wrapping:
// Tab never leaves the window on top for one beneath it.
bool cycle_focus(QWidget* scope, bool next);

// Soft keys of a menu bar window: index 0 is the left key, 1 the right one.
QPushButton* soft_key(HWND bar, int index);

// Runs fn as the toolkit's handler of a user action, so that widgets
// destroyed meanwhile are deleted only once no handler is running.
void user_action(const std::function<void()>& fn);
// Hands a widget of a destroyed window over for deletion at a safe moment.
void retire(QWidget* widget);

// Registers the control classes (controls.cpp) and the shell's (shell.cpp).
void register_controls();
void register_shell();

// An icon loaded from a module's resources (the .ico file's bytes).
QIcon icon_of(HICON icon);

}  // namespace ceui
