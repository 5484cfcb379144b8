// The resource compiler's engine. Three stages, as the device's RC has them:
// a C-style preprocessor (#include, #define, conditionals) that turns the
// script into tokens with their macros expanded, a parser of the resource
// statements, and writers of the binary layouts. Inside, failures are thrown
// as Failure and caught in compile(); nothing escapes it.
#include "rc_compiler.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <set>
#include <unordered_map>

#include "ce_utf8.h"

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
constexpr int kMaxExpressionDepth = 200;
constexpr int kMaxMenuDepth = 16;
constexpr size_t kMaxExpandedTokens = 1u << 18;

struct Failure {
    std::string message;
};

struct Token {
    enum Kind : uint8_t { Ident, Number, String, Punct, End };
    Kind kind = End;
    bool is_long = false;  // a number with an L suffix, or an expression using one
    bool wide = false;     // L"..."
    int file = 0;
    int line = 0;
    int64_t value = 0;
    std::string text;      // identifier, punctuation, number as written
    std::string bytes;     // a string's bytes (narrow)
    std::u16string wtext;  // a string as UTF-16
};

std::string upper_ascii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::u16string upper_name(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

std::u16string ascii_to_u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }


// A source line after comments are gone and continuations joined.
struct Line {
    int number = 0;
    std::string text;
};

class Compiler {
public:
    Compiler(const Options& options, Result& result) : options_(options), result_(result) {}

    void run(const std::string& script);

private:
    // ---- errors ------------------------------------------------------------
    [[noreturn]] void fail(int file, int line, const std::string& message) const {
        throw Failure{files_[file] + ":" + std::to_string(line) + ": " + message};
    }
    [[noreturn]] void fail(const Token& t, const std::string& message) const { fail(t.file, t.line, message); }

    // ---- files -------------------------------------------------------------
    std::optional<std::string> read(const std::string& path) {
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
        if (bytes) result_.inputs.push_back(path);
        return bytes;
    }

    // A file named by the script: beside the file that names it, then along
    // the include folders.
    std::optional<std::pair<std::string, std::string>> find_file(int from_file, const std::string& name) {
        std::vector<std::string> candidates;
        fs::path p(name);
        if (p.is_absolute()) {
            candidates.push_back(name);
        } else {
            candidates.push_back((fs::path(files_[from_file]).parent_path() / p).lexically_normal().string());
            for (const auto& dir : options_.include_dirs)
                candidates.push_back((fs::path(dir) / p).lexically_normal().string());
        }
        for (const auto& c : candidates) {
            if (auto bytes = read(c)) return std::make_pair(c, std::move(*bytes));
        }
        return std::nullopt;
    }

    // ---- preprocessor -------------------------------------------------------
    struct Macro {
        bool function_like = false;
        std::string unusable;  // why the body cannot be used, if it cannot
        std::vector<Token> body;
    };
    struct Conditional {
        bool active;        // this branch is being compiled
        bool taken;         // some branch of this #if was taken
        bool outer_active;  // the #if itself sits in compiled text
        bool seen_else;
    };

    std::vector<Line> split_lines(const std::string& text, int file);
    void lex(const std::string& text, int file, int line, std::vector<Token>& out) const;
    size_t lex_string(const std::string& text, size_t i, bool wide, Token& t) const;
    size_t lex_escape(const std::string& text, size_t i, bool wide, uint32_t& value) const;
    void expand(const std::vector<Token>& in, std::vector<Token>& out, std::vector<const std::string*>& active,
                int depth);
    void define(const std::string& rest, int file, int line);
    bool evaluate_condition(const std::string& rest, int file, int line);
    void process(const std::string& path, const std::string& text, int depth);
    void include(const std::string& rest, int file, int line, int depth);

    // ---- parser -------------------------------------------------------------
    struct Value {
        int64_t v = 0;
        uint32_t not_mask = 0;  // bits NOT cleared, applied to a default style
        bool is_long = false;
    };
    enum class Mode { Body, Lenient, Condition };

    const Token& peek(size_t ahead = 0) const {
        size_t at = std::min(pos_ + ahead, tokens_.size() - 1);
        return tokens_[at];
    }
    const Token& next() {
        const Token& t = tokens_[pos_];
        if (pos_ + 1 < tokens_.size()) pos_++;
        return t;
    }
    static bool is_word(const Token& t, const char* word) {
        return t.kind == Token::Ident && upper_ascii(t.text) == word;
    }
    static bool is_punct(const Token& t, const char* p) { return t.kind == Token::Punct && t.text == p; }
    bool at_begin() const { return is_word(peek(), "BEGIN") || is_punct(peek(), "{"); }
    bool at_end() const { return is_word(peek(), "END") || is_punct(peek(), "}"); }
    std::string describe(const Token& t) const {
        if (t.kind == Token::End) return "end of file";
        if (t.kind == Token::String) return "a string";
        return "'" + t.text + "'";
    }
    void expect_begin(const char* what) {
        if (!at_begin())
            fail(peek(), std::string("expected BEGIN or { to open the ") + what + ", found " + describe(peek()));
        next();
    }
    bool accept_comma() {
        if (!is_punct(peek(), ",")) return false;
        next();
        return true;
    }
    void expect_comma() {
        if (!accept_comma()) fail(peek(), "expected ',', found " + describe(peek()));
    }
    const Token& expect_string(const char* what) {
        if (peek().kind != Token::String)
            fail(peek(), std::string("expected ") + what + " in quotes, found " + describe(peek()));
        return next();
    }
    bool starts_expression(const Token& t) const {
        return t.kind == Token::Number || is_punct(t, "(") || is_punct(t, "-") || is_punct(t, "+") ||
               is_punct(t, "~") || (t.kind == Token::Punct && t.text == "!") || is_word(t, "NOT");
    }

