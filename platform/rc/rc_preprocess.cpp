// Preprocessing: the C preprocessor's part of a resource script, as the
// device's RC runs it. Comments go, lines join, #include reads the project's
// headers (whose declarations RC skips: a header contributes only its
// directives), #define, #if and friends are honoured, and what is left
// becomes tokens with their object-like macros expanded.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ce_utf8.h"
#include "rc_internal.h"

namespace ce::rc {

namespace {

namespace fs = std::filesystem;

// What the device SDK's headers define and scripts use without including
// them here (windows.h, commctrl.h, aygshell.h, newres.h are accepted and
// skipped). Values are the SDK's.
const char kBuiltins[] = R"(
#define RC_INVOKED 1
#define _WIN32 1
#define UNDER_CE 0x502
#define _WIN32_WCE 0x502
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_TILED WS_OVERLAPPED
#define WS_ICONIC WS_MINIMIZE
#define WS_SIZEBOX WS_THICKFRAME
#define WS_OVERLAPPEDWINDOW (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_NOPARENTNOTIFY 0x00000004L
#define WS_EX_TOPMOST 0x00000008L
#define WS_EX_ACCEPTFILES 0x00000010L
#define WS_EX_TRANSPARENT 0x00000020L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_WINDOWEDGE 0x00000100L
#define WS_EX_CLIENTEDGE 0x00000200L
#define WS_EX_CONTEXTHELP 0x00000400L
#define WS_EX_RIGHT 0x00001000L
#define WS_EX_LEFT 0x00000000L
#define WS_EX_RTLREADING 0x00002000L
#define WS_EX_LTRREADING 0x00000000L
#define WS_EX_LEFTSCROLLBAR 0x00004000L
#define WS_EX_RIGHTSCROLLBAR 0x00000000L
#define WS_EX_CONTROLPARENT 0x00010000L
#define WS_EX_STATICEDGE 0x00020000L
#define WS_EX_APPWINDOW 0x00040000L
#define WS_EX_OVERLAPPEDWINDOW (WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE)
#define WS_EX_NOANIMATION 0x04000000L
#define WS_EX_INK 0x10000000L
#define WS_EX_ABOVESTARTUP 0x20000000L
#define WS_EX_NODRAG 0x40000000L
#define WS_EX_CAPTIONOKBTN 0x80000000L
#define DS_ABSALIGN 0x01L
#define DS_SYSMODAL 0x02L
#define DS_3DLOOK 0x04L
#define DS_FIXEDSYS 0x08L
#define DS_NOFAILCREATE 0x10L
#define DS_LOCALEDIT 0x20L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_NOIDLEMSG 0x100L
#define DS_SETFOREGROUND 0x200L
#define DS_CONTROL 0x400L
#define DS_CENTER 0x800L
#define DS_CENTERMOUSE 0x1000L
#define DS_CONTEXTHELP 0x2000L
#define DS_SHELLFONT (DS_SETFONT | DS_FIXEDSYS)
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_RIGHT 0x00000002L
#define SS_ICON 0x00000003L
#define SS_BLACKRECT 0x00000004L
#define SS_GRAYRECT 0x00000005L
#define SS_WHITERECT 0x00000006L
#define SS_BLACKFRAME 0x00000007L
#define SS_GRAYFRAME 0x00000008L
#define SS_WHITEFRAME 0x00000009L
#define SS_USERITEM 0x0000000AL
#define SS_SIMPLE 0x0000000BL
#define SS_LEFTNOWORDWRAP 0x0000000CL
#define SS_OWNERDRAW 0x0000000DL
#define SS_BITMAP 0x0000000EL
#define SS_ENHMETAFILE 0x0000000FL
#define SS_ETCHEDHORZ 0x00000010L
#define SS_ETCHEDVERT 0x00000011L
#define SS_ETCHEDFRAME 0x00000012L
#define SS_TYPEMASK 0x0000001FL
#define SS_NOPREFIX 0x00000080L
#define SS_NOTIFY 0x00000100L
#define SS_CENTERIMAGE 0x00000200L
#define SS_RIGHTJUST 0x00000400L
#define SS_REALSIZEIMAGE 0x00000800L
#define SS_SUNKEN 0x00001000L
#define SS_ENDELLIPSIS 0x00004000L
#define SS_PATHELLIPSIS 0x00008000L
#define SS_WORDELLIPSIS 0x0000C000L
#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_RIGHT 0x0002L
#define ES_MULTILINE 0x0004L
#define ES_UPPERCASE 0x0008L
#define ES_LOWERCASE 0x0010L
#define ES_PASSWORD 0x0020L
#define ES_AUTOVSCROLL 0x0040L
#define ES_AUTOHSCROLL 0x0080L
#define ES_NOHIDESEL 0x0100L
#define ES_COMBOBOX 0x0200L
#define ES_OEMCONVERT 0x0400L
#define ES_READONLY 0x0800L
#define ES_WANTRETURN 0x1000L
#define ES_NUMBER 0x2000L
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_3STATE 0x00000005L
#define BS_AUTO3STATE 0x00000006L
#define BS_GROUPBOX 0x00000007L
#define BS_USERBUTTON 0x00000008L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_PUSHBOX 0x0000000AL
#define BS_OWNERDRAW 0x0000000BL
#define BS_TYPEMASK 0x0000000FL
#define BS_LEFTTEXT 0x00000020L
#define BS_RIGHTBUTTON BS_LEFTTEXT
#define BS_TEXT 0x00000000L
#define BS_ICON 0x00000040L
#define BS_BITMAP 0x00000080L
#define BS_LEFT 0x00000100L
#define BS_RIGHT 0x00000200L
#define BS_CENTER 0x00000300L
#define BS_TOP 0x00000400L
#define BS_BOTTOM 0x00000800L
#define BS_VCENTER 0x00000C00L
#define BS_PUSHLIKE 0x00001000L
#define BS_MULTILINE 0x00002000L
#define BS_NOTIFY 0x00004000L
#define BS_FLAT 0x00008000L
#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_OWNERDRAWFIXED 0x0010L
#define CBS_OWNERDRAWVARIABLE 0x0020L
#define CBS_AUTOHSCROLL 0x0040L
#define CBS_OEMCONVERT 0x0080L
#define CBS_SORT 0x0100L
#define CBS_HASSTRINGS 0x0200L
#define CBS_NOINTEGRALHEIGHT 0x0400L
#define CBS_DISABLENOSCROLL 0x0800L
#define CBS_UPPERCASE 0x2000L
#define CBS_LOWERCASE 0x4000L
#define LBS_NOTIFY 0x0001L
#define LBS_SORT 0x0002L
#define LBS_NOREDRAW 0x0004L
#define LBS_MULTIPLESEL 0x0008L
#define LBS_OWNERDRAWFIXED 0x0010L
#define LBS_OWNERDRAWVARIABLE 0x0020L
#define LBS_HASSTRINGS 0x0040L
#define LBS_USETABSTOPS 0x0080L
#define LBS_NOINTEGRALHEIGHT 0x0100L
#define LBS_MULTICOLUMN 0x0200L
#define LBS_WANTKEYBOARDINPUT 0x0400L
#define LBS_EXTENDEDSEL 0x0800L
#define LBS_DISABLENOSCROLL 0x1000L
#define LBS_NODATA 0x2000L
#define LBS_NOSEL 0x4000L
#define LBS_STANDARD (LBS_NOTIFY | LBS_SORT | WS_VSCROLL | WS_BORDER)
#define SBS_HORZ 0x0000L
#define SBS_VERT 0x0001L
#define UDS_WRAP 0x0001
#define UDS_SETBUDDYINT 0x0002
#define UDS_ALIGNRIGHT 0x0004
#define UDS_ALIGNLEFT 0x0008
#define UDS_AUTOBUDDY 0x0010
#define UDS_ARROWKEYS 0x0020
#define UDS_HORZ 0x0040
#define UDS_NOTHOUSANDS 0x0080
#define PBS_SMOOTH 0x01
#define PBS_VERTICAL 0x04
#define UPDOWN_CLASS "msctls_updown32"
#define UPDOWN_CLASSW L"msctls_updown32"
#define PROGRESS_CLASS "msctls_progress32"
#define PROGRESS_CLASSW L"msctls_progress32"
#define TRACKBAR_CLASS "msctls_trackbar32"
#define WC_BUTTON "Button"
#define WC_STATIC "Static"
#define WC_EDIT "Edit"
#define WC_LISTBOX "ListBox"
#define WC_COMBOBOX "ComboBox"
#define WC_SCROLLBAR "ScrollBar"
#define WC_LISTVIEW "SysListView32"
#define WC_TREEVIEW "SysTreeView32"
#define WC_TABCONTROL "SysTabControl32"
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDCLOSE 8
#define IDHELP 9
#define IDC_STATIC (-1)
#define I_IMAGENONE (-2)
#define TBSTATE_CHECKED 0x01
#define TBSTATE_PRESSED 0x02
#define TBSTATE_ENABLED 0x04
#define TBSTATE_HIDDEN 0x08
#define TBSTATE_INDETERMINATE 0x10
#define TBSTATE_WRAP 0x20
#define TBSTYLE_BUTTON 0x0000
#define TBSTYLE_SEP 0x0001
#define TBSTYLE_CHECK 0x0002
#define TBSTYLE_GROUP 0x0004
#define TBSTYLE_CHECKGROUP (TBSTYLE_GROUP | TBSTYLE_CHECK)
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010
#define TBSTYLE_NOPREFIX 0x0020
#define NOMENU 0xFFFF
#define SHMENUBAR RCDATA
#define LANG_NEUTRAL 0x00
#define LANG_CZECH 0x05
#define LANG_GERMAN 0x07
#define LANG_ENGLISH 0x09
#define LANG_SPANISH 0x0a
#define LANG_FRENCH 0x0c
#define LANG_ITALIAN 0x10
#define LANG_DUTCH 0x13
#define LANG_POLISH 0x15
#define LANG_RUSSIAN 0x19
#define LANG_SLOVAK 0x1b
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_ENGLISH_UK 0x02
)";

// Headers of the device SDK that a script may include by "name": when the
// project has no file of that name they are skipped, as their constants are
// built in.
const char* const kSdkHeaders[] = {"windows.h", "winuser.h",  "winbase.h", "windef.h",   "winnt.h",    "winver.h",
                                   "winres.h",  "winresrc.h", "afxres.h",  "commctrl.h", "aygshell.h", "newres.h",
                                   "dlgs.h",    "tpcshell.h", "sipapi.h",  "richedit.h", "wingdi.h"};

constexpr int kMaxIncludeDepth = 16;
constexpr int kMaxMacroDepth = 64;
constexpr size_t kMaxExpandedTokens = 1u << 18;

struct Conditional {
    bool active;        // this branch is being compiled
    bool taken;         // some branch of this #if was taken
    bool outer_active;  // the #if itself sits in compiled text
    bool seen_else;
};

}  // namespace

