// Resources: resources_test.rc, compiled by cerc into this program, read back
// through the Win32 calls in the layouts device code walks; a library with a
// script of its own; and cerc's messages for broken scripts.
#include "resources_test.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aygshell.h"
#include "ce_platform.h"
#include "rc_compiler.h"
#include "test_support.h"
#include "windows.h"

namespace fs = std::filesystem;

namespace {

std::u16string load(HINSTANCE module, UINT id) {
    WCHAR buf[128];
    INT_PTR n = LoadStringW(module, id, buf, 128);
    return std::u16string(buf, static_cast<size_t>(n));
}

// A resource's bytes, or nothing.
std::vector<uint8_t> bytes_of(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC r = FindResourceW(module, name, type);
    if (!r) return {};
    auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(module, r)));
    return std::vector<uint8_t>(p, p + SizeofResource(module, r));
}

std::vector<WORD> words_of(const std::vector<uint8_t>& b) {
    std::vector<WORD> w(b.size() / 2);
    std::memcpy(w.data(), b.data(), w.size() * 2);
    return w;
}

// Reads a template as the device's dialog manager does.
struct Walker {
    const uint8_t* base;
    size_t at = 0;
    WORD word() {
        WORD w;
        std::memcpy(&w, base + at, 2);
        at += 2;
        return w;
    }
    std::u16string text() {
        std::u16string s;
        for (WORD w; (w = word()) != 0;) s += static_cast<char16_t>(w);
        return s;
    }
    // 0xFFFF and an ordinal (as "#n"), or a string (0x0000 is the empty one).
    std::u16string field() {
        WORD first;
        std::memcpy(&first, base + at, 2);
        if (first != 0xFFFF) return text();
        at += 2;
        std::u16string n = u"#";
        for (char c : std::to_string(word())) n += static_cast<char16_t>(c);
        return n;
    }
    template <class T>
    T record() {
        T t;
        std::memcpy(&t, base + at, sizeof t);
        at += sizeof t;
        return t;
    }
};

TEST(ResourceStrings, CopiesTruncatesAndTerminates) {
    EXPECT_EQ(load(nullptr, IDS_HELLO), u"Hello, world");
    EXPECT_EQ(load(nullptr, IDS_QUOTE), u"Say \"hi\"\tnow!\n");
    EXPECT_EQ(load(nullptr, IDS_UNICODE), u"\u010Ce\u0161tina \u20AC");
    EXPECT_EQ(load(GetModuleHandleW(nullptr), IDS_SECOND_BLOCK), u"Block two");

    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(LoadStringW(nullptr, IDS_HELLO, buf, 6), 5);
    EXPECT_EQ(std::u16string(buf), u"Hello");
    EXPECT_EQ(buf[6], u'#');
    EXPECT_EQ(LoadStringW(nullptr, IDS_HELLO, buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
}

TEST(ResourceStrings, MissingOrEmptyStringsGiveZeroInEveryForm) {
    for (UINT id : {3, IDS_EMPTY, 17, 5000, 70000}) {
        WCHAR buf[8] = u"x";
        EXPECT_EQ(LoadStringW(nullptr, id, buf, 8), 0) << id;
        EXPECT_EQ(buf[0], 0) << id;
        EXPECT_EQ(LoadStringW(nullptr, id, nullptr, 0), 0) << id;
        LPCWSTR p = nullptr;
        EXPECT_EQ(LoadStringW(nullptr, id, reinterpret_cast<LPWSTR>(&p), 0), 0) << id;
    }
    LoadStringW(nullptr, 5000, nullptr, 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST(ResourceStrings, PointerFormsGiveTheResourceTextItself) {
    // The device's form: no buffer, the result is the text, zero-terminated,
    // its length in the WORD before it.
    auto text = reinterpret_cast<LPCWSTR>(LoadStringW(nullptr, IDS_QUOTE, nullptr, 0));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"Say \"hi\"\tnow!\n");
    EXPECT_EQ(text[-1], 14);
    // The desktop's form: the buffer receives the pointer, the result is the length.
    LPCWSTR p = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, IDS_UNICODE, reinterpret_cast<LPWSTR>(&p), 0), 9);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[9], 0);
    EXPECT_EQ(std::u16string(p), load(nullptr, IDS_UNICODE));
}

