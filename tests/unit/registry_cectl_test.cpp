// `cectl reg` and the registry step of `cectl init`, run as the built program
// against a temporary root that this process reads through the API.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "regext.h"
#include "test_support.h"
#include "windows.h"

namespace {

using CectlRun = cetest::ProgramRun;
using cetest::slurp;

class RegistryCectl : public ::testing::Test {
protected:
    cetest::TempRoot root;

    CectlRun cectl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--root", root.path()});
        return cetest::run_program(cetest::build_dir() / "bin" / "cectl", args, root.path());
    }

    // Exit 1 with exactly one line on stderr and nothing on stdout.
    void expect_one_line_failure(const std::vector<std::string>& args) {
        CectlRun r = cectl(args);
        std::string what;
        for (const auto& a : args) what += a + " ";
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("cectl: ", 0), 0u) << what << ": " << r.err;
    }
};

TEST_F(RegistryCectl, SetQueryDeleteRoundTrip) {
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Band", "dword", "2"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "Dll", "sz", "Tervalon.dll"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "hklm\\drivers\\tervalon", "Blob", "binary", "01AB ff"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon", "", "sz", "default"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Drivers\\Tervalon\\Sub", "Index", "dword", "0x9"}).status, 0);

    CectlRun r = cectl({"reg", "query", "HKLM\\Drivers\\Tervalon"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Band\tREG_DWORD\t2\n"
              "Dll\tREG_SZ\tTervalon.dll\n"
              "Blob\tREG_BINARY\t01abff\n"
              "\tREG_SZ\tdefault\n"
              "HKLM\\Drivers\\Tervalon\\Sub\n");
    r = cectl({"reg", "query", "HKEY_LOCAL_MACHINE\\Drivers\\Tervalon\\", "Band"});
    EXPECT_EQ(r.out, "Band\tREG_DWORD\t2\n");
    r = cectl({"reg", "query", "HKLM\\Drivers\\Tervalon\\Sub", "index"});
    EXPECT_EQ(r.out, "index\tREG_DWORD\t9\n");
    r = cectl({"reg", "query", "HKLM\\Drivers\\Tervalon", ""});
    EXPECT_EQ(r.out, "\tREG_SZ\tdefault\n");

    // The tool and this process share one store.
    DWORD v = 0;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon\\Sub", u"Index", &v), S_OK);
    EXPECT_EQ(v, 9u);
    ASSERT_EQ(RegistrySetDWORD(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 4294967295u), S_OK);
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"ControlPanel\\Volume", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    const char16_t multi[] = u"a\0b\0";  // "a", "b", end
    ASSERT_EQ(RegSetValueExW(k, u"List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
              ERROR_SUCCESS);
    const char16_t tabbed[] = u"x\ty";
    ASSERT_EQ(RegSetValueExW(k, u"Tabbed", 0, REG_SZ, reinterpret_cast<const BYTE*>(tabbed), sizeof tabbed),
              ERROR_SUCCESS);
    RegCloseKey(k);
    r = cectl({"reg", "query", "HKCU\\ControlPanel\\Volume"});
    EXPECT_EQ(r.out,
              "Volume\tREG_DWORD\t4294967295\n"
              "List\tREG_MULTI_SZ\ta\\0b\n"
              "Tabbed\tREG_SZ\tx\\x09y\n");

    EXPECT_EQ(cectl({"reg", "delete", "HKLM\\Drivers\\Tervalon", "BAND"}).status, 0);
    expect_one_line_failure({"reg", "query", "HKLM\\Drivers\\Tervalon", "Band"});
    EXPECT_EQ(cectl({"reg", "delete", "HKLM\\Drivers"}).status, 0);
    expect_one_line_failure({"reg", "query", "HKLM\\Drivers\\Tervalon\\Sub"});
    r = cectl({"reg", "query", "HKLM"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(RegistryCectl, MalformedOrMissingInputPrintsOneLineAndFails) {
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Good", "X", "dword", "1"}).status, 0);
    const std::string long_name(300, 'n');
    std::vector<std::vector<std::string>> cases = {
        {"reg", "query", "HKXX\\Good"},
        {"reg", "query", "HKLM\\Good\\\\Sub"},
        {"reg", "query", "HKLM\\Missing"},
        {"reg", "query", "HKLM\\Good", "Missing"},
        {"reg", "query"},
        {"reg", "set", "HKLM\\Bad", "N", "qword", "1"},
        {"reg", "set", "HKLM\\Bad", "N", "dword", "12x"},
        {"reg", "set", "HKLM\\Bad", "N", "dword", "4294967296"},
        {"reg", "set", "HKLM\\Bad", "N", "dword", ""},
        {"reg", "set", "HKLM\\Bad", "N", "dword", "-1"},
        {"reg", "set", "HKLM\\Bad", "N", "binary", "0g"},
        {"reg", "set", "HKLM\\Bad", "N", "binary", "abc"},
        {"reg", "set", "HKLM\\Bad", "N", "sz"},
        {"reg", "set", "HKLM\\Bad", "N", "sz", "a", "b"},
        {"reg", "set", "Bad", "N", "dword", "1"},
        {"reg", "set", "HKLM\\" + long_name, "N", "dword", "1"},
        {"reg", "delete", "HKLM\\Missing"},
        {"reg", "delete", "HKLM\\Good", "Missing"},
        {"reg", "delete", "HKLM"},
        {"reg", "frobnicate"},
        {"reg"},
    };
    for (const auto& c : cases) expect_one_line_failure(c);
    // Nothing refused left anything behind.
    CectlRun r = cectl({"reg", "query", "HKLM"});
    EXPECT_EQ(r.out, "HKLM\\Good\n");
}

TEST_F(RegistryCectl, InitProvisionsTheSystemKeysAndKeepsValuesUnlessForced) {
    const char16_t* mux = u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer";
    CectlRun r = cectl({"init"});
    ASSERT_EQ(r.status, 0) << r.err;
    WCHAR port[16];
    EXPECT_EQ(RegistryGetString(HKEY_LOCAL_MACHINE, mux, u"DriverInterface", port, 16), S_OK);
    EXPECT_EQ(std::u16string(port), u"GPD0:");
    DWORD v = 7;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", &v), S_OK);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(RegistryGetDWORD(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", &v), S_OK);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(RegistryGetDWORD(HKEY_CURRENT_USER, u"ControlPanel\\Notifications\\ShellOverrides", u"SavedVolume", &v),
              S_OK);
    EXPECT_EQ(v, 0xFFFFFFFFu);

    ASSERT_EQ(cectl({"reg", "set", "HKLM\\System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer",
                     "DriverInterface", "sz", "COM4:"})
                  .status,
              0);
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", 1), S_OK);
    ASSERT_EQ(cectl({"init"}).status, 0);
    EXPECT_EQ(RegistryGetString(HKEY_LOCAL_MACHINE, mux, u"DriverInterface", port, 16), S_OK);
    EXPECT_EQ(std::u16string(port), u"COM4:");
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", &v), S_OK);
    EXPECT_EQ(v, 1u);

    ASSERT_EQ(cectl({"init", "--force"}).status, 0);
    EXPECT_EQ(RegistryGetString(HKEY_LOCAL_MACHINE, mux, u"DriverInterface", port, 16), S_OK);
    EXPECT_EQ(std::u16string(port), u"GPD0:");
}

}  // namespace
