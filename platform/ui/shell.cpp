// The phone's shell: full-screen dialogs with the task bar's title and OK
// button (SHInitDialog), the soft-key menu bar built from the program's
// resources (SHCreateMenuBar), icons, and the common controls' start-up.
#include <QApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>

#include <aygshell.h>

#include <cstring>
#include <map>
#include <memory>

#include "ce_trace.h"
#include "ui_internal.h"

namespace ceui {

namespace {

struct SoftKey {
    WORD command = 0;
    WORD state = 0;
    WORD string_id = 0;
    WORD submenu = NOMENU;
    QString label;
};

struct MenuItem {
    QString text;
    WORD id = 0;
    bool separator = false;
};

struct BarPlan {
    HWND parent = nullptr;
    HINSTANCE instance = nullptr;
    std::vector<SoftKey> keys;
    std::vector<std::vector<MenuItem>> popups;  // the menu resource's drop-downs, in order
};

struct Bar {
    HWND parent = nullptr;
    std::vector<QPushButton*> buttons;
};

std::vector<WORD> resource_words(HINSTANCE instance, WORD id, LPCWSTR type) {
    HRSRC res = FindResourceW(instance, MAKEINTRESOURCEW(id), type);
    if (!res) return {};
    HGLOBAL loaded = LoadResource(instance, res);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(instance, res);
    std::vector<WORD> words(size / 2);
    if (data && !words.empty()) std::memcpy(words.data(), data, words.size() * 2);
    return words;
}

// The drop-downs of a menu resource (a header of two words, then items: flags,
// an id unless a drop-down, and the text).
std::vector<std::vector<MenuItem>> parse_menu(const std::vector<WORD>& w) {
    constexpr WORD kPopup = 0x10, kEnd = 0x80, kSeparator = 0x800;
    std::vector<std::vector<MenuItem>> popups;
    size_t i = 2;
    auto text = [&]() {
        QString s;
        while (i < w.size() && w[i] != 0) s.append(QChar(w[i++]));
        i++;
        return s;
    };
    while (i < w.size()) {
        WORD flags = w[i++];
        if (!(flags & kPopup)) {  // a command on the bar itself: not a soft key's menu
            if (i >= w.size()) break;
            i++;
            text();
        } else {
            text();
            std::vector<MenuItem> items;
            while (i < w.size()) {
                WORD f = w[i++];
                if (i >= w.size()) break;
                MenuItem item;
                item.id = w[i++];
                item.text = text();
                item.separator = (f & kSeparator) != 0 || (item.id == 0 && item.text.isEmpty());
                items.push_back(item);
                if (f & kEnd) break;
            }
            popups.push_back(std::move(items));
        }
        if (flags & kEnd) break;
    }
    return popups;
}

void send_command(HWND parent, WORD id) {
    user_action([&] { SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, 0), 0); });
}

LRESULT CALLBACK menu_bar_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto w = ce::user::find(hwnd);
    switch (message) {
        case WM_CREATE: {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto* plan = static_cast<BarPlan*>(cs->lpCreateParams);
            Frame* frame = frame_of(plan->parent);
            if (!frame) return -1;
            QWidget* area = frame_soft_key_area(frame);
            auto* bar = new QWidget(area);
            mark_widget(bar, hwnd);
            auto* layout = new QHBoxLayout(bar);
            layout->setContentsMargins(2, 1, 2, 1);
            auto* state = new Bar;
            state->parent = plan->parent;
            for (size_t k = 0; k < plan->keys.size() && k < 2; k++) {
                const SoftKey& key = plan->keys[k];
                auto* button = new QPushButton(key.label, bar);
                button->setFocusPolicy(Qt::NoFocus);
                button->setFlat(true);
                button->setEnabled((key.state & TBSTATE_ENABLED) != 0);
                HWND parent = plan->parent;
                if (key.submenu != NOMENU && key.submenu < plan->popups.size()) {
                    auto* menu = new QMenu(button);
                    for (const auto& item : plan->popups[key.submenu]) {
                        if (item.separator) {
                            menu->addSeparator();
                            continue;
                        }
                        WORD id = item.id;
                        QObject::connect(menu->addAction(item.text), &QAction::triggered,
                                         [parent, id] { send_command(parent, id); });
                    }
                    QObject::connect(button, &QPushButton::clicked, [button, menu] {
                        user_action([&] { menu->exec(button->mapToGlobal(QPoint(0, -menu->sizeHint().height()))); });
                    });
                } else {
                    WORD id = key.command;
                    QObject::connect(button, &QPushButton::clicked, [parent, id] { send_command(parent, id); });
                }
                if (k == 1 && plan->keys.size() >= 2) layout->addStretch(1);
                layout->addWidget(button);
                state->buttons.push_back(button);
            }
            if (plan->keys.size() < 2) layout->addStretch(1);
            auto* outer = area->layout() ? area->layout() : new QHBoxLayout(area);
            outer->setContentsMargins(0, 0, 0, 0);
            outer->addWidget(bar);
            w->native = bar;
            w->native_extra = state;
            bar->hide();
            return 0;
        }
        case WM_DESTROY:
            delete static_cast<Bar*>(w ? w->native_extra : nullptr);
            if (w) w->native_extra = nullptr;
            return 0;
        case WM_SHOWWINDOW: return 0;
        default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

std::mutex& icons_mutex() {
    static std::mutex m;
    return m;
}
std::map<std::pair<HINSTANCE, uintptr_t>, std::unique_ptr<QIcon>>& icons() {
    static auto* map = new std::map<std::pair<HINSTANCE, uintptr_t>, std::unique_ptr<QIcon>>;
    return *map;
}

}  // namespace