    Value expression(std::vector<Token>& tokens, size_t& pos, Mode mode, int depth = 0);
    Value unary(std::vector<Token>& tokens, size_t& pos, Mode mode, int depth);
    Value expr(Mode mode = Mode::Body) { return expression(tokens_, pos_, mode); }
    uint16_t word_expr() { return static_cast<uint16_t>(expr().v); }
    int16_t coord() { return static_cast<int16_t>(static_cast<uint16_t>(expr().v)); }

    void statements();
    ResId resource_name();
    void skip_load_options();
    void skip_optional_statements();
    void add(const Token& where, ResId type, ResId name, std::vector<uint8_t> data);
    void string_table();
    void dialog(const Token& where, const ResId& name);
    void menu(const Token& where, const ResId& name);
    void data_block(const Token& where, const ResId& type, const ResId& name);
    void icon(const Token& where, const ResId& name);
    std::string file_bytes(const Token& name_token);

    const Options& options_;
    Result& result_;
    std::vector<std::string> files_;
    std::unordered_map<std::string, Macro> macros_;
    size_t expanded_ = 0;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    std::map<uint16_t, std::array<std::optional<std::u16string>, 16>> strings_;
};

// ---- preprocessor -----------------------------------------------------------

// Comments become a space; strings are kept whole (a "//" in a string is
// text); a backslash at the end of a line joins the next.
std::vector<Line> Compiler::split_lines(const std::string& text, int file) {
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
    if (in_comment) fail(file, number, "unterminated /* comment");
    lines.push_back(std::move(current));
    return lines;
}

// One escape after a backslash at text[i] (the character after the
// backslash); returns the index after it, or i when it is no escape RC knows
// (the backslash then stays in the text).
size_t Compiler::lex_escape(const std::string& text, size_t i, bool wide, uint32_t& value) const {
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

// A quoted string from the opening quote at text[i]; "" is a quote.
size_t Compiler::lex_string(const std::string& text, size_t i, bool wide, Token& t) const {
    t.kind = Token::String;
    t.wide = wide;
    i++;
    for (;;) {
        if (i >= text.size()) fail(t, "unterminated string (a string must end on its line)");
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
        if (!ce::utf8_next(text, i, cp)) fail(t, "text is not valid UTF-8");
        t.bytes.append(text, start, i - start);
        ce::append_utf16(t.wtext, cp);
    }
}

void Compiler::lex(const std::string& text, int file, int line, std::vector<Token>& out) const {
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
            if (k >= digits.size()) fail(t, "'" + t.text + "' is not a number");
            for (; k < digits.size(); k++) {
                char d = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[k])));
                int digit = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : 99;
                if (digit >= base) fail(t, "'" + t.text + "' is not a number");
                v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
                if (v > 0xFFFFFFFFull) fail(t, "'" + t.text + "' does not fit in 32 bits");
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
            if (k >= n || text[k] != '\'') fail(t, "bad character constant");
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
            fail(file, line, std::string("unexpected character ") + hex);
        }
        out.push_back(std::move(t));
    }
}

// Object-like macros are replaced by their bodies, recursively; a macro is
// not expanded inside its own expansion (C's rule), which ends self-reference.
void Compiler::expand(const std::vector<Token>& in, std::vector<Token>& out, std::vector<const std::string*>& active,
                      int depth) {
    for (const Token& t : in) {
        if (t.kind == Token::Ident) {
            auto it = macros_.find(t.text);
            bool open = it != macros_.end() &&
                        std::none_of(active.begin(), active.end(), [&](const std::string* a) { return *a == t.text; });
            if (open) {
                const Macro& m = it->second;
                if (m.function_like)
                    fail(t, "'" + t.text + "' is a macro with parameters; only plain #defines can be used here");
                if (!m.unusable.empty()) fail(t, "'" + t.text + "' cannot be used here: " + m.unusable);
                if (depth >= kMaxMacroDepth) fail(t, "macros nested too deeply at '" + t.text + "'");
                expanded_ += m.body.size();
                if (expanded_ > kMaxExpandedTokens) fail(t, "macro expansion too large");
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

void Compiler::define(const std::string& rest, int file, int line) {
    size_t i = 0;
    while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) i++;
    size_t start = i;
    while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) || rest[i] == '_')) i++;
    std::string name = rest.substr(start, i - start);
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) fail(file, line, "#define needs a name");
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

