// Parsing: the resource statements, read from the preprocessed tokens, and
// the expressions that both they and #if use. Each statement's resource is
// handed to the writers (rc_write.cpp) for its binary layout.
#include <algorithm>
#include <functional>
#include <iterator>
#include <map>

#include "rc_internal.h"

namespace ce::rc {

namespace {

constexpr int kMaxExpressionDepth = 200;
constexpr int kMaxMenuDepth = 16;

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

Value unary(const Files& files, const std::vector<Token>& tokens, size_t& pos, Mode mode, int depth) {
    if (depth > kMaxExpressionDepth) files.fail(tokens[pos], "expression nested too deeply");
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
        Value v = evaluate(files, tokens, pos, mode, depth + 1);
        if (!is_punct(tokens[pos], ")")) files.fail(tokens[pos], "expected ')', found " + describe(tokens[pos]));
        advance();
        return v;
    }
    if (is_punct(t, "-") || is_punct(t, "+") || is_punct(t, "~") || (mode == Mode::Condition && is_punct(t, "!"))) {
        std::string op = t.text;
        advance();
        Value v = unary(files, tokens, pos, mode, depth + 1);
        if (op == "-") v.v = wrap(0 - static_cast<uint64_t>(v.v));
        if (op == "~") v.v = ~v.v;
        if (op == "!") v.v = !v.v;
        return v;
    }
    if (mode != Mode::Condition && is_word(t, "NOT")) {
        advance();
        Value v = unary(files, tokens, pos, mode, depth + 1);
        return Value{0, static_cast<uint32_t>(v.v), v.is_long};
    }
    if (t.kind == Token::Ident && mode != Mode::Body) {
        advance();  // an unknown name is 0 in #if, and where its value is ignored
        return Value{};
    }
    if (t.kind == Token::Ident) files.fail(t, "'" + t.text + "' is not defined");
    files.fail(t, "expected a number, found " + describe(t));
}

}  // namespace

Value evaluate(const Files& files, const std::vector<Token>& tokens, size_t& pos, Mode mode, int depth) {
    // An operator stack: before an operator is pushed, every pending one that
    // binds at least as tightly is applied, so equal operators go left to right.
    struct Frame {
        Value left;
        std::string op;
        int prec;
    };
    bool condition = mode == Mode::Condition;
    std::vector<Frame> stack;
    Value value = unary(files, tokens, pos, mode, depth);
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
                if (b.v == 0) files.fail(tokens[pos], "division by zero");
                if (a.v == INT64_MIN && b.v == -1) r.v = op == "/" ? a.v : 0;
                else r.v = op == "/" ? a.v / b.v : a.v % b.v;
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
        value = unary(files, tokens, pos, mode, depth);
    }
}

namespace {

class Parser {
public:
    Parser(const std::vector<Token>& tokens, Files& files) : tokens_(tokens), files_(files) {}

    std::vector<Resource> run();

private:
    const Token& peek(size_t ahead = 0) const {
        size_t at = std::min(pos_ + ahead, tokens_.size() - 1);
        return tokens_[at];
    }
    const Token& next() {
        const Token& t = tokens_[pos_];
        if (pos_ + 1 < tokens_.size()) pos_++;
        return t;
    }
    bool at_begin() const { return is_word(peek(), "BEGIN") || is_punct(peek(), "{"); }
    bool at_end() const { return is_word(peek(), "END") || is_punct(peek(), "}"); }
    void expect_begin(const char* what) {
        if (!at_begin())
            files_.fail(peek(), std::string("expected BEGIN or { to open the ") + what + ", found " + describe(peek()));
        next();
    }
    bool accept_comma() {
        if (!is_punct(peek(), ",")) return false;
        next();
        return true;
    }
    void expect_comma() {
        if (!accept_comma()) files_.fail(peek(), "expected ',', found " + describe(peek()));
    }
    const Token& expect_string(const char* what) {
        if (peek().kind != Token::String)
            files_.fail(peek(), std::string("expected ") + what + " in quotes, found " + describe(peek()));
        return next();
    }
    bool starts_expression(const Token& t) const {
        return t.kind == Token::Number || is_punct(t, "(") || is_punct(t, "-") || is_punct(t, "+") ||
               is_punct(t, "~") || (t.kind == Token::Punct && t.text == "!") || is_word(t, "NOT");
    }

    Value expr(Mode mode = Mode::Body) { return evaluate(files_, tokens_, pos_, mode); }
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

    const std::vector<Token>& tokens_;
    Files& files_;
    size_t pos_ = 0;
    std::vector<Resource> resources_;
    std::map<uint16_t, StringBlock> strings_;
};

// A resource's name: a number or an expression is an ordinal; a quoted
// string or a word that names nothing is a name.
ResId Parser::resource_name() {
    const Token& t = peek();
    ResId id;
    if (t.kind == Token::String) {
        next();
        if (t.wtext.empty()) files_.fail(t, "a resource name cannot be empty");
        id.name = upper_name(t.wtext);
    } else if (t.kind == Token::Ident && !is_word(t, "NOT")) {
        next();
        id.name = upper_name(ascii_to_u16(t.text));
    } else {
        id.ordinal = word_expr();
    }
    return id;
}

void Parser::skip_load_options() {
    static const char* const kOptions[] = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE", "DISCARDABLE",
                                           "PURE",    "IMPURE",     "SHARED", "NONSHARED"};
    while (peek().kind == Token::Ident &&
           std::any_of(std::begin(kOptions), std::end(kOptions), [&](const char* o) { return is_word(peek(), o); }))
        next();
}

