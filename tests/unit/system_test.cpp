// System services: the OEM information text, unattended-mode requests, the
// wave output driver's messages and volume, and the cectl commands that show
// their state (cectl init, audio, power).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <string>

#include "ce_platform.h"
#include "mmsystem.h"
#include "pm.h"
#include "test_support.h"
#include "windows.h"

namespace {

void set_text(HKEY root, const char16_t* path, const char16_t* name, const std::u16string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void set_dword(HKEY root, const char16_t* path, const char16_t* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);
}

struct CectlRun {
    int status = -1;
    std::string out;
};

CectlRun cectl(const cetest::TempRoot& root, const std::string& args) {
    std::string cmd = "'";
    cmd += (cetest::build_dir() / "bin" / "cectl").string();
    cmd += "' --root '";
    cmd += root.path();
    cmd += "' ";
    cmd += args;
    cmd += " 2>&1";
    CectlRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char line[512];
    while (fgets(line, sizeof line, p)) r.out += line;
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// NAME<TAB>VALUE lines into a map (repeated names keep the last).
std::map<std::string, std::string> pairs(const std::string& text) {
    std::map<std::string, std::string> m;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        size_t tab = line.find('\t');
        if (tab != std::string::npos) m[line.substr(0, tab)] = line.substr(tab + 1);
        start = end + 1;
    }
    return m;
}

HWAVEOUT device(UINT id) { return reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(id)); }

class System : public ::testing::Test {
protected:
    cetest::TempRoot root;
};

TEST_F(System, OemInfoIsReadAndCutToTheBuffer) {
    WCHAR buf[128];
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    set_text(HKEY_LOCAL_MACHINE, u"System\\Platform", u"OemInfo", u"Acme T828 Phone");
    std::fill(std::begin(buf), std::end(buf), u'#');
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    EXPECT_EQ(std::u16string(buf), u"Acme T828 Phone");

    // The library asks with 127 for a 128-unit buffer: a long text never
    // writes past the size it was given.
    set_text(HKEY_LOCAL_MACHINE, u"System\\Platform", u"OemInfo", std::u16string(300, u'x'));
    std::fill(std::begin(buf), std::end(buf), u'#');
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    EXPECT_EQ(std::u16string(buf), std::u16string(126, u'x'));
    EXPECT_EQ(buf[127], u'#');
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETOEMINFO, 0, buf, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETOEMINFO, 127, nullptr, 0));
    EXPECT_FALSE(SystemParametersInfoW(12345, 127, buf, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // A value of another type is not text.
    set_dword(HKEY_LOCAL_MACHINE, u"System\\Platform", u"OemInfo", 5);
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
}

TEST_F(System, InitGivesADefaultOemTextAndKeepsAnExistingOne) {
    CectlRun r = cectl(root, "init");
    ASSERT_EQ(r.status, 0) << r.out;
    WCHAR buf[128];
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    std::u16string text(buf);
    EXPECT_FALSE(text.empty());
    // The FM library switches to other mute codes for these models.
    for (const char16_t* model : {u"T828", u"T535", u"T737"}) EXPECT_EQ(text.find(model), std::u16string::npos);

    set_text(HKEY_LOCAL_MACHINE, u"System\\Platform", u"OemInfo", u"Custom T535");
    ASSERT_EQ(cectl(root, "init").status, 0);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    EXPECT_EQ(std::u16string(buf), u"Custom T535");
    ASSERT_EQ(cectl(root, "init --force").status, 0);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETOEMINFO, 127, buf, 0));
    EXPECT_EQ(std::u16string(buf), text);
}

