// The controls: Win32 control classes over Qt widgets. Each class's window
// procedure answers the control's messages from its widget, and a user's
// action on the widget reaches the parent as the notification the control
// sends (WM_COMMAND with its code), synchronously, as on the device.
#include <QBoxLayout>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>

#include <commctrl.h>

#include <algorithm>

#include "ui_internal.h"

namespace ceui {

using ce::user::Window;

namespace {

QString qstr(const std::u16string& s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }
std::u16string ustr(const QString& s) { return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size()); }

std::shared_ptr<Window> window_of(HWND hwnd) { return ce::user::find(hwnd); }

template <class T>
T* widget_as(HWND hwnd) {
    auto w = window_of(hwnd);
    return w ? dynamic_cast<T*>(static_cast<QWidget*>(w->native)) : nullptr;
}

// The control's notification to its parent: WM_COMMAND (id, code), control.
void notify(HWND hwnd, WORD code) {
    auto w = window_of(hwnd);
    if (!w || !w->parent) return;
    WORD id = LOWORD(w->control_id.load());
    HWND parent = w->parent;
    user_action([&] { SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd)); });
}

// Places a new control's widget in its parent and gives it the window's state.
void adopt(HWND hwnd, QWidget* widget) {
    auto w = window_of(hwnd);
    if (!w) return;
    mark_widget(widget, hwnd);
    RECT r = w->rect;
    widget->setGeometry(r.left, r.top, std::max<LONG>(r.right - r.left, 1), std::max<LONG>(r.bottom - r.top, 1));
    widget->setEnabled(w->enabled.load());
    widget->hide();
    w->native = widget;
}

QWidget* parent_widget(HWND hwnd) {
    auto w = window_of(hwnd);
    if (!w || !w->parent) return nullptr;
    auto p = window_of(w->parent);
    return p ? client_of(*p) : nullptr;
}

LRESULT copy_text(const std::u16string& text, WPARAM max, LPARAM out) {
    if (max == 0 || !out) return 0;
    size_t n = std::min<size_t>(text.size(), max - 1);
    auto* dst = reinterpret_cast<LPWSTR>(out);
    std::copy_n(text.data(), n, dst);
    dst[n] = 0;
    return static_cast<LRESULT>(n);
}

std::u16string text_param(LPARAM l) { return l ? std::u16string(reinterpret_cast<LPCWSTR>(l)) : std::u16string(); }

// ---- BUTTON ------------------------------------------------------------------------

LRESULT CALLBACK button_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto* button = new QPushButton(QString::fromUtf16(cs->lpszName ? cs->lpszName : u""), parent_widget(hwnd));
            button->setDefault((cs->style & 0x0F) == BS_DEFPUSHBUTTON);
            QObject::connect(button, &QPushButton::clicked, [hwnd] { notify(hwnd, BN_CLICKED); });
            adopt(hwnd, button);
            return 0;
        }
        case WM_SETTEXT:
            if (auto* b = widget_as<QPushButton>(hwnd)) b->setText(qstr(text_param(lparam)));
            return DefWindowProcW(hwnd, message, wparam, lparam);
        case BM_CLICK:
            if (auto* b = widget_as<QPushButton>(hwnd)) b->click();
            return 0;
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- STATIC ------------------------------------------------------------------------

LRESULT CALLBACK static_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto* label = new QLabel(parent_widget(hwnd));
            DWORD kind = static_cast<DWORD>(cs->style) & 0x1F;
            if (kind == SS_ICON) {
                auto icon_id = static_cast<WORD>(reinterpret_cast<uintptr_t>(cs->lpCreateParams));
                HICON icon = icon_id
                                 ? LoadIconW(cs->hInstance, reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(icon_id)))
                                 : nullptr;
                if (icon) label->setPixmap(icon_of(icon).pixmap(32, 32));
            } else {
                label->setText(QString::fromUtf16(cs->lpszName ? cs->lpszName : u""));
                // Text wraps only in a static that has room for more than one line.
                label->setWordWrap(cs->cy >= 2 * label->fontMetrics().height());
                Qt::Alignment align = Qt::AlignLeft;
                if (kind == SS_CENTER) align = Qt::AlignHCenter;
                if (kind == SS_RIGHT) align = Qt::AlignRight;
                label->setAlignment(align | Qt::AlignVCenter);
            }
            adopt(hwnd, label);
            return 0;
        }
        case WM_SETTEXT:
            if (auto* l = widget_as<QLabel>(hwnd)) l->setText(qstr(text_param(lparam)));
            return DefWindowProcW(hwnd, message, wparam, lparam);
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- EDIT --------------------------------------------------------------------------
// The text is kept as the device keeps it (line ends as CR LF), so that
// lengths and selections count what the program counts; the widget shows it.

