// `cectl reg import` / `reg export` and `cectl init` applying the components'
// declarations, run as the built program against a temporary root that this
// process reads and writes through the API: what they write, and that they
// write all of it or nothing when killed or let down by the disk.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ce_platform.h"
#include "regext.h"
#include "test_support.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;

using Outcome = cetest::ProgramRun;
using cetest::slurp;

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Outcome run(const fs::path& program, const std::string& root, std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root});
    return cetest::run_program(program, args, root);
}

fs::path built_cectl() { return cetest::build_dir() / "bin" / "cectl"; }

struct Stored {
    LONG rc = -1;
    DWORD type = 0;
    std::vector<BYTE> data;
};

Stored read_value(const char16_t* path, const std::u16string& name) {
    Stored s;
    HKEY key = nullptr;
    if ((s.rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) != ERROR_SUCCESS) return s;
    DWORD size = 0;
    s.rc = RegQueryValueExW(key, name.c_str(), nullptr, &s.type, nullptr, &size);
    s.data.resize(size);
    if (s.rc == ERROR_SUCCESS) s.rc = RegQueryValueExW(key, name.c_str(), nullptr, &s.type, s.data.data(), &size);
    RegCloseKey(key);
    return s;
}

std::vector<BYTE> utf16_bytes(std::u16string_view text) {
    std::vector<BYTE> out;
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

class RegFile : public ::testing::Test {
protected:
    cetest::TempRoot root;
    Outcome cectl(std::vector<std::string> args) { return run(built_cectl(), root.path(), std::move(args)); }
};

// --- import and export over every kind of value --------------------------

struct ValueCase {
    const char* label;
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
    std::string line;  // what export writes for it (the first line, for long data)
};

class RegFileRoundTrip : public RegFile, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(RegFileRoundTrip, ExportThenImportGivesTheSameValue) {
    const ValueCase& c = GetParam();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Trip\\Inner", 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const BYTE one[] = {1, 0, 0, 0};
    ASSERT_EQ(RegSetValueExW(key, u"Before", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, c.name.c_str(), 0, c.type, c.data.data(), static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);

    std::string file = root.path() + "/trip.reg";
    Outcome out = cectl({"reg", "export", "HKLM\\Trip", file});
    ASSERT_EQ(out.status, 0) << out.err;
    std::string text = slurp(file);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Trip]\n\n"
                         "[HKEY_LOCAL_MACHINE\\Trip\\Inner]\n\"Before\"=dword:00000001\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\n" + c.line + "\n"), std::string::npos) << text;
    EXPECT_EQ(cectl({"reg", "export", "HKLM\\Trip"}).out, text) << "stdout and FILE differ";

    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Trip"), ERROR_SUCCESS);
    Outcome in = cectl({"reg", "import", file});
    ASSERT_EQ(in.status, 0) << in.err;
    Stored back = read_value(u"Trip\\Inner", c.name);
    ASSERT_EQ(back.rc, ERROR_SUCCESS);
    EXPECT_EQ(back.type, c.type);
    EXPECT_EQ(back.data, c.data);
    EXPECT_EQ(cectl({"reg", "export", "HKLM\\Trip"}).out, text) << "the order of values and keys changed";
}

std::vector<BYTE> sz(std::u16string_view text) { return utf16_bytes(std::u16string(text) + u'\0'); }