std::optional<std::string> Files::read(const std::string& path) {
    std::optional<std::string> bytes;
    if (options_.read_file) {
        bytes = options_.read_file(path);
    } else {
        std::error_code ec;
        if (fs::is_regular_file(path, ec)) {
            std::ifstream in(path, std::ios::binary);
            if (in) bytes = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    if (bytes) inputs_.push_back(path);
    return bytes;
}

std::optional<std::pair<std::string, std::string>> Files::find(int from, const std::string& name) {
    std::vector<std::string> candidates;
    fs::path p(name);
    if (p.is_absolute()) {
        candidates.push_back(name);
    } else {
        candidates.push_back((fs::path(names_[from]).parent_path() / p).lexically_normal().string());
        for (const auto& dir : options_.include_dirs)
            candidates.push_back((fs::path(dir) / p).lexically_normal().string());
    }
    for (const auto& c : candidates) {
        if (auto bytes = read(c)) return std::make_pair(c, std::move(*bytes));
    }
    return std::nullopt;
}

std::vector<Token> Preprocessor::run(const std::string& script,
                                     const std::vector<std::pair<std::string, std::string>>& defines) {
    process("<built-in>", kBuiltins, 0);  // file 0: only #defines
    for (const auto& [name, value] : defines) define(name + " " + (value.empty() ? "1" : value), 0, 0);
    auto text = files_.read(script);
    if (!text) throw Failure{script + ": cannot be read"};
    Token end;
    end.file = files_.count();  // the script's, should it hold no token
    end.line = 1;
    process(script, *text, 0);
    if (!tokens_.empty()) {
        end.file = tokens_.back().file;
        end.line = tokens_.back().line;
    }
    tokens_.push_back(end);
    return std::move(tokens_);
}

// Comments become a space; strings are kept whole (a "//" in a string is
// text); a backslash at the end of a line joins the next.
std::vector<Preprocessor::Line> Preprocessor::split_lines(const std::string& text, int file) const {
    std::vector<Line> lines;
    Line current{1, {}};
    int number = 1;
    bool in_comment = false;
    size_t i = 0, n = text.size();
    auto finish = [&](bool continued) {
        if (continued) return;
        lines.push_back(std::move(current));
        current = Line{number, {}};
    };
    while (i < n) {
        char c = text[i];
        if (c == '\n' || (c == '\r' && (i + 1 >= n || text[i + 1] == '\n'))) {
            if (c == '\r') i++;
            i++;
            number++;
            bool continued = !in_comment && !current.text.empty() && current.text.back() == '\\';
            if (continued) current.text.pop_back();
            finish(continued);
            if (!continued) current.number = number;
            continue;
        }
        if (in_comment) {
            if (c == '*' && i + 1 < n && text[i + 1] == '/') {
                in_comment = false;
                current.text += ' ';
                i += 2;
            } else {
                i++;
            }
            continue;
        }
        if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            while (i < n && text[i] != '\n' && text[i] != '\r') i++;
            continue;
        }
        if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            in_comment = true;
            i += 2;
            continue;
        }
        if (c == '"' || c == '\'') {
            // Copied as is up to the closing quote or the end of the line;
            // the lexer reports an unterminated one.
            current.text += c;
            i++;
            while (i < n && text[i] != '\n' && text[i] != '\r') {
                char d = text[i];
                current.text += d;
                i++;
                if (d == '\\' && i < n && text[i] != '\n' && text[i] != '\r') {
                    current.text += text[i];
                    i++;
                } else if (d == c) {
                    break;
                }
            }
            continue;
        }
        current.text += c;
        i++;
    }
    if (in_comment) files_.fail(file, number, "unterminated /* comment");
    lines.push_back(std::move(current));
    return lines;
}

