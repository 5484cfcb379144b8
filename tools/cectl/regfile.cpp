// The .reg reader and writer (see regfile.h for the form).
#include "regfile.h"

#include <cstdio>

#include "ce_utf8.h"

namespace regfile {
namespace {

const char kHeader5[] = "Windows Registry Editor Version 5.00";
const char kHeader4[] = "REGEDIT4";

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits as a number; false for anything else.
bool parse_hex32(std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
        int d = hex_digit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::u16string utf16_of(std::string_view text) {
    // The whole file was checked to be UTF-8 before any line is read.
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        char32_t c = 0;
        if (!ce::utf8_next(text, i, c)) {
            c = 0xFFFD;
            i++;
        }
        ce::append_utf16(out, c);
    }
    return out;
}

// The file as UTF-8 text: a UTF-8 BOM is dropped, UTF-16LE with its BOM is
// converted. False with the line of the first byte that is not text.
bool decode_file(std::string_view bytes, std::string& text, Error& error) {
    text.clear();
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2) {
            error = {0, "UTF-16 text of an odd number of bytes"};
            return false;
        }
        int line = 1;
        for (size_t i = 2; i < bytes.size(); i += 2) {
            char32_t c = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
            if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
                char32_t low = static_cast<unsigned char>(bytes[i + 2]) | static_cast<unsigned char>(bytes[i + 3]) << 8;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            if ((c >= 0xD800 && c <= 0xDFFF) || c == 0) {
                error = {line, c ? "an unpaired UTF-16 surrogate" : "a NUL character"};
                return false;
            }
            if (c == '\n') line++;
            ce::append_utf8(text, c);
        }
        return true;
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        error = {0, "UTF-16 big-endian text (UTF-8, or UTF-16LE with its byte order mark)"};
        return false;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    int line = 1;
    for (size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        if (bytes[i] == '\0') {
            error = {line, "a NUL byte (not a text file)"};
            return false;
        }
        if (bytes[i] == '\n') line++;
        if (!ce::utf8_next(bytes, i, c)) {
            error = {line, "not UTF-8 text"};
            return false;
        }
    }
    text.assign(bytes);
    return true;
}

class Reader {
public:
    Reader(std::string_view text, std::vector<Entry>& entries, Error& error)
        : text_(text), entries_(entries), error_(error) {}

    bool run() {
        bool header = false;
        while (next_line()) {
            std::string_view s = trim(line_);
            if (s.empty() || s.front() == ';') continue;
            if (!header) {
                if (s == kHeader5) {
                    header = true;
                } else if (s == kHeader4) {
                    header = true;
                    regedit4_ = true;
                } else {
                    return fail(std::string("expected '") + kHeader5 + "' or '" + kHeader4 + "' first");
                }
                continue;
            }
            bool ok = s.front() == '['                         ? key(s)
                      : (s.front() == '"' || s.front() == '@') ? value(s)
                                                               : fail("not a [KEY], \"NAME\"=DATA or ; comment line");
            if (!ok) return false;
        }
        if (!header) {
            line_number_ = 0;
            return fail(std::string("no '") + kHeader5 + "' or '" + kHeader4 + "' line (an empty file)");
        }
        return true;
    }

private:
    std::string_view text_;
    size_t at_ = 0;
    std::string_view line_;
    int line_number_ = 0;
    bool regedit4_ = false;
    bool have_key_ = false;
    bool key_deleted_ = false;
    HKEY root_ = nullptr;
    std::u16string key_;
    std::vector<Entry>& entries_;
    Error& error_;

    bool next_line() {
        if (at_ >= text_.size()) return false;
        size_t end = text_.find('\n', at_);
        if (end == std::string_view::npos) end = text_.size();
        line_ = text_.substr(at_, end - at_);
        if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
        at_ = end + 1;
        line_number_++;
        return true;
    }

    bool fail(const std::string& message) {
        error_ = {line_number_, message};
        return false;
    }

    bool key(std::string_view s) {
        size_t close = s.rfind(']');
        if (close == std::string_view::npos) return fail("a key line without its closing ]");
        std::string_view rest = trim(s.substr(close + 1));
        if (!rest.empty() && rest.front() != ';') return fail("text after the key's closing ]");
        std::string_view path = s.substr(1, close - 1);
        bool deleted = !path.empty() && path.front() == '-';
        if (deleted) path.remove_prefix(1);
        size_t slash = path.find('\\');
        std::string_view head = path.substr(0, slash);
        HKEY root;
        if (iequals(head, "HKEY_LOCAL_MACHINE") || iequals(head, "HKLM")) root = HKEY_LOCAL_MACHINE;
        else if (iequals(head, "HKEY_CURRENT_USER") || iequals(head, "HKCU")) root = HKEY_CURRENT_USER;
        else if (head.empty()) return fail("a key line without a key");
        else return fail("unknown root key '" + std::string(head) + "' (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER)");
        std::u16string sub = slash == std::string_view::npos ? std::u16string() : utf16_of(path.substr(slash + 1));
        if (slash != std::string_view::npos && sub.empty()) return fail("a key path ending in a backslash");
        if (sub.size() > CE_REG_MAX_PATH)
            return fail("a key path over " + std::to_string(CE_REG_MAX_PATH) + " characters");
        size_t start = 0;
        while (slash != std::string_view::npos) {
            size_t end = sub.find(u'\\', start);
            size_t len = (end == std::u16string::npos ? sub.size() : end) - start;
            if (len == 0) return fail("an empty key name in the path");
            if (len > CE_REG_MAX_KEY_NAME)
                return fail("a key name over " + std::to_string(CE_REG_MAX_KEY_NAME) + " characters");
            for (size_t i = start; i < start + len; i++) {
                if (sub[i] < 0x20) return fail("a control character in a key name");
            }
            if (end == std::u16string::npos) break;
            start = end + 1;
        }
        if (deleted && sub.empty()) return fail("a root key cannot be deleted");
        have_key_ = true;
        key_deleted_ = deleted;
        root_ = root;
        key_ = sub;
        Entry e;
        e.kind = deleted ? Entry::DeleteKey : Entry::Key;
        e.root = root;
        e.key = sub;
        e.line = line_number_;
        entries_.push_back(std::move(e));
        return true;
    }

