// Preprocessing: the C preprocessor's part of a resource script, as the
// device's RC runs it. Comments go, lines join, #include reads the project's
// headers and the SDK's (whose declarations RC skips: a header contributes
// only its directives), #define, #if and friends are honoured, and what is
// left becomes tokens with their object-like macros expanded.
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

// What the device's resource compiler is told before it reads a script: its
// own RC_INVOKED (which the SDK's headers test to leave out what only a C
// compiler reads) and the device the build is for. Every constant a script
// uses beyond these comes from the headers it includes.
const char kPredefined[] = R"(
#define RC_INVOKED 1
#define _WIN32 1
#define UNDER_CE 0x502
#define _WIN32_WCE 0x502
)";

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
    if (bytes && std::find(inputs_.begin(), inputs_.end(), path) == inputs_.end()) inputs_.push_back(path);
    return bytes;
}

std::optional<std::pair<std::string, std::string>> Files::find(int from, const std::string& name, bool beside) {
    std::vector<std::string> candidates;
    fs::path p(name);
    if (p.is_absolute()) {
        candidates.push_back(name);
    } else {
        if (beside) candidates.push_back((fs::path(names_[from]).parent_path() / p).lexically_normal().string());
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
    process("<built-in>", kPredefined, 0);  // file 0: only #defines
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
        if ((c == 'L' || c == 'u') && i + 1 < n && text[i + 1] == '"') {
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
    bool angled = rest[i] == '<';
    if (!angled && rest[i] != '"') files_.fail(file, line, "#include needs a file name in quotes or <>");
    size_t close = rest.find(angled ? '>' : '"', i + 1);
    if (close == std::string::npos || close == i + 1) files_.fail(file, line, "bad #include file name");
    std::string name = rest.substr(i + 1, close - i - 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    if (depth + 1 >= kMaxIncludeDepth) files_.fail(file, line, "#include nested too deeply");
    // <windows.h> and the like come from the include folders only: the
    // build names the SDK's folder there.
    auto found = files_.find(file, name, !angled);
    if (!found) files_.fail(file, line, "cannot open include file '" + name + "'");
    if (once_.count(found->first)) return;
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
        } else if (directive == "pragma") {
            // once keeps a header that several others include from being read
            // again; code_page and the like are of no effect: the script is
            // UTF-8 throughout.
            size_t w = rest.find_first_not_of(" \t");
            if (w != std::string::npos && rest.compare(w, rest.find_last_not_of(" \t") + 1 - w, "once") == 0)
                once_.insert(path);
        } else if (directive == "line" || directive.empty()) {
            // A line marker, or a lone '#'.
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