// LANGUAGE, CHARACTERISTICS and VERSION: accepted, and of no effect here.
void Parser::skip_optional_statements() {
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

void Parser::add(const Token& where, ResId type, ResId name, std::vector<uint8_t> data) {
    for (const Resource& r : resources_) {
        if (r.type == type && r.name == name)
            files_.fail(where, "resource " + describe_id(name) + " of type " + describe_id(type) + " is defined twice");
    }
    if (data.size() > 0xFFFFFFFFull) files_.fail(where, "resource too large");
    resources_.push_back(Resource{std::move(type), std::move(name), std::move(data)});
}

void Parser::string_table() {
    next();
    skip_load_options();
    skip_optional_statements();
    expect_begin("STRINGTABLE");
    while (!at_end()) {
        const Token& at = peek();
        if (at.kind == Token::End) files_.fail(at, "missing END of STRINGTABLE");
        uint16_t id = word_expr();
        accept_comma();
        const Token& s = expect_string("the string");
        if (s.wtext.size() > 0xFFFE) files_.fail(s, "string too long");
        auto& slot = strings_[static_cast<uint16_t>(id >> 4)][id & 15];
        if (slot) files_.fail(at, "string " + std::to_string(id) + " is defined twice");
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

void Parser::dialog(const Token& where, const ResId& name) {
    skip_load_options();
    Dialog d;
    for (int i = 0; i < 4; i++) {
        if (i) expect_comma();
        d.box[i] = coord();
    }
    std::optional<uint32_t> style;
    std::optional<std::u16string> caption;
    ResId menu_id, class_id;
    bool has_menu = false, has_class = false;
    while (!at_begin()) {
        const Token& t = peek();
        if (is_word(t, "STYLE")) {
            next();
            style = static_cast<uint32_t>(expr().v);
        } else if (is_word(t, "EXSTYLE")) {
            next();
            d.exstyle = static_cast<uint32_t>(expr().v);
        } else if (is_word(t, "CAPTION")) {
            next();
            caption = expect_string("the caption").wtext;
        } else if (is_word(t, "FONT")) {
            next();
            uint16_t size = word_expr();
            expect_comma();
            std::u16string face = expect_string("the font's name").wtext;
            while (accept_comma()) expr(Mode::Lenient);  // weight, italic, charset: extended dialogs only
            d.font = std::make_pair(size, face);
        } else if (is_word(t, "CLASS")) {
            next();
            has_class = true;
            if (peek().kind == Token::String) {
                class_id.name = next().wtext;
                if (class_id.name.empty()) files_.fail(t, "CLASS needs a name");
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
            files_.fail(t, "unexpected " + describe(t) + " in the DIALOG's header");
        }
    }
    next();

    d.style = style.value_or(kDefaultDialogStyle);
    if (caption) d.style |= kWsCaption;
    if (d.font) d.style |= kDsSetFont;
    else d.style &= ~kDsSetFont;  // the flag promises a font the template would not have
    d.caption = caption.value_or(u"");
    if (has_menu) d.menu = menu_id;
    if (has_class) d.klass = class_id;

    while (!at_end()) {
        const Token& kw = peek();
        if (kw.kind != Token::Ident) files_.fail(kw, "expected a control, found " + describe(kw));
        std::string word = upper_ascii(kw.text);
        next();
        DialogItem item;
        ResId& klass = item.klass;
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
            item.title = control_text();
            expect_comma();
            item.id = word_expr();
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
                files_.fail(c, "a control's class cannot be empty");
            }
            expect_comma();
            item.style = apply_style(0x50000000, style_expr(), 0);
            for (int i = 0; i < 4; i++) {
                expect_comma();
                item.rect[i] = coord();
            }
            if (accept_comma()) item.exstyle = static_cast<uint32_t>(expr().v);
        } else {
            const ControlKind* kind = nullptr;
            for (const ControlKind& k : kControls)
                if (word == k.keyword) kind = &k;
            if (!kind) files_.fail(kw, "unknown control '" + kw.text + "'");
            klass.ordinal = kind->atom;
            if (kind->form != ControlKind::IdFirst) {
                item.title = control_text();
                expect_comma();
            }
            item.id = word_expr();
            int required = kind->form == ControlKind::Icon ? 2 : 4;
            for (int i = 0; i < required; i++) {
                expect_comma();
                item.rect[i] = coord();
            }
            std::optional<std::pair<int64_t, uint32_t>> given;
            if (kind->form == ControlKind::Icon && accept_comma()) {
                item.rect[2] = coord();
                expect_comma();
                item.rect[3] = coord();
                if (accept_comma()) given = style_expr();
            } else if (kind->form != ControlKind::Icon && accept_comma()) {
                given = style_expr();
            }
            if (given && accept_comma()) item.exstyle = static_cast<uint32_t>(expr().v);
            item.style = apply_style(kind->style, given, kind->if_unstyled);
        }
        if (d.items.size() >= 0xFFFF) files_.fail(kw, "too many controls");
        d.items.push_back(std::move(item));
    }
    next();
    add(where, ResId{kTypeDialog, {}}, name, write_dialog(d));
}

void Parser::menu(const Token& where, const ResId& name) {
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
        if (depth > kMaxMenuDepth) files_.fail(peek(), "menus nested too deeply");
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
                if (item.children.empty()) files_.fail(t, "POPUP has no items");
            } else {
                files_.fail(t, "expected MENUITEM or POPUP, found " + describe(t));
            }
            items.push_back(std::move(item));
        }
        next();
        return items;
    };
    std::vector<MenuItem> top = block(0);
    if (top.empty()) files_.fail(where, "MENU has no items");

    add(where, ResId{kTypeMenu, {}}, name, write_menu(top));
}

