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
void frame_set_shell(Frame* frame, DWORD flags);        // SHInitDialog's flags
QWidget* frame_soft_key_area(Frame* frame);             // the soft-key bar's place
void frame_show_soft_keys(Frame* frame, bool show);

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