namespace {

// One escape after a backslash at text[i] (the character after the
// backslash); returns the index after it, or i when it is no escape RC knows
// (the backslash then stays in the text).
size_t lex_escape(const std::string& text, size_t i, bool wide, uint32_t& value) {
    char e = text[i];
    static const char kSimple[] = "n\nr\rt\ta\a\\\\\"\"''";  // each escape letter, then its value
    for (size_t k = 0; kSimple[k]; k += 2) {
        if (e == kSimple[k]) {
            value = static_cast<unsigned char>(kSimple[k + 1]);
            return i + 1;
        }
    }
    if (e == 'x' || e == 'X') {
        size_t k = i + 1, limit = wide ? 4 : 2;
        uint32_t v = 0;
        while (k < text.size() && k - (i + 1) < limit && std::isxdigit(static_cast<unsigned char>(text[k]))) {
            char h = static_cast<char>(std::tolower(static_cast<unsigned char>(text[k])));
            v = v * 16 + static_cast<uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
            k++;
        }
        if (k == i + 1) return i;
        value = v;
        return k;
    }
    if (e >= '0' && e <= '7') {
        size_t k = i;
        uint32_t v = 0;
        while (k < text.size() && k - i < 3 && text[k] >= '0' && text[k] <= '7')
            v = v * 8 + static_cast<uint32_t>(text[k++] - '0');
        value = wide ? v : (v & 0xFF);
        return k;
    }
    return i;
}

}  // namespace