    // A quoted string starting at s[0] == '"'; consumed is set past its end.
    bool quoted(std::string_view s, std::string& text, size_t& consumed) {
        text.clear();
        for (size_t i = 1; i < s.size(); i++) {
            char c = s[i];
            if (c == '"') {
                consumed = i + 1;
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s.size()) break;
                char n = s[++i];
                if (n != '\\' && n != '"')
                    return fail(std::string("unknown escape \\") + n + " in a string (only \\\\ and \\\" are escapes)");
            }
            text += s[i];
        }
        return fail("a string without its closing quote");
    }

    bool value(std::string_view s) {
        if (!have_key_) return fail("a value before any [KEY] line");
        if (key_deleted_) return fail("a value under a deleted key ([-KEY])");
        Entry e;
        e.root = root_;
        e.key = key_;
        e.line = line_number_;
        size_t at = 0;
        if (s.front() == '@') {
            at = 1;
        } else {
            std::string name;
            if (!quoted(s, name, at)) return false;
            e.name = utf16_of(name);
            if (e.name.size() > CE_REG_MAX_VALUE_NAME)
                return fail("a value name over " + std::to_string(CE_REG_MAX_VALUE_NAME) + " characters");
        }
        std::string_view rest = trim(s.substr(at));
        if (rest.empty() || rest.front() != '=') return fail("a value name without = after it");
        rest = trim(rest.substr(1));
        if (rest == "-") {
            e.kind = Entry::DeleteValue;
            entries_.push_back(std::move(e));
            return true;
        }
        e.kind = Entry::Value;
        if (!rest.empty() && rest.front() == '"') {
            std::string text;
            size_t used = 0;
            if (!quoted(rest, text, used)) return false;
            if (!trim(rest.substr(used)).empty()) return fail("text after the string's closing quote");
            e.type = REG_SZ;
            for (char16_t u : utf16_of(text) + u'\0') {
                e.data.push_back(static_cast<BYTE>(u));
                e.data.push_back(static_cast<BYTE>(u >> 8));
            }
        } else if (rest.size() >= 6 && iequals(rest.substr(0, 6), "dword:")) {
            uint32_t v = 0;
            if (!parse_hex32(rest.substr(6), v)) return fail("a dword is 1 to 8 hex digits");
            e.type = REG_DWORD;
            e.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                      static_cast<BYTE>(v >> 24)};
        } else if (rest.size() >= 3 && iequals(rest.substr(0, 3), "hex")) {
            if (!hex_value(rest.substr(3), e)) return false;
        } else {
            return fail("unknown data '" + std::string(rest.substr(0, 20)) +
                        "' (\"text\", dword:, hex:, hex(TYPE): or - to delete)");
        }
        if (e.data.size() > CE_REG_MAX_DATA) return fail("data over " + std::to_string(CE_REG_MAX_DATA) + " bytes");
        if ((e.type == REG_DWORD || e.type == REG_DWORD_BIG_ENDIAN) && e.data.size() != 4)
            return fail("a dword value of " + std::to_string(e.data.size()) + " bytes (it has 4)");
        if (e.type == REG_QWORD && e.data.size() != 8)
            return fail("a qword value of " + std::to_string(e.data.size()) + " bytes (it has 8)");
        entries_.push_back(std::move(e));
        return true;
    }

    // After "hex": ":" or "(TYPE):", then bytes, continued over lines that
    // end in a backslash.
    bool hex_value(std::string_view s, Entry& e) {
        e.type = REG_BINARY;
        if (!s.empty() && s.front() == '(') {
            size_t close = s.find(')');
            std::string_view digits = s.substr(1, close == std::string_view::npos ? 0 : close - 1);
            uint32_t t = 0;
            if (close == std::string_view::npos || !parse_hex32(digits, t))
                return fail("hex(TYPE): needs the type as 1 to 8 hex digits");
            e.type = t;
            s.remove_prefix(close + 1);
        }
        if (s.empty() || s.front() != ':') return fail("hex data needs a colon: hex: or hex(TYPE):");
        s.remove_prefix(1);
        std::vector<BYTE> bytes;
        for (;;) {
            s = trim(s);
            bool more = !s.empty() && s.back() == '\\';
            if (more) s = trim(s.substr(0, s.size() - 1));
            // Bytes separated by commas; one comma may end a continued line.
            size_t start = 0;
            while (start < s.size()) {
                size_t comma = s.find(',', start);
                std::string_view token =
                    trim(s.substr(start, comma == std::string_view::npos ? s.npos : comma - start));
                if (token.empty() || token.size() > 2 || hex_digit(token[0]) < 0 ||
                    (token.size() == 2 && hex_digit(token[1]) < 0))
                    return fail("malformed hex byte '" + std::string(token.substr(0, 8)) +
                                "' (two hex digits each, commas between)");
                int v = hex_digit(token[0]);
                if (token.size() == 2) v = v * 16 + hex_digit(token[1]);
                bytes.push_back(static_cast<BYTE>(v));
                if (bytes.size() > CE_REG_MAX_DATA)
                    return fail("data over " + std::to_string(CE_REG_MAX_DATA) + " bytes");
                if (comma == std::string_view::npos) break;
                start = comma + 1;
                if (start == s.size() && !more) return fail("hex data ending in a comma");
            }
            if (!more) break;
            if (!next_line()) return fail("the file ends inside continued hex data");
            s = line_;
        }
        if (regedit4_ && (e.type == REG_SZ || e.type == REG_EXPAND_SZ || e.type == REG_MULTI_SZ)) {
            // REGEDIT4 keeps text as 8-bit characters; the registry holds UTF-16LE.
            std::string_view narrow(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            for (size_t i = 0; i < narrow.size();) {
                char32_t c = 0;
                if (!ce::utf8_next(narrow, i, c)) return fail("REGEDIT4 text data that is not UTF-8");
            }
            bytes.clear();
            for (char16_t u : utf16_of(narrow)) {
                bytes.push_back(static_cast<BYTE>(u));
                bytes.push_back(static_cast<BYTE>(u >> 8));
            }
        }
        e.data = std::move(bytes);
        return true;
    }
};

