// The resource compiler's engine: preprocessing, parsing and writing
// (rc_internal.h), and the helpers the stages share.
#include "rc_compiler.h"

#include <cctype>
#include <new>

#include "rc_internal.h"

namespace ce::rc {

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

bool is_word(const Token& t, const char* upper_word) {
    return t.kind == Token::Ident && upper_ascii(t.text) == upper_word;
}

bool is_punct(const Token& t, const char* p) { return t.kind == Token::Punct && t.text == p; }

std::string describe(const Token& t) {
    if (t.kind == Token::End) return "end of file";
    if (t.kind == Token::String) return "a string";
    return "'" + t.text + "'";
}

Result compile(const std::string& script_path, const Options& options) {
    Result result;
    try {
        Files files(options, result.inputs);
        std::vector<Token> tokens = Preprocessor(files).run(script_path, options.defines);
        result.resources = parse(tokens, files);
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