QPushButton* soft_key(HWND bar, int index) {
    auto w = ce::user::find(bar);
    auto* state = w ? static_cast<Bar*>(w->native_extra) : nullptr;
    if (!state || index < 0 || static_cast<size_t>(index) >= state->buttons.size()) return nullptr;
    return state->buttons[static_cast<size_t>(index)];
}

QIcon icon_of(HICON icon) {
    if (!icon) return {};
    std::lock_guard<std::mutex> lock(icons_mutex());
    for (const auto& [key, value] : icons()) {
        if (reinterpret_cast<HICON>(value.get()) == icon) return *value;
    }
    return {};
}

void register_shell() { ce::user::register_system_class(u"menu_worker", &menu_bar_proc); }

}  // namespace ceui

using namespace ceui;

// SHInitDialog -> sizes the dialog for the phone's screen and gives it the task bar's title and OK button.
BOOL SHInitDialog(PSHINITDLGINFO info) {
    if (!info || !(info->dwMask & SHIDIM_FLAGS)) return FALSE;
    Frame* frame = frame_of(info->hDlg);
    if (!frame) return FALSE;
    frame_set_shell(frame, info->dwFlags);
    if (info->dwFlags & (SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_SIZEDLG | SHIDIF_FULLSCREENNOMENUBAR)) {
        int w = 0, h = 0;
        ce::user::screen_size(&w, &h);
        if (auto window = ce::user::find(info->hDlg)) {
            std::lock_guard<std::mutex> lock(ce::user::table_mutex());
            window->rect = RECT{0, 0, w, h};
        }
    }
    return TRUE;
}

static BOOL create_menu_bar(SHMENUBARINFO* info) {
    if (!info || info->cbSize < sizeof(SHMENUBARINFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hwndMB = nullptr;
    if (!frame_of(info->hwndParent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BarPlan plan;
    plan.parent = info->hwndParent;
    plan.instance = info->hInstRes;
    if (!(info->dwFlags & SHCMBF_EMPTYBAR)) {
        auto words = resource_words(info->hInstRes, static_cast<WORD>(info->nToolBarId), RT_RCDATA);
        if (words.size() < 2) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return FALSE;
        }
        WORD menu_id = words[0], count = words[1];
        if (words.size() < 2 + size_t{count} * 7) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        for (WORD k = 0; k < count; k++) {
            const WORD* p = &words[2 + size_t{k} * 7];
            SoftKey key;
            key.command = p[1];
            key.state = p[2];
            key.string_id = p[4];
            key.submenu = p[6];
            const WCHAR* text = nullptr;
            INT_PTR n = LoadStringW(info->hInstRes, key.string_id, reinterpret_cast<LPWSTR>(&text), 0);
            if (n > 0 && text) key.label = QString::fromUtf16(text, static_cast<qsizetype>(n));
            plan.keys.push_back(key);
        }
        if (menu_id) plan.popups = parse_menu(resource_words(info->hInstRes, menu_id, RT_MENU));
    }
    HWND bar =
        CreateWindowExW(0, u"menu_worker", u"", WS_CHILD, 0, 0, 0, 0, info->hwndParent, nullptr, info->hInstRes, &plan);
    if (!bar) return FALSE;
    if (!(info->dwFlags & SHCMBF_HIDDEN)) ShowWindow(bar, SW_SHOW);
    frame_show_soft_keys(frame_of(info->hwndParent), !(info->dwFlags & SHCMBF_HIDDEN));
    info->hwndMB = bar;
    return TRUE;
}

// The RCDATA resource nToolBarId holds the bar's menu id, the key count, then seven words a key: image,
// command, state, style, label string, 0, drop-down index or NOMENU.
// SHCreateMenuBar -> a soft-key bar window from that RCDATA and the MENU it names; a drop-down key opens its menu.
BOOL SHCreateMenuBar(SHMENUBARINFO* info) {
    return CE_TRACE_RET(ui, create_menu_bar(info), FALSE, SHCreateMenuBar, info ? info->hwndParent : nullptr,
                        info ? info->nToolBarId : 0);
}

// LoadIconW -> the module's icon resource (the .ico file's bytes) as an icon; IDI_APPLICATION without a module.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    uintptr_t key_name = reinterpret_cast<uintptr_t>(name);
    std::lock_guard<std::mutex> lock(icons_mutex());
    auto key = std::make_pair(instance, key_name);
    auto it = icons().find(key);
    if (it != icons().end()) return reinterpret_cast<HICON>(it->second.get());
    std::unique_ptr<QIcon> icon;
    if (!instance && name == IDI_APPLICATION) {
        icon = std::make_unique<QIcon>(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
    } else {
        HRSRC res = FindResourceW(instance, name, RT_GROUP_ICON);
        HGLOBAL loaded = res ? LoadResource(instance, res) : nullptr;
        const void* data = loaded ? LockResource(loaded) : nullptr;
        QPixmap pixmap;
        if (!data || !pixmap.loadFromData(static_cast<const uchar*>(data), SizeofResource(instance, res), "ICO")) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        icon = std::make_unique<QIcon>(pixmap);
    }
    // Icons of a string name are keyed by their address: the program passes the same literal each time.
    HICON handle = reinterpret_cast<HICON>(icon.get());
    icons()[key] = std::move(icon);
    return handle;
}

// InitCommonControls -> nothing to do: the up-down and progress classes are there from the start.
void InitCommonControls() {}

// InitCommonControlsEx -> as InitCommonControls: TRUE.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return TRUE; }