bool Compiler::evaluate_condition(const std::string& rest, int file, int line) {
    std::vector<Token> raw, resolved, expanded;
    lex(rest, file, line, raw);
    // "defined NAME" and "defined(NAME)" before any expansion.
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i].kind == Token::Ident && raw[i].text == "defined") {
            size_t k = i + 1;
            bool paren = k < raw.size() && is_punct(raw[k], "(");
            if (paren) k++;
            if (k >= raw.size() || raw[k].kind != Token::Ident) fail(file, line, "'defined' needs a name");
            Token v = raw[i];
            v.kind = Token::Number;
            v.value = macros_.count(raw[k].text) ? 1 : 0;
            v.text = std::to_string(v.value);
            if (paren) {
                k++;
                if (k >= raw.size() || !is_punct(raw[k], ")")) fail(file, line, "missing ')' after 'defined'");
            }
            resolved.push_back(v);
            i = k;
            continue;
        }
        resolved.push_back(raw[i]);
    }
    std::vector<const std::string*> active;
    expand(resolved, expanded, active, 0);
    if (expanded.empty()) fail(file, line, "#if needs an expression");
    Token end;
    end.file = file;
    end.line = line;
    expanded.push_back(end);
    size_t pos = 0;
    Value v = expression(expanded, pos, Mode::Condition);
    if (expanded[pos].kind != Token::End) fail(expanded[pos], "unexpected " + describe(expanded[pos]) + " in #if");
    return v.v != 0;
}

void Compiler::include(const std::string& rest, int file, int line, int depth) {
    size_t i = rest.find_first_not_of(" \t");
    if (i == std::string::npos) fail(file, line, "#include needs a file name");
    if (rest[i] == '<') return;  // a system header: its constants are built in
    if (rest[i] != '"') fail(file, line, "#include needs a file name in quotes or <>");
    size_t close = rest.find('"', i + 1);
    if (close == std::string::npos || close == i + 1) fail(file, line, "bad #include file name");
    std::string name = rest.substr(i + 1, close - i - 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (depth + 1 >= kMaxIncludeDepth) fail(file, line, "#include nested too deeply");
    auto found = find_file(file, name);
    if (!found) {
        std::string base = name.substr(name.find_last_of('/') + 1);
        std::string lower = base;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* sdk : kSdkHeaders)
            if (lower == sdk) return;
        fail(file, line, "cannot open include file '" + name + "'");
    }
    process(found->first, found->second, depth + 1);
}

// A file of the script. Included C headers (.h, .c, ...) contribute only
// their preprocessor lines, as RC reads them; .rc and .rc2 files contribute
// statements too.
void Compiler::process(const std::string& path, const std::string& text, int depth) {
    int file = static_cast<int>(files_.size());
    files_.push_back(path);
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
                        fail(file, l.number, "#" + directive + " needs a name");
                    value = macros_.count(name[0].text) != 0;
                    if (directive == "ifndef") value = !value;
                }
            }
            conditions.push_back({outer && value, outer && value, outer, false});
        } else if (directive == "elif") {
            if (conditions.empty()) fail(file, l.number, "#elif without #if");
            Conditional& c = conditions.back();
            if (c.seen_else) fail(file, l.number, "#elif after #else");
            bool value = c.outer_active && !c.taken && evaluate_condition(rest, file, l.number);
            c.active = value;
            c.taken = c.taken || value;
        } else if (directive == "else") {
            if (conditions.empty()) fail(file, l.number, "#else without #if");
            Conditional& c = conditions.back();
            if (c.seen_else) fail(file, l.number, "second #else");
            c.seen_else = true;
            c.active = c.outer_active && !c.taken;
            c.taken = true;
        } else if (directive == "endif") {
            if (conditions.empty()) fail(file, l.number, "#endif without #if");
            conditions.pop_back();
        } else if (!active()) {
            continue;
        } else if (directive == "define") {
            define(rest, file, l.number);
        } else if (directive == "undef") {
            std::vector<Token> name;
            lex(rest, file, l.number, name);
            if (name.empty() || name[0].kind != Token::Ident) fail(file, l.number, "#undef needs a name");
            macros_.erase(name[0].text);
        } else if (directive == "include") {
            include(rest, file, l.number, depth);
        } else if (directive == "pragma" || directive == "line" || directive.empty()) {
            // code_page and the like: the script is UTF-8 throughout.
        } else if (directive == "error") {
            fail(file, l.number, "#error" + rest);
        } else if (!header_only) {
            fail(file, l.number, "unknown directive #" + directive);
        }  // a C header's other directives (#warning, #ident ...) are not RC's business
    }
    if (!conditions.empty())
        fail(file, static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1, "missing #endif");
}

// ---- expressions --------------------------------------------------------------

// Binary operators by precedence (higher binds tighter). Resource statements
// know | & + - * / %; #if knows C's.
int precedence(const Token& t, bool condition) {
    if (t.kind != Token::Punct) return 0;
    const std::string& s = t.text;
    if (s == "|") return 3;
    if (s == "&") return 5;
    if (s == "+" || s == "-") return 9;
    if (s == "*" || s == "/" || s == "%") return 10;
    if (!condition) return 0;
    if (s == "||") return 1;
    if (s == "&&") return 2;
    if (s == "^") return 4;
    if (s == "==" || s == "!=") return 6;
    if (s == "<" || s == ">" || s == "<=" || s == ">=") return 7;
    if (s == "<<" || s == ">>") return 8;
    return 0;
}

int64_t wrap(uint64_t v) { return static_cast<int64_t>(v); }

