// The driver's in-process test bench: a fresh device root, the fake FM
// library, a fake GPS multiplexer port, and helpers to load, open, write and
// read the driver as the device manager and a client would.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver.h"
#include "driver_fake_fm.h"
#include "kobject.h"
#include "test_support.h"

namespace drvtest {

// The GPS multiplexer port: WaitCommEvent blocks until bytes are fed or the
// handle is closed (then it fails); ReadFile hands out at most read_limit
// bytes at a time, so a test decides where the chunks fall.
class FakeGpsPort : public ce::KObject {
public:
    void feed(const std::string& bytes);
    void set_read_limit(size_t limit);
    std::vector<DWORD> ioctl_codes();
    DWORD wait_mask();
    bool closed();

    BOOL read(void* buffer, DWORD size, DWORD* done) override;
    BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override;
    void on_last_handle_closed() override;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string pending_;
    size_t read_limit_ = 1 << 20;
    std::vector<DWORD> codes_;
    DWORD mask_ = 0;
    bool closed_ = false;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Settings under HKLM\Drivers\Tervalon (created on first use).
    void SetSetting(const char16_t* name, DWORD value);
    DWORD GetSetting(const char16_t* name, DWORD fallback = 0xFFFFFFFFu);
    void RemoveGpsKey();

    void Load();
    bool Open();
    void Close();
    void Unload();

    DWORD Write(const std::string& bytes);
    // Reads until the collected text satisfies done, or about real_ms passed.
    std::string ReadUntil(const std::function<bool(const std::string&)>& done, int real_ms = 5000);
    // Reads whatever is queued now.
    std::string Drain();
    std::string LogFile();
    std::string HostPath(const std::string& name);

    std::unique_ptr<cetest::TempRoot> root_;
    std::shared_ptr<FakeGpsPort> gps_;
    DEVCONTEXT device_ = 0;
    DEVCONTEXT open_ = 0;
};

// Number of non-overlapping occurrences of needle.
size_t Count(const std::string& text, const std::string& needle);
std::string Hex(const std::string& bytes);
std::string Bytes(std::initializer_list<int> values);

}  // namespace drvtest
