// cectl reg: look at and change the registry of a root; import and export in
// regedit's .reg form (regfile.h), whose application also serves `cectl init`.
//
// query prints one line per value, NAME<TAB>TYPE<TAB>DATA, in creation order,
// then one line per subkey, KEY\SUB, with KEY echoed as given (less trailing
// backslashes). DATA: REG_DWORD, REG_DWORD_BIG_ENDIAN and REG_QWORD in
// decimal; REG_SZ, REG_EXPAND_SZ and REG_LINK as text; REG_MULTI_SZ as its
// strings joined by the two characters \0; anything else (REG_BINARY,
// REG_NONE, a DWORD of odd size) as lower-case hex without separators.
// Control characters in names and text print as \xHH so that every value
// stays on one line. A type without a name prints as its number.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "cectl.h"

namespace {

using cectl::Args;
using cectl::fail;

const char* type_name(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return nullptr;
    }
}

std::string printable(std::u16string_view text) {
    std::string in = ce::narrow(text), out;
    for (unsigned char c : in) {
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::u16string units_of(const std::vector<BYTE>& data) {
    std::u16string s(data.size() / 2, u'\0');
    for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return s;
}

std::string hex_of(const std::vector<BYTE>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string format_data(DWORD type, const std::vector<BYTE>& data) {
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
        uint32_t v = type == REG_DWORD
                         ? (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24)
                         : (data[3] | data[2] << 8 | data[1] << 16 | static_cast<uint32_t>(data[0]) << 24);
        return std::to_string(v);
    }
    if (type == REG_QWORD && data.size() == 8) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; i--) v = v << 8 | data[i];
        return std::to_string(v);
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK) {
        std::u16string s = units_of(data);
        return printable(s.substr(0, s.find(u'\0')));
    }
    if (type == REG_MULTI_SZ) {
        std::u16string s = units_of(data);
        while (!s.empty() && s.back() == u'\0') s.pop_back();
        std::string out;
        size_t start = 0;
        for (;;) {
            size_t end = s.find(u'\0', start);
            out += printable(s.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
            if (end == std::u16string::npos) break;
            out += "\\0";
            start = end + 1;
        }
        return out;
    }
    return hex_of(data);
}

}  // namespace

namespace cectl {

std::string registry_error_text(LONG e) {
    std::string what;
    switch (e) {
        case ERROR_FILE_NOT_FOUND: what = "not found"; break;
        case ERROR_INVALID_PARAMETER: what = "invalid name or data (empty key name, or over the length limits)"; break;
        case ERROR_BADDB: what = "the registry database is corrupt or not a registry"; break;
        case ERROR_REGISTRY_IO_FAILED:
            what = "the registry database cannot be read or written, or stayed locked by another process";
            break;
        case ERROR_ACCESS_DENIED: what = "access denied"; break;
        case ERROR_KEY_DELETED: what = "the key was deleted meanwhile"; break;
        default: what = "failed"; break;
    }
    return what + " (error " + std::to_string(e) + ")";
}

}  // namespace cectl

namespace {

using cectl::registry_error_text;

// The key as the user typed it, for echoing subkeys under it.
std::string key_text(std::string text) {
    while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.pop_back();
    return text;
}

bool parse_key_arg(const std::string& cmd, const std::string& text, HKEY& root, std::u16string& sub, int& status) {
    if (cectl::parse_key(text, root, sub)) return true;
    status = fail("reg " + cmd + ": malformed key '" + text + "' (expected HKLM\\Path or HKCU\\Path)");
    return false;
}

void print_value(const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
    const char* t = type_name(type);
    std::string type_text = t ? t : std::to_string(type);
    std::printf("%s\t%s\t%s\n", printable(name).c_str(), type_text.c_str(), format_data(type, data).c_str());
}

int query(const Args& args) {
    if (args.empty() || args.size() > 2) return fail("reg query: usage: reg query KEY [NAME]");
    HKEY root;
    std::u16string sub;
    int status = 1;
    if (!parse_key_arg("query", args[0], root, sub, status)) return status;
    HKEY key = nullptr;
    LONG e = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &key);
    if (e == ERROR_FILE_NOT_FOUND) return fail("reg query: key " + args[0] + " not found");
    if (e != ERROR_SUCCESS) return fail("reg query: " + args[0] + ": " + registry_error_text(e));

