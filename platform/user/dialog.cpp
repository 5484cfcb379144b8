// Dialogs: windows of the system class "Dialog" built from a dialog template
// (the classic DLGTEMPLATE layout of the resources), the dialog procedure's
// conventions, and the modal loop.
#include <algorithm>
#include <cstring>

#include "ce_platform.h"
#include "ce_trace.h"
#include "user_internal.h"

namespace ce::user {

namespace {

// Reads the template without ever passing its end.
class TemplateReader {
public:
    TemplateReader(const void* data, size_t size) : base_(static_cast<const uint8_t*>(data)), size_(size) {}
    bool word(WORD& v) {
        if (pos_ + 2 > size_) return false;
        std::memcpy(&v, base_ + pos_, 2);
        pos_ += 2;
        return true;
    }
    bool dword(DWORD& v) {
        if (pos_ + 4 > size_) return false;
        std::memcpy(&v, base_ + pos_, 4);
        pos_ += 4;
        return true;
    }
    bool shorts(short* out, int n) {
        for (int i = 0; i < n; i++) {
            WORD w;
            if (!word(w)) return false;
            out[i] = static_cast<short>(w);
        }
        return true;
    }
    bool text(std::u16string& out) {
        out.clear();
        for (;;) {
            WORD c;
            if (!word(c)) return false;
            if (c == 0) return true;
            if (out.size() >= 4096) return false;
            out.push_back(static_cast<char16_t>(c));
        }
    }
    // A field that is empty (0), an ordinal (0xFFFF then a word) or a text.
    bool name_or_ordinal(std::u16string& text_out, WORD& ordinal) {
        ordinal = 0;
        text_out.clear();
        WORD first;
        if (pos_ + 2 > size_) return false;
        std::memcpy(&first, base_ + pos_, 2);
        if (first == 0) return word(first);
        if (first == 0xFFFF) {
            pos_ += 2;
            return word(ordinal);
        }
        return text(text_out);
    }
    void align4() { pos_ = (pos_ + 3) & ~size_t{3}; }
    bool skip(size_t n) {
        if (pos_ + n > size_) return false;
        pos_ += n;
        return true;
    }

private:
    const uint8_t* base_;
    size_t size_;
    size_t pos_ = 0;
};

std::u16string atom_class(WORD atom) {
    switch (atom) {
        case 0x0080: return u"BUTTON";
        case 0x0081: return u"EDIT";
        case 0x0082: return u"STATIC";
        case 0x0083: return u"LISTBOX";
        case 0x0084: return u"SCROLLBAR";
        case 0x0085: return u"COMBOBOX";
        default: return {};
    }
}

Window* as_dialog(HWND hwnd, std::shared_ptr<Window>& keep) {
    keep = find(hwnd);
    return keep && keep->is_dialog ? keep.get() : nullptr;
}

// The dialog class's procedure: the dialog procedure first; what it leaves
// unhandled gets the usual dialog defaults.
LRESULT CALLBACK dialog_class_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    std::shared_ptr<Window> keep;
    Window* w = as_dialog(hwnd, keep);
    if (!w) return DefWindowProcW(hwnd, message, wparam, lparam);
    auto proc = reinterpret_cast<DLGPROC>(w->dialog_words[1].load());
    if (proc) {
        w->dialog_words[0].store(0);
        BOOL handled = proc(hwnd, message, wparam, lparam);
        if (handled) {
            if (message == WM_INITDIALOG) return handled;
            return w->dialog_words[0].load();
        }
    }
    return DefDlgProcW(hwnd, message, wparam, lparam);
}

const bool g_dialog_class = register_system_class(u"Dialog", &dialog_class_proc);

}  // namespace

int dlu_to_x(int dlu) { return dlu * 6 / 4; }
int dlu_to_y(int dlu) { return dlu * 13 / 8; }

