// Resource scripts under fuzzed input: cerc never crashes; a failure names a
// file and line; a success yields resources whose layouts hold together (a
// dialog's items, a menu's items and a string block's slots end exactly at
// the end of their data), and a C++ source. Bytes from 0x80 up and control
// characters stand for whole words of the language, so short inputs reach
// deep into the parser; a zero byte starts the text of "more.h", a header
// the script may include. <windows.h> and the like are the SDK's headers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "rc_compiler.h"

namespace {

const char* const kWords[] = {
    " BEGIN ",
    " END ",
    " DIALOG ",
    " STRINGTABLE ",
    " MENU ",
    " POPUP ",
    " MENUITEM ",
    " SEPARATOR ",
    " RCDATA ",
    " ICON ",
    " CONTROL ",
    " LTEXT ",
    " EDITTEXT ",
    " COMBOBOX ",
    " LISTBOX ",
    " PUSHBUTTON ",
    " STYLE ",
    " EXSTYLE ",
    " CAPTION ",
    " FONT ",
    " CLASS ",
    " NOT ",
    " WS_CHILD ",
    " 0x10L ",
    " GRAYED ",
    "#include \"ids.h\"\n",
    "#include \"more.h\"\n",
    "#include <windows.h>\n#include <aygshell.h>\n",
    "\n#define ",
    "\n#if ",
    "\n#ifdef ",
    "\n#elif ",
    "\n#else\n",
    "\n#endif\n",
    "\"icon.ico\"",
    " L\"",
    "\"",
    ", ",
    "\n",
    "{",
    "}",
    "(",
    ")",
    " | ",
    " - ",
    " + ",
    " * ",
    " / ",
    "IDD_X",
    "IDC_Y",
    " CEUX ",
    " 1, 2, 3, 4",
    " defined(IDD_X) ",
    "\\x41",
    "\"\"",
    "//",
    "/*",
    "*/",
    " DISCARDABLE ",
    " LANGUAGE 9, 1\n",
    " SHMENUBAR ",
    " I_IMAGENONE ",
    " UPDOWN_CLASS ",
    " \"Button\" ",
    " 65535 ",
    " -1 ",
    "\\\n",
};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

const char kIds[] = "#define IDD_X 100\n#define IDC_Y (IDD_X + 1)\n#define TEXT \"Hi\"\n#define F(x) x\nint c_code;\n";
const char kIcon[] = {0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0, 1, 2, 3, 4};

// The SDK's headers, read once for every run.
std::optional<std::string> sdk_header(const std::string& path) {
    static std::map<std::string, std::optional<std::string>> cache;
    auto it = cache.find(path);
    if (it != cache.end()) return it->second;
    // As cerc itself: only regular files ("<.>" names the folder itself).
    std::optional<std::string> text;
    std::error_code ec;
    if (std::ifstream in{path, std::ios::binary}; std::filesystem::is_regular_file(path, ec) && in)
        text = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return cache[path] = text;
}

[[noreturn]] void broken(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

struct Reader {
    const std::vector<uint8_t>& d;
    size_t at = 0;
    bool word(uint16_t& w) {
        if (at + 2 > d.size()) return false;
        w = static_cast<uint16_t>(d[at] | (d[at + 1] << 8));
        at += 2;
        return true;
    }
    bool text() {
        for (uint16_t w = 1; w;)
            if (!word(w)) return false;
        return true;
    }
    bool field() {
        uint16_t w;
        size_t start = at;
        if (!word(w)) return false;
        if (w == 0xFFFF) return word(w);
        at = start;
        return text();
    }
};

bool dialog_holds(const std::vector<uint8_t>& d) {
    if (d.size() < 18) return false;
    Reader r{d, 8};
    uint16_t count, w;
    if (!r.word(count)) return false;
    r.at = 18;
    if (!r.field() || !r.field() || !r.text()) return false;
    if (d[0] & 0x40) {
        if (!r.word(w) || !r.text()) return false;
    }
    for (unsigned i = 0; i < count; i++) {
        r.at = (r.at + 3) & ~size_t{3};
        r.at += 18;
        if (!r.field() || !r.field() || !r.word(w) || w != 0) return false;
    }
    return r.at == d.size();
}

bool menu_holds(Reader& r, int depth) {
    for (;;) {
        uint16_t flags, id;
        if (depth > 64 || !r.word(flags)) return false;
        if (flags & 0x10) {
            if (!r.text() || !menu_holds(r, depth + 1)) return false;
        } else if (!r.word(id) || !r.text()) {
            return false;
        }
        if (flags & 0x80) return true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string script, more;
    std::string* out = &script;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) out = &more;
        else if (data[i] >= 0x80 || (data[i] < 0x20 && data[i] != '\n' && data[i] != '\t'))
            *out += kWords[(data[i] + 0x80) % kWordCount];
        else *out += static_cast<char>(data[i]);
    }
    ce::rc::Options options;
    options.include_dirs = {CE_SDK_DIR};
    options.read_file = [&](const std::string& path) -> std::optional<std::string> {
        if (path == "test.rc") return script;
        if (path == "more.h") return more;
        if (path == "ids.h") return std::string(kIds);
        if (path == "icon.ico") return std::string(kIcon, sizeof kIcon);
        if (path.rfind(CE_SDK_DIR "/", 0) == 0) return sdk_header(path);
        return std::nullopt;
    };
    ce::rc::Result r = ce::rc::compile("test.rc", options);
    if (!r.ok) {
        const std::string& e = r.error;
        bool located = false;
        // Every file read_file serves can be #included, the icon too.
        for (const char* file : {"test.rc:", "more.h:", "ids.h:", "icon.ico:", "<built-in>:", CE_SDK_DIR "/"})
            located = located || e.rfind(file, 0) == 0;
        if (!located || !r.resources.empty()) broken("error without a location", e);
        return 0;
    }
    for (const auto& res : r.resources) {
        if (res.type.is_name()) continue;
        if (res.type.ordinal == ce::rc::kTypeDialog && !dialog_holds(res.data)) broken("dialog", "bad layout");
        if (res.type.ordinal == ce::rc::kTypeMenu) {
            Reader m{res.data, 4};
            if (res.data.size() < 4 || !menu_holds(m, 0) || m.at != res.data.size()) broken("menu", "bad layout");
        }
        if (res.type.ordinal == ce::rc::kTypeString) {
            Reader s{res.data};
            for (int slot = 0; slot < 16; slot++) {
                uint16_t n, zero = 1;
                if (!s.word(n) || (s.at += 2u * n) > res.data.size() || !s.word(zero) || zero)
                    broken("strings", "bad block");
            }
            if (s.at != res.data.size()) broken("strings", "block too long");
        }
    }
    if (ce::rc::generate_cpp(r.resources, "test.rc").empty()) broken("output", "empty");
    return 0;
}
