// The phone's screen on a desktop: one native window a program, the size of
// the device's screen, and everything the program shows is drawn inside it as
// on the device. Top-level windows are frames on it, stacked as the windows
// are; menus and drop-downs are kept within it; message boxes are drawn on it.
// Closing it on the desktop asks the program's windows to close from the top
// down, as their own close requests do, so the program ends the way it ends
// on the device (its settings saved first).
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "ui_internal.h"

namespace ceui {

namespace {

class MessageView;

// The offscreen platform has no window stack to raise the screen in.
bool native_stack() { return QGuiApplication::platformName() != QStringLiteral("offscreen"); }

class Screen : public QWidget {
public:
    Screen() {
        int w = 0, h = 0;
        ce::user::screen_size(&w, &h);
        setFixedSize(w, h);
        setWindowTitle(QCoreApplication::applicationName());
        setAttribute(Qt::WA_DeleteOnClose, false);
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::white);
        setPalette(p);
    }

    // The frames shown, bottom to top (raising a widget makes it its parent's last child).
    std::vector<QWidget*> frames() const {
        std::vector<QWidget*> out;
        for (QObject* child : children()) {
            auto* w = qobject_cast<QWidget*>(child);
            if (w && !w->isWindow() && !w->isHidden() && hwnd_of(w)) out.push_back(w);
        }
        return out;
    }

    MessageView* top_box() const { return boxes_.empty() ? nullptr : boxes_.back().data(); }
    void add_box(MessageView* box) { boxes_.emplace_back(box); }
    void remove_box(MessageView* box) {
        boxes_.erase(std::remove_if(boxes_.begin(), boxes_.end(),
                                    [box](const QPointer<MessageView>& b) { return !b || b.data() == box; }),
                     boxes_.end());
    }

    void changed();

protected:
    // The desktop's close: the program's windows get their close requests.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        closing_ = true;
        close_top();
    }

private:
    void close_top();
    void focus_into(QWidget* scope);

    std::vector<QPointer<MessageView>> boxes_;
    bool closing_ = false;
    HWND target_ = nullptr;  // the window last asked to close
};

Screen* g_screen = nullptr;

// A message box drawn on the screen: a panel as wide as the screen allows,
// over a shade that keeps the clicks from the windows beneath.
class MessageView : public QWidget {
public:
    MessageView(QWidget* screen, const QString& caption, const QString& text, UINT type) : QWidget(screen) {
        setGeometry(screen->rect());
        auto* panel = new QFrame(this);
        panel->setFrameShape(QFrame::Box);
        panel->setAutoFillBackground(true);
        QPalette p = panel->palette();
        p.setColor(QPalette::Window, Qt::white);
        panel->setPalette(p);
        auto* layout = new QVBoxLayout(panel);
        layout->setContentsMargins(1, 1, 1, 1);
        layout->setSpacing(0);
        auto* title = new QLabel(caption, panel);
        title->setFixedHeight(kBarHeight);
        title->setIndent(6);
        title->setAutoFillBackground(true);
        QPalette tp = title->palette();
        tp.setColor(QPalette::Window, QColor(kTitleColour));
        tp.setColor(QPalette::WindowText, Qt::white);
        title->setPalette(tp);
        QFont f = title->font();
        f.setBold(true);
        title->setFont(f);
        layout->addWidget(title);

        auto* body = new QHBoxLayout;
        body->setContentsMargins(8, 8, 8, 8);
        body->setSpacing(8);
        QStyle::StandardPixmap icon = QStyle::SP_CustomBase;
        switch (type & 0xF0) {
            case MB_ICONHAND: icon = QStyle::SP_MessageBoxCritical; break;
            case MB_ICONQUESTION: icon = QStyle::SP_MessageBoxQuestion; break;
            case MB_ICONEXCLAMATION: icon = QStyle::SP_MessageBoxWarning; break;
            case MB_ICONASTERISK: icon = QStyle::SP_MessageBoxInformation; break;
            default: break;
        }
        if (icon != QStyle::SP_CustomBase) {
            auto* picture = new QLabel(panel);
            picture->setPixmap(style()->standardIcon(icon).pixmap(24, 24));
            picture->setAlignment(Qt::AlignTop);
            body->addWidget(picture);
        }
        auto* label = new QLabel(text, panel);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        body->addWidget(label, 1);
        layout->addLayout(body);

        auto* row = new QHBoxLayout;
        row->setContentsMargins(8, 0, 8, 8);
        row->addStretch(1);
        std::vector<std::pair<QString, int>> answers;
        switch (type & 0x0F) {
            case MB_OKCANCEL: answers = {{"OK", IDOK}, {"Cancel", IDCANCEL}}; break;
            case MB_YESNOCANCEL: answers = {{"Yes", IDYES}, {"No", IDNO}, {"Cancel", IDCANCEL}}; break;
            case MB_YESNO: answers = {{"Yes", IDYES}, {"No", IDNO}}; break;
            default: answers = {{"OK", IDOK}}; break;
        }
        for (const auto& [name, id] : answers) {
            auto* button = new QPushButton(name, panel);
            button->setAutoDefault(true);
            int answer = id;
            QObject::connect(button, &QPushButton::clicked, [this, answer] { finish(answer); });
            row->addWidget(button);
            if (id == IDCANCEL) escape_ = IDCANCEL;
        }
        // A box with nothing but OK takes a close (or Escape) as OK, as the device's does.
        if (answers.size() == 1) escape_ = IDOK;
        answer_ = escape_ ? escape_ : answers.front().second;
        layout->addLayout(row);

        constexpr int kMargin = 6;
        int width = screen->width() - 2 * kMargin;
        int height = panel->heightForWidth(width);
        if (height <= 0) height = panel->sizeHint().height();
        height = std::min(height, screen->height());
        panel->setGeometry(kMargin, (screen->height() - height) / 2, width, height);
    }