// A quoted string from the opening quote at text[i]; "" is a quote.
size_t Preprocessor::lex_string(const std::string& text, size_t i, bool wide, Token& t) const {
    t.kind = Token::String;
    t.wide = wide;
    i++;
    for (;;) {
        if (i >= text.size()) files_.fail(t, "unterminated string (a string must end on its line)");
        char c = text[i];
        if (c == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                t.bytes += '"';
                t.wtext += u'"';
                i += 2;
                continue;
            }
            return i + 1;
        }
        if (c == '\\' && i + 1 < text.size()) {
            uint32_t value = 0;
            size_t after = lex_escape(text, i + 1, wide, value);
            if (after != i + 1) {
                t.bytes += static_cast<char>(value & 0xFF);
                t.wtext += static_cast<char16_t>(value & 0xFFFF);
                i = after;
                continue;
            }
        }
        char32_t cp = 0;
        size_t start = i;
        if (!ce::utf8_next(text, i, cp)) files_.fail(t, "text is not valid UTF-8");
        t.bytes.append(text, start, i - start);
        ce::append_utf16(t.wtext, cp);
    }
}

void Preprocessor::lex(const std::string& text, int file, int line, std::vector<Token>& out) const {
    size_t i = 0, n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\r') {
            i++;
            continue;
        }
        Token t;
        t.file = file;
        t.line = line;
        if (c == 'L' && i + 1 < n && text[i + 1] == '"') {
            i = lex_string(text, i + 1, true, t);
        } else if (c == '"') {
            i = lex_string(text, i, false, t);
        } else if (std::isalpha(c) || c == '_') {
            size_t start = i;
            while (i < n && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) i++;
            t.kind = Token::Ident;
            t.text = text.substr(start, i - start);
        } else if (std::isdigit(c)) {
            size_t start = i;
            while (i < n && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) i++;
            t.kind = Token::Number;
            t.text = text.substr(start, i - start);
            std::string digits = t.text;
            while (!digits.empty() && std::strchr("uUlL", digits.back())) {
                if (digits.back() == 'l' || digits.back() == 'L') t.is_long = true;
                digits.pop_back();
            }
            int base = 10;
            size_t k = 0;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
                base = 16;
                k = 2;
            } else if (digits.size() > 1 && digits[0] == '0') {
                base = 8;
                k = 1;
            }
            uint64_t v = 0;
            if (k >= digits.size()) files_.fail(t, "'" + t.text + "' is not a number");
            for (; k < digits.size(); k++) {
                char d = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[k])));
                int digit = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : 99;
                if (digit >= base) files_.fail(t, "'" + t.text + "' is not a number");
                v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
                if (v > 0xFFFFFFFFull) files_.fail(t, "'" + t.text + "' does not fit in 32 bits");
            }
            t.value = static_cast<int64_t>(v);
        } else if (c == '\'') {
            // A character constant, as headers sometimes define one.
            t.kind = Token::Number;
            uint32_t value = 0;
            size_t k = i + 1;
            if (k < n && text[k] == '\\' && k + 1 < n) {
                size_t after = lex_escape(text, k + 1, false, value);
                if (after == k + 1) {
                    value = static_cast<unsigned char>(text[k + 1]);
                    after = k + 2;
                }
                k = after;
            } else if (k < n) {
                value = static_cast<unsigned char>(text[k++]);
            }
            if (k >= n || text[k] != '\'') files_.fail(t, "bad character constant");
            t.value = value;
            t.text = text.substr(i, k + 1 - i);
            i = k + 1;
        } else if (c < 0x80 && std::ispunct(c)) {
            static const char* const kPairs[] = {"&&", "||", "==", "!=", "<=", ">=", "<<", ">>"};
            t.kind = Token::Punct;
            t.text = std::string(1, static_cast<char>(c));
            for (const char* p : kPairs) {
                if (i + 1 < n && text[i] == p[0] && text[i + 1] == p[1]) t.text = p;
            }
            i += t.text.size();
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", c);
            files_.fail(file, line, std::string("unexpected character ") + hex);
        }
        out.push_back(std::move(t));
    }
}