struct EditModel {
    std::u16string text;
    size_t sel_start = 0, sel_end = 0;
    size_t limit = 32767;
    bool multiline = false;
    bool updating = false;  // the widget is being set from the model
};

EditModel* model_of(HWND hwnd) {
    auto w = window_of(hwnd);
    return w ? static_cast<EditModel*>(w->native_extra) : nullptr;
}

std::u16string to_device_lines(const QString& s) {
    std::u16string out;
    for (QChar c : s) {
        if (c == QChar(u'\n') || c == QChar::ParagraphSeparator) {
            out += u"\r\n";
        } else if (c != QChar(u'\r')) {
            out.push_back(static_cast<char16_t>(c.unicode()));
        }
    }
    return out;
}

void show_model(HWND hwnd) {
    auto w = window_of(hwnd);
    auto* m = model_of(hwnd);
    if (!w || !m) return;
    m->updating = true;
    if (auto* line = dynamic_cast<QLineEdit*>(static_cast<QWidget*>(w->native))) {
        line->setText(qstr(m->text));
        line->setSelection(static_cast<int>(m->sel_start), static_cast<int>(m->sel_end - m->sel_start));
    } else if (auto* box = dynamic_cast<QPlainTextEdit*>(static_cast<QWidget*>(w->native))) {
        std::u16string shown;
        shown.reserve(m->text.size());
        for (char16_t c : m->text) {
            if (c != u'\r') shown.push_back(c);
        }
        box->setPlainText(qstr(shown));
        // Like the device's edit control, the caret (at the end of what was
        // just added) stays in view.
        box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
    }
    m->updating = false;
}

void set_selection(EditModel& m, LPARAM start, LPARAM end) {
    auto clamp = [&](LPARAM v) {
        return v < 0 ? m.text.size() : std::min<size_t>(static_cast<size_t>(v), m.text.size());
    };
    if (start == -1) {  // removes the selection
        m.sel_start = m.sel_end = m.sel_end;
        return;
    }
    size_t a = clamp(start), b = clamp(end);
    if (a > b) std::swap(a, b);
    m.sel_start = a;
    m.sel_end = b;
}

// Where a position of the device's text lies in the widget's (which has no CRs).
int shown_position(const std::u16string& text, size_t pos) {
    return static_cast<int>(pos - static_cast<size_t>(std::count(text.begin(), text.begin() + pos, u'\r')));
}

// Replaces the selection, within the text limit, and shows only what changed:
// a log that grows by a line at a time is never laid out anew.
void replace_selection(HWND hwnd, EditModel& m, std::u16string text) {
    size_t room = m.limit - std::min(m.limit, m.text.size() - (m.sel_end - m.sel_start));
    if (text.size() > room) text.resize(room);
    auto w = window_of(hwnd);
    auto* box = w ? dynamic_cast<QPlainTextEdit*>(static_cast<QWidget*>(w->native)) : nullptr;
    if (!box || !m.multiline) {
        m.text.replace(m.sel_start, m.sel_end - m.sel_start, text);
        m.sel_start = m.sel_end = m.sel_start + text.size();
        show_model(hwnd);
        return;
    }
    if (text.empty() && m.sel_start == m.sel_end) return;
    int from = shown_position(m.text, m.sel_start), to = shown_position(m.text, m.sel_end);
    m.text.replace(m.sel_start, m.sel_end - m.sel_start, text);
    m.sel_start = m.sel_end = m.sel_start + text.size();
    std::u16string shown;
    for (char16_t c : text) {
        if (c != u'\r') shown.push_back(c);
    }
    auto* bar = box->verticalScrollBar();
    bool at_end = m.sel_end == m.text.size();
    m.updating = true;
    QTextCursor cursor(box->document());
    cursor.setPosition(from);
    cursor.setPosition(to, QTextCursor::KeepAnchor);
    cursor.insertText(qstr(shown));
    m.updating = false;
    // Like the device's edit control, the caret (after what was just added) stays in view.
    if (at_end) bar->setValue(bar->maximum());
}

