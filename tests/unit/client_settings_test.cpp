// The control programs' settings store against the real registry of a fresh
// root per test, and the driver's load and unload through a private cehost.
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "host_support.h"
#include "settings.h"

using namespace hosttest;

namespace {

using Bytes = std::vector<BYTE>;
const std::u16string Plain = u"Drivers\\Tervalon", Builtin = u"Drivers\\Builtin\\Tervalon";
const DWORD Absent = ~0u;

Bytes dw(DWORD v) { return Bytes{BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}; }
// A text, with its terminator unless told otherwise.
Bytes sz(const std::u16string& text, bool terminated = true) {
    Bytes out((text.size() + terminated) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

void put(const std::u16string& key, const char16_t* name, DWORD type, const Bytes& data) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    EXPECT_EQ(RegSetValueExW(k, name, 0, type, data.data(), static_cast<DWORD>(data.size())), 0);
    RegCloseKey(k);
}

// The type and bytes of a value; type Absent when there is none.
std::pair<DWORD, Bytes> get(const std::u16string& key, const char16_t* name) {
    std::pair<DWORD, Bytes> v{Absent, Bytes(1024)};
    DWORD size = 1024;
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) == 0 &&
        RegQueryValueExW(k, name, nullptr, &v.first, v.second.data(), &size) != 0)
        v.first = Absent;
    RegCloseKey(k);
    v.second.resize(v.first == Absent ? 0 : size);
    return v;
}

class SettingsStore : public ::testing::Test {
protected:
    // The record is process-wide: no test sees the last one's.
    void SetUp() override { std::memset(&ClientSettings, 0xA5, sizeof ClientSettings); }
    cetest::TempRoot root_;
};

TEST_F(SettingsStore, NoKeyGivesDefaultsAndTheFirstSaveRegistersTheDriver) {
    std::string log = root_.path() + "/Tervalon.log";
    std::ofstream(log) << "COM_Init hFM=1\n";
    LoadSettings();
    const ClientSettingsRecord& s = ClientSettings;
    EXPECT_EQ((std::vector<DWORD>{s.Index, s.Band, s.Data, s.Sound, s.Mute, s.LogMode, s.Protocol, s.Frequency}),
              (std::vector<DWORD>{9, 0, 0, 0, 0, 0, 0, 100}));
    EXPECT_EQ(s.BuiltinKey, 0);
    EXPECT_EQ(std::u16string(s.PortName), u"COM9:");

    // Every list at its last entry, the port at COM4:.
    for (const SettingList& list : SettingLists) *list.Value = list.Count - 1;
    ClientSettings.Index = 4;
    SaveSettings();
    EXPECT_EQ(std::u16string(s.SettingsKeyPath), Plain);
    EXPECT_EQ(std::u16string(s.PortName), u"COM4:");
    WCHAR entry[SETTING_TEXT_CHARS];
    GetSettingText(LIST_PORT, 4, entry);
    EXPECT_EQ(std::u16string(entry), s.PortName);
    EXPECT_EQ(get(Builtin, u"Band").first, Absent);
    const std::tuple<const char16_t*, DWORD, Bytes> expected[] = {
        {u"Band", REG_DWORD, dw(2)},     {u"Index", REG_DWORD, dw(4)},
        {u"Data", REG_DWORD, dw(1)},     {u"Sound", REG_DWORD, dw(1)},
        {u"Mute", REG_DWORD, dw(1)},     {u"LogMode", REG_DWORD, dw(1)},
        {u"Protocol", REG_DWORD, dw(1)}, {u"Order", REG_DWORD, dw(9)},
        {u"Prefix", REG_SZ, sz(u"COM")}, {u"Dll", REG_SZ, sz(u"\\Windows\\Tervalon.dll")},
        {u"Frequency", Absent, {}}};
    for (const auto& [name, type, bytes] : expected)
        EXPECT_EQ(get(Plain, name), std::make_pair(type, bytes)) << ce::narrow(name);

    // The driver's log stays while logging is on; LogMode 0 deletes it, and a
    // log already gone is no trouble.
    EXPECT_TRUE(std::filesystem::exists(log));
    ClientSettings.LogMode = 0;
    SaveSettings();
    SaveSettings();
    EXPECT_FALSE(std::filesystem::exists(log));
}

