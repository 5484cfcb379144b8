// The Qt display driver: top-level windows become frames on the phone's
// screen (screen.cpp), the GUI thread's message waits run Qt's event
// dispatcher (so both sleep together and nothing polls), and the window
// manager's changes show.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <aygshell.h>

#include <atomic>
#include <vector>

#include "ce_platform.h"
#include "ui_internal.h"

namespace ceui {

using ce::user::Window;

namespace {

// The offscreen platform has no window stack to raise windows in.
bool can_raise() {
    static const bool offscreen = QGuiApplication::platformName() == QStringLiteral("offscreen");
    return !offscreen;
}

const char* kHwndProperty = "ce_hwnd";

QString qstr(const std::u16string& s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }

int g_action_depth = 0;
std::vector<QPointer<QWidget>>& graveyard() {
    static std::vector<QPointer<QWidget>> list;
    return list;
}

void bury_retired() {
    if (g_action_depth > 0) return;
    auto list = std::move(graveyard());
    graveyard().clear();
    for (auto& w : list) delete w.data();
}

}  // namespace

class Frame : public QWidget {
public:
    explicit Frame(HWND hwnd) : QWidget(screen_window()), hwnd_(hwnd) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::white);
        setPalette(p);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        title_bar_ = new QWidget(this);
        title_bar_->setFixedHeight(kBarHeight);
        title_bar_->setAutoFillBackground(true);
        QPalette tp = title_bar_->palette();
        tp.setColor(QPalette::Window, QColor(kTitleColour));
        tp.setColor(QPalette::WindowText, Qt::white);
        title_bar_->setPalette(tp);
        auto* tl = new QHBoxLayout(title_bar_);
        tl->setContentsMargins(6, 0, 2, 0);
        title_ = new QLabel(title_bar_);
        QFont f = title_->font();
        f.setBold(true);
        title_->setFont(f);
        tl->addWidget(title_, 1);
        ok_ = new QPushButton(QStringLiteral("ok"), title_bar_);
        ok_->setFixedSize(34, kBarHeight - 4);
        ok_->setFocusPolicy(Qt::NoFocus);
        tl->addWidget(ok_);
        QObject::connect(ok_, &QPushButton::clicked, [this] {
            HWND h = hwnd_;
            user_action([h] { SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); });
        });
        layout->addWidget(title_bar_);
        client_ = new QWidget(this);
        layout->addWidget(client_, 1);
        soft_keys_ = new QWidget(this);
        soft_keys_->setFixedHeight(kBarHeight);
        soft_keys_->setAutoFillBackground(true);
        QPalette sp = soft_keys_->palette();
        sp.setColor(QPalette::Window, QColor(0xd8, 0xdc, 0xe4));
        soft_keys_->setPalette(sp);
        layout->addWidget(soft_keys_);
        title_bar_->hide();
        ok_->hide();
        soft_keys_->hide();
    }

    void set_title(const QString& text) {
        title_->setText(text);
        setWindowTitle(text);
    }
    // Full-screen sizing fills the phone's screen; the title strip stands for
    // the shell's task bar and carries the OK button when asked.
    void set_shell(DWORD flags) {
        title_bar_->show();
        ok_->setVisible((flags & SHIDIF_DONEBUTTON) != 0);
        if (flags & (SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIZEDLG | SHIDIF_FULLSCREENNOMENUBAR)) {
            int w = 0, h = 0;
            ce::user::screen_size(&w, &h);
            setFixedSize(w, h);
            move(0, 0);
        }
        if (flags & SHIDIF_EMPTYMENU) soft_keys_->show();
    }
    QWidget* client() { return client_; }
    QWidget* soft_key_area() { return soft_keys_; }
    void show_soft_keys(bool show) { soft_keys_->setVisible(show); }
    HWND hwnd() const { return hwnd_; }

protected:
    // The window manager decides what a close request does.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    }
    // Tab goes round this window's controls, and never on to those of the windows beneath.
    bool focusNextPrevChild(bool next) override {
        cycle_focus(this, next);
        return true;
    }

private:
    HWND hwnd_;
    QWidget* title_bar_;
    QLabel* title_;
    QPushButton* ok_;
    QWidget* client_;
    QWidget* soft_keys_;
};