    int run() {
        show();
        raise();
        g_screen->add_box(this);
        g_screen->changed();
        user_action([this] { loop_.exec(QEventLoop::DialogExec); });
        hide();
        g_screen->remove_box(this);
        g_screen->changed();
        return answer_;
    }

    // The desktop's close: answered as Escape is; false when the box has no such answer.
    bool close_request() {
        if (!escape_) return false;
        finish(escape_);
        return true;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0, 0, 0, 64));
    }
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && close_request()) return;
        QWidget::keyPressEvent(event);
    }
    bool focusNextPrevChild(bool next) override {
        cycle_focus(this, next);
        return true;
    }

private:
    void finish(int answer) {
        answer_ = answer;
        loop_.quit();
    }

    QEventLoop loop_;
    int answer_ = 0;
    int escape_ = 0;
};

void Screen::changed() {
    auto shown = frames();
    QWidget* top = top_box();
    if (!top && !shown.empty()) top = shown.back();
    if (!top) {
        // The last window went: nothing is left to close, and an empty screen is no use on the desktop.
        closing_ = false;
        target_ = nullptr;
        if (!isHidden()) hide();
        return;
    }
    if (isHidden()) {
        show();
        if (native_stack()) {
            raise();
            activateWindow();
        }
    }
    focus_into(top);
    // The window asked to close has gone: the one now on top is next. From
    // the event loop, once the program has done what a closed window leads to.
    if (closing_ && (!target_ || !IsWindowVisible(target_))) {
        target_ = nullptr;
        QTimer::singleShot(0, this, [this] {
            if (closing_ && !target_) close_top();
        });
    }
}

void Screen::close_top() {
    target_ = nullptr;
    if (MessageView* box = top_box()) {
        // A question the user has to answer stops the closing.
        if (!box->close_request()) closing_ = false;
        return;
    }
    auto shown = frames();
    if (shown.empty()) {
        closing_ = false;
        return;
    }
    HWND top = hwnd_of(shown.back());
    // A window disabled under a modal one waits until it is enabled again.
    if (!IsWindowEnabled(top)) return;
    target_ = top;
    PostMessageW(top, WM_CLOSE, 0, 0);
}

// The focus goes to the window on top, to the control it had last, else its first.
void Screen::focus_into(QWidget* scope) {
    // The screen's own focus, kept while another window (a popup) is active.
    QWidget* focus = focusWidget();
    if (focus && (focus == scope || scope->isAncestorOf(focus))) return;
    QWidget* last = scope->focusWidget();
    if (last && last != scope && scope->isAncestorOf(last) && last->isEnabled() && last->isVisibleTo(scope)) {
        last->setFocus(Qt::ActiveWindowFocusReason);
        return;
    }
    if (!cycle_focus(scope, true)) scope->setFocus(Qt::ActiveWindowFocusReason);
}

// Keeps a popup (a menu, a list's drop-down) inside the screen: moved in, and
// no larger than the screen.
class PopupKeeper : public QObject {
public:
    explicit PopupKeeper(QObject* parent) : QObject(parent) {}

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() != QEvent::Show || !object->isWidgetType() || !g_screen) return false;
        auto* w = static_cast<QWidget*>(object);
        if (w->windowType() != Qt::Popup || !w->parentWidget() || w->parentWidget()->window() != g_screen) return false;
        QRect area(g_screen->mapToGlobal(QPoint(0, 0)), g_screen->size());
        QRect r = w->geometry();
        r.setSize(r.size().boundedTo(area.size()));
        r.moveLeft(std::clamp(r.left(), area.left(), area.right() - r.width() + 1));
        r.moveTop(std::clamp(r.top(), area.top(), area.bottom() - r.height() + 1));
        if (r != w->geometry()) w->setGeometry(r);
        return false;
    }
};

}  // namespace

QWidget* screen_window() {
    if (!g_screen) {
        g_screen = new Screen;
        qApp->installEventFilter(new PopupKeeper(g_screen));
    }
    return g_screen;
}

void screen_changed() {
    if (g_screen) g_screen->changed();
}

int screen_message_box(const QString& caption, const QString& text, UINT type) {
    screen_window();
    MessageView box(g_screen, caption, text, type);
    return box.run();
}

bool cycle_focus(QWidget* scope, bool next) {
    // The window's focus chain holds every widget of the screen; scope's own
    // controls are taken in that order.
    std::vector<QWidget*> order;
    int guard = 0;
    for (QWidget* w = scope->nextInFocusChain(); w && w != scope && guard < 100000;
         w = w->nextInFocusChain(), guard++) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(scope) && scope->isAncestorOf(w))
            order.push_back(w);
    }
    if (order.empty()) return false;
    auto at = std::find(order.begin(), order.end(), scope->window()->focusWidget());
    size_t n = order.size(), i;
    if (at == order.end()) i = next ? 0 : n - 1;
    else i = (static_cast<size_t>(at - order.begin()) + (next ? 1 : n - 1)) % n;
    order[i]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

}  // namespace ceui