// The key is read and kept where it is found; a key at the other place, old
// or made by someone else later, goes with every save, its siblings stay.
// Frequency is read and left to the driver.
struct Placement {
    const char* name;
    bool plain, builtin;
};
void PrintTo(const Placement& p, std::ostream* out) { *out << p.name; }
class SettingsPlacement : public SettingsStore, public ::testing::WithParamInterface<Placement> {};

TEST_P(SettingsPlacement, ReadsWhereFoundAndRemovesTheOtherPlace) {
    const Placement& p = GetParam();
    const std::u16string& inUse = p.plain ? Plain : Builtin;
    const std::u16string& other = p.plain ? Builtin : Plain;
    if (p.plain) put(Plain, u"Band", REG_DWORD, dw(1));
    if (p.builtin) put(Builtin, u"Band", REG_DWORD, dw(2));
    put(inUse, u"Frequency", REG_DWORD, dw(101700));
    put(u"Drivers\\Builtin\\Serial", u"Order", REG_DWORD, dw(3));

    LoadSettings();
    EXPECT_EQ(std::u16string(ClientSettings.SettingsKeyPath), inUse);
    EXPECT_EQ(ClientSettings.BuiltinKey, p.plain ? 0 : 1);
    EXPECT_EQ(ClientSettings.Band, p.plain ? 1u : 2u);
    EXPECT_EQ(ClientSettings.Frequency, 101700u);

    ClientSettings.Frequency = 100;
    for (DWORD protocol : {1u, 0u}) {
        ClientSettings.Protocol = protocol;
        SaveSettings();
        EXPECT_EQ(get(other, u"Band").first, Absent);
        EXPECT_EQ(get(inUse, u"Protocol").second, dw(protocol));
        EXPECT_EQ(get(inUse, u"Frequency").second, dw(101700));
        put(other, u"Band", REG_DWORD, dw(0));  // someone registers the driver at the other place
    }
    EXPECT_EQ(get(u"Drivers\\Builtin\\Serial", u"Order").second, dw(3));
}