// Object-like macros are replaced by their bodies, recursively; a macro is
// not expanded inside its own expansion (C's rule), which ends self-reference.
void Preprocessor::expand(const std::vector<Token>& in, std::vector<Token>& out,
                          std::vector<const std::string*>& active, int depth) {
    for (const Token& t : in) {
        if (t.kind == Token::Ident) {
            auto it = macros_.find(t.text);
            bool open = it != macros_.end() &&
                        std::none_of(active.begin(), active.end(), [&](const std::string* a) { return *a == t.text; });
            if (open) {
                const Macro& m = it->second;
                if (m.function_like)
                    files_.fail(t, "'" + t.text + "' is a macro with parameters; only plain #defines can be used here");
                if (!m.unusable.empty()) files_.fail(t, "'" + t.text + "' cannot be used here: " + m.unusable);
                if (depth >= kMaxMacroDepth) files_.fail(t, "macros nested too deeply at '" + t.text + "'");
                expanded_ += m.body.size();
                if (expanded_ > kMaxExpandedTokens) files_.fail(t, "macro expansion too large");
                std::vector<Token> body = m.body;
                for (Token& b : body) {
                    b.file = t.file;
                    b.line = t.line;
                }
                active.push_back(&it->first);
                expand(body, out, active, depth + 1);
                active.pop_back();
                continue;
            }
        }
        out.push_back(t);
    }
}