// The bytes of a file the script names (an icon, a raw data file).
std::string Parser::file_bytes(const Token& name_token) {
    std::string name = name_token.bytes;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty()) files_.fail(name_token, "empty file name");
    auto found = files_.find(name_token.file, name);
    if (!found) files_.fail(name_token, "cannot open '" + name + "'");
    return found->second;
}

// RCDATA and types of the script's own: numbers are WORDs (DWORDs with an L),
// "text" is its bytes, L"text" its UTF-16 units; no terminators are added.
void Parser::data_block(const Token& where, const ResId& type, const ResId& name) {
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
                if (v.is_long) out.u32(static_cast<uint32_t>(v.v));
                else out.u16(static_cast<uint16_t>(v.v));
            } else {
                files_.fail(t, "unexpected " + describe(t) + " in the data");
            }
            accept_comma();
        }
        next();
    }
    add(where, type, name, std::move(out.bytes));
}

// The whole .ico file under RT_GROUP_ICON, for the windowing layer to read.
void Parser::icon(const Token& where, const ResId& name) {
    skip_load_options();
    const Token& file = expect_string("the icon's file name");
    std::string bytes = file_bytes(file);
    auto u16_at = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) |
                                     (static_cast<unsigned char>(bytes[at + 1]) << 8));
    };
    if (bytes.size() < 6 || u16_at(0) != 0 || u16_at(2) != 1 || u16_at(4) == 0 || bytes.size() < 6 + 16 * u16_at(4))
        files_.fail(file, "'" + file.bytes + "' is not an icon file");
    add(where, ResId{kTypeGroupIcon, {}}, name, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void Parser::statements() {
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
        if (t.kind == Token::Punct && !starts_expression(t)) files_.fail(t, "unexpected " + describe(t));
        Token where = t;
        ResId name = resource_name();
        const Token& type = peek();
        if (type.kind == Token::End) files_.fail(type, "expected a resource type after " + describe(where));
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
                files_.fail(type, "STRINGTABLE takes no name");
            } else if (std::any_of(std::begin(kUnsupported), std::end(kUnsupported),
                                   [&](const char* u) { return word == u; })) {
                files_.fail(type, word + " resources are not supported");
            } else {
                data_block(where, ResId{0, upper_name(ascii_to_u16(type.text))}, name);
            }
        } else if (type.kind == Token::String) {
            next();
            if (type.wtext.empty()) files_.fail(type, "a resource type cannot be empty");
            data_block(where, ResId{0, upper_name(type.wtext)}, name);
        } else {
            ResId numeric{word_expr(), {}};
            if (numeric.ordinal == 0) files_.fail(type, "resource type 0 does not exist");
            // The types whose bytes the windowing layer reads as a layout are
            // written in their own statements, which build that layout: raw
            // bytes under them would be read as one.
            static const std::pair<uint16_t, const char*> kLaidOut[] = {
                {3, "ICON"}, {4, "MENU"}, {5, "DIALOG"}, {6, "STRINGTABLE"}, {14, "ICON"}};
            for (const auto& [ordinal, statement] : kLaidOut) {
                if (numeric.ordinal == ordinal)
                    files_.fail(type, "resource type " + std::to_string(ordinal) + " is written as " + statement);
            }
            data_block(where, numeric, name);
        }
    }
}

std::vector<Resource> Parser::run() {
    statements();
    for (const auto& [block, slots] : strings_)
        resources_.push_back(
            Resource{ResId{kTypeString, {}}, ResId{static_cast<uint16_t>(block + 1), {}}, write_string_block(slots)});
    return std::move(resources_);
}

}  // namespace

std::vector<Resource> parse(const std::vector<Token>& tokens, Files& files) { return Parser(tokens, files).run(); }

}  // namespace ce::rc
