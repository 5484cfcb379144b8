// Files under the device root: path mapping, CreateFileW and its errors,
// reading, writing and seeking, attributes, folder and file operations,
// _wfopen, device names and the serial calls' IOCTL codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "kobject.h"
#include "pegdser.h"
#include "test_support.h"
#include "windows.h"

namespace fs = std::filesystem;

namespace {

class Files : public ::testing::Test {
protected:
    cetest::TempRoot root;
    std::string host(const std::string& rel) const { return root.path() + "/" + rel; }
    void put(const std::string& rel, const std::string& text) {
        fs::create_directories(fs::path(host(rel)).parent_path());
        std::ofstream(host(rel), std::ios::binary) << text;
    }
    std::string get(const std::string& rel) const {
        std::ifstream f(host(rel), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

// ---- path mapping ---------------------------------------------------------------

TEST_F(Files, MapPathSeparatorsDotsAndRoot) {
    EXPECT_EQ(ce::map_path(u"\\Windows\\x.dll").host, host("Windows/x.dll"));
    EXPECT_EQ(ce::map_path(u"/Windows/x.dll").host, host("Windows/x.dll"));
    EXPECT_EQ(ce::map_path(u"Windows\\x.dll").host, host("Windows/x.dll"));  // relative = from the root
    EXPECT_EQ(ce::map_path(u"\\a\\.\\b\\\\c").host, host("a/b/c"));
    EXPECT_EQ(ce::map_path(u"\\a\\b\\..\\c").host, host("a/c"));
    // ".." stops at the root: nothing maps outside it.
    EXPECT_EQ(ce::map_path(u"\\..\\..\\etc\\passwd").host, host("etc/passwd"));
    EXPECT_EQ(ce::map_path(u"a/../../../x").host, host("x"));
    EXPECT_EQ(ce::map_path(u"\\").host, root.path());
    EXPECT_EQ(ce::map_path(u"").host, root.path());
    EXPECT_EQ(ce::map_path(u"..").host, root.path());
}

TEST_F(Files, MapPathMatchesExistingEntriesIgnoringCase) {
    put("Windows/Tervalon.log", "x");
    EXPECT_EQ(ce::map_path(u"\\WINDOWS\\tervalon.LOG").host, host("Windows/Tervalon.log"));
    // A missing last component keeps the spelling it was given.
    EXPECT_EQ(ce::map_path(u"\\windows\\New.txt").host, host("Windows/New.txt"));
    // Below a missing folder nothing can match; names stay as given.
    EXPECT_EQ(ce::map_path(u"\\Nope\\Sub").host, host("Nope/Sub"));
    // The exact name wins over a case variant.
    put("Windows/tervalon.log", "y");
    EXPECT_EQ(ce::map_path(u"\\Windows\\tervalon.log").host, host("Windows/tervalon.log"));
    // Case folding beyond ASCII, as the device's file system folds.
    put("Karte/ÄRGER.txt", "z");
    EXPECT_EQ(ce::map_path(u"\\karte\\ärger.TXT").host, host("Karte/ÄRGER.txt"));
}

TEST_F(Files, MapPathRejectsBadNamesAndLengths) {
    for (const char16_t* bad : {u"a<b", u"a>b", u"c:\\x", u"a\"b", u"a|b", u"a?b", u"a*b",
                                u"a\x01"
                                u"b",
                                u"dir\\a\tb"}) {
        EXPECT_EQ(ce::map_path(bad).error, static_cast<DWORD>(ERROR_INVALID_NAME)) << ce::narrow(bad);
    }
    std::u16string nul_inside = u"ab";
    nul_inside += u'\0';
    EXPECT_EQ(ce::map_path(nul_inside).error, static_cast<DWORD>(ERROR_INVALID_NAME));

    std::u16string longest(MAX_PATH - 1, u'a');
    for (size_t i = 200; i < longest.size(); i += 50) longest[i] = u'\\';
    EXPECT_EQ(ce::map_path(longest).error, 0u);
    EXPECT_EQ(ce::map_path(longest + u"a").error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ce::map_path(u"\\" + std::u16string(255, u'n')).error, 0u);
    EXPECT_EQ(ce::map_path(u"\\" + std::u16string(256, u'n')).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, DevicePathOfHostPaths) {
    EXPECT_EQ(ce::device_path_of(host("Windows/x.dll")), std::u16string(u"\\Windows\\x.dll"));
    EXPECT_EQ(ce::device_path_of(root.path()), std::u16string(u"\\"));
    EXPECT_EQ(ce::device_path_of(root.path() + "/"), std::u16string(u"\\"));
    EXPECT_FALSE(ce::device_path_of("/etc/passwd"));
    EXPECT_FALSE(ce::device_path_of(root.path() + "/../x"));
    EXPECT_FALSE(ce::device_path_of(root.path() + "x/y"));  // a sibling sharing the prefix
}

// ---- CreateFileW and handles -----------------------------------------------------

HANDLE open(const char16_t* name, DWORD access, DWORD disposition) {
    return CreateFileW(name, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(Files, DispositionsAndTheirErrors) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    HANDLE h = open(u"\\new.txt", rw, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    CloseHandle(h);

    EXPECT_EQ(open(u"\\new.txt", rw, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = open(u"\\NEW.TXT", rw, OPEN_ALWAYS);  // found (case-insensitively), kept
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 5u);
    CloseHandle(h);

    h = open(u"\\new.txt", rw, CREATE_ALWAYS);  // found, truncated
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);

    h = open(u"\\fresh.txt", GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);
    h = open(u"\\fresh2.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);

    EXPECT_EQ(open(u"\\missing.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open(u"\\nofolder\\x.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open(u"\\nofolder\\x.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open(u"\\missing.txt", GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open(u"\\x.txt", GENERIC_WRITE, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open(u"\\bad|name", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

    fs::create_directory(host("folder"));
    EXPECT_EQ(open(u"\\folder", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open(u"\\", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Only regular files: a FIFO (which must not hang the open) or a link to
    // a device is refused, whatever the disposition.
    ASSERT_EQ(mkfifo(host("pipe").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", host("null"));
    for (const char16_t* name : {u"\\pipe", u"\\null"}) {
        for (auto [access, disposition] : {std::pair{GENERIC_READ, OPEN_EXISTING},
                                           {GENERIC_WRITE, OPEN_ALWAYS},
                                           {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS}}) {
            SetLastError(0);
            EXPECT_EQ(open(name, access, disposition), INVALID_HANDLE_VALUE);
            // (A FIFO opened for writing alone fails before its type is seen.)
            EXPECT_NE(GetLastError(), static_cast<DWORD>(NO_ERROR));
        }
    }

    put("keep.txt", "data");
    h = open(u"\\keep.txt", GENERIC_WRITE, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(get("keep.txt"), "");
}

TEST_F(Files, EscapingPathsStayInsideTheRoot) {
    HANDLE h = open(u"..\\..\\..\\escape.txt", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(host("escape.txt")));
    EXPECT_FALSE(fs::exists(fs::path(root.path()).parent_path() / "escape.txt"));
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = open(u"\\data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[32] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file: success, nothing
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
    EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_CURRENT), 4u);
    // Before the start: refused, position kept.
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 4u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);

    // 64-bit positions through the high word (a sparse file past 4 GiB).
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), 0u);
    EXPECT_EQ(GetLastError(), 0u);  // a low word of 0 is not an error
    EXPECT_EQ(high, 1);
    ASSERT_TRUE(WriteFile(h, "!", 1, &n, nullptr));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h, &size_high), 1u);
    EXPECT_EQ(size_high, 1u);
    ASSERT_TRUE(FlushFileBuffers(h));
    ASSERT_TRUE(CloseHandle(h));

    // A closed handle fails everywhere, cleanly.
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_FALSE(CloseHandle(h));
}

TEST_F(Files, AccessRightsAreEnforced) {
    put("ro.txt", "abc");
    HANDLE h = open(u"\\ro.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 7;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
    h = open(u"\\ro.txt", GENERIC_WRITE, OPEN_EXISTING);
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_EQ(get("ro.txt"), "abc");
}

TEST_F(Files, AttributesOfFilesFoldersAndMissingNames) {
    put("dir/file.txt", "12345");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(u"\\DIR\\FILE.TXT", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    // Last write time: 100 ns units since 1601, i.e. after 2020 here.
    uint64_t t =
        (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    EXPECT_GT(t, 132223104000000000ull);
    EXPECT_EQ(GetFileAttributesW(u"\\dir"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"\\dir\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"\\none\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(GetFileAttributesExW(u"\\dir", GetFileExMaxInfoLevel, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, FolderOperations) {
    EXPECT_TRUE(CreateDirectoryW(u"\\Maps", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"\\maps", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"\\a\\b", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    put("Maps/x.txt", "x");
    EXPECT_FALSE(RemoveDirectoryW(u"\\Maps"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(u"\\Maps\\x.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(DeleteFileW(u"\\Maps"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(u"\\maps\\X.TXT"));
    EXPECT_FALSE(DeleteFileW(u"\\maps\\x.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(RemoveDirectoryW(u"\\MAPS"));
    EXPECT_FALSE(fs::exists(host("Maps")));
    // The root itself is never removed, however it is named.
    EXPECT_FALSE(RemoveDirectoryW(u"\\"));
    EXPECT_FALSE(RemoveDirectoryW(u"\\a\\..\\.."));
    EXPECT_TRUE(fs::is_directory(root.path()));
}

TEST_F(Files, MoveNeverReplacesAndKeepsData) {
    put("a.txt", "A");
    put("b.txt", "B");
    EXPECT_FALSE(MoveFileW(u"\\a.txt", u"\\b.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(get("a.txt"), "A");
    EXPECT_EQ(get("b.txt"), "B");
    EXPECT_TRUE(MoveFileW(u"\\A.TXT", u"\\c.txt"));
    EXPECT_FALSE(fs::exists(host("a.txt")));
    EXPECT_EQ(get("c.txt"), "A");
    EXPECT_FALSE(MoveFileW(u"\\none.txt", u"\\d.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A change of case only renames the entry.
    EXPECT_TRUE(MoveFileW(u"\\c.txt", u"\\C.TXT"));
    EXPECT_EQ(get("C.TXT"), "A");
    EXPECT_FALSE(fs::exists(host("c.txt")));
    // Folders move too.
    fs::create_directory(host("old"));
    put("old/in.txt", "in");
    EXPECT_TRUE(MoveFileW(u"\\old", u"\\new"));
    EXPECT_EQ(get("new/in.txt"), "in");
}

TEST_F(Files, CopyRespectsFailIfExistsAndNeverTruncatesItsSource) {
    put("src.txt", "source");
    put("dst.txt", "target");
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\dst.txt", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(get("dst.txt"), "target");
    EXPECT_TRUE(CopyFileW(u"\\src.txt", u"\\dst.txt", FALSE));
    EXPECT_EQ(get("dst.txt"), "source");
    EXPECT_TRUE(CopyFileW(u"\\src.txt", u"\\new.txt", TRUE));
    EXPECT_EQ(get("new.txt"), "source");
    // Onto itself (by another spelling): refused, the data stays.
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\SRC.TXT", FALSE));
    EXPECT_EQ(get("src.txt"), "source");
    EXPECT_FALSE(CopyFileW(u"\\none.txt", u"\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\nofolder\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // No temporary files are left behind.
    int entries = 0;
    for (auto& e : fs::directory_iterator(root.path())) entries += e.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0);
}

// ---- _wfopen ---------------------------------------------------------------------

TEST_F(Files, WfopenAppendsOneLinePerOpenAsTheLogDoes) {
    for (int i = 0; i < 3; i++) {
        FILE* f = _wfopen(u"\\Tervalon.log", u"a+");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "line %d\n", i);
        std::fclose(f);
    }
    EXPECT_EQ(get("Tervalon.log"), "line 0\nline 1\nline 2\n");

    FILE* f = _wfopen(u"\\TERVALON.LOG", u"rt");
    ASSERT_NE(f, nullptr);
    char line[32];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "line 0\n");
    std::fclose(f);

    f = _wfopen(u"\\Tervalon.log", u"wb");
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    std::fclose(f);
    EXPECT_EQ(get("Tervalon.log"), "new");
}

TEST_F(Files, WfopenRefusesBadModesAndNames) {
    errno = 0;
    EXPECT_EQ(_wfopen(u"\\x.txt", u"q"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_wfopen(u"\\x.txt", u"rz"), nullptr);
    EXPECT_EQ(_wfopen(u"\\x.txt", u""), nullptr);
    EXPECT_EQ(_wfopen(u"\\x.txt", u"r"), nullptr);  // missing
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wfopen(u"\\x?.txt", u"w"), nullptr);
    EXPECT_EQ(_wfopen(nullptr, u"w"), nullptr);
    fs::create_directory(host("d"));
    EXPECT_EQ(_wfopen(u"\\d", u"r"), nullptr);
    FILE* f = _wfopen(u"..\\..\\up.txt", u"w");  // stays in the root
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(fs::exists(host("up.txt")));
    EXPECT_FALSE(fs::exists(host("x.txt")));
}

// ---- device names and the serial calls --------------------------------------------

// A stream device that records what reaches its IOControl.
class FakeSerial : public ce::KObject {
public:
    struct Call {
        DWORD code;
        std::vector<BYTE> in;
        DWORD out_size;
    };
    std::vector<Call> calls;
    DWORD events = EV_RXCHAR;
    DWORD mask = 0;

    BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override {
        auto* bytes = static_cast<BYTE*>(in);
        calls.push_back({code, std::vector<BYTE>(bytes, bytes + in_size), out_size});
        *returned = 0;
        if (code == IOCTL_SERIAL_SET_WAIT_MASK && in_size == 4) std::memcpy(&mask, in, 4);
        if ((code == IOCTL_SERIAL_WAIT_ON_MASK || code == IOCTL_SERIAL_GET_WAIT_MASK) && out_size >= 4) {
            DWORD v = code == IOCTL_SERIAL_WAIT_ON_MASK ? events : mask;
            std::memcpy(out, &v, 4);
            *returned = 4;
        }
        if (code == IOCTL_SERIAL_GET_COMMSTATUS && out_size == sizeof(SERIAL_DEV_STATUS)) {
            SERIAL_DEV_STATUS s{};
            s.Errors = CE_FRAME;
            s.ComStat.cbInQue = 42;
            std::memcpy(out, &s, sizeof s);
            *returned = sizeof s;
        }
        if (code == IOCTL_SERIAL_GET_DCB && out_size == sizeof(DCB)) {
            DCB d{};
            d.DCBlength = sizeof d;
            d.BaudRate = CBR_4800;
            d.ByteSize = 8;
            std::memcpy(out, &d, sizeof d);
            *returned = sizeof d;
        }
        return TRUE;
    }
};

std::shared_ptr<FakeSerial> fake_device;
std::vector<std::u16string> opened_names;
DWORD opened_access = 0;

HANDLE fake_opener(LPCWSTR name, DWORD access, DWORD) {
    opened_names.push_back(name);
    opened_access = access;
    if (std::u16string(name) == u"COM9:") return ce::handle_insert(fake_device);
    SetLastError(ERROR_DEV_NOT_EXIST);
    return INVALID_HANDLE_VALUE;
}

TEST(FileDevices, DeviceNamesGoToTheOpener) {
    EXPECT_TRUE(ce::is_device_name(u"COM9:"));
    EXPECT_TRUE(ce::is_device_name(u"\\GPD0:"));
    EXPECT_TRUE(ce::is_device_name(u"com1:"));
    EXPECT_FALSE(ce::is_device_name(u"COM10:"));
    EXPECT_FALSE(ce::is_device_name(u"COM9"));
    EXPECT_FALSE(ce::is_device_name(u"CO19:"));
    EXPECT_FALSE(ce::is_device_name(u"\\\\COM9:"));

    ce::set_device_opener(nullptr);
    EXPECT_EQ(open(u"COM9:", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    fake_device = std::make_shared<FakeSerial>();
    opened_names.clear();
    ce::set_device_opener(fake_opener);
    HANDLE h = open(u"\\COM9:", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(opened_names.size(), 1u);
    EXPECT_EQ(opened_names[0], u"COM9:");  // without the leading backslash
    EXPECT_EQ(opened_access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open(u"GPD0:", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    // Not a device name: a file name with a colon, which files cannot have.
    EXPECT_EQ(open(u"COM10:", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(opened_names.size(), 2u);
    CloseHandle(h);
    ce::set_device_opener(nullptr);
    fake_device.reset();
}

TEST(FileDevices, SerialCallsTravelAsTheDevicesIoctlCodes) {
    // The codes as the device SDK numbers them.
    EXPECT_EQ(IOCTL_SERIAL_SET_BREAK_ON, 0x001B0004u);
    EXPECT_EQ(IOCTL_SERIAL_SET_WAIT_MASK, 0x001B0028u);
    EXPECT_EQ(IOCTL_SERIAL_WAIT_ON_MASK, 0x001B002Cu);
    EXPECT_EQ(IOCTL_SERIAL_PURGE, 0x001B0044u);
    EXPECT_EQ(IOCTL_SERIAL_DISABLE_IR, 0x001B005Cu);

    auto dev = std::make_shared<FakeSerial>();
    HANDLE h = ce::handle_insert(dev);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_ERR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_ERR));
    dev->events = EV_RXCHAR | EV_BREAK;
    ASSERT_TRUE(WaitCommEvent(h, &mask, nullptr));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_BREAK));  // through the output buffer
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
    dcb.BaudRate = CBR_9600;
    ASSERT_TRUE(SetCommState(h, &dcb));
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));
    EXPECT_EQ(stat.cbInQue, 42u);
    ASSERT_TRUE(SetupComm(h, 4096, 2048));
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(h, CLRBREAK));
    EXPECT_FALSE(EscapeCommFunction(h, 99));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    auto in_dword = [](const FakeSerial::Call& c) {
        DWORD v = 0;
        if (c.in.size() == 4) std::memcpy(&v, c.in.data(), 4);
        return v;
    };
    const auto& calls = dev->calls;
    ASSERT_EQ(calls.size(), 12u);
    EXPECT_EQ(calls[0].code, IOCTL_SERIAL_SET_WAIT_MASK);
    EXPECT_EQ(in_dword(calls[0]), static_cast<DWORD>(EV_RXCHAR | EV_ERR));
    EXPECT_EQ(calls[1].code, IOCTL_SERIAL_GET_WAIT_MASK);
    EXPECT_EQ(calls[2].code, IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_EQ(calls[2].out_size, 4u);
    EXPECT_EQ(calls[3].code, IOCTL_SERIAL_GET_DCB);
    EXPECT_EQ(calls[4].code, IOCTL_SERIAL_SET_DCB);
    ASSERT_EQ(calls[4].in.size(), sizeof(DCB));
    DCB sent;
    std::memcpy(&sent, calls[4].in.data(), sizeof sent);
    EXPECT_EQ(sent.BaudRate, 9600u);
    EXPECT_EQ(calls[5].code, IOCTL_SERIAL_SET_TIMEOUTS);
    EXPECT_EQ(calls[5].in.size(), sizeof(COMMTIMEOUTS));
    EXPECT_EQ(calls[6].code, IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(calls[7].code, IOCTL_SERIAL_PURGE);
    EXPECT_EQ(in_dword(calls[7]), static_cast<DWORD>(PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(calls[8].code, IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(calls[9].code, IOCTL_SERIAL_SET_QUEUE_SIZE);
    ASSERT_EQ(calls[9].in.size(), sizeof(SERIAL_QUEUE_SIZES));
    SERIAL_QUEUE_SIZES sizes;
    std::memcpy(&sizes, calls[9].in.data(), sizeof sizes);
    EXPECT_EQ(sizes.InSize, 4096u);
    EXPECT_EQ(sizes.OutSize, 2048u);
    EXPECT_EQ(calls[10].code, IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(calls[11].code, IOCTL_SERIAL_SET_BREAK_OFF);

    // Null records are refused before they reach the device.
    EXPECT_FALSE(GetCommState(h, nullptr));
    EXPECT_FALSE(GetCommMask(h, nullptr));
    EXPECT_EQ(calls.size(), 12u);
    CloseHandle(h);
    EXPECT_FALSE(SetCommMask(h, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Files, DeviceIoControlOnOtherHandlesFails) {
    HANDLE f = open(u"\\f.txt", GENERIC_WRITE, CREATE_ALWAYS);
    DWORD returned = 9;
    EXPECT_FALSE(DeviceIoControl(f, IOCTL_SERIAL_PURGE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(SetCommMask(f, EV_RXCHAR));
    CloseHandle(f);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(e, IOCTL_SERIAL_PURGE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD v = 0;
    EXPECT_FALSE(DeviceIoControl(e, IOCTL_SERIAL_PURGE, nullptr, 4, &v, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(e);
}

}  // namespace

namespace {

// What the device keeps in its root is the user's alone: a root made by the
// platform is 0700, the registry and the files the system writes are 0600.
TEST(RootPrivacy, TheRootAndItsFilesAreTheUsersAlone) {
    cetest::TempRoot parent;
    std::string root = parent.path() + "/new/root";
    ce::set_root(root);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    HANDLE file = CreateFileW(u"\\made.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    FILE* log = _wfopen(u"\\Tervalon.log", u"a+");
    ASSERT_NE(log, nullptr);
    std::fputs("COM_Open\n", log);
    std::fclose(log);
    auto mode = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 0777;
    };
    EXPECT_EQ(mode(root), 0700u);
    for (const char* name : {"/registry.db", "/made.txt", "/Tervalon.log"}) EXPECT_EQ(mode(root + name), 0600u) << name;
}

}  // namespace