TEST(ResourceFind, ByOrdinalOrNameIgnoringCase) {
    HMODULE self = GetModuleHandleW(nullptr);
    ASSERT_NE(self, nullptr);
    HRSRC dialog = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(FindResourceW(self, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG), dialog);
    EXPECT_EQ(FindResourceW(nullptr, u"#102", RT_DIALOG), dialog);
    void* data = LockResource(LoadResource(nullptr, dialog));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 4, 0u);
    EXPECT_TRUE(FreeResource(data));

    // A custom type by name: CEUX holds the WORD 1.
    EXPECT_EQ(words_of(bytes_of(nullptr, u"hi_res_aware", u"CeUx")), std::vector<WORD>{1});

    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(999), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(nullptr, u"HI_RES_AWARE", u"NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(SizeofResource(nullptr, reinterpret_cast<HRSRC>(&self)), 0u);  // not an entry: refused

    // The program's module is the one GetModuleFileNameW names.
    WCHAR a[MAX_PATH], b[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(self, a, MAX_PATH), 0u);
    ASSERT_GT(GetModuleFileNameW(nullptr, b, MAX_PATH), 0u);
    EXPECT_EQ(std::u16string(a), std::u16string(b));
    EXPECT_EQ(GetModuleHandleW(a), self);
}