    if (args.size() == 2) {
        std::u16string name = ce::widen(args[1]);
        DWORD type = 0, size = 0;
        std::vector<BYTE> data;
        for (int attempt = 0; attempt < 4; attempt++) {
            e = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
            if (e != ERROR_SUCCESS) break;
            data.resize(size);
            e = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
            if (e != ERROR_MORE_DATA) break;
        }
        RegCloseKey(key);
        if (e == ERROR_FILE_NOT_FOUND) return fail("reg query: value '" + args[1] + "' not found in " + args[0]);
        if (e != ERROR_SUCCESS) return fail("reg query: " + args[0] + ": " + registry_error_text(e));
        data.resize(size);
        print_value(name, type, data);
        return 0;
    }

    std::vector<std::string> lines;
    std::vector<WCHAR> name(CE_REG_MAX_VALUE_NAME + 1);
    std::vector<BYTE> data(256);
    for (DWORD i = 0;;) {
        DWORD name_size = static_cast<DWORD>(name.size()), type = 0, size = static_cast<DWORD>(data.size());
        e = RegEnumValueW(key, i, name.data(), &name_size, nullptr, &type, data.data(), &size);
        if (e == ERROR_MORE_DATA && size > data.size()) {
            data.resize(size);
            continue;
        }
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            RegCloseKey(key);
            return fail("reg query: " + args[0] + ": " + registry_error_text(e));
        }
        print_value(std::u16string(name.data(), name_size), type, std::vector<BYTE>(data.begin(), data.begin() + size));
        i++;
    }
    std::string prefix = key_text(args[0]);
    for (DWORD i = 0;; i++) {
        DWORD name_size = static_cast<DWORD>(name.size());
        e = RegEnumKeyExW(key, i, name.data(), &name_size, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            RegCloseKey(key);
            return fail("reg query: " + args[0] + ": " + registry_error_text(e));
        }
        std::printf("%s\\%s\n", prefix.c_str(), printable(std::u16string(name.data(), name_size)).c_str());
    }
    RegCloseKey(key);
    return 0;
}

int set(const Args& args) {
    if (args.size() != 4) return fail("reg set: usage: reg set KEY NAME dword N | sz TEXT | binary HEX");
    HKEY root;
    std::u16string sub;
    int status = 1;
    if (!parse_key_arg("set", args[0], root, sub, status)) return status;
    const std::string& kind = args[2];
    const std::string& text = args[3];
    DWORD type;
    std::vector<BYTE> data;
    if (kind == "dword") {
        uint32_t v;
        if (!cectl::parse_u32(text, v))
            return fail("reg set: malformed dword '" + text + "' (decimal, or hex with 0x)");
        type = REG_DWORD;
        data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                static_cast<BYTE>(v >> 24)};
    } else if (kind == "sz") {
        type = REG_SZ;
        std::u16string w = ce::widen(text);
        for (char16_t ch : w) {
            data.push_back(static_cast<BYTE>(ch));
            data.push_back(static_cast<BYTE>(ch >> 8));
        }
        data.push_back(0);
        data.push_back(0);
    } else if (kind == "binary") {
        std::string bytes;
        if (!cectl::parse_hex(text, bytes)) return fail("reg set: malformed hex '" + text + "'");
        type = REG_BINARY;
        data.assign(bytes.begin(), bytes.end());
    } else {
        return fail("reg set: unknown type '" + kind + "' (dword, sz or binary)");
    }
    HKEY key = nullptr;
    LONG e = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (e != ERROR_SUCCESS) return fail("reg set: " + args[0] + ": " + registry_error_text(e));
    std::u16string name = ce::widen(args[1]);
    e = RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    if (e != ERROR_SUCCESS) return fail("reg set: " + args[0] + " " + args[1] + ": " + registry_error_text(e));
    return 0;
}

