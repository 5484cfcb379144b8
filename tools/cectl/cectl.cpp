// cectl's entry: global options, command dispatch, `init` and the helpers the
// commands share.
#include "cectl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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
    std::sort(list.begin(), list.end(),
              [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
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
    std::stable_sort(steps.begin(), steps.end(),
                     [](const InitStep& a, const InitStep& b) { return a.order < b.order; });
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

bool replace_file(const std::filesystem::path& path, unsigned mode,
                  const std::function<bool(int fd, std::string& why)>& fill, std::string& why) {
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkstemp creates the name anew (O_EXCL): a link planted beside the
    // target is never written through.
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        why = "cannot create a file in " + path.parent_path().string() + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fill(fd, why);
    auto failed = [&](const char* what) {
        why = what + path.string() + ": " + std::strerror(errno);
        return false;
    };
    if (ok && ::fchmod(fd, mode) != 0) ok = failed("cannot set the mode of ");
    // Synced before the rename, so that a crash leaves the old file or the whole new one.
    if (ok && ::fsync(fd) != 0) ok = failed("cannot write ");
    if (::close(fd) != 0 && ok) ok = failed("cannot write ");
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) ok = failed("cannot replace ");
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

bool install_file(const std::filesystem::path& from, const std::filesystem::path& dir, const std::string& name) {
    int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0 && errno == ENOENT) return true;  // not built in this tree: nothing to install
    std::string why;
    struct stat st {};
    if (in < 0) {
        why = std::string("cannot read it: ") + std::strerror(errno);
    } else if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else {
        auto copy = [&](int out, std::string& error) {
            char buffer[1 << 16];
            for (;;) {
                ssize_t n = ::read(in, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    error = std::string("cannot read it: ") + std::strerror(errno);
                    return false;
                }
                if (n == 0) return true;
                for (ssize_t at = 0; at < n;) {
                    ssize_t w = ::write(out, buffer + at, static_cast<size_t>(n - at));
                    if (w < 0 && errno == EINTR) continue;
                    if (w < 0) {
                        error = std::string("cannot write it: ") + std::strerror(errno);
                        return false;
                    }
                    at += w;
                }
            }
        };
        if (replace_file(dir / name, st.st_mode & 0777, copy, why)) why.clear();
        else if (why.empty()) why = "failed";
    }
    if (in >= 0) ::close(in);
    if (why.empty()) return true;
    fail("init: cannot install " + from.string() + " as " + (dir / name).string() + ": " + why);
    return false;
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
    // Nothing of the root is touched before it is known to be the user's.
    if (std::string why; !ce::claim_root(ce::root(), &why)) return cectl::fail(why);
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
