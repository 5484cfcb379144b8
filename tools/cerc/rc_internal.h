// What the resource compiler's three stages share, inside the engine:
// preprocessing (rc_preprocess.cpp) turns the script and the headers it
// includes into tokens with their macros expanded; parsing (rc_parse.cpp)
// reads the resource statements from them; writing (rc_write.cpp) lays each
// resource out in the device's binary layout. Failures are thrown as Failure
// and caught in compile(); nothing escapes it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rc_compiler.h"

namespace ce::rc {

struct Failure {
    std::string message;
};

struct Token {
    enum Kind : uint8_t { Ident, Number, String, Punct, End };
    Kind kind = End;
    bool is_long = false;  // a number with an L suffix, or an expression using one
    bool wide = false;     // L"..." (or u"...", as the SDK's headers spell wide text)
    int file = 0;
    int line = 0;
    int64_t value = 0;
    std::string text;      // identifier, punctuation, number as written
    std::string bytes;     // a string's bytes (narrow)
    std::u16string wtext;  // a string as UTF-16
};

std::string upper_ascii(std::string s);
std::u16string upper_name(std::u16string s);
std::u16string ascii_to_u16(const std::string& s);
bool is_word(const Token& t, const char* upper_word);
bool is_punct(const Token& t, const char* p);
// A token as a message names it.
std::string describe(const Token& t);

// The files one compilation reads (the script, its headers, icons and data
// files), numbered in reading order so that a token names its file in a
// message. Every file read is recorded as an input for the dependency file.
class Files {
public:
    Files(const Options& options, std::vector<std::string>& inputs) : options_(options), inputs_(inputs) {}

    // Numbers a file whose tokens are about to be made.
    int add(const std::string& path) {
        names_.push_back(path);
        return static_cast<int>(names_.size()) - 1;
    }
    int count() const { return static_cast<int>(names_.size()); }

    std::optional<std::string> read(const std::string& path);
    // A file named from file `from`: beside it (unless only the include
    // folders are to be searched, as for #include <name>), then along the
    // include folders. Its path and bytes.
    std::optional<std::pair<std::string, std::string>> find(int from, const std::string& name, bool beside = true);

    [[noreturn]] void fail(int file, int line, const std::string& message) const {
        throw Failure{names_[file] + ":" + std::to_string(line) + ": " + message};
    }
    [[noreturn]] void fail(const Token& t, const std::string& message) const { fail(t.file, t.line, message); }

private:
    const Options& options_;
    std::vector<std::string>& inputs_;
    std::vector<std::string> names_;
};

// ---- expressions (rc_parse.cpp) -----------------------------------------------
// Both #if and the resource statements evaluate expressions.

struct Value {
    int64_t v = 0;
    uint32_t not_mask = 0;  // bits NOT cleared, applied to a default style
    bool is_long = false;
};

// Body: a resource statement's value, where every name must be defined.
// Lenient: one whose value is ignored (LANGUAGE), where an unknown name is 0.
// Condition: #if, with C's operators; an unknown name is 0.
enum class Mode { Body, Lenient, Condition };

// The expression at tokens[pos], leaving pos after it; tokens end with an
// End token.
Value evaluate(const Files& files, const std::vector<Token>& tokens, size_t& pos, Mode mode, int depth = 0);

// ---- preprocessing (rc_preprocess.cpp) -----------------------------------------

class Preprocessor {
public:
    explicit Preprocessor(Files& files) : files_(files) {}

    // The script's tokens with every macro expanded, ending with an End token
    // on its last line. The predefined names and -D come first.
    std::vector<Token> run(const std::string& script, const std::vector<std::pair<std::string, std::string>>& defines);

private:
    struct Macro {
        bool function_like = false;
        std::string unusable;  // why the body cannot be used, if it cannot
        std::vector<Token> body;
    };
    // A source line after comments are gone and continuations joined.
    struct Line {
        int number = 0;
        std::string text;
    };

    std::vector<Line> split_lines(const std::string& text, int file) const;
    void lex(const std::string& text, int file, int line, std::vector<Token>& out) const;
    size_t lex_string(const std::string& text, size_t i, bool wide, Token& t) const;
    void expand(const std::vector<Token>& in, std::vector<Token>& out, std::vector<const std::string*>& active,
                int depth);
    void define(const std::string& rest, int file, int line);
    bool evaluate_condition(const std::string& rest, int file, int line);
    void process(const std::string& path, const std::string& text, int depth);
    void include(const std::string& rest, int file, int line, int depth);

    Files& files_;
    std::unordered_map<std::string, Macro> macros_;
    std::unordered_set<std::string> once_;  // files that said #pragma once
    size_t expanded_ = 0;
    std::vector<Token> tokens_;
};

// ---- parsing (rc_parse.cpp) -------------------------------------------------------

// The resources of the script's statements, in script order, string blocks
// last.
std::vector<Resource> parse(const std::vector<Token>& tokens, Files& files);

// ---- writing (rc_write.cpp) --------------------------------------------------------

// A control's or a dialog's text: a string, or an ordinal (an icon's id).
struct Text {
    bool ordinal = false;
    uint16_t id = 0;
    std::u16string s;
};

struct DialogItem {
    uint32_t style = 0;
    uint32_t exstyle = 0;
    int16_t rect[4] = {0, 0, 0, 0};
    uint16_t id = 0;
    ResId klass;  // an atom 0x80..0x85 or a class name
    Text title;
};

struct Dialog {
    uint32_t style = 0;
    uint32_t exstyle = 0;
    int16_t box[4] = {0, 0, 0, 0};
    std::optional<ResId> menu;
    std::optional<ResId> klass;
    std::u16string caption;
    std::optional<std::pair<uint16_t, std::u16string>> font;  // size and face
    std::vector<DialogItem> items;
};

struct MenuItem {
    bool popup = false;
    bool separator = false;
    uint16_t flags = 0;
    uint16_t id = 0;
    std::u16string text;
    std::vector<MenuItem> children;
};

using StringBlock = std::array<std::optional<std::u16string>, 16>;

// Little-endian words and double words, as the device reads them.
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

std::vector<uint8_t> write_dialog(const Dialog& dialog);
std::vector<uint8_t> write_menu(const std::vector<MenuItem>& top);
std::vector<uint8_t> write_string_block(const StringBlock& slots);

}  // namespace ce::rc