void Preprocessor::define(const std::string& rest, int file, int line) {
    size_t i = 0;
    while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) i++;
    size_t start = i;
    while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) || rest[i] == '_')) i++;
    std::string name = rest.substr(start, i - start);
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
        files_.fail(file, line, "#define needs a name");
    Macro m;
    if (i < rest.size() && rest[i] == '(') {
        m.function_like = true;  // kept only so that a use says why it fails
    } else {
        try {
            lex(rest.substr(i), file, line, m.body);
        } catch (const Failure& f) {
            // A header's C definitions need not be RC: only a use is an error.
            m.unusable = f.message.substr(f.message.find(": ") + 2);
            m.body.clear();
        }
    }
    macros_[name] = std::move(m);
}

bool Preprocessor::evaluate_condition(const std::string& rest, int file, int line) {
    std::vector<Token> raw, resolved, expanded;
    lex(rest, file, line, raw);
    // "defined NAME" and "defined(NAME)" before any expansion.
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i].kind == Token::Ident && raw[i].text == "defined") {
            size_t k = i + 1;
            bool paren = k < raw.size() && is_punct(raw[k], "(");
            if (paren) k++;
            if (k >= raw.size() || raw[k].kind != Token::Ident) files_.fail(file, line, "'defined' needs a name");
            Token v = raw[i];
            v.kind = Token::Number;
            v.value = macros_.count(raw[k].text) ? 1 : 0;
            v.text = std::to_string(v.value);
            if (paren) {
                k++;
                if (k >= raw.size() || !is_punct(raw[k], ")")) files_.fail(file, line, "missing ')' after 'defined'");
            }
            resolved.push_back(v);
            i = k;
            continue;
        }
        resolved.push_back(raw[i]);
    }
    std::vector<const std::string*> active;
    expand(resolved, expanded, active, 0);
    if (expanded.empty()) files_.fail(file, line, "#if needs an expression");
    Token end;
    end.file = file;
    end.line = line;
    expanded.push_back(end);
    size_t pos = 0;
    Value v = evaluate(files_, expanded, pos, Mode::Condition);
    if (expanded[pos].kind != Token::End)
        files_.fail(expanded[pos], "unexpected " + describe(expanded[pos]) + " in #if");
    return v.v != 0;
}

void Preprocessor::include(const std::string& rest, int file, int line, int depth) {
    size_t i = rest.find_first_not_of(" \t");
    if (i == std::string::npos) files_.fail(file, line, "#include needs a file name");
    if (rest[i] == '<') return;  // a system header: its constants are built in
    if (rest[i] != '"') files_.fail(file, line, "#include needs a file name in quotes or <>");
    size_t close = rest.find('"', i + 1);
    if (close == std::string::npos || close == i + 1) files_.fail(file, line, "bad #include file name");
    std::string name = rest.substr(i + 1, close - i - 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (depth + 1 >= kMaxIncludeDepth) files_.fail(file, line, "#include nested too deeply");
    auto found = files_.find(file, name);
    if (!found) {
        std::string base = name.substr(name.find_last_of('/') + 1);
        std::string lower = base;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* sdk : kSdkHeaders)
            if (lower == sdk) return;
        files_.fail(file, line, "cannot open include file '" + name + "'");
    }
    process(found->first, found->second, depth + 1);
}