bool parse_dialog_template(const void* data, size_t size, DialogTemplate& out) {
    if (!data) return false;
    TemplateReader r(data, size);
    out = DialogTemplate{};
    WORD count = 0;
    short box[4];
    if (!r.dword(out.style) || !r.dword(out.ex_style) || !r.word(count) || !r.shorts(box, 4)) return false;
    out.x = box[0], out.y = box[1], out.cx = box[2], out.cy = box[3];
    std::u16string menu;
    WORD ordinal;
    if (!r.name_or_ordinal(menu, ordinal) || !r.name_or_ordinal(out.class_name, ordinal) || !r.text(out.caption))
        return false;
    if (out.style & DS_SETFONT) {
        if (!r.word(out.point_size) || !r.text(out.face)) return false;
    }
    for (WORD i = 0; i < count; i++) {
        r.align4();
        DialogItem item;
        short b[4];
        if (!r.dword(item.style) || !r.dword(item.ex_style) || !r.shorts(b, 4) || !r.word(item.id)) return false;
        item.x = b[0], item.y = b[1], item.cx = b[2], item.cy = b[3];
        WORD atom = 0;
        if (!r.name_or_ordinal(item.class_name, atom)) return false;
        if (atom) {
            item.class_name = atom_class(atom);
            if (item.class_name.empty()) return false;
        }
        if (item.class_name.empty()) return false;
        if (!r.name_or_ordinal(item.text, item.icon)) return false;
        WORD extra = 0;
        if (!r.word(extra) || !r.skip(extra)) return false;
        out.items.push_back(std::move(item));
    }
    return true;
}

}  // namespace ce::user

using namespace ce::user;
using ce::trace::hex;

namespace {

// The largest template a pointer alone may stand for; the resource compiler
// makes far smaller ones.
constexpr size_t kTemplateLimit = 64 * 1024;

HWND create_dialog(HINSTANCE instance, const void* data, size_t size, HWND owner, DLGPROC proc, LPARAM param) {
    DialogTemplate t;
    if (!parse_dialog_template(data, size, t)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string cls = t.class_name.empty() ? u"Dialog" : t.class_name;
    DWORD style = (t.style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
    HWND dialog = CreateWindowExW(t.ex_style, cls.c_str(), t.caption.c_str(), style, dlu_to_x(t.x), dlu_to_y(t.y),
                                  dlu_to_x(t.cx), dlu_to_y(t.cy), owner, nullptr, instance, nullptr);
    if (!dialog) return nullptr;
    auto w = find(dialog);
    w->is_dialog = true;
    w->dialog_words[1].store(reinterpret_cast<LONG_PTR>(proc));
    HWND first_tab = nullptr;
    for (const auto& item : t.items) {
        DWORD item_style = (item.style | WS_CHILD) & ~static_cast<DWORD>(WS_POPUP);
        std::u16string text = item.text;
        HWND control = CreateWindowExW(item.ex_style, item.class_name.c_str(), text.c_str(), item_style,
                                       dlu_to_x(item.x), dlu_to_y(item.y), dlu_to_x(item.cx), dlu_to_y(item.cy), dialog,
                                       reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance,
                                       reinterpret_cast<LPVOID>(static_cast<uintptr_t>(item.icon)));
        if (!control) {
            DestroyWindow(dialog);
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (!first_tab && (item.style & WS_TABSTOP)) first_tab = control;
        if (item.id == IDOK ||
            ((item.style & 0x0F) == BS_DEFPUSHBUTTON && _wcsicmp(item.class_name.c_str(), u"BUTTON") == 0))
            w->default_button = control;
    }
    LRESULT focus = SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_tab), param);
    if (focus && first_tab && IsWindow(first_tab)) SetFocus(first_tab);
    // A dialog that ended inside WM_INITDIALOG is never shown.
    if ((t.style & WS_VISIBLE) && IsWindow(dialog) && !w->dialog_ended.load()) ShowWindow(dialog, SW_SHOW);
    return IsWindow(dialog) ? dialog : nullptr;
}

INT_PTR run_modal(HWND dialog, HWND owner) {
    auto w = find(dialog);
    if (!w) return -1;
    bool owner_was_enabled = owner && IsWindowEnabled(owner);
    if (owner_was_enabled) EnableWindow(owner, FALSE);
    if (!w->dialog_ended.load()) {
        ShowWindow(dialog, SW_SHOW);
        SetForegroundWindow(dialog);
    }
    while (!w->dialog_ended.load() && find(dialog)) {
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            // WM_QUIT ends the dialog and goes on to the loop outside it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    INT_PTR result = w->dialog_ended.load() ? w->dialog_result.load() : -1;
    if (owner_was_enabled) EnableWindow(owner, TRUE);
    DestroyWindow(dialog);
    if (owner && IsWindow(owner)) SetForegroundWindow(owner);
    return result;
}

}  // namespace

static HWND create_dialog_indirect(HINSTANCE instance, LPCDLGTEMPLATE dialogTemplate, HWND owner, DLGPROC proc,
                                   LPARAM param) {
    return create_dialog(instance, dialogTemplate, kTemplateLimit, owner, proc, param);
}

// CreateDialogIndirectParamW -> the dialog and its controls from the template; WM_INITDIALOG with the parameter.
HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATE dialogTemplate, HWND owner, DLGPROC proc,
                                LPARAM param) {
    return CE_TRACE_RET(ui, create_dialog_indirect(instance, dialogTemplate, owner, proc, param), nullptr,
                        CreateDialogIndirectParamW, owner);
}

static INT_PTR dialog_box_indirect(HINSTANCE instance, LPCDLGTEMPLATE dialogTemplate, HWND owner, DLGPROC proc,
                                   LPARAM param) {
    HWND dialog = create_dialog(instance, dialogTemplate, kTemplateLimit, owner, proc, param);
    if (!dialog) {
        // A dialog that ended inside WM_INITDIALOG is gone already: its result stands.
        return -1;
    }
    return run_modal(dialog, owner);
}

// DialogBoxIndirectParamW -> a modal loop with the owner disabled; EndDialog's result, or -1 when it cannot be made.
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATE dialogTemplate, HWND owner, DLGPROC proc,
                                LPARAM param) {
    return CE_TRACE_RET(ui, dialog_box_indirect(instance, dialogTemplate, owner, proc, param), -1,
                        DialogBoxIndirectParamW, owner);
}