int del(const Args& args) {
    if (args.empty() || args.size() > 2) return fail("reg delete: usage: reg delete KEY [NAME]");
    HKEY root;
    std::u16string sub;
    int status = 1;
    if (!parse_key_arg("delete", args[0], root, sub, status)) return status;
    LONG e;
    if (args.size() == 1) {
        if (sub.empty()) return fail("reg delete: will not delete the root key " + args[0]);
        e = RegDeleteKeyW(root, sub.c_str());
        if (e == ERROR_FILE_NOT_FOUND) return fail("reg delete: key " + args[0] + " not found");
    } else {
        HKEY key = nullptr;
        e = RegOpenKeyExW(root, sub.c_str(), 0, KEY_SET_VALUE, &key);
        if (e == ERROR_FILE_NOT_FOUND) return fail("reg delete: key " + args[0] + " not found");
        if (e == ERROR_SUCCESS) {
            std::u16string name = ce::widen(args[1]);
            e = RegDeleteValueW(key, name.c_str());
            RegCloseKey(key);
            if (e == ERROR_FILE_NOT_FOUND) return fail("reg delete: value '" + args[1] + "' not found in " + args[0]);
        }
    }
    if (e != ERROR_SUCCESS) return fail("reg delete: " + args[0] + ": " + registry_error_text(e));
    return 0;
}

int import_reg(const Args& args);
int export_reg(const Args& args);

int run_reg(const Args& args) {
    if (args.empty()) return fail("reg: usage: reg query|set|delete|import|export ...");
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "query") return query(rest);
    if (args[0] == "set") return set(rest);
    if (args[0] == "delete") return del(rest);
    if (args[0] == "import") return import_reg(rest);
    if (args[0] == "export") return export_reg(rest);
    return fail("reg: unknown subcommand '" + args[0] + "' (query, set, delete, import or export)");
}

struct OpenKey {
    HKEY handle = nullptr;
    ~OpenKey() {
        if (handle) RegCloseKey(handle);
    }
};

// Reads one value whole, however it grows meanwhile.
LONG read_value(HKEY key, DWORD index, std::u16string& name, DWORD& type, std::vector<BYTE>& data) {
    std::vector<WCHAR> buffer(CE_REG_MAX_VALUE_NAME + 1);
    data.resize(256);
    for (;;) {
        DWORD name_size = static_cast<DWORD>(buffer.size()), size = static_cast<DWORD>(data.size());
        LONG e = RegEnumValueW(key, index, buffer.data(), &name_size, nullptr, &type, data.data(), &size);
        if (e == ERROR_MORE_DATA && size > data.size()) {
            data.resize(size);
            continue;
        }
        if (e != ERROR_SUCCESS) return e;
        name.assign(buffer.data(), name_size);
        data.resize(size);
        return ERROR_SUCCESS;
    }
}

