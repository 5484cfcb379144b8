// Fixture for the Wavelo session tests: a fresh device root, a fake platform
// library (one of its build variants) in the root's \Windows, and Wavelo
// itself loaded afresh for each test, so that its library-wide state (the
// property cache, the power flag, the device family read at load) starts
// from its load values every time.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ce_platform.h"
#include "fm_interface.h"
#include "fm_rds_builder.h"
#include "fms_api.h"
#include "test_support.h"
#include "windows.h"

namespace fmtest {

#define FAKE_NO_ANSWER 0xFFFFFFFFu
#define FAKE_ECHO 0xFFFFFFFFu

// Platform time runs 100 times faster in these tests: the 5000 ms waits
// take 50 ms.
inline const bool kTimeScaled = [] {
    setenv("CE_TIME_SCALE", "0.01", 1);
    return true;
}();

// The texts Wavelo hands to its trace sink.
inline std::mutex g_traceMutex;
inline std::vector<std::string> g_traces;
inline void CollectTrace(const WCHAR* text) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traces.push_back(ce::narrow(text));
}
inline std::vector<std::string> Traces() {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    return g_traces;
}
inline void ClearTraces() {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_traces.clear();
}

struct WaveloApi {
    DWORD (*FMGetNumDevs)();
    DWORD (*FMGetDevInfo)(DWORD, FmDevInfo*);
    HANDLE (*FMOpen)(DWORD);
    DWORD (*FMPowerOn)(HANDLE, DWORD, DWORD);
    DWORD (*FMSeek)(HANDLE, DWORD);
    DWORD (*FMGetProp)(HANDLE, DWORD, DWORD*);
    DWORD (*FMSetProp)(HANDLE, DWORD, DWORD);
    DWORD (*FMRegisterEvent)(HANDLE, HANDLE);
    DWORD (*FMRegisterNotification)(HANDLE, HWND, UINT);
    DWORD (*FMGetNotification)(HANDLE, FmNotification**);
    DWORD (*FMClose)(HANDLE);
    FmDebugFunction (*FMSetDebugFunction)(FmDebugFunction);
};

struct FakeApi {
    void (*Reset)();
    void (*SetReturn)(const char*, DWORD);
    void (*SetAnswer)(const char*, DWORD, DWORD, DWORD);
    void (*SetCreatedSession)(DWORD);
    void (*SetCurrentStatus)(DWORD, DWORD, DWORD);
    void (*SetLogFile)(const char*);
    size_t (*Calls)(char*, size_t);
    void (*ClearCalls)();
    DWORD (*Inject)(FmPlatformEvent*);
};

template <class T>
void Resolve(void* module, const char* name, T& out) {
    out = reinterpret_cast<T>(dlsym(module, name));
    ASSERT_NE(reinterpret_cast<void*>(out), nullptr) << name;
}

class FmTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_LT(ce::time_scale(), 0.5) << "CE_TIME_SCALE must be set before the platform clock starts";
        root_ = std::make_unique<cetest::TempRoot>();
        ClearTraces();
        if (UseFake()) InstallFake("full");
        LoadWavelo();
    }

    void TearDown() override {
        if (wavelo_) {
            if (handle_) fm.FMClose(handle_);
            fm.FMSetDebugFunction(nullptr);
            dlclose(wavelo_);
            wavelo_ = nullptr;
        }
        for (void* f : fakes_) dlclose(f);
        fakes_.clear();
        root_.reset();
    }

    // Tests over the simulated tuner find it beside the program instead.
    virtual bool UseFake() const { return true; }

    std::filesystem::path RootPath() const { return root_->path(); }

    // Puts a build variant of the fake into \Windows and takes control of it.
    // Only while no session holds the fake: the loader knows a library by its
    // path, so the old one must be gone before another file takes its name.
    void InstallFake(const std::string& variant) {
        for (void* f : fakes_) dlclose(f);
        fakes_.clear();
        auto windows = RootPath() / "Windows";
        std::filesystem::create_directories(windows);
        auto target = windows / "libFMS_API.so";
        std::filesystem::remove(target);
        std::filesystem::copy_file(cetest::build_dir() / "test-fms" / variant / "libFMS_API.so", target);
        void* module = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        fakes_.push_back(module);
        Resolve(module, "FakeFms_Reset", fake.Reset);
        Resolve(module, "FakeFms_SetReturn", fake.SetReturn);
        Resolve(module, "FakeFms_SetAnswer", fake.SetAnswer);
        Resolve(module, "FakeFms_SetCreatedSession", fake.SetCreatedSession);
        Resolve(module, "FakeFms_SetCurrentStatus", fake.SetCurrentStatus);
        Resolve(module, "FakeFms_SetLogFile", fake.SetLogFile);
        Resolve(module, "FakeFms_Calls", fake.Calls);
        Resolve(module, "FakeFms_ClearCalls", fake.ClearCalls);
        Resolve(module, "FakeFms_Inject", fake.Inject);
        fake.Reset();
        // A tuner that answers power requests at once.
        fake.SetAnswer("FM_Enable", FMS_CMD_POWER_ON, FMS_SUCCESSED, 0);
        fake.SetAnswer("FM_Disable", FMS_CMD_POWER_OFF, FMS_SUCCESSED, 0);
    }

    void SetOemText(const char16_t* text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\Platform", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        std::u16string value(text);
        RegSetValueExW(key, u"OemInfo", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
        RegCloseKey(key);
    }

    void LoadWavelo() {
        auto path = cetest::build_dir() / "lib" / "libWavelo.so";
        wavelo_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(wavelo_, nullptr) << dlerror();
        Resolve(wavelo_, "FMGetNumDevs", fm.FMGetNumDevs);
        Resolve(wavelo_, "FMGetDevInfo", fm.FMGetDevInfo);
        Resolve(wavelo_, "FMOpen", fm.FMOpen);
        Resolve(wavelo_, "FMPowerOn", fm.FMPowerOn);
        Resolve(wavelo_, "FMSeek", fm.FMSeek);
        Resolve(wavelo_, "FMGetProp", fm.FMGetProp);
        Resolve(wavelo_, "FMSetProp", fm.FMSetProp);
        Resolve(wavelo_, "FMRegisterEvent", fm.FMRegisterEvent);
        Resolve(wavelo_, "FMRegisterNotification", fm.FMRegisterNotification);
        Resolve(wavelo_, "FMGetNotification", fm.FMGetNotification);
        Resolve(wavelo_, "FMClose", fm.FMClose);
        Resolve(wavelo_, "FMSetDebugFunction", fm.FMSetDebugFunction);
        fm.FMSetDebugFunction(CollectTrace);
    }

    // Unloads Wavelo, whatever is open, as a process unloading it would.
    void UnloadWavelo() {
        dlclose(wavelo_);
        wavelo_ = nullptr;
        handle_ = nullptr;
    }

    HANDLE Open() {
        handle_ = fm.FMOpen(0);
        EXPECT_NE(handle_, nullptr) << "last error " << GetLastError();
        return handle_;
    }
    HANDLE OpenPowered(DWORD band = 0) {
        Open();
        EXPECT_EQ(fm.FMPowerOn(handle_, 1, band), 0u);
        return handle_;
    }
    void Close() {
        EXPECT_EQ(fm.FMClose(handle_), 0u);
        handle_ = nullptr;
    }

    std::string Calls() {
        std::string out(fake.Calls(nullptr, 0) + 1, '\0');
        fake.Calls(out.data(), out.size());
        out.resize(out.size() - 1);
        return out;
    }

    // ---- events as the tuner delivers them ----
    void Status(DWORD command, DWORD status, DWORD value) {
        FmPlatformEvent event{};
        event.code = FMS_EVENT_COMMAND_STATUS;
        event.payload.status.command = static_cast<BYTE>(command);
        event.payload.status.status = static_cast<BYTE>(status);
        event.payload.status.value = value;
        EXPECT_EQ(fake.Inject(&event), 0u);
    }
    void Frequency(DWORD frequency) {
        FmPlatformEvent event{};
        event.code = FMS_EVENT_FREQUENCY;
        event.payload.frequency.frequency = frequency;
        fake.Inject(&event);
    }
    void FrequencyReport(DWORD frequency) {
        FmPlatformEvent event{};
        event.code = FMS_EVENT_FREQUENCY_REPORT;
        event.payload.report.frequency = frequency;
        fake.Inject(&event);
    }
    void Rds(const std::vector<uint8_t>& bytes) {
        FmPlatformEvent event{};
        event.code = FMS_EVENT_RDS_DATA;
        event.payload.rds.count = static_cast<WORD>(bytes.size());
        event.payload.rds.data = reinterpret_cast<ULONG_PTR>(bytes.data());
        fake.Inject(&event);
    }

    // The next record, or null.
    FmNotification* Next() {
        FmNotification* record = reinterpret_cast<FmNotification*>(1);
        EXPECT_EQ(fm.FMGetNotification(handle_, &record), 0u);
        return record;
    }

    DWORD Prop(DWORD id) {
        DWORD value = 0xDEADBEEF;
        EXPECT_EQ(fm.FMGetProp(handle_, id, &value), 0u) << "property " << id;
        return value;
    }

    WaveloApi fm{};
    FakeApi fake{};
    HANDLE handle_ = nullptr;

private:
    std::unique_ptr<cetest::TempRoot> root_;
    void* wavelo_ = nullptr;
    std::vector<void*> fakes_;
};

}  // namespace fmtest