INSTANTIATE_TEST_SUITE_P(
    Types, RegFileRoundTrip,
    ::testing::Values(
        ValueCase{"Text", u"Dll", REG_SZ, sz(u"\\Windows\\X.dll"), "\"Dll\"=\"\\\\Windows\\\\X.dll\""},
        ValueCase{"QuotesAndUnicode", u"Say \"\u00e4\"", REG_SZ, sz(u"\"\u00fc\u20ac\U0001F600\" \\"),
                  "\"Say \\\"\u00e4\\\"\"=\"\\\"\u00fc\u20ac\U0001F600\\\" \\\\\""},
        ValueCase{"EmptyText", u"E", REG_SZ, sz(u""), "\"E\"=\"\""},
        ValueCase{"DefaultValue", u"", REG_SZ, sz(u"x"), "@=\"x\""},
        // Not plain one-line text: kept as the exact bytes.
        ValueCase{"TextWithALineBreak", u"N", REG_SZ, sz(u"a\nb"), "\"N\"=hex(1):61,00,0a,00,62,00,00,00"},
        ValueCase{"TextWithANul", u"U", REG_SZ, sz(std::u16string(u"a\0b", 3)), "\"U\"=hex(1):61,00,00,00,62,00,00,00"},
        ValueCase{"Dword", u"Index", REG_DWORD, {0x0a, 0, 0, 0x80}, "\"Index\"=dword:8000000a"},
        ValueCase{"EmptyBinary", u"B", REG_BINARY, {}, "\"B\"=hex:"},
        ValueCase{"LongBinary", u"Blob", REG_BINARY, std::vector<BYTE>(100, 0xab),
                  "\"Blob\"=hex:" +
                      [] {
                          std::string s;
                          for (int i = 0; i < 22; i++) s += "ab,";
                          return s + "\\";
                      }()},
        ValueCase{"MultiText", u"List", REG_MULTI_SZ, utf16_bytes(std::u16string(u"a\0bc\0\0", 6)),
                  "\"List\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00"},
        ValueCase{"ExpandText", u"Path", REG_EXPAND_SZ, sz(u"%X%"), "\"Path\"=hex(2):25,00,58,00,25,00,00,00"},
        ValueCase{"Qword", u"Q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, "\"Q\"=hex(b):01,02,03,04,05,06,07,08"},
        ValueCase{"BigEndianDword", u"D", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 9}, "\"D\"=hex(5):00,00,00,09"},
        ValueCase{"TypeOfItsOwn", u"T", 0x1234, {0xff}, "\"T\"=hex(1234):ff"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.label); });