INSTANTIATE_TEST_SUITE_P(, SettingsPlacement,
                         ::testing::Values(Placement{"PlainOnly", true, false}, Placement{"Both", true, true},
                                           Placement{"BuiltinOnly", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A setting is taken only when it is 4 bytes long, whatever its type.
class SettingsShape : public SettingsStore, public ::testing::WithParamInterface<std::pair<DWORD, Bytes>> {};

TEST_P(SettingsShape, OnlyFourByteValuesAreTaken) {
    auto [type, bytes] = GetParam();
    put(Plain, u"Band", type, bytes);
    put(Plain, u"Index", REG_DWORD, dw(5));
    LoadSettings();
    EXPECT_EQ(ClientSettings.Band, bytes.size() == 4 ? 2u : 0u);
    EXPECT_EQ(ClientSettings.Index, 5u);  // the values after it are still read
}

INSTANTIATE_TEST_SUITE_P(, SettingsShape,
                         ::testing::Values(std::pair{REG_BINARY, Bytes{2, 0}}, std::pair{REG_BINARY, Bytes{}},
                                           std::pair{REG_BINARY, Bytes{2, 0, 0, 0, 0, 0, 0, 0}},
                                           std::pair{REG_SZ, sz(u"World")}, std::pair{REG_BINARY, dw(2)}));

// The search of Drivers\Active, past two other drivers' entries. Our registry
// terminates every text it is given; a store written by other means need
// not, so REG_NONE here puts the bytes in place as a REG_SZ behind its back.
struct ActiveCase {
    const char* name;
    std::u16string keyPath;  // SettingsKeyPath
    DWORD type;
    Bytes key;  // Key of the third entry
    bool ours;
};
void PrintTo(const ActiveCase& c, std::ostream* out) { *out << c.name; }
class SettingsActive : public SettingsStore, public ::testing::WithParamInterface<ActiveCase> {};

// Nearly a full path: the 260-byte Key buffer holds only its first 130 characters.
const std::u16string LongPath = Plain + std::u16string(200, u'x');

// The third Key is the store's one REG_BINARY value when this runs.
void put_unterminated_text(const std::u16string& key, const char16_t* name, const Bytes& bytes) {
    put(key, name, REG_BINARY, bytes);
    sqlite3* db = nullptr;
    sqlite3_open((ce::root() + "/registry.db").c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE reg_values SET type = 1 WHERE type = 3", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST_P(SettingsActive, FindsOnlyTheEntryOfTheSettingsKey) {
    const ActiveCase& c = GetParam();
    std::memcpy(ClientSettings.SettingsKeyPath, c.keyPath.c_str(), (c.keyPath.size() + 1) * 2);
    ClientSettings.DeviceHandle = 1234;
    EXPECT_FALSE(IsDriverActive());  // no Drivers\Active at all

    put(u"Drivers\\Active\\01", u"Key", REG_SZ, sz(u"Drivers\\Serial"));
    put(u"Drivers\\Active\\02", u"Key", REG_SZ, sz(u"Drivers\\Builtin\\Serial"));
    if (c.type == REG_NONE) put_unterminated_text(u"Drivers\\Active\\03", u"Key", c.key);
    else put(u"Drivers\\Active\\03", u"Key", c.type, c.key);
    for (DWORD i : {1u, 2u, 3u})
        put(u"Drivers\\Active\\0" + ce::widen(std::to_string(i)), u"Hnd", REG_DWORD, dw(70 + i));

    EXPECT_EQ(IsDriverActive(), c.ours ? TRUE : FALSE);
    EXPECT_EQ(ClientSettings.DeviceHandle, c.ours ? 73u : 1234u);
}

INSTANTIATE_TEST_SUITE_P(, SettingsActive,
                         ::testing::Values(ActiveCase{"SameKey", Plain, REG_SZ, sz(Plain), true},
                                           ActiveCase{"OtherCase", Plain, REG_SZ, sz(u"DRIVERS\\tervalon"), true},
                                           ActiveCase{"Builtin", Builtin, REG_SZ, sz(Builtin), true},
                                           ActiveCase{"OtherDriver", Plain, REG_SZ, sz(Plain + u"2"), false},
                                           ActiveCase{"NotText", Plain, REG_BINARY, sz(Plain), false},
                                           ActiveCase{"NoTerminator", Plain, REG_NONE, sz(Plain, false), false},
                                           ActiveCase{"FullBufferNoTerminator", LongPath, REG_NONE,
                                                      sz(LongPath.substr(0, 130), false), false},
                                           ActiveCase{"LongerThanTheBuffer", LongPath, REG_SZ, sz(LongPath), false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- with a real device manager ----------------------------------------------

std::vector<std::u16string> Shown;  // text, caption and type of every message box

int RecordMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    Shown.insert(Shown.end(), {text, caption, owner ? u"owned" : u"", ce::widen(std::to_string(type))});
    return IDOK;
}

// The device manager's own list (GPD0: is always on it).
std::optional<ce::ActiveDevice> device(const std::string& name) {
    for (const auto& d : ce::list_devices().value_or(std::vector<ce::ActiveDevice>{})) {
        if (d.name == name) return d;
    }
    return std::nullopt;
}

TEST(SettingsDriver, ToggleLoadsTheSavedKeyUnloadsItAndReportsAFailedLoad) {
    Host host;
    ASSERT_EQ(cectl({"init"}).status, 0);  // the real driver under \Windows
    LoadSettings();
    ClientSettings.Index = 7;
    SaveSettings();
    host.start();
    Shown.clear();
    ce::set_message_box_hook(RecordMessageBox);

    ToggleDriver();
    ASSERT_TRUE(IsDriverActive()) << host_log();
    auto port = device("COM7:");
    ASSERT_TRUE(port);
    EXPECT_EQ(port->key, "Drivers\\Tervalon");
    EXPECT_EQ(ClientSettings.DeviceHandle, port->handle);

    ToggleDriver();
    EXPECT_FALSE(IsDriverActive());
    EXPECT_FALSE(device("COM7:"));
    EXPECT_TRUE(Shown.empty());

    put(Plain, u"Dll", REG_SZ, sz(u"\\Windows\\Missing.dll"));
    ToggleDriver();
    EXPECT_FALSE(IsDriverActive());
    EXPECT_EQ(Shown, (std::vector<std::u16string>{
                         u"Cannot load driver.\r\nTry installing ralvexcert.cab \r\nor another COM port.", u"ERROR",
                         u"", u"16"}));
    ce::set_message_box_hook(nullptr);
}

}  // namespace