// One key and its subkeys, depth first, each key before its subkeys.
bool export_key(HKEY root, const std::u16string& path, std::string& out, std::string& why) {
    OpenKey key;
    LONG e = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key.handle);
    if (e != ERROR_SUCCESS) {
        key.handle = nullptr;
        why = cectl::root_name(root) + (path.empty() ? "" : "\\") + ce::narrow(path) + ": " + registry_error_text(e);
        return false;
    }
    std::string where = cectl::root_name(root) + (path.empty() ? "" : "\\") + ce::narrow(path);
    out += "\n";
    if (!regfile::key_line(root, path, out)) {
        why = "the key " + where + " has a control character in its name, which the .reg form cannot hold";
        return false;
    }
    std::u16string name;
    std::vector<BYTE> data;
    for (DWORD i = 0;; i++) {
        DWORD type = 0;
        e = read_value(key.handle, i, name, type, data);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            why = where + ": " + registry_error_text(e);
            return false;
        }
        if (!regfile::value_lines(name, type, data, out)) {
            why = "the value " + printable(name) + " of " + where +
                  " has a line break in its name, which the .reg form cannot hold";
            return false;
        }
    }
    std::vector<WCHAR> buffer(CE_REG_MAX_KEY_NAME + 1);
    std::vector<std::u16string> subkeys;
    for (DWORD i = 0;; i++) {
        DWORD size = static_cast<DWORD>(buffer.size());
        e = RegEnumKeyExW(key.handle, i, buffer.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            why = where + ": " + registry_error_text(e);
            return false;
        }
        subkeys.emplace_back(buffer.data(), size);
    }
    for (const auto& sub : subkeys) {
        if (!export_key(root, path.empty() ? sub : path + u"\\" + sub, out, why)) return false;
    }
    return true;
}

int export_reg(const Args& args) {
    if (args.empty() || args.size() > 2) return fail("reg export: usage: reg export KEY [FILE]");
    HKEY root;
    std::u16string sub;
    int status = 1;
    if (!parse_key_arg("export", args[0], root, sub, status)) return status;
    HKEY probe = nullptr;
    LONG e = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &probe);
    if (e == ERROR_FILE_NOT_FOUND) return fail("reg export: key " + args[0] + " not found");
    if (e != ERROR_SUCCESS) return fail("reg export: " + args[0] + ": " + registry_error_text(e));
    RegCloseKey(probe);
    // The whole text first: a registry error leaves no half-written file.
    std::string text = regfile::header(), why;
    if (!export_key(root, sub, text, why)) return fail("reg export: " + why);
    if (args.size() == 1) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
            return fail("reg export: cannot write the output: " + std::string(std::strerror(errno)));
        return 0;
    }
    // An export that fails (a full disk) leaves the file it would replace as it was.
    ce::ReplacementFile out;
    std::string why_not;
    if (!out.open(args[1], &why_not)) return fail("reg export: " + why_not);
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(out.fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("reg export: cannot write " + args[1] + ": " + std::strerror(n < 0 ? errno : ENOSPC));
        done += static_cast<size_t>(n);
    }
    if (!out.commit(&why_not)) return fail("reg export: " + why_not);
    return 0;
}

// Files larger than this are no registry anyone exported.
constexpr size_t kMaxRegFile = 64u << 20;

int import_reg(const Args& args) {
    if (args.size() != 1) return fail("reg import: usage: reg import FILE");
    std::string contents, why;
    if (!ce::read_regular_file(args[0], kMaxRegFile, &contents, &why)) return fail("reg import: " + why);
    std::vector<regfile::Entry> entries;
    regfile::Error error;
    if (!regfile::parse(contents, entries, error)) {
        std::string at = error.line ? ":" + std::to_string(error.line) : std::string();
        return fail("reg import: " + args[0] + at + ": " + error.message);
    }
    // The whole file or nothing: a kill or a failing store midway leaves the
    // registry as it was.
    ce::RegistryTransaction transaction;
    if (transaction.error() != ERROR_SUCCESS)
        return fail("reg import: " + args[0] + ": " + registry_error_text(transaction.error()));
    if (!cectl::apply_reg(entries, cectl::RegApply::Replace, "reg import: " + args[0], why))
        return fail(why + "; nothing applied");
    LONG e = transaction.commit();
    if (e != ERROR_SUCCESS) return fail("reg import: " + args[0] + ": " + registry_error_text(e) + "; nothing applied");
    return 0;
}

std::u16string folded(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    return out;
}

// Whether path is key or lies beneath it (names compare case-insensitively).
bool within(HKEY root, const std::u16string& path, HKEY key_root, const std::u16string& key) {
    if (root != key_root) return false;
    std::u16string p = folded(path), k = folded(key);
    return p == k || (p.size() > k.size() && p.compare(0, k.size(), k) == 0 && p[k.size()] == u'\\');
}