LRESULT CALLBACK edit_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* m = model_of(hwnd);
    switch (message) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto w = window_of(hwnd);
            auto* model = new EditModel;
            model->multiline = (cs->style & ES_MULTILINE) != 0;
            model->text = cs->lpszName ? cs->lpszName : u"";
            w->native_extra = model;
            QWidget* widget;
            if (model->multiline) {
                auto* box = new QPlainTextEdit(parent_widget(hwnd));
                box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
                box->setVerticalScrollBarPolicy((cs->style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded
                                                                         : Qt::ScrollBarAlwaysOff);
                box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                box->setReadOnly((cs->style & ES_READONLY) != 0);
                QObject::connect(box, &QPlainTextEdit::textChanged, [hwnd, box] {
                    auto* mm = model_of(hwnd);
                    if (!mm || mm->updating) return;
                    mm->text = to_device_lines(box->toPlainText());
                    mm->sel_start = mm->sel_end = mm->text.size();
                    notify(hwnd, EN_CHANGE);
                });
                widget = box;
            } else {
                auto* line = new QLineEdit(parent_widget(hwnd));
                line->setReadOnly((cs->style & ES_READONLY) != 0);
                line->setMaxLength(static_cast<int>(model->limit));
                if (cs->style & ES_CENTER) line->setAlignment(Qt::AlignHCenter);
                QObject::connect(line, &QLineEdit::textEdited, [hwnd, line] {
                    auto* mm = model_of(hwnd);
                    if (!mm || mm->updating) return;
                    mm->text = ustr(line->text());
                    mm->sel_start = mm->sel_end = static_cast<size_t>(line->cursorPosition());
                    notify(hwnd, EN_CHANGE);
                });
                widget = line;
            }
            adopt(hwnd, widget);
            show_model(hwnd);
            return 0;
        }
        case WM_DESTROY: {
            auto w = window_of(hwnd);
            if (w) {
                delete static_cast<EditModel*>(w->native_extra);
                w->native_extra = nullptr;
            }
            return 0;
        }
        default: break;
    }
    if (!m) return DefWindowProcW(hwnd, message, wparam, lparam);
    switch (message) {
        case WM_SETTEXT: {
            m->text = text_param(lparam).substr(0, m->limit);
            m->sel_start = m->sel_end = 0;
            show_model(hwnd);
            return TRUE;
        }
        case WM_GETTEXT: return copy_text(m->text, wparam, lparam);
        case WM_GETTEXTLENGTH: return static_cast<LRESULT>(m->text.size());
        case EM_SETSEL:
            // The selection lives in the text the program sees; the widget shows the text.
            set_selection(*m, static_cast<LPARAM>(static_cast<INT_PTR>(static_cast<int>(wparam))),
                          static_cast<LPARAM>(static_cast<int>(lparam)));
            if (!m->multiline) show_model(hwnd);
            return 0;
        case EM_GETSEL:
            if (wparam) *reinterpret_cast<DWORD*>(wparam) = static_cast<DWORD>(m->sel_start);
            if (lparam) *reinterpret_cast<DWORD*>(lparam) = static_cast<DWORD>(m->sel_end);
            return MAKELONG(std::min<size_t>(m->sel_start, 0xFFFF), std::min<size_t>(m->sel_end, 0xFFFF));
        case EM_REPLACESEL: replace_selection(hwnd, *m, text_param(lparam)); return 0;
        case EM_LIMITTEXT:
            m->limit = wparam ? static_cast<size_t>(wparam) : 0x7FFFFFFE;  // 0: as much as there is room for
            if (auto* line = widget_as<QLineEdit>(hwnd))
                line->setMaxLength(static_cast<int>(std::min<size_t>(m->limit, 32767)));
            return 0;
        case EM_GETLIMITTEXT: return static_cast<LRESULT>(m->limit);
        case EM_SETREADONLY:
            if (auto* line = widget_as<QLineEdit>(hwnd)) line->setReadOnly(wparam != 0);
            if (auto* box = widget_as<QPlainTextEdit>(hwnd)) box->setReadOnly(wparam != 0);
            return TRUE;
        case EM_GETLINECOUNT: return static_cast<LRESULT>(std::count(m->text.begin(), m->text.end(), u'\n') + 1);
        case EM_SCROLLCARET: show_model(hwnd); return TRUE;
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- COMBOBOX (drop-down list) ---------------------------------------------------------

LRESULT CALLBACK combo_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) {
        auto* combo = new QComboBox(parent_widget(hwnd));
        // The user's choice, not the program's, is a selection change.
        QObject::connect(combo, QOverload<int>::of(&QComboBox::activated),
                         [hwnd](int) { notify(hwnd, CBN_SELCHANGE); });
        adopt(hwnd, combo);
        // The template's height counts the dropped list; the closed box is one line.
        combo->resize(combo->width(), std::min(combo->height(), combo->sizeHint().height()));
        return 0;
    }
    auto* c = widget_as<QComboBox>(hwnd);
    if (!c) return DefWindowProcW(hwnd, message, wparam, lparam);
    auto valid = [&](WPARAM i) { return static_cast<int>(i) >= 0 && static_cast<int>(i) < c->count(); };
    switch (message) {
        case CB_ADDSTRING: c->addItem(qstr(text_param(lparam))); return c->count() - 1;
        case CB_INSERTSTRING: {
            int at = static_cast<int>(wparam);
            if (at < 0 || at > c->count()) at = c->count();
            c->insertItem(at, qstr(text_param(lparam)));
            return at;
        }
        case CB_DELETESTRING:
            if (!valid(wparam)) return CB_ERR;
            c->removeItem(static_cast<int>(wparam));
            return c->count();
        case CB_RESETCONTENT: c->clear(); return 0;
        case CB_GETCOUNT: return c->count();
        case CB_GETCURSEL: return c->currentIndex() < 0 ? CB_ERR : c->currentIndex();
        case CB_SETCURSEL:
            if (!valid(wparam)) {
                c->setCurrentIndex(-1);
                return CB_ERR;
            }
            c->setCurrentIndex(static_cast<int>(wparam));
            return static_cast<LRESULT>(wparam);
        case CB_GETLBTEXTLEN: return valid(wparam) ? c->itemText(static_cast<int>(wparam)).size() : CB_ERR;
        case CB_GETLBTEXT: {
            if (!valid(wparam) || !lparam) return CB_ERR;
            auto text = ustr(c->itemText(static_cast<int>(wparam)));
            auto* out = reinterpret_cast<LPWSTR>(lparam);
            std::copy(text.begin(), text.end(), out);
            out[text.size()] = 0;
            return static_cast<LRESULT>(text.size());
        }
        case CB_SHOWDROPDOWN:
            if (wparam) c->showPopup();
            else c->hidePopup();
            return TRUE;
        case WM_GETTEXT: return copy_text(ustr(c->currentText()), wparam, lparam);
        case WM_GETTEXTLENGTH: return c->currentText().size();
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- LISTBOX, and the spin box it makes with an up-down control -----------------------

// The list box's selection: its selected row, or -1. Qt's current row is only
// the caret, which Qt puts on the first row when a list without one gets the
// focus; a Win32 list box keeps its selection, or its lack of one, across focus.
int selected_row(QListWidget* l) {
    const QModelIndexList rows = l->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

// Steps a list box's selection by delta, wrapping at either end, and tells
// its parent as a user's change.
void step_list(HWND list, int delta, bool wrap) {
    auto* l = widget_as<QListWidget>(list);
    // A disabled list is not the user's to change, from its arrows either.
    if (!l || l->count() == 0 || !IsWindowEnabled(list)) return;
    int n = l->count();
    int selected = selected_row(l);
    int at = selected < 0 ? (delta > 0 ? -1 : n) : selected;
    int next = at + delta;
    if (next < 0) next = wrap ? n - 1 : 0;
    if (next >= n) next = wrap ? 0 : n - 1;
    if (next == selected) return;
    l->setCurrentRow(next);
    auto w = window_of(list);
    if (w && (w->style.load() & LBS_NOTIFY)) notify(list, LBN_SELCHANGE);
}

class ListBox : public QListWidget {
public:
    explicit ListBox(QWidget* parent) : QListWidget(parent) {}
    HWND spin = nullptr;  // the up-down control that made this list a spin box

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (spin) {
            auto w = window_of(spin);
            bool wrap = w && (w->style.load() & UDS_WRAP);
            switch (event->key()) {
                case Qt::Key_Left: step_list(hwnd_of(this), -1, wrap); return;
                case Qt::Key_Right: step_list(hwnd_of(this), 1, wrap); return;
                // On a keypad the up and down keys move between the settings.
                case Qt::Key_Up: focusNextPrevChild(false); return;
                case Qt::Key_Down: focusNextPrevChild(true); return;
                default: break;
            }
        }
        QListWidget::keyPressEvent(event);
    }
};

// In a spin box each entry fills the box, so exactly one shows at a time.
QListWidgetItem* spin_item(QListWidget* list, const QString& text) {
    auto* item = new QListWidgetItem(text);
    auto* box = dynamic_cast<ListBox*>(list);
    if (box && box->spin) {
        item->setSizeHint(QSize(0, std::max(list->height() - 2 * list->frameWidth(), 1)));
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return item;
}

LRESULT CALLBACK listbox_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
        auto* list = new ListBox(parent_widget(hwnd));
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        // Scroll bars only where the style asks for them, as on the device.
        list->setVerticalScrollBarPolicy((cs->style & WS_VSCROLL) ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
        list->setHorizontalScrollBarPolicy((cs->style & WS_HSCROLL) ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
        QObject::connect(list, &QListWidget::itemClicked, [hwnd](QListWidgetItem*) {
            auto w = window_of(hwnd);
            if (w && (w->style.load() & LBS_NOTIFY)) notify(hwnd, LBN_SELCHANGE);
        });
        adopt(hwnd, list);
        return 0;
    }
    auto* l = widget_as<QListWidget>(hwnd);
    if (!l) return DefWindowProcW(hwnd, message, wparam, lparam);
    auto valid = [&](WPARAM i) { return static_cast<int>(i) >= 0 && static_cast<int>(i) < l->count(); };
    switch (message) {
        case WM_ENABLE:
            // A spin box's arrows grey out with its list.
            if (auto* box = dynamic_cast<ListBox*>(l); box && box->spin) {
                if (QWidget* arrows = widget_of(box->spin)) arrows->setEnabled(wparam != 0);
            }
            return 0;
        case LB_ADDSTRING: l->addItem(spin_item(l, qstr(text_param(lparam)))); return l->count() - 1;
        case LB_INSERTSTRING: {
            int at = static_cast<int>(wparam);
            if (at < 0 || at > l->count()) at = l->count();
            l->insertItem(at, spin_item(l, qstr(text_param(lparam))));
            return at;
        }
        case LB_DELETESTRING:
            if (!valid(wparam)) return LB_ERR;
            delete l->takeItem(static_cast<int>(wparam));
            return l->count();
        case LB_RESETCONTENT: l->clear(); return 0;
        case LB_GETCOUNT: return l->count();
        case LB_GETCURSEL: {
            int selected = selected_row(l);
            return selected < 0 ? LB_ERR : selected;
        }
        case LB_SETCURSEL:
            if (!valid(wparam)) {
                l->setCurrentRow(-1);
                l->clearSelection();
                return static_cast<int>(wparam) == -1 ? 0 : LB_ERR;
            }
            l->setCurrentRow(static_cast<int>(wparam));
            l->scrollToItem(l->currentItem(), QAbstractItemView::PositionAtTop);
            return static_cast<LRESULT>(wparam);
        case LB_GETTEXTLEN: return valid(wparam) ? l->item(static_cast<int>(wparam))->text().size() : LB_ERR;
        case LB_GETTEXT: {
            if (!valid(wparam) || !lparam) return LB_ERR;
            auto text = ustr(l->item(static_cast<int>(wparam))->text());
            auto* out = reinterpret_cast<LPWSTR>(lparam);
            std::copy(text.begin(), text.end(), out);
            out[text.size()] = 0;
            return static_cast<LRESULT>(text.size());
        }
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- the up-down control ---------------------------------------------------------------------

struct UpDown {
    HWND buddy = nullptr;
    int low = 100, high = 0, pos = 0;  // a plain up-down's range, as the device starts it
};

UpDown* updown_of(HWND hwnd) {
    auto w = window_of(hwnd);
    return w ? static_cast<UpDown*>(w->native_extra) : nullptr;
}

void press_updown(HWND hwnd, int delta) {
    auto* u = updown_of(hwnd);
    auto w = window_of(hwnd);
    if (!u || !w) return;
    bool wrap = (w->style.load() & UDS_WRAP) != 0;
    if (u->buddy && widget_as<QListWidget>(u->buddy)) {
        step_list(u->buddy, delta, wrap);
        return;
    }
    int lo = std::min(u->low, u->high), hi = std::max(u->low, u->high);
    int next = u->pos + (u->low > u->high ? -delta : delta);
    if (next < lo) next = wrap ? hi : lo;
    if (next > hi) next = wrap ? lo : hi;
    u->pos = next;
}

// Attaches the buddy: with UDS_AUTOBUDDY the window made just before this one;
// aligned right, the up-down takes the right end of the buddy's place.
void attach_buddy(HWND hwnd, HWND buddy) {
    auto* u = updown_of(hwnd);
    auto w = window_of(hwnd);
    auto b = window_of(buddy);
    if (!u || !w || !b) return;
    u->buddy = buddy;
    auto* list = dynamic_cast<ListBox*>(static_cast<QWidget*>(b->native));
    if (list) list->spin = hwnd;
    auto* self = static_cast<QWidget*>(w->native);
    auto* bw = static_cast<QWidget*>(b->native);
    if (!self || !bw) return;
    DWORD style = w->style.load();
    if (style & (UDS_ALIGNRIGHT | UDS_ALIGNLEFT)) {
        QRect r = bw->geometry();
        int width = std::min(28, r.width() / 2);
        if (style & UDS_ALIGNRIGHT) {
            bw->setGeometry(r.x(), r.y(), r.width() - width, r.height());
            self->setGeometry(r.x() + r.width() - width, r.y(), width, r.height());
        } else {
            bw->setGeometry(r.x() + width, r.y(), r.width() - width, r.height());
            self->setGeometry(r.x(), r.y(), width, r.height());
        }
    }
}

LRESULT CALLBACK updown_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto w = window_of(hwnd);
            w->native_extra = new UpDown;
            bool horizontal = (cs->style & UDS_HORZ) != 0;
            auto* box = new QWidget(parent_widget(hwnd));
            auto* down = new QToolButton(box);
            auto* up = new QToolButton(box);
            down->setArrowType(horizontal ? Qt::LeftArrow : Qt::DownArrow);
            up->setArrowType(horizontal ? Qt::RightArrow : Qt::UpArrow);
            down->setFocusPolicy(Qt::NoFocus);
            up->setFocusPolicy(Qt::NoFocus);
            auto* layout = horizontal ? static_cast<QBoxLayout*>(new QHBoxLayout(box))
                                      : static_cast<QBoxLayout*>(new QVBoxLayout(box));
            layout->setContentsMargins(0, 0, 0, 0);
            layout->setSpacing(0);
            layout->addWidget(horizontal ? down : up);
            layout->addWidget(horizontal ? up : down);
            QObject::connect(down, &QToolButton::clicked, [hwnd] { user_action([hwnd] { press_updown(hwnd, -1); }); });
            QObject::connect(up, &QToolButton::clicked, [hwnd] { user_action([hwnd] { press_updown(hwnd, 1); }); });
            adopt(hwnd, box);
            if ((cs->style & UDS_AUTOBUDDY) && w->parent) {
                // The buddy is the sibling made just before this control.
                auto p = window_of(w->parent);
                HWND previous = nullptr;
                if (p) {
                    std::lock_guard<std::mutex> lock(ce::user::table_mutex());
                    auto it = std::find(p->children.begin(), p->children.end(), hwnd);
                    if (it != p->children.begin() && it != p->children.end()) previous = *(it - 1);
                }
                if (previous) attach_buddy(hwnd, previous);
            }
            return 0;
        }
        case WM_DESTROY: {
            auto w = window_of(hwnd);
            if (w) {
                delete static_cast<UpDown*>(w->native_extra);
                w->native_extra = nullptr;
            }
            return 0;
        }
        default: break;
    }
    auto* u = updown_of(hwnd);
    if (!u) return DefWindowProcW(hwnd, message, wparam, lparam);
    switch (message) {
        case UDM_SETBUDDY: {
            HWND old = u->buddy;
            attach_buddy(hwnd, reinterpret_cast<HWND>(wparam));
            return reinterpret_cast<LRESULT>(old);
        }
        case UDM_GETBUDDY: return reinterpret_cast<LRESULT>(u->buddy);
        case UDM_SETRANGE:
            u->high = static_cast<short>(LOWORD(lparam));
            u->low = static_cast<short>(HIWORD(lparam));
            return 0;
        case UDM_GETRANGE: return MAKELONG(u->high, u->low);
        case UDM_SETPOS: {
            int old = u->pos;
            u->pos = static_cast<short>(LOWORD(lparam));
            return old;
        }
        case UDM_GETPOS: return u->pos;
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

// ---- the progress bar ---------------------------------------------------------------------------

LRESULT CALLBACK progress_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) {
        auto* bar = new QProgressBar(parent_widget(hwnd));
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        adopt(hwnd, bar);
        return 0;
    }
    auto* b = widget_as<QProgressBar>(hwnd);
    if (!b) return DefWindowProcW(hwnd, message, wparam, lparam);
    auto set_pos = [&](int pos) {
        int old = b->value();
        b->setValue(std::clamp(pos, b->minimum(), b->maximum()));
        return old;
    };
    switch (message) {
        case PBM_SETRANGE: {
            LRESULT old = MAKELONG(b->minimum(), b->maximum());
            b->setRange(LOWORD(lparam), std::max<int>(LOWORD(lparam), HIWORD(lparam)));
            return old;
        }
        case PBM_SETRANGE32: {
            LRESULT old = MAKELONG(b->minimum(), b->maximum());
            b->setRange(static_cast<int>(wparam), std::max(static_cast<int>(wparam), static_cast<int>(lparam)));
            return old;
        }
        case PBM_GETRANGE: return wparam ? b->minimum() : b->maximum();
        case PBM_SETPOS: return set_pos(static_cast<int>(wparam));
        case PBM_DELTAPOS: return set_pos(b->value() + static_cast<int>(wparam));
        case PBM_GETPOS: return b->value();
        case PBM_SETSTEP: {
            auto w = window_of(hwnd);
            LONG_PTR old = w->user_data.exchange(static_cast<LONG_PTR>(wparam));
            return old ? old : 10;
        }
        case PBM_STEPIT: {
            auto w = window_of(hwnd);
            LONG_PTR step = w->user_data.load();
            return set_pos(b->value() + static_cast<int>(step ? step : 10));
        }
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

}  // namespace

void register_controls() {
    ce::user::register_system_class(u"BUTTON", &button_proc);
    ce::user::register_system_class(u"STATIC", &static_proc);
    ce::user::register_system_class(u"EDIT", &edit_proc);
    ce::user::register_system_class(u"COMBOBOX", &combo_proc);
    ce::user::register_system_class(u"LISTBOX", &listbox_proc);
    ce::user::register_system_class(UPDOWN_CLASSW, &updown_proc);
    ce::user::register_system_class(PROGRESS_CLASSW, &progress_proc);
}

}  // namespace ceui
