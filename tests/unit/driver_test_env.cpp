#include "driver_test_env.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "ce_platform.h"
#include "pegdser.h"

namespace drvtest {
namespace {

// Platform time runs 50 times faster: the driver's fixed sleeps and periods
// (5000 ms status period, 6.6 s of unloading) take a fiftieth of that.
const bool g_time_scaled = [] {
    setenv("CE_TIME_SCALE", "0.02", 0);
    return true;
}();

std::shared_ptr<FakeGpsPort> g_port;
std::mutex g_port_mutex;

HANDLE OpenFakeDevice(LPCWSTR name, DWORD, DWORD) {
    std::lock_guard<std::mutex> lock(g_port_mutex);
    if (!g_port || std::u16string(name) != u"GPT0:") {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return ce::handle_insert(g_port);
}

}  // namespace

void FakeGpsPort::feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
    cv_.notify_all();
}

void FakeGpsPort::set_read_limit(size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_limit_ = limit;
}

std::vector<DWORD> FakeGpsPort::ioctl_codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_;
}

DWORD FakeGpsPort::wait_mask() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mask_;
}

bool FakeGpsPort::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

BOOL FakeGpsPort::read(void* buffer, DWORD size, DWORD* done) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = std::min<size_t>({size, read_limit_, pending_.size()});
    memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    if (done) *done = static_cast<DWORD>(n);
    return !closed_;
}

BOOL FakeGpsPort::ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (code != IOCTL_SERIAL_WAIT_ON_MASK) codes_.push_back(code);
    if (returned) *returned = 0;
    if (code == IOCTL_SERIAL_SET_WAIT_MASK && in && in_size >= sizeof(DWORD)) {
        memcpy(&mask_, in, sizeof(DWORD));
        return TRUE;
    }
    if (code == IOCTL_SERIAL_WAIT_ON_MASK) {
        cv_.wait(lock, [&] { return closed_ || !pending_.empty(); });
        if (closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        DWORD events = EV_RXCHAR;
        if (out && out_size >= sizeof(DWORD)) memcpy(out, &events, sizeof(DWORD));
        if (returned) *returned = sizeof(DWORD);
        return TRUE;
    }
    return TRUE;
}

void FakeGpsPort::on_last_handle_closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
}

void DriverTest::SetUp() {
    root_ = std::make_unique<cetest::TempRoot>();
    fakefm::reset();
    gps_ = std::make_shared<FakeGpsPort>();
    {
        std::lock_guard<std::mutex> lock(g_port_mutex);
        g_port = gps_;
    }
    ce::set_device_opener(&OpenFakeDevice);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, GPS_MUX_KEY, 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char16_t name[] = u"GPT0:";
    RegSetValueExW(key, GPS_MUX_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
    RegCloseKey(key);
}

void DriverTest::TearDown() {
    Unload();
    std::lock_guard<std::mutex> lock(g_port_mutex);
    g_port.reset();
}

void DriverTest::SetSetting(const char16_t* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TERVALON_SETTINGS_KEY, 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

DWORD DriverTest::GetSetting(const char16_t* name, DWORD fallback) {
    DWORD value = fallback;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TERVALON_SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return fallback;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) != ERROR_SUCCESS)
        value = fallback;
    RegCloseKey(key);
    return value;
}

void DriverTest::RemoveGpsKey() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, GPS_MUX_KEY); }

void DriverTest::Load() {
    device_ = COM_Init(u"Drivers\\Active\\01", nullptr);
    ASSERT_NE(device_, 0u);
}

bool DriverTest::Open() {
    open_ = COM_Open(device_, GENERIC_READ | GENERIC_WRITE, 0);
    return open_ != 0;
}

void DriverTest::Close() {
    if (open_) COM_Close(open_);
    open_ = 0;
}

void DriverTest::Unload() {
    Close();
    if (device_) COM_Deinit(device_);
    device_ = 0;
}

DWORD DriverTest::Write(const std::string& bytes) {
    return COM_Write(open_, bytes.data(), static_cast<DWORD>(bytes.size()));
}

std::string DriverTest::ReadUntil(const std::function<bool(const std::string&)>& done, int real_ms) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
    char buffer[4096];
    while (!done(got) && std::chrono::steady_clock::now() < deadline) {
        DWORD n = COM_Read(open_, buffer, sizeof(buffer));
        got.append(buffer, n);
    }
    return got;
}

std::string DriverTest::Drain() {
    std::string got;
    char buffer[4096];
    for (;;) {
        DWORD n = COM_Read(open_, buffer, sizeof(buffer));
        if (n == 0) break;
        got.append(buffer, n);
    }
    return got;
}

std::string DriverTest::HostPath(const std::string& name) { return root_->path() + "/" + name; }

std::string DriverTest::LogFile() {
    std::ifstream in(HostPath("Tervalon.log"), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) n++;
    return n;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

}  // namespace drvtest
