// cectl's entry: global options, command dispatch, `init` and the helpers the
// commands share.
#include "cectl.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "ce_devices.h"
#include "ce_platform.h"

namespace cectl {

void print_usage(FILE* out);

namespace {

std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

std::vector<InitStep>& init_steps() {
    static std::vector<InitStep> list;
    return list;
}

}  // namespace

void print_usage(FILE* out) {
    std::fprintf(out, "usage: cectl [--root DIR] COMMAND ...\n\ncommands:\n");
    std::fprintf(out, "  init [--force]    provision the root (keeps existing values unless --force)\n");
    auto list = commands();
    std::sort(list.begin(), list.end(), [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
    for (const auto& c : list) std::fprintf(out, "%s\n", c.usage);
    std::fprintf(out, "\nThe root is --root, else $CE_ROOT, else ~/.local/share/tervalon/device.\n");
}

namespace {

int run_init(const Args& args) {
    bool force = false;
    for (const auto& a : args) {
        if (a == "--force") force = true;
        else return fail("init: unknown option '" + a + "'");
    }
    auto steps = init_steps();
    std::stable_sort(steps.begin(), steps.end(), [](const InitStep& a, const InitStep& b) { return a.order < b.order; });
    for (const auto& s : steps) {
        if (!s.run(force)) return 1;
    }
    std::printf("initialised %s\n", ce::root().c_str());
    return 0;
}

}  // namespace

std::filesystem::path build_dir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path().parent_path();
}

bool install_file(const std::filesystem::path& from, const std::filesystem::path& dir, const std::string& name) {
    std::error_code ec;
    if (!std::filesystem::exists(from, ec)) return true;  // not built in this tree: nothing to install
    auto target = dir / name;
    auto temporary = dir / (name + ".new");
    std::filesystem::copy_file(from, temporary, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) std::filesystem::rename(temporary, target, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        fail("init: cannot install " + from.filename().string() + " into " + dir.string());
        return false;
    }
    return true;
}

bool register_command(const Command& command) {
    commands().push_back(command);
    return true;
}

bool register_init_step(const InitStep& step) {
    init_steps().push_back(step);
    return true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "cectl: %s\n", message.c_str());
    return 1;
}

bool parse_key(const std::string& text, HKEY& root, std::u16string& sub_key) {
    std::string t = text;
    std::replace(t.begin(), t.end(), '/', '\\');
    size_t slash = t.find('\\');
    std::string head = t.substr(0, slash);
    std::string upper;
    for (char c : head) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE") root = HKEY_LOCAL_MACHINE;
    else if (upper == "HKCU" || upper == "HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
    else return false;
    std::string rest = slash == std::string::npos ? std::string() : t.substr(slash + 1);
    // Empty components ("A\\B", a trailing "\") are not key names.
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    if (rest.find("\\\\") != std::string::npos || (!rest.empty() && rest.front() == '\\')) return false;
    for (unsigned char c : rest) {
        if (c < 0x20) return false;
    }
    sub_key = ce::widen(rest);
    return true;
}

std::string root_name(HKEY root) { return root == HKEY_CURRENT_USER ? "HKCU" : "HKLM"; }

bool parse_u32(const std::string& text, uint32_t& value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t v = 0;
    for (size_t i = start; i < text.size(); i++) {
        int d;
        char c = text[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescape(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case 'r': bytes += '\r'; break;
            case 'n': bytes += '\n'; break;
            case 't': bytes += '\t'; break;
            case '\\': bytes += '\\'; break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                int hi = hex_digit(text[i + 1]), lo = hex_digit(text[i + 2]);
                if (hi < 0 || lo < 0) return false;
                bytes += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool parse_hex(const std::string& text, std::string& bytes) {
    bytes.clear();
    int pending = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\t') {
            if (pending >= 0) return false;  // a lone digit
            continue;
        }
        int d = hex_digit(c);
        if (d < 0) return false;
        if (pending < 0) pending = d;
        else {
            bytes += static_cast<char>(pending * 16 + d);
            pending = -1;
        }
    }
    return pending < 0;
}

}  // namespace cectl

int main(int argc, char** argv) {
    cectl::Args args(argv + 1, argv + argc);
    // Global options may stand before the command or anywhere after it.
    for (size_t i = 0; i < args.size();) {
        if (args[i] == "--root") {
            if (i + 1 >= args.size()) return cectl::fail("--root needs a folder");
            ce::set_root(args[i + 1]);
            args.erase(args.begin() + i, args.begin() + i + 2);
        } else if (args[i].rfind("--root=", 0) == 0) {
            ce::set_root(args[i].substr(7));
            args.erase(args.begin() + i);
        } else {
            i++;
        }
    }
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        cectl::print_usage(args.empty() ? stderr : stdout);
        return args.empty() ? 1 : 0;
    }
    // A host killed since the last command left links naming its pid, which
    // another program may have by now.
    for (const auto& link : ce::remove_dead_host_links()) {
        if (!link.error.empty())
            cectl::fail("cannot remove " + link.name + ", a link of a cehost that is gone, from " + ce::root() +
                        "/dev: " + link.error);
    }
    std::string name = args[0];
    cectl::Args rest(args.begin() + 1, args.end());
    if (name == "init") return cectl::run_init(rest);
    for (const auto& c : cectl::commands()) {
        if (name == c.name) return c.run(rest);
    }
    return cectl::fail("unknown command '" + name + "' (cectl help lists them)");
}