Compiler::Value Compiler::unary(std::vector<Token>& tokens, size_t& pos, Mode mode, int depth) {
    if (depth > kMaxExpressionDepth) fail(tokens[pos], "expression nested too deeply");
    const Token& t = tokens[pos];
    auto advance = [&] {
        if (pos + 1 < tokens.size()) pos++;
    };
    if (t.kind == Token::Number) {
        advance();
        return Value{t.value, 0, t.is_long};
    }
    if (is_punct(t, "(")) {
        advance();
        Value v = expression(tokens, pos, mode, depth + 1);
        if (!is_punct(tokens[pos], ")")) fail(tokens[pos], "expected ')', found " + describe(tokens[pos]));
        advance();
        return v;
    }
    if (is_punct(t, "-") || is_punct(t, "+") || is_punct(t, "~") || (mode == Mode::Condition && is_punct(t, "!"))) {
        std::string op = t.text;
        advance();
        Value v = unary(tokens, pos, mode, depth + 1);
        if (op == "-") v.v = wrap(0 - static_cast<uint64_t>(v.v));
        if (op == "~") v.v = ~v.v;
        if (op == "!") v.v = !v.v;
        return v;
    }
    if (mode != Mode::Condition && is_word(t, "NOT")) {
        advance();
        Value v = unary(tokens, pos, mode, depth + 1);
        return Value{0, static_cast<uint32_t>(v.v), v.is_long};
    }
    if (t.kind == Token::Ident && mode != Mode::Body) {
        advance();  // an unknown name is 0 in #if, and where its value is ignored
        return Value{};
    }
    if (t.kind == Token::Ident) fail(t, "'" + t.text + "' is not defined");
    fail(t, "expected a number, found " + describe(t));
}

Compiler::Value Compiler::expression(std::vector<Token>& tokens, size_t& pos, Mode mode, int depth) {
    // An operator stack: before an operator is pushed, every pending one that
    // binds at least as tightly is applied, so equal operators go left to right.
    struct Frame {
        Value left;
        std::string op;
        int prec;
    };
    bool condition = mode == Mode::Condition;
    std::vector<Frame> stack;
    Value value = unary(tokens, pos, mode, depth);
    for (;;) {
        int prec = precedence(tokens[pos], condition);
        while (!stack.empty() && stack.back().prec >= std::max(prec, 1)) {
            Frame f = stack.back();
            stack.pop_back();
            Value a = f.left, b = value, r;
            r.is_long = a.is_long || b.is_long;
            r.not_mask = a.not_mask | b.not_mask;
            uint64_t x = static_cast<uint64_t>(a.v), y = static_cast<uint64_t>(b.v);
            const std::string& op = f.op;
            if (op == "|") {
                // NOT x in a list of styles clears x from what comes before
                // it and from the control's default.
                r.v = wrap((x & ~static_cast<uint64_t>(b.not_mask)) | y);
            } else if (op == "&") {
                r.v = wrap(x & y);
            } else if (op == "+") {
                r.v = wrap(x + y);
            } else if (op == "-") {
                r.v = wrap(x - y);
            } else if (op == "*") {
                r.v = wrap(x * y);
            } else if (op == "/" || op == "%") {
                if (b.v == 0) fail(tokens[pos], "division by zero");
                if (a.v == INT64_MIN && b.v == -1)
                    r.v = op == "/" ? a.v : 0;
                else
                    r.v = op == "/" ? a.v / b.v : a.v % b.v;
            } else if (op == "||") {
                r.v = a.v || b.v;
            } else if (op == "&&") {
                r.v = a.v && b.v;
            } else if (op == "^") {
                r.v = wrap(x ^ y);
            } else if (op == "==") {
                r.v = a.v == b.v;
            } else if (op == "!=") {
                r.v = a.v != b.v;
            } else if (op == "<") {
                r.v = a.v < b.v;
            } else if (op == ">") {
                r.v = a.v > b.v;
            } else if (op == "<=") {
                r.v = a.v <= b.v;
            } else if (op == ">=") {
                r.v = a.v >= b.v;
            } else if (op == "<<") {
                r.v = y < 64 ? wrap(x << y) : 0;
            } else if (op == ">>") {
                r.v = y < 64 ? (a.v >> y) : (a.v < 0 ? -1 : 0);
            }
            value = r;
        }
        if (prec == 0) return value;
        stack.push_back({value, tokens[pos].text, prec});
        if (pos + 1 < tokens.size()) pos++;
        value = unary(tokens, pos, mode, depth);
    }
}

// ---- statements -------------------------------------------------------------

// A resource's name: a number or an expression is an ordinal; a quoted
// string or a word that names nothing is a name.
ResId Compiler::resource_name() {
    const Token& t = peek();
    ResId id;
    if (t.kind == Token::String) {
        next();
        if (t.wtext.empty()) fail(t, "a resource name cannot be empty");
        id.name = upper_name(t.wtext);
    } else if (t.kind == Token::Ident && !is_word(t, "NOT")) {
        next();
        id.name = upper_name(ascii_to_u16(t.text));
    } else {
        id.ordinal = word_expr();
    }
    return id;
}

void Compiler::skip_load_options() {
    static const char* const kOptions[] = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE", "DISCARDABLE",
                                           "PURE",    "IMPURE",     "SHARED", "NONSHARED"};
    while (peek().kind == Token::Ident &&
           std::any_of(std::begin(kOptions), std::end(kOptions), [&](const char* o) { return is_word(peek(), o); }))
        next();
}