std::string utf8_of(std::u16string_view text, bool& whole) {
    std::string out;
    whole = true;
    for (size_t i = 0; i < text.size(); i++) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            whole = false;
            c = 0xFFFD;
        }
        ce::append_utf8(out, c);
    }
    return out;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// Text that the reader gives back unchanged: whole UTF-16 without a line
// break or a NUL.
bool plain_text(std::u16string_view text, std::string& utf8) {
    bool whole = true;
    utf8 = utf8_of(text, whole);
    if (!whole) return false;
    for (char16_t c : text) {
        if (c == u'\n' || c == u'\r' || c == u'\0') return false;
    }
    return true;
}

}  // namespace

bool parse(std::string_view bytes, std::vector<Entry>& entries, Error& error) {
    entries.clear();
    error = {};
    std::string text;
    if (!decode_file(bytes, text, error)) return false;
    Reader reader(text, entries, error);
    if (reader.run()) return true;
    entries.clear();
    return false;
}

std::string header() { return std::string(kHeader5) + "\n"; }

std::string root_long_name(HKEY root) { return root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE"; }

bool key_line(HKEY root, std::u16string_view path, std::string& out) {
    std::string utf8;
    if (!path.empty() && !plain_text(path, utf8)) return false;
    for (char16_t c : path) {
        if (c < 0x20) return false;  // the reader refuses them in key names
    }
    out += "[" + root_long_name(root) + (path.empty() ? "" : "\\") + utf8 + "]\n";
    return true;
}

bool value_lines(std::u16string_view name, DWORD type, const std::vector<BYTE>& data, std::string& out) {
    std::string line;
    if (name.empty()) {
        line = "@=";
    } else {
        std::string utf8;
        if (!plain_text(name, utf8)) return false;
        line = "\"" + escaped(utf8) + "\"=";
    }
    if (type == REG_SZ && data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 2] == 0 &&
        data[data.size() - 1] == 0) {
        std::u16string text(data.size() / 2 - 1, u'\0');
        for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
        std::string utf8;
        if (plain_text(text, utf8)) {
            out += line + "\"" + escaped(utf8) + "\"\n";
            return true;
        }
    }
    if (type == REG_DWORD && data.size() == 4) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08x",
                      data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        out += line + "dword:" + digits + "\n";
        return true;
    }
    if (type == REG_BINARY) {
        line += "hex:";
    } else {
        char t[24];
        std::snprintf(t, sizeof t, "hex(%x):", static_cast<unsigned>(type));
        line += t;
    }
    // regedit's layout: lines of at most 80 characters, continued with a
    // backslash and indented by two spaces.
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); i++) {
        std::string piece{digits[data[i] >> 4], digits[data[i] & 15]};
        if (i + 1 < data.size()) piece += ',';
        if (line.size() + piece.size() + 1 > 80 && line.size() > 2 && line.back() == ',') {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    out += line + "\n";
    return true;
}

}  // namespace regfile
