// The registry's Win32 behaviour (sizes, error codes, names, enumeration,
// deletion, limits) and how it copes with a store it cannot use.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "ce_platform.h"
#include "regext.h"
#include "test_support.h"
#include "windows.h"

namespace {

// An open key that closes itself.
struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    ~Key() {
        if (h) RegCloseKey(h);
    }
    HKEY* out() { return &h; }
    operator HKEY() const { return h; }
};

LONG create(HKEY root, const std::u16string& path, Key& key, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(), disposition);
}

LONG set_dword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG set_sz(HKEY key, const char16_t* name, const std::u16string& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

DWORD get_dword(HKEY key, const char16_t* name, LONG* error = nullptr) {
    DWORD v = 0xDEADBEEF, size = sizeof v, type = 0;
    LONG e = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (error) *error = e;
    else EXPECT_EQ(e, ERROR_SUCCESS);
    return v;
}

class RegistryApi : public ::testing::Test {
protected:
    cetest::TempRoot root;
};

TEST_F(RegistryApi, QuerySizesFollowWin32Rules) {
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", k), ERROR_SUCCESS);
    ASSERT_EQ(set_sz(k, u"Dll", u"hello"), ERROR_SUCCESS);

    // NULL data: the needed size, in bytes with the terminator.
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"Dll", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12u);

    // Too small: ERROR_MORE_DATA, the needed size, and the buffer untouched.
    BYTE small[8];
    std::memset(small, 0xAB, sizeof small);
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(k, u"Dll", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    for (BYTE b : small) EXPECT_EQ(b, 0xAB);

    WCHAR text[6];
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExW(k, u"Dll", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::u16string(text), u"hello");

    // Neither data nor size: only whether the value exists.
    EXPECT_EQ(RegQueryValueExW(k, u"Dll", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    // Data without a size is a caller's mistake, not a blind write.
    EXPECT_EQ(RegQueryValueExW(k, u"Dll", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);

    // REG_DWORD must be 4 bytes; a refused write stores nothing.
    DWORD v = 7;
    EXPECT_EQ(RegSetValueExW(k, u"Band", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(k, u"Band", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(k, u"Band", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(set_dword(k, u"Band", 7), ERROR_SUCCESS);
    WORD half = 0x5555;
    size = sizeof half;
    EXPECT_EQ(RegQueryValueExW(k, u"Band", nullptr, nullptr, reinterpret_cast<BYTE*>(&half), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(half, 0x5555);
    EXPECT_EQ(get_dword(k, u"Band"), 7u);

    // A string stored without its terminator gets one, so readers that trust
    // the terminator stay inside the data.
    const char16_t raw[] = {u'a', u'b', u'c'};
    ASSERT_EQ(RegSetValueExW(k, u"Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(raw), sizeof raw), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(k, u"Raw", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);

    // Empty binary data is a value of size 0; NULL data with a size is refused.
    ASSERT_EQ(RegSetValueExW(k, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = 99;
    EXPECT_EQ(RegQueryValueExW(k, u"Empty", nullptr, &type, small, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(RegSetValueExW(k, u"Bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, MissingKeysAndValuesAreNotFound) {
    HKEY h = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(k, u"Band", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(k, u"Band"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", nullptr), E_INVALIDARG);
    DWORD v = 5;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", &v),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(v, 5u);
}

TEST_F(RegistryApi, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    Key a, b, c;
    DWORD disposition = 0;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", a, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"DRIVERS\\tervalon", b, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"drivers\\TERVALON", 0, KEY_READ, c.out()), ERROR_SUCCESS);

    ASSERT_EQ(set_dword(a, u"Band", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(b, u"BAND", 2), ERROR_SUCCESS);  // the same value, not a second one
    EXPECT_EQ(get_dword(c, u"band"), 2u);

    WCHAR name[32];
    DWORD name_size = 32;
    EXPECT_EQ(RegEnumValueW(c, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Band");
    name_size = 32;
    EXPECT_EQ(RegEnumValueW(c, 1, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    Key drivers;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS", 0, KEY_READ, drivers.out()), ERROR_SUCCESS);
    name_size = 32;
    EXPECT_EQ(RegEnumKeyExW(drivers, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Tervalon");

    // Folding is ASCII only: other letters are distinct names.
    Key upper, lower;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\\u00C4", upper), ERROR_SUCCESS);
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\\u00E4", lower, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
}

TEST_F(RegistryApi, EnumerationFollowsSizeRulesAndEnds) {
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Enum", k), ERROR_SUCCESS);
    WCHAR name[64];
    DWORD name_size = 64;
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueW(k, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    for (const char16_t* sub : {u"A", u"Bb", u"Ccc"}) {
        Key s;
        ASSERT_EQ(create(k, sub, s), ERROR_SUCCESS);
    }
    std::vector<std::u16string> seen;
    for (DWORD i = 0;; i++) {
        name_size = 64;
        FILETIME written{};
        LONG e = RegEnumKeyExW(k, i, name, &name_size, nullptr, nullptr, nullptr, &written);
        if (e == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        EXPECT_EQ(name_size, std::u16string(name).size());  // characters, without the terminator
        EXPECT_NE(written.dwHighDateTime, 0u);
        seen.emplace_back(name);
        ASSERT_LT(i, 10u);
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"A", u"Bb", u"Ccc"}));

    // "Ccc" needs 4 characters with its terminator; 3 are too few.
    WCHAR three[3] = {u'x', u'x', u'x'};
    name_size = 3;
    EXPECT_EQ(RegEnumKeyExW(k, 2, three, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(three[0], u'x');
    EXPECT_EQ(three[2], u'x');
    WCHAR four[4];
    name_size = 4;
    EXPECT_EQ(RegEnumKeyExW(k, 2, four, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(name_size, 3u);
    EXPECT_EQ(four[3], 0);

    ASSERT_EQ(set_dword(k, u"One", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_sz(k, u"Two", u"second"), ERROR_SUCCESS);
    DWORD type = 0, size = 4;
    BYTE data[64];
    name_size = 64;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &name_size, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    size = sizeof data;
    name_size = 64;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &name_size, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Two");
    EXPECT_EQ(name_size, 3u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 14u);
    name_size = 3;  // "Two" without room for the terminator
    EXPECT_EQ(RegEnumValueW(k, 1, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    name_size = 64;
    EXPECT_EQ(RegEnumValueW(k, 2, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryApi, DeletingAKeyRemovesItsSubtreeAndStaleHandlesFail) {
    {
        Key c, sibling;
        ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"A\\B\\C", c), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(c, u"Deep", 3), ERROR_SUCCESS);
        ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Sibling", sibling), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(sibling, u"Keep", 1), ERROR_SUCCESS);
    }
    Key b;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B", 0, KEY_ALL_ACCESS, b.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"a"), ERROR_SUCCESS);

    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B\\C", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    // The open handle to a deleted key fails for everything but closing.
    DWORD v = 1;
    WCHAR name[16];
    DWORD name_size = 16;
    EXPECT_EQ(RegQueryValueExW(b, u"X", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(b, u"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(b, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    Key under;
    EXPECT_EQ(create(b, u"New", under), ERROR_KEY_DELETED);

    // Recreated, the path is a new, empty key; the old handle stays dead.
    Key again;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"A\\B\\C", again), ERROR_SUCCESS);
    LONG e;
    get_dword(again, u"Deep", &e);
    EXPECT_EQ(e, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(b, u"X", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);

    Key sibling;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Sibling", 0, KEY_READ, sibling.out()), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(sibling, u"Keep"), 1u);

    // The root keys themselves stay.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, RootKeysAndTheDefaultValue) {
    Key lm, cu;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_ALL_ACCESS, lm.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_ALL_ACCESS, cu.out()), ERROR_SUCCESS);
    ASSERT_NE(lm.h, nullptr);
    {
        Key sub;
        ASSERT_EQ(create(lm, u"\\Software", sub), ERROR_SUCCESS);  // leading backslash tolerated
        ASSERT_EQ(set_sz(sub, nullptr, u"default"), ERROR_SUCCESS);
        WCHAR text[16];
        DWORD size = sizeof text;
        ASSERT_EQ(RegQueryValueExW(sub, u"", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), u"default");
        WCHAR name[4] = {u'x'};
        DWORD name_size = 4;
        ASSERT_EQ(RegEnumValueW(sub, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(name_size, 0u);
        EXPECT_EQ(name[0], 0);
    }
    // The two roots are separate trees.
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\", 0, KEY_READ, &h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(lm), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryApi, BadHandlesAreRefused) {
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(RegQueryValueExW(bogus, u"X", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);

    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, nullptr, 0, 0, nullptr, &h, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(h, u"X", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);

    // A handle of another kind is neither used nor closed as a key.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HKEY as_key = reinterpret_cast<HKEY>(event);
    EXPECT_EQ(RegSetValueExW(as_key, u"X", 0, REG_BINARY, nullptr, 0), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(as_key), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(RegistryApi, NamesPathsAndDataOverTheLimitsAreRefused) {
    Key k;
    std::u16string name255(255, u'n'), name256(256, u'n');
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, name255, k), ERROR_SUCCESS);
    Key k2;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, name256, k2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(k2.h, nullptr);

    std::u16string path260 = std::u16string(200, u'p') + u"\\" + std::u16string(59, u'q');
    ASSERT_EQ(path260.size(), 260u);
    Key k3, k4;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, path260, k3), ERROR_SUCCESS);
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, path260 + u"r", k4), ERROR_INVALID_PARAMETER);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (path260 + u"\\x").c_str(), 0, KEY_READ, &h), ERROR_INVALID_PARAMETER);

    // Empty components are not names, and a refused path creates nothing.
    for (const char16_t* bad : {u"A\\\\B", u"\\\\A", u"A\\B\\\\", u"\\\\"}) {
        Key x;
        EXPECT_EQ(create(HKEY_LOCAL_MACHINE, bad, x), ERROR_INVALID_PARAMETER) << ce::narrow(bad);
    }
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);

    std::u16string value16383(16383, u'v'), value16384(16384, u'v');
    EXPECT_EQ(set_dword(k, value16383.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(k, value16384.c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(k, value16384.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

    std::vector<BYTE> mib(CE_REG_MAX_DATA, 0x5A);
    EXPECT_EQ(RegSetValueExW(k, u"Big", 0, REG_BINARY, mib.data(), CE_REG_MAX_DATA), ERROR_SUCCESS);
    mib.push_back(0);
    EXPECT_EQ(RegSetValueExW(k, u"Bigger", 0, REG_BINARY, mib.data(), CE_REG_MAX_DATA + 1), ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"Big", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, static_cast<DWORD>(CE_REG_MAX_DATA));
    EXPECT_EQ(RegQueryValueExW(k, u"Bigger", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryApi, BrokerHelpersReadWriteAndCheckTypes) {
    EXPECT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", 1), S_OK);
    DWORD v = 0;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"headset", &v), S_OK);
    EXPECT_EQ(v, 1u);

    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer", k),
              ERROR_SUCCESS);
    ASSERT_EQ(set_sz(k, u"DriverInterface", u"GPD0:"), ERROR_SUCCESS);
    const char16_t* path = u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer";
    WCHAR text[8];
    EXPECT_EQ(RegistryGetString(HKEY_LOCAL_MACHINE, path, u"DriverInterface", text, 8), S_OK);
    EXPECT_EQ(std::u16string(text), u"GPD0:");
    WCHAR tiny[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(RegistryGetString(HKEY_LOCAL_MACHINE, path, u"DriverInterface", tiny, 5),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tiny[4], u'x');

    // A DWORD read of a string, or a string read of a DWORD, is refused.
    EXPECT_TRUE(FAILED(RegistryGetDWORD(HKEY_LOCAL_MACHINE, path, u"DriverInterface", &v)));
    EXPECT_TRUE(FAILED(RegistryGetString(HKEY_LOCAL_MACHINE, u"System\\State\\Hardware", u"Headset", text, 8)));
    EXPECT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"A\\\\B", u"X", 1), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

// ---- a store the registry cannot use -------------------------------------------

class RegistryStore : public ::testing::Test {
protected:
    cetest::TempRoot root;
    std::string db() const { return root.path() + "/registry.db"; }
    void TearDown() override { unsetenv("CE_REG_BUSY_MS"); }
};

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST_F(RegistryStore, NonDatabaseFileGivesBadDbAndIsLeftAlone) {
    std::string garbage;
    for (int i = 0; i < 8192; i++) garbage += static_cast<char>((i * 131 + 7) & 0xff);
    { std::ofstream(db(), std::ios::binary) << garbage; }
    Key k;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k), ERROR_BADDB);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, KEY_READ, &h), ERROR_BADDB);
    DWORD v;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"X", u"Y", &v), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(read_file(db()), garbage);
}

TEST_F(RegistryStore, CorruptRegistryGivesBadDb) {
    {
        Key k;
        ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", k), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(k, u"Band", 1), ERROR_SUCCESS);
        ASSERT_EQ(RegFlushKey(k), ERROR_SUCCESS);
    }
    // A copy of that registry with everything after the file header smashed,
    // opened as another root.
    std::string good = read_file(db());
    ASSERT_GE(good.size(), 4096u);
    std::string bad = good.substr(0, 100) + std::string(good.size() - 100, '\x5A');
    cetest::TempRoot other;
    { std::ofstream(other.path() + "/registry.db", std::ios::binary) << bad; }
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", 0, KEY_READ, &h), ERROR_BADDB);
    Key k;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k), ERROR_BADDB);
}

TEST_F(RegistryStore, ForeignDatabaseIsRefusedAndKept) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(other, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('mine');", nullptr, nullptr, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA application_id = 42", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    Key k;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k), ERROR_BADDB);
    ASSERT_EQ(sqlite3_open(db().c_str(), &other), SQLITE_OK);
    int tables = -1;
    sqlite3_exec(
        other, "SELECT count(*) FROM sqlite_master WHERE type = 'table'",
        [](void* p, int, char** v, char**) {
            *static_cast<int*>(p) = std::atoi(v[0]);
            return 0;
        },
        &tables, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(tables, 1);
}

TEST_F(RegistryStore, DirectoryInPlaceOfTheDatabaseIsAnIoErrorUntilRemoved) {
    ASSERT_EQ(mkdir(db().c_str(), 0700), 0);
    Key k;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k), ERROR_REGISTRY_IO_FAILED);
    DWORD v;
    EXPECT_EQ(RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"X", u"Y", &v), HRESULT_FROM_WIN32(ERROR_REGISTRY_IO_FAILED));
    ASSERT_EQ(rmdir(db().c_str()), 0);
    Key k2;
    EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers", k2), ERROR_SUCCESS);
}

TEST_F(RegistryStore, DatabaseDeletedUnderAnOpenConnectionIsNotWrittenIntoTheVoid) {
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Drivers", u"Before", 1), S_OK);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db() + suffix).c_str());
    ASSERT_EQ(RegistrySetDWORD(HKEY_LOCAL_MACHINE, u"Drivers", u"After", 2), S_OK);
    // Another connection (as another process would) finds the write.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db().c_str(), &other, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    int values = -1;
    sqlite3_exec(
        other, "SELECT count(*) FROM reg_values",
        [](void* p, int, char** v, char**) {
            *static_cast<int*>(p) = std::atoi(v[0]);
            return 0;
        },
        &values, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(values, 1);
}

TEST_F(RegistryStore, WriteLockedPastTheBusyTimeFailsLoudlyAndReadsGoOn) {
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Drivers\\Tervalon", k), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(k, u"Frequency", 1), ERROR_SUCCESS);

    setenv("CE_REG_BUSY_MS", "200", 1);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(set_dword(k, u"Frequency", 2), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(set_dword(k, u"Other", 2), ERROR_REGISTRY_IO_FAILED);
    Key sub;
    EXPECT_EQ(create(k, u"Sub", sub), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(get_dword(k, u"Frequency"), 1u);  // readers are not held up
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);

    EXPECT_EQ(set_dword(k, u"Frequency", 3), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(k, u"Frequency"), 3u);
    LONG e;
    get_dword(k, u"Other", &e);
    EXPECT_EQ(e, ERROR_FILE_NOT_FOUND);

    // A lock released within the busy time is waited out, not reported.
    setenv("CE_REG_BUSY_MS", "10000", 1);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(set_dword(k, u"Frequency", 4), ERROR_SUCCESS);
    release.join();
    sqlite3_close(other);
    EXPECT_EQ(get_dword(k, u"Frequency"), 4u);
}

}  // namespace