TEST_F(System, UnattendedModeIsCountedAndShown) {
    CectlRun fresh = cectl(root, "power");
    ASSERT_EQ(fresh.status, 0) << fresh.out;
    EXPECT_EQ(pairs(fresh.out)["UnattendedMode"], "0");

    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE));
    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE));
    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE));
    auto state = pairs(cectl(root, "power").out);
    EXPECT_EQ(state["UnattendedRequests"], "1");
    EXPECT_EQ(state["UnattendedMode"], "1");
    EXPECT_EQ(state["LastMessage"], std::to_string(PPN_UNATTENDEDMODE));
    EXPECT_EQ(state["LastData"], "0");

    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE));
    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE));  // one release too many: no underflow
    state = pairs(cectl(root, "power").out);
    EXPECT_EQ(state["UnattendedRequests"], "0");
    EXPECT_EQ(state["UnattendedMode"], "0");
    EXPECT_TRUE(PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE));
    EXPECT_EQ(pairs(cectl(root, "power").out)["UnattendedRequests"], "1");

    EXPECT_EQ(cectl(root, "power extra").status, 1);
}

TEST_F(System, WaveMessagesAreRecordedForCectl) {
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    CectlRun fresh = cectl(root, "audio");
    ASSERT_EQ(fresh.status, 0) << fresh.out;
    EXPECT_EQ(pairs(fresh.out)["MessageCount"], "0");

    // What the driver sends for a plugged headset, then at unload.
    EXPECT_EQ(waveOutMessage(device(0), 1026, 1, 0), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(waveOutMessage(device(0), 1026, 0, 0), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(waveOutMessage(device(1), 1026, 1, 0), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    CectlRun r = cectl(root, "audio");
    ASSERT_EQ(r.status, 0) << r.out;
    auto state = pairs(r.out);
    EXPECT_EQ(state["Devices"], "1");
    EXPECT_EQ(state["MessageCount"], "2");
    EXPECT_EQ(state["LastDevice"], "0");
    EXPECT_EQ(state["LastMessage"], "1026");
    EXPECT_EQ(state["LastParam1"], "0");
    EXPECT_EQ(state["LastParam2"], "0");
    EXPECT_NE(r.out.find("Message\t0 1026 1 0\nMessage\t0 1026 0 0\n"), std::string::npos) << r.out;

    // The history keeps the latest messages only.
    for (int i = 0; i < 40; i++) waveOutMessage(device(0), 2000 + i, i, 7);
    r = cectl(root, "audio");
    EXPECT_EQ(pairs(r.out)["MessageCount"], "42");
    EXPECT_EQ(r.out.find("Message\t0 1026"), std::string::npos);
    EXPECT_NE(r.out.find("Message\t0 2039 39 7\n"), std::string::npos) << r.out;
}

TEST_F(System, VolumeIsKeptAndTakenFromTheRegistry) {
    const HWAVEOUT mapper = device(WAVE_MAPPER);
    DWORD volume = 0;
    ASSERT_EQ(waveOutGetVolume(mapper, &volume), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0xFFFFFFFFu);  // full volume until one is set
    EXPECT_EQ(waveOutSetVolume(mapper, 0x88888888u), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    ASSERT_EQ(waveOutGetVolume(reinterpret_cast<HWAVEOUT>(static_cast<intptr_t>(-1)), &volume),
              static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0x88888888u);
    EXPECT_EQ(waveOutGetVolume(mapper, nullptr), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutSetVolume(device(3), 0), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));

    // Without the control panel's value the kept volume stays.
    AudioUpdateFromRegistry();
    ASSERT_EQ(waveOutGetVolume(mapper, &volume), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0x88888888u);
    set_dword(HKEY_CURRENT_USER, u"ControlPanel\\Volume", u"Volume", 0x44444444u);
    AudioUpdateFromRegistry();
    ASSERT_EQ(waveOutGetVolume(mapper, &volume), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(volume, 0x44444444u);
    auto state = pairs(cectl(root, "audio").out);
    EXPECT_EQ(state["Volume"], std::to_string(0x44444444u));
    EXPECT_EQ(state["RegistryUpdates"], "2");
}

}  // namespace