namespace {

class QtDriver : public ce::user::DisplayDriver {
public:
    QtDriver() : gui_thread_(QThread::currentThread()) {}

    bool is_gui_thread() override { return QThread::currentThread() == gui_thread_; }

    void wait(std::chrono::steady_clock::time_point deadline) override {
        bury_retired();
        auto* dispatcher = QAbstractEventDispatcher::instance(gui_thread_);
        if (!dispatcher) return;
        auto now = std::chrono::steady_clock::now();
        if (deadline <= now) {
            dispatcher->processEvents(QEventLoop::AllEvents);
            return;
        }
        QTimer timer;
        if (deadline != std::chrono::steady_clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            timer.setTimerType(Qt::PreciseTimer);
            timer.setSingleShot(true);
            timer.start(static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000)));
        }
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        bury_retired();
    }

    void wake() override {
        if (auto* dispatcher = QAbstractEventDispatcher::instance(gui_thread_)) dispatcher->wakeUp();
        // What is sent to the GUI thread also runs inside Qt's own loops (a
        // message box, a menu), as the device's modal loops serve it.
        if (!pending_.exchange(true)) {
            QMetaObject::invokeMethod(
                qApp,
                [this] {
                    pending_.store(false);
                    ce::user::run_sent_messages(*ce::user::current_queue());
                },
                Qt::QueuedConnection);
        }
    }

    void window_created(Window& w) override {
        if (!w.top_level()) return;  // controls make their own widgets
        auto* frame = new Frame(w.hwnd);
        frame->setProperty(kHwndProperty, QVariant::fromValue<qulonglong>(reinterpret_cast<uintptr_t>(w.hwnd)));
        frame->set_title(qstr(w.text));
        RECT r = w.rect;
        frame->resize(std::max<LONG>(r.right - r.left, 1), std::max<LONG>(r.bottom - r.top, 1));
        frame->move(r.left, r.top);
        if (w.cls && w.cls->icon) {
            frame->setWindowIcon(icon_of(w.cls->icon));
            // The desktop shows the program's icon: that of its first window that has one.
            if (!screen_icon_) screen_window()->setWindowIcon(icon_of(w.cls->icon));
            screen_icon_ = true;
        }
        w.native = frame;
    }

    void window_destroyed(Window& w) override {
        auto* widget = static_cast<QWidget*>(w.native);
        w.native = nullptr;
        if (widget) retire(widget);
        if (w.top_level()) screen_changed();
    }

    void window_shown(Window& w, bool visible) override {
        if (auto* widget = static_cast<QWidget*>(w.native)) {
            widget->setVisible(visible);
            if (!w.top_level()) return;
            // A window shown comes on top of the screen's others.
            if (visible) widget->raise();
            screen_changed();
        }
    }

    void window_enabled(Window& w, bool enabled) override {
        // A disabled owner still shows its controls as they are; only the
        // controls themselves grey out.
        if (!w.top_level()) {
            if (auto* widget = static_cast<QWidget*>(w.native)) widget->setEnabled(enabled);
        }
        if (w.top_level()) screen_changed();  // a window enabled again may be the next to close
    }

    void window_text_changed(Window& w) override {
        if (!w.top_level()) return;  // controls show their own text
        if (auto* frame = dynamic_cast<Frame*>(static_cast<QWidget*>(w.native)))
            frame->set_title(qstr(ce::user::window_text(w)));
    }

    void window_moved(Window& w) override {
        auto* widget = static_cast<QWidget*>(w.native);
        if (!widget) return;
        RECT r;
        {
            std::lock_guard<std::mutex> lock(ce::user::table_mutex());
            r = w.rect;
        }
        widget->setGeometry(r.left, r.top, std::max<LONG>(r.right - r.left, 1), std::max<LONG>(r.bottom - r.top, 1));
    }

    void window_raised(Window& w) override {
        auto* widget = static_cast<QWidget*>(w.native);
        if (!widget) return;
        // The frame of the window (a control raises the window it is on), then the screen on the desktop.
        QWidget* frame = widget;
        while (frame->parentWidget() && frame->parentWidget() != screen_window()) frame = frame->parentWidget();
        if (w.top_level() && w.visible.load()) frame->show();
        frame->raise();
        screen_changed();
        if (!can_raise()) return;
        screen_window()->raise();
        screen_window()->activateWindow();
    }

    HWND focus() override { return hwnd_of(QApplication::focusWidget()); }

    void set_focus(Window& w) override {
        if (auto* widget = static_cast<QWidget*>(w.native)) widget->setFocus(Qt::OtherFocusReason);
    }

    int message_box(HWND, LPCWSTR text, LPCWSTR caption, UINT type) override {
        QString shown =
            text ? QString::fromUtf16(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")) : QString();
        return screen_message_box(caption ? QString::fromUtf16(caption) : QStringLiteral("Error"), shown, type);
    }

    void set_wait_cursor(bool on) override {
        if (on == wait_cursor_) return;
        wait_cursor_ = on;
        if (on) QApplication::setOverrideCursor(Qt::WaitCursor);
        else QApplication::restoreOverrideCursor();
    }

private:
    QThread* gui_thread_;
    std::atomic<bool> pending_{false};
    bool wait_cursor_ = false;
    bool screen_icon_ = false;
};

}  // namespace

