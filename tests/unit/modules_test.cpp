// Modules: LoadLibraryW's search order (root \Windows, beside the program,
// ../lib, CE_LIBRARY_PATH; paths into the root), GetProcAddress, FreeLibrary
// and GetModuleFileNameW, over two builds of a tiny library told apart by tag.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ce_platform.h"
#include "test_support.h"
#include "windows.h"

namespace fs = std::filesystem;

namespace {

typedef int (*AnswerFn)();
typedef const char* (*TagFn)();

// FARPROC to the real type, through the generic function pointer type the
// compiler accepts without a cast warning.
template <class Fn>
Fn as(FARPROC p) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
}

fs::path built(const char* name) { return cetest::build_dir() / "lib" / name; }

std::string tag_of(HMODULE m) {
    auto tag = as<TagFn>(GetProcAddressW(m, u"ce_test_module_tag"));
    return tag ? tag() : "<no tag>";
}

std::u16string file_name_of(HMODULE m) {
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(m, buf, MAX_PATH);
    return std::u16string(buf, n);
}

class Modules : public ::testing::Test {
protected:
    cetest::TempRoot root;
    void place(const fs::path& from, const std::string& rel) {
        fs::path to = fs::path(root.path()) / rel;
        fs::create_directories(to.parent_path());
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }
};

// Where a name leads: a copy placed under the root (or in a CE_LIBRARY_PATH
// folder beside it) and the build the search then finds, named as the device
// names it; or nothing found.
struct Search {
    const char* name;
    const char* placed;    // the alternative build's place under the root, if any
    const char* extra;     // its name in a CE_LIBRARY_PATH folder outside the root, if any
    const char16_t* load;  // what LoadLibraryW is given
    const char* tag;       // the build found (null: none)
    const char16_t* file;  // GetModuleFileNameW's answer for it
};

const Search kSearches[] = {
    // Found outside the root: named as the device keeps libraries.
    {"TheProgramsLibFolder", nullptr, nullptr, u"CeTestMod.dll", "lib", u"\\Windows\\CeTestMod.dll"},
    {"TheRootsWindowsFolderFirst", "Windows/CeTestMod.dll", nullptr, u"CeTestMod.dll", "alt",
     u"\\Windows\\CeTestMod.dll"},
    {"LibXSoInTheRootIgnoringCase", "windows/libcetestmod.SO", nullptr, u"CETESTMOD.DLL", "alt",
     u"\\windows\\CETESTMOD.DLL"},
    {"APathIntoTheRoot", "Drivers/libCeTestMod.so", nullptr, u"\\drivers\\CeTestMod.dll", "alt",
     u"\\Drivers\\CeTestMod.dll"},
    {"LibraryPathFoldersLast", nullptr, "libCeTestModX.so", u"CeTestModX.dll", "alt", u"\\Windows\\CeTestModX.dll"},
    // A path is not searched elsewhere, even where the bare name would be found.
    {"APathNowhere", nullptr, nullptr, u"\\Nowhere\\CeTestMod.dll", nullptr, nullptr},
    {"APathOutOfTheRoot", nullptr, nullptr, u"..\\..\\..\\lib\\CeTestMod.dll", nullptr, nullptr},
    {"ABadPath", nullptr, nullptr, u"\\bad|name\\CeTestMod.dll", nullptr, nullptr},
};

void PrintTo(const Search& s, std::ostream* out) { *out << s.name; }

class ModuleSearch : public Modules, public ::testing::WithParamInterface<Search> {};

TEST_P(ModuleSearch, FindsTheBuildTheTableSays) {
    const Search& s = GetParam();
    if (s.placed) place(built("libCeTestModAlt.so"), s.placed);
    fs::path extra = fs::path(root.path()).parent_path() / (fs::path(root.path()).filename().string() + "-extra");
    if (s.extra) {
        fs::create_directories(extra);
        fs::copy_file(built("libCeTestModAlt.so"), extra / s.extra);
        EXPECT_EQ(LoadLibraryW(s.load), nullptr) << "not searched without the setting";
        setenv("CE_LIBRARY_PATH", (":/nonexistent::" + extra.string()).c_str(), 1);
    }
    HMODULE m = LoadLibraryW(s.load);
    DWORD error = GetLastError();
    unsetenv("CE_LIBRARY_PATH");
    fs::remove_all(extra);
    if (!s.tag) {
        EXPECT_EQ(m, nullptr);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        return;
    }
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_EQ(tag_of(m), s.tag);
    EXPECT_EQ(file_name_of(m), s.file);
    EXPECT_TRUE(FreeLibrary(m));
}

