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

TEST_F(Modules, FindsLibXSoInTheProgramsLibFolder) {
    ASSERT_TRUE(fs::exists(built("libCeTestMod.so")));
    HMODULE m = LoadLibraryW(u"CeTestMod.dll");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_TRUE(ce::last_module_error().empty());
    EXPECT_EQ(tag_of(m), "lib");
    auto answer = as<AnswerFn>(GetProcAddressA(m, "ce_test_module_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    // Found outside the root: named as the device keeps libraries.
    EXPECT_EQ(file_name_of(m), u"\\Windows\\CeTestMod.dll");
    // No extension means ".dll"; loading again gives the same module.
    HMODULE again = LoadLibraryW(u"cetestmod");
    EXPECT_EQ(again, m);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_FALSE(FreeLibrary(m));  // one free per load
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetModuleFileNameW(m, nullptr, 0), 0u);
}

TEST_F(Modules, TheRootsWindowsFolderComesFirst) {
    place(built("libCeTestModAlt.so"), "Windows/CeTestMod.dll");
    HMODULE m = LoadLibraryW(u"CeTestMod.dll");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_EQ(tag_of(m), "alt");
    EXPECT_EQ(file_name_of(m), u"\\Windows\\CeTestMod.dll");
    FreeLibrary(m);
}

TEST_F(Modules, LibXSoInTheRootMatchesIgnoringCase) {
    place(built("libCeTestModAlt.so"), "windows/libcetestmod.SO");
    HMODULE m = LoadLibraryW(u"CETESTMOD.DLL");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_EQ(tag_of(m), "alt");
    EXPECT_EQ(file_name_of(m), u"\\windows\\CETESTMOD.DLL");
    FreeLibrary(m);
}

TEST_F(Modules, NamesWithAPathMapIntoTheRootOnly) {
    place(built("libCeTestModAlt.so"), "Drivers/libCeTestMod.so");
    HMODULE m = LoadLibraryW(u"\\drivers\\CeTestMod.dll");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_EQ(tag_of(m), "alt");
    EXPECT_EQ(file_name_of(m), u"\\Drivers\\CeTestMod.dll");
    FreeLibrary(m);
    // A path is not searched elsewhere, even where the bare name would be found.
    EXPECT_EQ(LoadLibraryW(u"\\Nowhere\\CeTestMod.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"..\\..\\..\\lib\\CeTestMod.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(u"\\bad|name\\CeTestMod.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Modules, LibraryPathFoldersAreSearchedLast) {
    fs::path extra = fs::path(root.path()).parent_path() / (fs::path(root.path()).filename().string() + "-extra");
    fs::create_directories(extra);
    fs::copy_file(built("libCeTestModAlt.so"), extra / "libCeTestModX.so");
    EXPECT_EQ(LoadLibraryW(u"CeTestModX.dll"), nullptr);
    setenv("CE_LIBRARY_PATH", (":/nonexistent::" + extra.string()).c_str(), 1);
    HMODULE m = LoadLibraryW(u"CeTestModX.dll");
    unsetenv("CE_LIBRARY_PATH");
    ASSERT_NE(m, nullptr) << ce::last_module_error();
    EXPECT_EQ(tag_of(m), "alt");
    EXPECT_EQ(file_name_of(m), u"\\Windows\\CeTestModX.dll");
    FreeLibrary(m);
    fs::remove_all(extra);
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