static INT_PTR dialog_box(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
    HRSRC res = FindResourceW(instance, templateName, RT_DIALOG);
    if (!res) return -1;
    HGLOBAL loaded = LoadResource(instance, res);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return -1;
    HWND dialog = create_dialog(instance, data, SizeofResource(instance, res), owner, proc, param);
    if (!dialog) return -1;
    return run_modal(dialog, owner);
}

// DialogBoxParamW -> the template from the module's RT_DIALOG resource.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
    return CE_TRACE_RET(ui, dialog_box(instance, templateName, owner, proc, param), -1, DialogBoxParamW, instance,
                        templateName, owner);
}

static BOOL end_dialog(HWND dialog, INT_PTR result) {
    auto w = find(dialog);
    if (!w || !w->is_dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->dialog_result.store(result);
    w->dialog_ended.store(true);
    ShowWindow(dialog, SW_HIDE);
    PostMessageW(dialog, WM_NULL, 0, 0);  // wakes the loop
    return TRUE;
}

// EndDialog -> marks the dialog ended with its result and hides it; its modal loop then returns.
BOOL EndDialog(HWND dialog, INT_PTR result) {
    return CE_TRACE_RET(ui, end_dialog(dialog, result), FALSE, EndDialog, dialog, result);
}

static HWND get_dlg_item(HWND dialog, int id) {
    auto w = find_or_fail(dialog);
    if (!w) return nullptr;
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(table_mutex());
        children = w->children;
    }
    for (HWND h : children) {
        auto c = find(h);
        if (c && LOWORD(c->control_id.load()) == LOWORD(id)) return h;
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

// GetDlgItem -> the first child with that control id.
HWND GetDlgItem(HWND dialog, int id) {
    return CE_TRACE_RET(ui, get_dlg_item(dialog, id), nullptr, GetDlgItem, dialog, id);
}

// GetDlgCtrlID -> the control id kept with the window; 0 for a window that is gone.
int GetDlgCtrlID(HWND window) {
    auto w = find(window);
    return w ? w->control_id.load() : 0;
}

// SetDlgItemTextW -> GetDlgItem, then SetWindowTextW on the control.
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SetWindowTextW(item, text) : FALSE;
}

// GetDlgItemTextW -> GetDlgItem, then GetWindowTextW of the control; an empty text when there is none.
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int max) {
    if (text && max > 0) text[0] = 0;
    HWND item = GetDlgItem(dialog, id);
    return item ? static_cast<UINT>(GetWindowTextW(item, text, max)) : 0;
}

// SendDlgItemMessageW -> GetDlgItem, then SendMessageW to the control.
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item ? SendMessageW(item, message, wParam, lParam) : 0;
}

// DefDlgProcW -> a close request becomes the Cancel command, as the dialog manager does; the rest DefWindowProcW.
LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE: PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); return 0;
        case WM_INITDIALOG: return 0;
        default: return DefWindowProcW(dialog, message, wParam, lParam);
    }
}

// IsDialogMessageW -> FALSE: keyboard navigation reaches the controls through the toolkit.
BOOL IsDialogMessageW(HWND, LPMSG) { return FALSE; }