TEST(ResourceFind, AnIconIsTheWholeIcoFile) {
    std::ifstream f(CE_RC_TEST_DIR "/resources_test.ico", std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(bytes_of(nullptr, MAKEINTRESOURCEW(IDI_APP), RT_GROUP_ICON), file);
}

TEST(ResourceDialog, WalksItemByItem) {
    std::vector<uint8_t> b = bytes_of(nullptr, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG);
    ASSERT_GT(b.size(), sizeof(DLGTEMPLATE));
    Walker w{b.data()};
    auto head = w.record<DLGTEMPLATE>();
    // STYLE as given, WS_CAPTION for the CAPTION, DS_SETFONT for the FONT.
    EXPECT_EQ(head.style, 0x80000000u | 0x10000000u | 0x80u | 0x00C00000u | 0x40u);
    EXPECT_EQ(head.cdit, 10);
    EXPECT_EQ(head.cx, 160);
    EXPECT_EQ(head.cy, 120);
    EXPECT_EQ(w.field(), u"#104");  // menu
    EXPECT_EQ(w.field(), u"");      // class
    EXPECT_EQ(w.text(), u"Tervalon");
    EXPECT_EQ(w.word(), 8);
    EXPECT_EQ(w.text(), u"Tahoma");

    struct Expected {
        DWORD style;
        DWORD exstyle;
        WORD id;
        std::u16string cls, title;
    };
    const Expected expected[] = {
        {0x50020000, 0, 0xFFFF, u"#130", u"Frequency:"},            // LTEXT
        {0x50012000, 0, IDC_FREQ, u"#129", u""},                    // EDITTEXT, NOT WS_BORDER
        {0x50000006, 0, IDC_SPIN, u"msctls_updown32", u""},         // CONTROL, class by macro
        {0x50210003, 0, IDC_BAND, u"#133", u""},                    // COMBOBOX
        {0x50800001, 0, IDC_LIST, u"#131", u""},                    // LISTBOX
        {0x58010000, 0, IDC_TUNE, u"#128", u"&Tune"},               // PUSHBUTTON, WS_DISABLED
        {0x50010001, 0, IDOK, u"#128", u"OK"},                      // DEFPUSHBUTTON
        {0x50000003, 0, IDC_LOGO, u"#130", u"#101"},                // ICON by id
        {0x50000001, 0x200, IDC_LEVEL, u"msctls_progress32", u""},  // CONTROL with an extended style
        {0x50010003, 0, IDC_CHECK, u"#128", u"Check"},              // "Button" becomes the atom
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        while (w.at % 4) EXPECT_EQ(b[w.at++], 0) << "each item starts on a DWORD";
        auto item = w.record<DLGITEMTEMPLATE>();
        EXPECT_EQ(item.style, e.style);
        EXPECT_EQ(item.dwExtendedStyle, e.exstyle);
        EXPECT_EQ(item.id, e.id);
        EXPECT_EQ(w.field(), e.cls);
        EXPECT_EQ(w.field(), e.title);
        EXPECT_EQ(w.word(), 0) << "creation data";
        if (e.id == IDC_FREQ) {
            EXPECT_EQ(item.x, 66);
            EXPECT_EQ(item.y, 4);
            EXPECT_EQ(item.cx, 40);
            EXPECT_EQ(item.cy, 12);
        }
    }
    EXPECT_EQ(w.at, b.size());

    // Without STYLE, CAPTION or FONT: the default style, no font data.
    std::vector<uint8_t> plain = bytes_of(nullptr, MAKEINTRESOURCEW(IDD_PLAIN), RT_DIALOG);
    Walker p{plain.data()};
    auto head2 = p.record<DLGTEMPLATE>();
    EXPECT_EQ(head2.style, 0x80880000u);
    EXPECT_EQ(head2.cdit, 0);
    EXPECT_EQ(head2.y, -10);
    EXPECT_EQ(p.field(), u"");
    EXPECT_EQ(p.field(), u"");
    EXPECT_EQ(p.text(), u"");
    EXPECT_EQ(p.at, plain.size());
}

// The menu as "flags:id:text" items, popups with their items in braces.
std::string walk_menu(Walker& w) {
    std::string out;
    for (;;) {
        WORD flags = w.word();
        std::string item = std::to_string(flags & ~0x90) + ":";
        if (flags & 0x10) {
            std::u16string t = w.text();
            out += item + std::string(t.begin(), t.end()) + "{" + walk_menu(w) + "}";
        } else {
            item += std::to_string(w.word()) + ":";
            std::u16string t = w.text();
            out += item + std::string(t.begin(), t.end());
        }
        if (flags & 0x80) return out;
        out += ",";
    }
}

TEST(ResourceMenu, MenuTemplateAndTheBarOfTheSameId) {
    std::vector<uint8_t> b = bytes_of(nullptr, MAKEINTRESOURCEW(IDR_MAIN_MENU), RT_MENU);
    ASSERT_GE(b.size(), 4u);
    Walker w{b.data()};
    EXPECT_EQ(w.word(), 0);  // MENUITEMTEMPLATEHEADER
    EXPECT_EQ(w.word(), 0);
    EXPECT_EQ(walk_menu(w), "0:&File{0:40001:&Scan,0:0:,1:40002:E&xit},0:40003:&Help");
    EXPECT_EQ(w.at, b.size());

    std::vector<WORD> bar = words_of(bytes_of(nullptr, MAKEINTRESOURCEW(IDR_MAIN_MENU), RT_RCDATA));
    EXPECT_EQ(bar, (std::vector<WORD>{IDR_MAIN_MENU, 2, 0xFFFE, IDM_OK, 4, 0x10, IDS_HELLO, 0, 0xFFFF, 0xFFFE, IDM_MENU,
                                      4, 0x18, IDS_QUOTE, 0, 0}));
}

TEST(ResourceData, WordsDwordsAndStringsAsWritten) {
    EXPECT_EQ(bytes_of(nullptr, MAKEINTRESOURCEW(IDR_TABLE), RT_RCDATA),
              (std::vector<uint8_t>{1, 0, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12, 'a', 'b', 'c', 0, 'd', 0, 20, 0}));
}

// cerc reads the same windows.h, commctrl.h and aygshell.h as the compiler:
// a script's SDK names have the values C++ code sees, a DWORD for an L.
TEST(ResourceData, SdkNamesHaveTheHeadersValues) {
    std::vector<uint8_t> expected(8);
    WORD words[] = {UDM_SETPOS, SHIDIF_SIZEDLGFULLSCREEN};
    DWORD dword = MB_TOPMOST;
    std::memcpy(expected.data(), words, 4);
    std::memcpy(expected.data() + 4, &dword, 4);
    EXPECT_EQ(bytes_of(nullptr, MAKEINTRESOURCEW(IDR_SDK_VALUES), RT_RCDATA), expected);
}

TEST(ResourceModules, ALibraryKeepsItsOwnResources) {
    HMODULE lib = LoadLibraryW(u"CeTestResources.dll");
    ASSERT_NE(lib, nullptr) << ce::last_module_error();
    EXPECT_EQ(GetModuleHandleW(u"cetestresources"), lib);
    EXPECT_EQ(load(lib, 1), u"From the library");
    EXPECT_EQ(load(nullptr, 1), u"Hello, world");
    EXPECT_EQ(words_of(bytes_of(lib, MAKEINTRESOURCEW(1), RT_RCDATA)), std::vector<WORD>{7});
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_RCDATA), nullptr);
    EXPECT_EQ(FindResourceW(lib, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG), nullptr);
    EXPECT_TRUE(FreeLibrary(lib));
    // Unloaded, its table went with it.
    EXPECT_EQ(load(lib, 1), u"");
    EXPECT_EQ(GetModuleHandleW(u"CeTestResources.dll"), nullptr);
}

// ---- cerc's messages ----------------------------------------------------------

struct BadScript {
    const char* name;
    const char* script;
    const char* message;  // "test.rc:LINE: ..." starts with this
};