// LANGUAGE, CHARACTERISTICS and VERSION: accepted, and of no effect here.
void Compiler::skip_optional_statements() {
    for (;;) {
        if (is_word(peek(), "LANGUAGE")) {
            next();
            expr(Mode::Lenient);
            expect_comma();
            expr(Mode::Lenient);
        } else if (is_word(peek(), "CHARACTERISTICS") || is_word(peek(), "VERSION")) {
            next();
            expr(Mode::Lenient);
        } else {
            return;
        }
    }
}

std::string describe_id(const ResId& id) {
    if (!id.is_name()) return std::to_string(id.ordinal);
    std::string s;
    for (char16_t c : id.name) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

void Compiler::add(const Token& where, ResId type, ResId name, std::vector<uint8_t> data) {
    for (const Resource& r : result_.resources) {
        if (r.type == type && r.name == name)
            fail(where, "resource " + describe_id(name) + " of type " + describe_id(type) + " is defined twice");
    }
    if (data.size() > 0xFFFFFFFFull) fail(where, "resource too large");
    result_.resources.push_back(Resource{std::move(type), std::move(name), std::move(data)});
}

struct Writer {
    std::vector<uint8_t> bytes;
    void u16(uint32_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void text(const std::u16string& s) {
        for (char16_t c : s) u16(c);
        u16(0);
    }
    // An ordinal (0xFFFF and the number) or a zero-terminated name.
    void id(const ResId& r) {
        if (r.is_name()) {
            text(r.name);
        } else {
            u16(0xFFFF);
            u16(r.ordinal);
        }
    }
    void align4() {
        while (bytes.size() % 4) bytes.push_back(0);
    }
};

void Compiler::string_table() {
    next();
    skip_load_options();
    skip_optional_statements();
    expect_begin("STRINGTABLE");
    while (!at_end()) {
        const Token& at = peek();
        if (at.kind == Token::End) fail(at, "missing END of STRINGTABLE");
        uint16_t id = word_expr();
        accept_comma();
        const Token& s = expect_string("the string");
        if (s.wtext.size() > 0xFFFE) fail(s, "string too long");
        auto& slot = strings_[static_cast<uint16_t>(id >> 4)][id & 15];
        if (slot) fail(at, "string " + std::to_string(id) + " is defined twice");
        slot = s.wtext;
    }
    next();
}

struct ControlKind {
    const char* keyword;
    uint16_t atom;         // 0x80 BUTTON ... 0x85 COMBOBOX
    uint32_t style;        // always, under what the script gives
    uint32_t if_unstyled;  // added when the script gives no style
    enum Form { TextFirst, IdFirst, Icon } form;
};

// The shorthand controls and the styles RC gives each: WS_CHILD | WS_VISIBLE,
// the class's own style, and the usual tab stop, border or group.
const ControlKind kControls[] = {
    {"LTEXT", 0x82, 0x50020000, 0, ControlKind::TextFirst},
    {"CTEXT", 0x82, 0x50020001, 0, ControlKind::TextFirst},
    {"RTEXT", 0x82, 0x50020002, 0, ControlKind::TextFirst},
    {"PUSHBUTTON", 0x80, 0x50010000, 0, ControlKind::TextFirst},
    {"DEFPUSHBUTTON", 0x80, 0x50010001, 0, ControlKind::TextFirst},
    {"PUSHBOX", 0x80, 0x5001000A, 0, ControlKind::TextFirst},
    {"CHECKBOX", 0x80, 0x50010002, 0, ControlKind::TextFirst},
    {"AUTOCHECKBOX", 0x80, 0x50010003, 0, ControlKind::TextFirst},
    {"STATE3", 0x80, 0x50010005, 0, ControlKind::TextFirst},
    {"AUTO3STATE", 0x80, 0x50010006, 0, ControlKind::TextFirst},
    {"RADIOBUTTON", 0x80, 0x50000004, 0, ControlKind::TextFirst},
    {"AUTORADIOBUTTON", 0x80, 0x50000009, 0, ControlKind::TextFirst},
    {"GROUPBOX", 0x80, 0x50000007, 0, ControlKind::TextFirst},
    {"EDITTEXT", 0x81, 0x50810000, 0, ControlKind::IdFirst},
    // Without a style the device's RC makes a drop-down combo box.
    {"COMBOBOX", 0x85, 0x50010000, 0x0002, ControlKind::IdFirst},
    {"LISTBOX", 0x83, 0x50800001, 0, ControlKind::IdFirst},
    {"SCROLLBAR", 0x84, 0x50000000, 0, ControlKind::IdFirst},
    {"ICON", 0x82, 0x50000003, 0, ControlKind::Icon},
};

constexpr uint32_t kDefaultDialogStyle = 0x80880000;  // WS_POPUP | WS_BORDER | WS_SYSMENU
constexpr uint32_t kWsCaption = 0x00C00000;
constexpr uint32_t kDsSetFont = 0x40;

uint32_t apply_style(uint32_t base, const std::optional<std::pair<int64_t, uint32_t>>& given, uint32_t if_unstyled) {
    if (!given) return base | if_unstyled;
    return (base & ~given->second) | static_cast<uint32_t>(given->first);
}

void Compiler::dialog(const Token& where, const ResId& name) {
    skip_load_options();
    int16_t box[4];
    for (int i = 0; i < 4; i++) {
        if (i) expect_comma();
        box[i] = coord();
    }
    std::optional<uint32_t> style;
    uint32_t exstyle = 0;
    std::optional<std::u16string> caption;
    std::optional<std::pair<uint16_t, std::u16string>> font;
    ResId menu_id, class_id;
    bool has_menu = false, has_class = false;
    while (!at_begin()) {
        const Token& t = peek();
        if (is_word(t, "STYLE")) {
            next();
            style = static_cast<uint32_t>(expr().v);
        } else if (is_word(t, "EXSTYLE")) {
            next();
            exstyle = static_cast<uint32_t>(expr().v);
        } else if (is_word(t, "CAPTION")) {
            next();
            caption = expect_string("the caption").wtext;
        } else if (is_word(t, "FONT")) {
            next();
            uint16_t size = word_expr();
            expect_comma();
            std::u16string face = expect_string("the font's name").wtext;
            while (accept_comma()) expr(Mode::Lenient);  // weight, italic, charset: extended dialogs only
            font = std::make_pair(size, face);
        } else if (is_word(t, "CLASS")) {
            next();
            has_class = true;
            if (peek().kind == Token::String) {
                class_id.name = next().wtext;
                if (class_id.name.empty()) fail(t, "CLASS needs a name");
            } else {
                class_id.ordinal = word_expr();
            }
        } else if (is_word(t, "MENU")) {
            next();
            has_menu = true;
            menu_id = resource_name();
        } else if (is_word(t, "LANGUAGE") || is_word(t, "CHARACTERISTICS") || is_word(t, "VERSION")) {
            skip_optional_statements();
        } else {
            fail(t, "unexpected " + describe(t) + " in the DIALOG's header");
        }
    }
    next();

    uint32_t dialog_style = style.value_or(kDefaultDialogStyle);
    if (caption) dialog_style |= kWsCaption;
    if (font)
        dialog_style |= kDsSetFont;
    else
        dialog_style &= ~kDsSetFont;  // the flag promises a font the template would not have

    Writer items;
    unsigned count = 0;
    while (!at_end()) {
        const Token& kw = peek();
        if (kw.kind != Token::Ident) fail(kw, "expected a control, found " + describe(kw));
        std::string word = upper_ascii(kw.text);
        next();
        ResId klass;
        struct Text {
            bool ordinal = false;
            uint16_t id = 0;
            std::u16string s;
        } title;
        uint16_t id = 0;
        int16_t rect[4] = {0, 0, 0, 0};
        uint32_t item_style = 0, item_exstyle = 0;
        // A control's text: a string, or an ordinal (an icon's id).
        auto control_text = [&] {
            Text r;
            if (peek().kind == Token::String) {
                r.s = next().wtext;
            } else if (peek().kind == Token::Ident && !is_word(peek(), "NOT")) {
                r.s = upper_name(ascii_to_u16(next().text));  // an icon's name
            } else {
                r.ordinal = true;
                r.id = word_expr();
            }
            return r;
        };
        auto style_expr = [&]() -> std::pair<int64_t, uint32_t> {
            Value v = expr();
            return {v.v, v.not_mask};
        };
        if (word == "CONTROL") {
            title = control_text();
            expect_comma();
            id = word_expr();
            expect_comma();
            const Token& c = peek();
            std::u16string cls;
            if (c.kind == Token::String) {
                cls = next().wtext;
            } else if (c.kind == Token::Ident && !is_word(c, "NOT")) {
                cls = ascii_to_u16(next().text);
            } else {
                klass.ordinal = word_expr();
            }
            if (!cls.empty()) {
                static const char16_t* const kAtoms[] = {u"BUTTON",  u"EDIT",      u"STATIC",
                                                         u"LISTBOX", u"SCROLLBAR", u"COMBOBOX"};
                klass.name = cls;
                for (int a = 0; a < 6; a++) {
                    if (upper_name(cls) == kAtoms[a]) {
                        klass.name.clear();
                        klass.ordinal = static_cast<uint16_t>(0x80 + a);
                    }
                }
            } else if (c.kind == Token::String) {
                fail(c, "a control's class cannot be empty");
            }
            expect_comma();
            item_style = apply_style(0x50000000, style_expr(), 0);
            for (int i = 0; i < 4; i++) {
                expect_comma();
                rect[i] = coord();
            }
            if (accept_comma()) item_exstyle = static_cast<uint32_t>(expr().v);
        } else {
            const ControlKind* kind = nullptr;
            for (const ControlKind& k : kControls)
                if (word == k.keyword) kind = &k;
            if (!kind) fail(kw, "unknown control '" + kw.text + "'");
            klass.ordinal = kind->atom;
            if (kind->form != ControlKind::IdFirst) {
                title = control_text();
                expect_comma();
            }
            id = word_expr();
            int required = kind->form == ControlKind::Icon ? 2 : 4;
            for (int i = 0; i < required; i++) {
                expect_comma();
                rect[i] = coord();
            }
            std::optional<std::pair<int64_t, uint32_t>> given;
            if (kind->form == ControlKind::Icon && accept_comma()) {
                rect[2] = coord();
                expect_comma();
                rect[3] = coord();
                if (accept_comma()) given = style_expr();
            } else if (kind->form != ControlKind::Icon && accept_comma()) {
                given = style_expr();
            }
            if (given && accept_comma()) item_exstyle = static_cast<uint32_t>(expr().v);
            item_style = apply_style(kind->style, given, kind->if_unstyled);
        }
        if (++count > 0xFFFF) fail(kw, "too many controls");
        items.align4();
        items.u32(item_style);
        items.u32(item_exstyle);
        for (int16_t v : rect) items.u16(static_cast<uint16_t>(v));
        items.u16(id);
        items.id(klass);
        if (title.ordinal)
            items.id(ResId{title.id, {}});
        else
            items.text(title.s);
        items.u16(0);  // no creation data
    }
    next();

    Writer out;
    out.u32(dialog_style);
    out.u32(exstyle);
    out.u16(count);
    for (int16_t v : box) out.u16(static_cast<uint16_t>(v));
    if (has_menu)
        out.id(menu_id);
    else
        out.u16(0);
    if (has_class)
        out.id(class_id);
    else
        out.u16(0);
    out.text(caption.value_or(u""));
    if (font) {
        out.u16(font->first);
        out.text(font->second);
    }
    if (count) {
        out.align4();
        out.bytes.insert(out.bytes.end(), items.bytes.begin(), items.bytes.end());
    }
    add(where, ResId{kTypeDialog, {}}, name, std::move(out.bytes));
}

struct MenuItem {
    bool popup = false;
    bool separator = false;
    uint16_t flags = 0;
    uint16_t id = 0;
    std::u16string text;
    std::vector<MenuItem> children;
};

void Compiler::menu(const Token& where, const ResId& name) {
    skip_load_options();
    skip_optional_statements();
    // The item options RC knows, with their MF_ flags.
    static const std::pair<const char*, uint16_t> kOptions[] = {{"GRAYED", 0x0001},    {"INACTIVE", 0x0002},
                                                                {"CHECKED", 0x0008},   {"MENUBARBREAK", 0x0020},
                                                                {"MENUBREAK", 0x0040}, {"HELP", 0x4000}};
    auto options = [&](uint16_t& flags) {
        for (;;) {
            if (accept_comma()) continue;
            bool known = false;
            for (const auto& [word, flag] : kOptions) {
                if (is_word(peek(), word)) {
                    flags |= flag;
                    known = true;
                }
            }
            if (!known) return;
            next();
        }
    };
    std::function<std::vector<MenuItem>(int)> block = [&](int depth) {
        if (depth > kMaxMenuDepth) fail(peek(), "menus nested too deeply");
        expect_begin("menu");
        std::vector<MenuItem> items;
        while (!at_end()) {
            const Token& t = peek();
            MenuItem item;
            if (is_word(t, "MENUITEM")) {
                next();
                if (is_word(peek(), "SEPARATOR")) {
                    next();
                    item.separator = true;
                } else {
                    item.text = expect_string("the item's text").wtext;
                    expect_comma();
                    item.id = word_expr();
                    options(item.flags);
                }
            } else if (is_word(t, "POPUP")) {
                next();
                item.popup = true;
                item.text = expect_string("the popup's text").wtext;
                options(item.flags);
                item.children = block(depth + 1);
                if (item.children.empty()) fail(t, "POPUP has no items");
            } else {
                fail(t, "expected MENUITEM or POPUP, found " + describe(t));
            }
            items.push_back(std::move(item));
        }
        next();
        return items;
    };
    std::vector<MenuItem> top = block(0);
    if (top.empty()) fail(where, "MENU has no items");

    Writer out;
    out.u16(0);  // MENUITEMTEMPLATEHEADER: version and offset
    out.u16(0);
    std::function<void(const std::vector<MenuItem>&)> write = [&](const std::vector<MenuItem>& items) {
        for (size_t i = 0; i < items.size(); i++) {
            const MenuItem& m = items[i];
            uint16_t flags = static_cast<uint16_t>(m.flags | (i + 1 == items.size() ? 0x0080 : 0));  // MF_END
            if (m.popup) {
                out.u16(flags | 0x0010);  // MF_POPUP
                out.text(m.text);
                write(m.children);
            } else {
                out.u16(flags);
                out.u16(m.separator ? 0 : m.id);
                out.text(m.separator ? u"" : m.text);
            }
        }
    };
    write(top);
    add(where, ResId{kTypeMenu, {}}, name, std::move(out.bytes));
}

// The bytes of a file the script names (an icon, a raw data file).
std::string Compiler::file_bytes(const Token& name_token) {
    std::string name = name_token.bytes;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty()) fail(name_token, "empty file name");
    auto found = find_file(name_token.file, name);
    if (!found) fail(name_token, "cannot open '" + name + "'");
    return found->second;
}

// RCDATA and types of the script's own: numbers are WORDs (DWORDs with an L),
// "text" is its bytes, L"text" its UTF-16 units; no terminators are added.
void Compiler::data_block(const Token& where, const ResId& type, const ResId& name) {
    skip_load_options();
    skip_optional_statements();
    Writer out;
    if (peek().kind == Token::String) {
        std::string bytes = file_bytes(next());
        out.bytes.assign(bytes.begin(), bytes.end());
    } else {
        expect_begin("data");
        while (!at_end()) {
            const Token& t = peek();
            if (t.kind == Token::String) {
                next();
                if (t.wide) {
                    for (char16_t c : t.wtext) out.u16(c);
                } else {
                    out.bytes.insert(out.bytes.end(), t.bytes.begin(), t.bytes.end());
                }
            } else if (starts_expression(t) || t.kind == Token::Ident) {
                Value v = expr();
                if (v.is_long)
                    out.u32(static_cast<uint32_t>(v.v));
                else
                    out.u16(static_cast<uint16_t>(v.v));
            } else {
                fail(t, "unexpected " + describe(t) + " in the data");
            }
            accept_comma();
        }
        next();
    }
    add(where, type, name, std::move(out.bytes));
}

// The whole .ico file under RT_GROUP_ICON, for the windowing layer to read.
void Compiler::icon(const Token& where, const ResId& name) {
    skip_load_options();
    const Token& file = expect_string("the icon's file name");
    std::string bytes = file_bytes(file);
    auto u16_at = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) |
                                     (static_cast<unsigned char>(bytes[at + 1]) << 8));
    };
    if (bytes.size() < 6 || u16_at(0) != 0 || u16_at(2) != 1 || u16_at(4) == 0 || bytes.size() < 6 + 16 * u16_at(4))
        fail(file, "'" + file.bytes + "' is not an icon file");
    add(where, ResId{kTypeGroupIcon, {}}, name, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void Compiler::statements() {
    static const char* const kUnsupported[] = {"ACCELERATORS", "BITMAP",    "CURSOR",       "DIALOGEX", "MENUEX",
                                               "VERSIONINFO",  "FONT",      "MESSAGETABLE", "TOOLBAR",  "DLGINIT",
                                               "HTML",         "ANICURSOR", "ANIICON",      "PLUGPLAY", "VXD"};
    while (peek().kind != Token::End) {
        const Token& t = peek();
        if (is_word(t, "STRINGTABLE")) {
            string_table();
            continue;
        }
        if (is_word(t, "LANGUAGE")) {
            skip_optional_statements();
            continue;
        }
        if (t.kind == Token::Punct && !starts_expression(t)) fail(t, "unexpected " + describe(t));
        Token where = t;
        ResId name = resource_name();
        const Token& type = peek();
        if (type.kind == Token::End) fail(type, "expected a resource type after " + describe(where));
        if (type.kind == Token::Ident && !is_word(type, "NOT")) {
            std::string word = upper_ascii(type.text);
            next();
            if (word == "DIALOG") {
                dialog(where, name);
            } else if (word == "MENU") {
                menu(where, name);
            } else if (word == "ICON") {
                icon(where, name);
            } else if (word == "RCDATA") {
                data_block(where, ResId{kTypeRcdata, {}}, name);
            } else if (word == "STRINGTABLE") {
                fail(type, "STRINGTABLE takes no name");
            } else if (std::any_of(std::begin(kUnsupported), std::end(kUnsupported),
                                   [&](const char* u) { return word == u; })) {
                fail(type, word + " resources are not supported");
            } else {
                data_block(where, ResId{0, upper_name(ascii_to_u16(type.text))}, name);
            }
        } else if (type.kind == Token::String) {
            next();
            if (type.wtext.empty()) fail(type, "a resource type cannot be empty");
            data_block(where, ResId{0, upper_name(type.wtext)}, name);
        } else {
            ResId numeric{word_expr(), {}};
            if (numeric.ordinal == 0) fail(type, "resource type 0 does not exist");
            // The types whose bytes the windowing layer reads as a layout are
            // written in their own statements, which build that layout: raw
            // bytes under them would be read as one.
            static const std::pair<uint16_t, const char*> kLaidOut[] = {
                {3, "ICON"}, {4, "MENU"}, {5, "DIALOG"}, {6, "STRINGTABLE"}, {14, "ICON"}};
            for (const auto& [ordinal, statement] : kLaidOut) {
                if (numeric.ordinal == ordinal)
                    fail(type, "resource type " + std::to_string(ordinal) + " is written as " + statement);
            }
            data_block(where, numeric, name);
        }
    }
}

void Compiler::run(const std::string& script) {
    process("<built-in>", kBuiltins, 0);  // file 0: only #defines
    for (const auto& [name, value] : options_.defines) define(name + " " + (value.empty() ? "1" : value), 0, 0);
    auto text = read(script);
    if (!text) throw Failure{script + ": cannot be read"};
    Token end;
    end.file = static_cast<int>(files_.size());
    end.line = 1;
    process(script, *text, 0);
    if (!tokens_.empty()) {
        end.file = tokens_.back().file;
        end.line = tokens_.back().line;
    }
    tokens_.push_back(end);
    pos_ = 0;
    statements();

    for (const auto& [block, slots] : strings_) {
        Writer out;
        for (const auto& slot : slots) {
            if (slot) {
                out.u16(static_cast<uint16_t>(slot->size()));
                out.text(*slot);
            } else {
                out.u16(0);
                out.u16(0);
            }
        }
        result_.resources.push_back(
            Resource{ResId{kTypeString, {}}, ResId{static_cast<uint16_t>(block + 1), {}}, std::move(out.bytes)});
    }
}

}  // namespace

Result compile(const std::string& script_path, const Options& options) {
    Result result;
    try {
        Compiler compiler(options, result);
        compiler.run(script_path);
        result.ok = true;
    } catch (const Failure& f) {
        result.error = f.message;
    } catch (const std::bad_alloc&) {
        result.error = script_path + ": out of memory";
    }
    if (!result.ok) result.resources.clear();
    return result;
}

}  // namespace ce::rc