QWidget* widget_of(HWND hwnd) {
    auto w = ce::user::find(hwnd);
    return w ? static_cast<QWidget*>(w->native) : nullptr;
}

HWND hwnd_of(const QWidget* widget) {
    for (const QWidget* p = widget; p; p = p->parentWidget()) {
        QVariant v = p->property(kHwndProperty);
        if (v.isValid()) return reinterpret_cast<HWND>(static_cast<uintptr_t>(v.toULongLong()));
    }
    return nullptr;
}

QWidget* client_of(Window& w) {
    auto* widget = static_cast<QWidget*>(w.native);
    if (auto* frame = dynamic_cast<Frame*>(widget)) return frame->client();
    return widget;
}

Frame* frame_of(HWND hwnd) { return dynamic_cast<Frame*>(widget_of(hwnd)); }
void frame_set_shell(Frame* frame, DWORD flags) { frame->set_shell(flags); }
QWidget* frame_soft_key_area(Frame* frame) { return frame->soft_key_area(); }
void frame_show_soft_keys(Frame* frame, bool show) { frame->show_soft_keys(show); }

void user_action(const std::function<void()>& fn) {
    g_action_depth++;
    fn();
    g_action_depth--;
}

void retire(QWidget* widget) {
    widget->hide();
    widget->setProperty(kHwndProperty, QVariant());
    QObject::disconnect(widget, nullptr, nullptr, nullptr);
    graveyard().push_back(widget);
}

void mark_widget(QWidget* widget, HWND hwnd) {
    widget->setProperty(kHwndProperty, QVariant::fromValue<qulonglong>(reinterpret_cast<uintptr_t>(hwnd)));
}

namespace {

// A disabled window takes no clicks or keys, and neither does anything inside
// it (its controls, its soft-key bar, the title strip's OK), as on the device,
// where a disabled window's children are disabled with it. Their look stays
// as it is: a dialog's owner, disabled while the dialog runs, does not grey
// out. The toolkit's own windows (a message box, a menu, a list's drop-down)
// answer for themselves.
class DisabledWindowInput : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::TouchBegin:
            case QEvent::ContextMenu: break;
            default: return false;
        }
        if (!target->isWidgetType()) return false;
        for (auto* widget = static_cast<QWidget*>(target); widget; widget = widget->parentWidget()) {
            QVariant v = widget->property(kHwndProperty);
            if (v.isValid()) return !takes_input(reinterpret_cast<HWND>(static_cast<uintptr_t>(v.toULongLong())));
            if (widget->isWindow()) return false;
        }
        return false;
    }

private:
    // The window and every window it lies in are enabled; owners do not count.
    static bool takes_input(HWND hwnd) {
        for (auto w = ce::user::find(hwnd); w; w = ce::user::find(w->parent)) {
            if (!w->enabled.load()) return false;
        }
        return true;
    }
};

}  // namespace

void install() {
    static QtDriver* driver = nullptr;
    if (driver) return;
    driver = new QtDriver;
    qApp->installEventFilter(new DisabledWindowInput(qApp));
    // The phone's dialogs are laid out for its 8-point system font.
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
    ce::user::set_display_driver(driver);
    register_controls();
    register_shell();
}

}  // namespace ceui