class ResourceCompilerErrors : public ::testing::TestWithParam<BadScript> {};

TEST_P(ResourceCompilerErrors, NameTheFileAndLine) {
    std::map<std::string, std::string> files{{"test.rc", GetParam().script}, {"ids.h", "#define ID_ONE 1\nint x;\n"}};
    ce::rc::Options options;
    options.read_file = [&](const std::string& path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    ce::rc::Result r = ce::rc::compile("test.rc", options);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.resources.empty());
    EXPECT_EQ(r.error.substr(0, std::strlen(GetParam().message)), GetParam().message) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ResourceCompilerErrors,
    ::testing::Values(
        BadScript{"DuplicateString", "STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND",
                  "test.rc:4: string 1 is defined twice"},
        BadScript{"DuplicateStringFromHeader", "#include \"ids.h\"\nSTRINGTABLE { ID_ONE \"a\"\n ID_ONE \"b\" }",
                  "test.rc:3: string 1 is defined"},
        BadScript{"MissingComma", "1 DIALOG 0, 0, 10, 10\nBEGIN\n LTEXT \"x\", 1, 0, 0\nEND",
                  "test.rc:4: expected ','"},
        BadScript{"UnknownControl", "1 DIALOG 0, 0, 10, 10\nBEGIN\n WIDGET \"x\", 1, 0, 0, 1, 1\nEND",
                  "test.rc:3: unknown control 'WIDGET'"},
        BadScript{"MissingInclude", "\n#include \"missing.h\"", "test.rc:2: cannot open include file 'missing.h'"},
        BadScript{"UndefinedName", "1 RCDATA\nBEGIN\n 1, FOO\nEND", "test.rc:3: 'FOO' is not defined"},
        BadScript{"UnterminatedString", "STRINGTABLE\nBEGIN\n 1 \"abc\nEND", "test.rc:3: unterminated string"},
        BadScript{"MissingEndif", "#if 1\n1 RCDATA { 1 }\n", "test.rc:3: missing #endif"},
        BadScript{"EmptyPopup", "1 MENU\nBEGIN\n POPUP \"x\"\n BEGIN\n END\nEND", "test.rc:3: POPUP has no items"},
        BadScript{"MissingIcon", "1 ICON \"nothing.ico\"", "test.rc:1: cannot open 'nothing.ico'"},
        BadScript{"NotAnIcon", "1 ICON \"ids.h\"", "test.rc:1: 'ids.h' is not an icon file"},
        BadScript{"Unsupported", "1 ACCELERATORS\nBEGIN\nEND", "test.rc:1: ACCELERATORS resources are not supported"},
        BadScript{"DialogAsRawData", "1 5 { 0 }", "test.rc:1: resource type 5 is written as DIALOG"},
        BadScript{"DivisionByZero", "1 RCDATA { 1 / (2 - 2) }", "test.rc:1: division by zero"},
        BadScript{"MacroCycle", "#define A B\n#define B A\n1 RCDATA { A }", "test.rc:3: 'A' is not defined"},
        BadScript{"DuplicateResource", "1 RCDATA { 1 }\n/* two\nlines */ 1 RCDATA { 2 }",
                  "test.rc:3: resource 1 of type 10 is defined twice"},
        BadScript{"BadUtf8", "STRINGTABLE { 1 \"\xC3\x28\" }", "test.rc:1: text is not valid UTF-8"},
        BadScript{"EndInData", "1 RCDATA { ((((1)))) ", "test.rc:1: unexpected end of file in the data"},
        BadScript{"EndInStyle", "1 DIALOG 0, 0, 1, 1 STYLE 0x40000000L |",
                  "test.rc:1: expected a number, found end of file"},
        BadScript{"SecondElse", "#ifdef X\n#else\n#else\n#endif", "test.rc:3: second #else"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResourceCompiler, FailsTheBuildWithFileAndLine) {
    cetest::TempRoot dir;
    fs::path script = fs::path(dir.path()) / "broken.rc";
    std::ofstream(script) << "STRINGTABLE\nBEGIN\n  1 \"ok\"\n  2 oops\nEND\n";
    fs::path out = fs::path(dir.path()) / "out.cpp", err = fs::path(dir.path()) / "err.txt";
    std::string cmd = (cetest::build_dir() / "bin" / "cerc").string() + " -o " + out.string() + " " + script.string() +
                      " 2>" + err.string();
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(fs::exists(out));
    std::ifstream in(err);
    std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(message.rfind(script.string() + ":4: expected the string in quotes", 0), 0u) << message;
}

}  // namespace