INSTANTIATE_TEST_SUITE_P(Places, ModuleSearch, ::testing::ValuesIn(kSearches),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Modules, LoadingAgainGivesTheSameModuleUntilTheLastFree) {
    ASSERT_TRUE(fs::exists(built("libCeTestMod.so")));
    HMODULE m = LoadLibraryW(u"CeTestMod.dll");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_TRUE(ce::last_module_error().empty());
    auto answer = as<AnswerFn>(GetProcAddressA(m, "ce_test_module_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    // No extension means ".dll"; loading again gives the same module.
    HMODULE again = LoadLibraryW(u"cetestmod");
    EXPECT_EQ(again, m);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_FALSE(FreeLibrary(m));  // one free per load
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetModuleFileNameW(m, nullptr, 0), 0u);
}

TEST_F(Modules, FailuresKeepTheLoadersText) {
    EXPECT_EQ(LoadLibraryW(u"Missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(ce::last_module_error().find("Missing.dll"), std::string::npos) << ce::last_module_error();
    fs::create_directories(fs::path(root.path()) / "Windows");
    std::ofstream(fs::path(root.path()) / "Windows" / "Bad.dll") << "not a library";
    EXPECT_EQ(LoadLibraryW(u"Bad.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(ce::last_module_error().find("Bad.dll"), std::string::npos) << ce::last_module_error();
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
}

TEST_F(Modules, ProcAddressErrors) {
    HMODULE m = LoadLibraryW(u"CeTestMod.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetProcAddressW(m, u"no_such_function"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddressW(m, reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(3))), nullptr);  // ordinal
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    // A handle that is no module fails without reaching the loader.
    auto bogus = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x1234560));
    EXPECT_EQ(GetProcAddressA(bogus, "ce_test_module_answer"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FreeLibrary(bogus));
    EXPECT_EQ(GetModuleFileNameW(bogus, nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    FreeLibrary(m);
    EXPECT_EQ(GetProcAddressA(m, "ce_test_module_answer"), nullptr);  // after the last free
}

TEST_F(Modules, ProgramFileNameAndTruncation) {
    std::u16string expected = u"\\Windows\\modules_test.exe";
    EXPECT_EQ(file_name_of(nullptr), expected);
    WCHAR buf[64];
    std::fill(std::begin(buf), std::end(buf), u'#');
    // Too small: what fits, terminated, the size returned, the error set.
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, 10), 10u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(buf), expected.substr(0, 9));
    EXPECT_EQ(buf[10], u'#');
    auto len = static_cast<DWORD>(expected.size());
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, len), len);  // no room for the terminator
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, len + 1), len);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(std::u16string(buf), expected);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// A copy of this program placed under the root reports its device path; the
// launcher cuts its own 15-character name off that path.
const bool child_mode = [] {
    if (!std::getenv("CE_MODULES_CHILD")) return false;
    WCHAR buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::printf("name=%s\n", ce::narrow(std::u16string(buf, n)).c_str());
    std::fflush(stdout);
    std::_Exit(0);
    return true;
}();

TEST_F(Modules, ProgramUnderTheRootGetsItsDevicePath) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    place(std::string(self, static_cast<size_t>(n)), "Programs/Kvor_Switch");
    std::string cmd = "CE_MODULES_CHILD=1 CE_ROOT='" + root.path() + "' LD_LIBRARY_PATH='" +
                      (cetest::build_dir() / "lib").string() + "' '" + root.path() + "/Programs/Kvor_Switch' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char line[512];
    while (fgets(line, sizeof line, p)) out += line;
    pclose(p);
    EXPECT_EQ(out, "name=\\Programs\\Kvor_Switch.exe\n");
    std::u16string name = ce::widen(out.substr(5, out.size() - 6));
    ASSERT_GE(name.size(), 15u);
    EXPECT_EQ(name.substr(0, name.size() - 15), u"\\Programs\\");
}

}  // namespace