// regedit writes UTF-16LE with a BOM and CRLF line ends; continued hex data
// may end its lines with or without the comma.
TEST_F(RegFile, ImportsRegeditsUtf16AndDeletions) {
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Old\\Sub", "X", "dword", "1"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Keep", "Gone", "dword", "1"}).status, 0);
    std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"; a comment\r\n"
        u"[-HKEY_LOCAL_MACHINE\\Old]\r\n\r\n"
        u"[hkey_local_machine\\Keep]\r\n"
        u"\"Gone\"=-\r\n"
        u"\"B\"=hex:01,02,\\\r\n"
        u"  03,\\\r\n"
        u"  04\r\n"
        u"\"\u00c4\"=\"\u00f6\"\r\n";
    std::string bytes = "\xff\xfe";
    for (BYTE b : utf16_bytes(text)) bytes += static_cast<char>(b);
    write_file(root.path() + "/u16.reg", bytes);
    Outcome r = cectl({"reg", "import", root.path() + "/u16.reg"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_value(u"Old", u"").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(read_value(u"Keep", u"Gone").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(read_value(u"Keep", u"B").data, (std::vector<BYTE>{1, 2, 3, 4}));
    EXPECT_EQ(read_value(u"Keep", u"\u00c4").data, sz(u"\u00f6"));
}

// --- malformed files: the line, and nothing applied ------------------------

struct BadCase {
    const char* label;
    std::string body;  // after the header and a good key with a value (lines 1-3)
    int line;
    const char* says;
};

class RegFileMalformed : public RegFile, public ::testing::WithParamInterface<BadCase> {};

TEST_P(RegFileMalformed, NamesTheLineAndAppliesNothing) {
    const BadCase& c = GetParam();
    std::string file = root.path() + "/bad.reg";
    write_file(file,
               "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Applied]\n\"Good\"=dword:1\n" + c.body);
    Outcome r = cectl({"reg", "import", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string prefix = "cectl: reg import: " + file + ":" + std::to_string(c.line) + ": ";
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(read_value(u"Applied", u"Good").rc, ERROR_FILE_NOT_FOUND) << "a refused file changed the registry";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegFileMalformed,
    ::testing::Values(BadCase{"UnknownEscape", "\"a\"=\"x\\ny\"\n", 4, "unknown escape"},
                      BadCase{"UnterminatedString", "\n\"a\"=\"x\n", 5, "closing quote"},
                      BadCase{"LongDword", "\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
                      BadCase{"BadByteOnAContinuedLine", "\"a\"=hex:01,\\\n  02,\\\n  0g\n", 6,
                              "malformed hex byte '0g'"},
                      BadCase{"EndInsideContinuedHex", "\"a\"=hex:01,\\\n", 4, "ends inside continued hex"},
                      BadCase{"TrailingComma", "\"a\"=hex:01,02,\n", 4, "ending in a comma"},
                      BadCase{"DwordTypeOfThreeBytes", "\"a\"=hex(4):01,02,03\n", 4, "of 3 bytes"},
                      BadCase{"UnknownRoot", "[HKEY_CLASSES_ROOT\\x]\n", 4, "unknown root key"},
                      BadCase{"EmptyKeyName", "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", 4, "empty key name"},
                      BadCase{"ValueUnderDeletedKey", "[-HKEY_LOCAL_MACHINE\\x]\n\"a\"=dword:1\n", 5, "deleted key"},
                      BadCase{"NotALine", "\n\nHello\n", 6, "not a [KEY]"},
                      BadCase{"UnknownData", "\"a\"=qword:1\n", 4, "unknown data"},
                      BadCase{"NotUtf8", "\"a\"=\"\xff\"\n", 4, "UTF-8"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.label); });

TEST_F(RegFile, AFileWithoutTheHeaderOrMissingIsRefused) {
    write_file(root.path() + "/plain.reg", "\n[HKEY_LOCAL_MACHINE\\A]\n");
    Outcome r = cectl({"reg", "import", root.path() + "/plain.reg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("cectl: reg import: " + root.path() + "/plain.reg:2: expected 'Windows Registry Editor", 0),
              0u)
        << r.err;
    r = cectl({"reg", "import", root.path() + "/missing.reg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    r = cectl({"reg", "export", "HKLM\\Missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cectl: reg export: key HKLM\\Missing not found\n");
}

// --- cectl init and the declarations ---------------------------------------

// A build tree of its own: cectl beside declarations the test writes, so
// that what init does is what they say.
class InitDeclarations : public RegFile {
protected:
    fs::path tree = fs::path(root.path()) / "tree";
    fs::path components = tree / "share" / "tervalon" / "components";

    void SetUp() override {
        fs::create_directories(tree / "bin");
        fs::copy_file(built_cectl(), tree / "bin" / "cectl");
        fs::create_directory_symlink(cetest::build_dir() / "lib", tree / "lib");
        write_file(tree / "bin" / "payload", "built\n");
    }
    Outcome init(std::vector<std::string> args) {
        args.insert(args.begin(), "init");
        return run(tree / "bin" / "cectl", root.path(), std::move(args));
    }
};

TEST_F(InitDeclarations, AppliesThemInOrderKeepingWhatTheRootHasUnlessForced) {
    write_file(components / "20-second.reg",
               "Windows Registry Editor Version 5.00\n"
               "[HKEY_LOCAL_MACHINE\\Second]\n\"Text\"=\"two\"\n\"Gone\"=-\n"
               "[-HKEY_LOCAL_MACHINE\\Whole]\n"
               "[HKEY_LOCAL_MACHINE\\Whole\\1]\n\"V\"=dword:1\n"
               "[HKEY_LOCAL_MACHINE\\Whole\\2]\n\"V\"=dword:2\n");
    write_file(components / "10-first.reg",
               "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\First]\n\"N\"=dword:0000000a\n"
               "[HKEY_LOCAL_MACHINE\\First]\n");
    write_file(components / "10-first.files", "; the built payload\nbin/payload   \\Folder With Space\\payload.bin\n");

    Outcome r = init({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(fs::path(root.path()) / "Folder With Space" / "payload.bin"), "built\n");
    // The first component's keys come first.
    EXPECT_EQ(cectl({"reg", "query", "HKLM"}).out, "HKLM\\First\nHKLM\\Second\nHKLM\\Whole\n");
    EXPECT_EQ(cectl({"reg", "query", "HKCU\\First", "N"}).out, "N\tREG_DWORD\t10\n");
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Whole"}).out, "HKLM\\Whole\\1\nHKLM\\Whole\\2\n");

    // The user's own: a changed value, a whole key of other content, a value
    // the declaration deletes.
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Second", "Text", "sz", "mine"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Second", "Gone", "dword", "1"}).status, 0);
    ASSERT_EQ(cectl({"reg", "delete", "HKLM\\Whole"}).status, 0);
    ASSERT_EQ(cectl({"reg", "set", "HKLM\\Whole\\9", "V", "dword", "9"}).status, 0);
    ASSERT_EQ(cectl({"reg", "delete", "HKCU\\First", "N"}).status, 0);
    ASSERT_EQ(init({}).status, 0);
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Second"}).out, "Text\tREG_SZ\tmine\nGone\tREG_DWORD\t1\n");
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Whole"}).out, "HKLM\\Whole\\9\n");
    EXPECT_EQ(cectl({"reg", "query", "HKCU\\First", "N"}).out, "N\tREG_DWORD\t10\n") << "a missing default returns";

    ASSERT_EQ(init({"--force"}).status, 0);
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Second"}).out, "Text\tREG_SZ\ttwo\n");
    EXPECT_EQ(cectl({"reg", "query", "HKLM\\Whole"}).out, "HKLM\\Whole\\1\nHKLM\\Whole\\2\n");
}

TEST_F(InitDeclarations, AFaultyDeclarationIsNamedAndNothingIsWritten) {
    write_file(components / "10-good.reg", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Good]\n");
    write_file(components / "10-good.files", "bin/payload \\Windows\\payload\n");
    write_file(components / "20-bad.reg",
               "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Bad]\n\"x\"=hex:zz\n");
    Outcome r = init({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("cectl: init: " + (components / "20-bad.reg").string() + ":4: malformed hex byte", 0), 0u)
        << r.err;
    EXPECT_EQ(cectl({"reg", "query", "HKLM"}).out, "");
    EXPECT_FALSE(fs::exists(fs::path(root.path()) / "Windows" / "payload"));

    fs::remove(components / "20-bad.reg");
    write_file(components / "30-bad.files", "\n../../etc/passwd \\Windows\\x\n");
    r = init({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("cectl: init: " + (components / "30-bad.files").string() + ":2: ", 0), 0u) << r.err;

    // A built file that cannot go where it is declared: the registry
    // defaults of the components before it stay out as well.
    fs::remove(components / "30-bad.files");
    write_file(fs::path(root.path()) / "Blocked", "a file, not a folder\n");
    write_file(components / "40-blocked.files", "bin/payload \\Blocked\\payload\n");
    r = init({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(cectl({"reg", "query", "HKLM"}).out, "");

    fs::remove_all(components);
    r = init({});
    EXPECT_EQ(r.status, 1) << "a root without any component is no success";
    EXPECT_NE(r.err.find("no component declarations"), std::string::npos) << r.err;
}

// --- all or nothing: a kill or a failing store midway --------------------

// n keys of a value each: several MiB of store, so that the import outgrows
// SQLite's page cache and writes to the log long before it ends.
std::string bulk_reg(int n) {
    std::string text = "Windows Registry Editor Version 5.00\n";
    const std::string filler(100, 'x');
    char line[64];
    for (int i = 0; i < n; i++) {
        std::snprintf(line, sizeof line, "[HKEY_LOCAL_MACHINE\\Bulk\\K%05d]\n", i);
        text += line + ("\"Text\"=\"" + filler + "\"\n");
    }
    return text;
}

// How many of bulk_reg(n)'s keys the registry holds.
int bulk_keys(int n) {
    int found = 0;
    for (int i = 0; i < n; i++) {
        char path[32];
        std::snprintf(path, sizeof path, "Bulk\\K%05d", i);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ce::widen(path).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            found++;
            RegCloseKey(key);
        }
    }
    return found;
}

// Starts program; no file it writes may grow past file_limit bytes (the disk
// is full there), 0 for no limit. Its stderr goes to err, its stdout nowhere.
pid_t start(const fs::path& program, std::vector<std::string> args, const fs::path& err, rlim_t file_limit = 0) {
    args.insert(args.begin(), program.string());
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (fd < 0 || null < 0 || dup2(fd, 2) < 0 || dup2(null, 1) < 0) _exit(126);
        if (file_limit) {
            rlimit limit{file_limit, file_limit};
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

uintmax_t size_of(const fs::path& path) {
    std::error_code ec;
    uintmax_t n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

TEST_F(RegFile, AnImportKilledMidwayLeavesNoneOrAllOfItsKeys) {
    constexpr int kKeys = 20000;
    std::string file = root.path() + "/bulk.reg";
    write_file(file, bulk_reg(kKeys));
    // The store exists before the import starts: what its log holds now is
    // none of the import's.
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Before", u"V", 1), S_OK);
    fs::path log = root.path() + "/registry.db-wal";
    uintmax_t before = size_of(log);

    pid_t pid = start(built_cectl(), {"--root", root.path(), "reg", "import", file}, root.path() + "/.err");
    ASSERT_GT(pid, 0);
    // Underway: the import's writes are reaching the log (its commits, or the
    // pages a long transaction spills) and it has not ended.
    int status = 0;
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!ended && size_of(log) < before + (64 << 10) && std::chrono::steady_clock::now() < deadline) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    int found = bulk_keys(kKeys);
    EXPECT_TRUE(found == 0 || found == kKeys) << found << " of " << kKeys << " keys after the kill";
    if (ended) std::printf("note: the import ended before it could be killed (status %d)\n", status);
    DWORD v = 0;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Before", u"V", &v), S_OK);
}

// An export the disk cannot take whole leaves the file it would have
// replaced as it was, and nothing beside it.
TEST_F(RegFile, AnExportThatCannotBeWrittenWholeLeavesTheOldFile) {
    write_file(root.path() + "/bulk.reg", bulk_reg(2000));
    fs::path err = root.path() + "/.err";
    int status = 0;
    pid_t pid = start(built_cectl(), {"--root", root.path(), "reg", "import", root.path() + "/bulk.reg"}, err);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(status, 0) << slurp(err);
    fs::path folder = root.path() + "/out";
    fs::create_directory(folder);
    write_file((folder / "drivers.reg").string(), "what was there");
    const std::vector<std::string> args = {"--root", root.path(), "reg",
                                           "export", "HKLM",      (folder / "drivers.reg").string()};
    pid = start(built_cectl(), args, err, 16 << 10);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << slurp(err);
    EXPECT_EQ(slurp(folder / "drivers.reg"), "what was there");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    pid = start(built_cectl(), args, err);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << slurp(err);
    EXPECT_GT(size_of(folder / "drivers.reg"), 16u << 10);
}

std::atomic<DWORD> watched_value{0};
void on_change(HREGNOTIFY, DWORD, const PBYTE data, const UINT size) {
    if (data && size == 4) watched_value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24;
}

// The disk fills up halfway through an import, or through init's registry
// defaults: nothing is left of either, and one line says why. Done again
// with room, the whole goes in and watchers hear of it.
class AllOrNothing : public InitDeclarations, public ::testing::WithParamInterface<bool> {};

TEST_P(AllOrNothing, AStoreFailingMidwayLeavesTheRegistryAsItWas) {
    constexpr int kKeys = 20000;
    const bool init = GetParam();
    const std::string first = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\First]\n\"V\"=dword:1\n";
    std::vector<std::string> args = {"--root", root.path()};
    if (init) {
        write_file(components / "10-first.reg", first);
        write_file(components / "20-bulk.reg", bulk_reg(kKeys));
        args.insert(args.end(), {"init", "--force"});
    } else {
        std::string bulk = bulk_reg(kKeys);
        write_file(root.path() + "/all.reg", first + bulk.substr(bulk.find('\n') + 1));
        args.insert(args.end(), {"reg", "import", root.path() + "/all.reg"});
    }
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"First", u"V", 7), S_OK);
    HREGNOTIFY watch = nullptr;
    watched_value = 0;
    ASSERT_EQ(RegistryNotifyCallback(HKEY_LOCAL_MACHINE, u"First", u"V", on_change, 0, nullptr, &watch), S_OK);
    fs::path program = init ? tree / "bin" / "cectl" : built_cectl();
    fs::path err = root.path() + "/.err";

    pid_t pid = start(program, args, err, 1 << 20);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::string said = slurp(err);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("cannot be read or written"), std::string::npos) << said;
    EXPECT_EQ(bulk_keys(kKeys), 0);
    DWORD v = 0;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"First", u"V", &v), S_OK);
    EXPECT_EQ(v, 7u);

    pid = start(program, args, err);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(err);
    EXPECT_EQ(bulk_keys(kKeys), kKeys);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (watched_value != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(watched_value.load(), 1u) << "the watcher did not hear of the commit";
    RegistryCloseNotification(watch);
}

INSTANTIATE_TEST_SUITE_P(Writers, AllOrNothing, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? "Init" : "Import");
});

// A file goes in through a temporary file of its own: whatever lies beside
// the target, a link to a file elsewhere included, is never written through.
TEST_F(InitDeclarations, InstallsAFileWholeWithoutWritingThroughWhatLiesBesideIt) {
    write_file(components / "10-one.files", "bin/payload \\Windows\\payload\n");
    fs::path windows = fs::path(root.path()) / "Windows", victim = fs::path(root.path()) / "victim";
    write_file(victim, "untouched\n");
    fs::create_directories(windows);
    fs::create_symlink(victim, windows / "payload.new");
    Outcome r = init({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(victim), "untouched\n");
    EXPECT_EQ(slurp(windows / "payload"), "built\n");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(windows)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"payload", "payload.new"})) << "a temporary file was left";

    // A root that init makes is private, though the files go in before the registry.
    fs::path fresh = fs::path(root.path()) / "fresh";
    ASSERT_EQ(cetest::run_program(tree / "bin" / "cectl", {"--root", fresh.string(), "init"}, root.path()).status, 0);
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms::owner_all);
}

// The project's own declarations: init on a fresh root gives exactly what
// importing them in order gives, and installs the built files they list.
TEST_F(RegFile, InitAppliesEveryComponentsDeclaration) {
    fs::path dir = cetest::build_dir() / "share" / "tervalon" / "components";
    std::vector<fs::path> regs;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".reg") regs.push_back(e.path());
    }
    std::sort(regs.begin(), regs.end());
    ASSERT_GE(regs.size(), 4u);
    ASSERT_EQ(cectl({"init"}).status, 0);
    std::string hklm = cectl({"reg", "export", "HKLM"}).out, hkcu = cectl({"reg", "export", "HKCU"}).out;
    EXPECT_NE(hklm.find("[HKEY_LOCAL_MACHINE\\Drivers\\Tervalon]\n\"Dll\"=\"\\\\Windows\\\\Tervalon.dll\"\n"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(fs::path(root.path()) / "Windows" / "libTervalon.so"));

    cetest::TempRoot other;
    for (const auto& reg : regs) {
        Outcome r = run(built_cectl(), other.path(), {"reg", "import", reg.string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(run(built_cectl(), other.path(), {"reg", "export", "HKLM"}).out, hklm);
    EXPECT_EQ(run(built_cectl(), other.path(), {"reg", "export", "HKCU"}).out, hkcu);
}

}  // namespace