bool has_content(HKEY root, const std::u16string& path) {
    OpenKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key.handle) != ERROR_SUCCESS) {
        key.handle = nullptr;
        return false;
    }
    std::vector<WCHAR> name(CE_REG_MAX_VALUE_NAME + 1);
    DWORD size = static_cast<DWORD>(name.size());
    LONG e = RegEnumKeyExW(key.handle, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (e != ERROR_NO_MORE_ITEMS) return true;  // a subkey, or cannot tell: leave it alone
    size = static_cast<DWORD>(name.size());
    e = RegEnumValueW(key.handle, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    return e != ERROR_NO_MORE_ITEMS;
}

}  // namespace

namespace cectl {

bool apply_reg(const std::vector<regfile::Entry>& entries, RegApply how, const std::string& where, std::string& why) {
    std::vector<std::pair<HKEY, std::u16string>> kept;  // whole defaults the root already has
    auto is_kept = [&](const regfile::Entry& e) {
        return std::any_of(kept.begin(), kept.end(),
                           [&](const auto& k) { return within(e.root, e.key, k.first, k.second); });
    };
    for (const auto& e : entries) {
        std::string at = where + ":" + std::to_string(e.line) + ": " + root_name(e.root) + (e.key.empty() ? "" : "\\") +
                         ce::narrow(e.key);
        if (how == RegApply::Keep && is_kept(e)) continue;
        LONG rc = ERROR_SUCCESS;
        switch (e.kind) {
            case regfile::Entry::DeleteKey:
                if (how == RegApply::Keep) {
                    if (has_content(e.root, e.key)) kept.emplace_back(e.root, e.key);
                    continue;
                }
                rc = RegDeleteKeyW(e.root, e.key.c_str());
                if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
                break;
            case regfile::Entry::Key: {
                OpenKey key;
                rc = RegCreateKeyExW(e.root, e.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key.handle,
                                     nullptr);
                if (rc != ERROR_SUCCESS) key.handle = nullptr;
                break;
            }
            case regfile::Entry::Value:
            case regfile::Entry::DeleteValue: {
                if (how == RegApply::Keep && e.kind == regfile::Entry::DeleteValue) continue;
                OpenKey key;
                rc = RegCreateKeyExW(e.root, e.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key.handle,
                                     nullptr);
                if (rc != ERROR_SUCCESS) {
                    key.handle = nullptr;
                    break;
                }
                at += " " + (e.name.empty() ? std::string("@") : printable(e.name));
                if (e.kind == regfile::Entry::DeleteValue) {
                    rc = RegDeleteValueW(key.handle, e.name.c_str());
                    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
                } else if (how == RegApply::Keep && RegQueryValueExW(key.handle, e.name.c_str(), nullptr, nullptr,
                                                                     nullptr, nullptr) == ERROR_SUCCESS) {
                    continue;
                } else {
                    rc = RegSetValueExW(key.handle, e.name.c_str(), 0, e.type, e.data.data(),
                                        static_cast<DWORD>(e.data.size()));
                }
                break;
            }
        }
        if (rc != ERROR_SUCCESS) {
            why = at + ": " + registry_error_text(rc);
            return false;
        }
    }
    return true;
}

}  // namespace cectl

CECTL_COMMAND("reg",
              "  reg query KEY [NAME]           values (NAME<TAB>TYPE<TAB>DATA), then subkeys (KEY\\SUB)\n"
              "  reg set KEY NAME dword N | sz TEXT | binary HEX   set a value (creates the key)\n"
              "  reg delete KEY [NAME]          delete a key with its subkeys, or one value\n"
              "  reg import FILE                apply a .reg file (regedit's form) whole, or nothing of it\n"
              "  reg export KEY [FILE]          the key and its subkeys as a .reg file (stdout without FILE)",
              run_reg);