// A file of the script. Included C headers (.h, .c, ...) contribute only
// their preprocessor lines, as RC reads them; .rc and .rc2 files contribute
// statements too.
void Preprocessor::process(const std::string& path, const std::string& text, int depth) {
    int file = files_.add(path);
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool header_only = ext == ".h" || ext == ".hpp" || ext == ".hh" || ext == ".hxx" || ext == ".c" || ext == ".cpp";

    std::vector<Conditional> conditions;
    auto active = [&] { return conditions.empty() || conditions.back().active; };
    for (const Line& l : split_lines(text, file)) {
        size_t i = l.text.find_first_not_of(" \t\f\v");
        if (i == std::string::npos) continue;
        if (l.text[i] != '#') {
            if (!active() || header_only) continue;
            std::vector<Token> raw;
            lex(l.text, file, l.number, raw);
            std::vector<const std::string*> open;
            expand(raw, tokens_, open, 0);
            continue;
        }
        i = l.text.find_first_not_of(" \t", i + 1);
        size_t end = i;
        while (end < l.text.size() && std::isalpha(static_cast<unsigned char>(l.text[end]))) end++;
        std::string directive = i == std::string::npos ? "" : l.text.substr(i, end - i);
        std::string rest = i == std::string::npos ? "" : l.text.substr(end);

        if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
            bool outer = active();
            bool value = false;
            if (outer) {
                if (directive == "if") {
                    value = evaluate_condition(rest, file, l.number);
                } else {
                    std::vector<Token> name;
                    lex(rest, file, l.number, name);
                    if (name.empty() || name[0].kind != Token::Ident)
                        files_.fail(file, l.number, "#" + directive + " needs a name");
                    value = macros_.count(name[0].text) != 0;
                    if (directive == "ifndef") value = !value;
                }
            }
            conditions.push_back({outer && value, outer && value, outer, false});
        } else if (directive == "elif") {
            if (conditions.empty()) files_.fail(file, l.number, "#elif without #if");
            Conditional& c = conditions.back();
            if (c.seen_else) files_.fail(file, l.number, "#elif after #else");
            bool value = c.outer_active && !c.taken && evaluate_condition(rest, file, l.number);
            c.active = value;
            c.taken = c.taken || value;
        } else if (directive == "else") {
            if (conditions.empty()) files_.fail(file, l.number, "#else without #if");
            Conditional& c = conditions.back();
            if (c.seen_else) files_.fail(file, l.number, "second #else");
            c.seen_else = true;
            c.active = c.outer_active && !c.taken;
            c.taken = true;
        } else if (directive == "endif") {
            if (conditions.empty()) files_.fail(file, l.number, "#endif without #if");
            conditions.pop_back();
        } else if (!active()) {
            continue;
        } else if (directive == "define") {
            define(rest, file, l.number);
        } else if (directive == "undef") {
            std::vector<Token> name;
            lex(rest, file, l.number, name);
            if (name.empty() || name[0].kind != Token::Ident) files_.fail(file, l.number, "#undef needs a name");
            macros_.erase(name[0].text);
        } else if (directive == "include") {
            include(rest, file, l.number, depth);
        } else if (directive == "pragma" || directive == "line" || directive.empty()) {
            // code_page and the like: the script is UTF-8 throughout.
        } else if (directive == "error") {
            files_.fail(file, l.number, "#error" + rest);
        } else if (!header_only) {
            files_.fail(file, l.number, "unknown directive #" + directive);
        }  // a C header's other directives (#warning, #ident ...) are not RC's business
    }
    if (!conditions.empty())
        files_.fail(file, static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1, "missing #endif");
}

}  // namespace ce::rc
