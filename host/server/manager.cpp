// cehost's device manager: activation and deactivation of stream drivers,
// the Drivers\Active entries, opens and the calls on them.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "ce_platform.h"
#include "devload.h"
#include "host.h"

namespace cehost {

namespace {

std::u16string upper(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    return s;
}

// In-host handle object: the calls go straight to the driver.
class LocalDeviceFile : public ce::KObject {
public:
    explicit LocalDeviceFile(std::shared_ptr<Open> open) : open_(std::move(open)) {}
    BOOL read(void* buffer, DWORD size, DWORD* done) override { return open_->read(buffer, size, done); }
    BOOL write(const void* buffer, DWORD size, DWORD* done) override { return open_->write(buffer, size, done); }
    BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) override {
        return open_->ioctl(code, in, in_size, out, out_size, returned);
    }
    DWORD seek(LONG distance, LONG* high, DWORD method) override {
        if (high) *high = 0;
        return open_->seek(distance, method);
    }
    void on_last_handle_closed() override { manager().close_open(open_); }

private:
    std::shared_ptr<Open> open_;
};

// A stream-driver library loaded with LoadLibraryW, called through the
// Prefix_Name entry points it exports.
class LibraryDriver : public Driver {
public:
    HMODULE module = nullptr;
    DWORD_PTR context = 0;
    PFN_STREAM_INIT init = nullptr;
    PFN_STREAM_DEINIT deinit_fn = nullptr;
    PFN_STREAM_OPEN open_fn = nullptr;
    PFN_STREAM_CLOSE close_fn = nullptr;
    PFN_STREAM_READ read_fn = nullptr;
    PFN_STREAM_WRITE write_fn = nullptr;
    PFN_STREAM_SEEK seek_fn = nullptr;
    PFN_STREAM_IOCONTROL ioctl_fn = nullptr;
    PFN_STREAM_POWERDOWN powerdown_fn = nullptr;
    PFN_STREAM_POWERUP powerup_fn = nullptr;
    PFN_STREAM_PRECLOSE preclose_fn = nullptr;
    PFN_STREAM_PREDEINIT predeinit_fn = nullptr;

    ~LibraryDriver() override {
        if (module) FreeLibrary(module);
    }
    DWORD_PTR open(DWORD access, DWORD share) override { return open_fn(context, access, share); }
    void pre_close(DWORD_PTR open) override {
        if (preclose_fn) preclose_fn(open);
    }
    BOOL close(DWORD_PTR open) override { return close_fn(open); }
    DWORD read(DWORD_PTR open, void* buffer, DWORD count) override {
        if (!read_fn) return unsupported();
        return read_fn(open, buffer, count);
    }
    DWORD write(DWORD_PTR open, const void* buffer, DWORD count) override {
        if (!write_fn) return unsupported();
        return write_fn(open, buffer, count);
    }
    DWORD seek(DWORD_PTR open, LONG amount, WORD type) override {
        if (!seek_fn) return unsupported();
        return seek_fn(open, amount, type);
    }
    BOOL ioctl(DWORD_PTR open, DWORD code, PBYTE in, DWORD in_size, PBYTE out, DWORD out_size,
               PDWORD returned) override {
        if (!ioctl_fn) {
            unsupported();
            return FALSE;
        }
        return ioctl_fn(open, code, in, in_size, out, out_size, returned);
    }
    void pre_deinit() override {
        if (predeinit_fn) predeinit_fn(context);
    }
    void deinit() override { deinit_fn(context); }

private:
    static DWORD unsupported() {
        SetLastError(ERROR_NOT_SUPPORTED);
        return static_cast<DWORD>(-1);
    }
};

template <class F>
F entry(HMODULE module, const std::u16string& prefix, const char16_t* name) {
    std::u16string symbol = prefix;
    symbol += u'_';
    symbol += name;
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddressW(module, symbol.c_str())));
}

// Registry names compare without regard to case.
bool ce_name_is(const std::u16string& a, const char16_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

bool write_active_entry(const std::u16string& path, const Device& device, const std::vector<ce::rpc::RegEnt>& ents) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) !=
        ERROR_SUCCESS)
        return false;
    auto set_sz = [&](const char16_t* name, const std::u16string& value) {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * 2)) == ERROR_SUCCESS;
    };
    DWORD hnd = device.handle;
    bool ok = set_sz(DEVLOAD_DEVKEY_VALNAME, device.key) && set_sz(DEVLOAD_DEVNAME_VALNAME, device.name) &&
              RegSetValueExW(key, DEVLOAD_HANDLE_VALNAME, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hnd), 4) ==
                  ERROR_SUCCESS;
    for (const auto& e : ents) {
        if (!ok) break;
        // The entry's own values say which device this is: a caller's entries never replace them.
        if (ce_name_is(e.name, DEVLOAD_DEVKEY_VALNAME) || ce_name_is(e.name, DEVLOAD_DEVNAME_VALNAME) ||
            ce_name_is(e.name, DEVLOAD_HANDLE_VALNAME))
            continue;
        ok = RegSetValueExW(key, e.name.c_str(), 0, e.type, reinterpret_cast<const BYTE*>(e.data.data()),
                            static_cast<DWORD>(e.data.size())) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
}

void delete_active_entry(const std::u16string& path) { RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()); }

}  // namespace

// ---- opens ------------------------------------------------------------------------

namespace {
// The opens this thread is calling into, outermost first.
thread_local std::vector<Open*> t_calls;
}  // namespace

std::chrono::milliseconds close_budget() {
    static const long ms = [] {
        const char* v = std::getenv("CE_HOST_CLOSE_MS");
        long n = v ? std::strtol(v, nullptr, 10) : 0;
        return n > 0 ? n : 5000L;
    }();
    return std::chrono::milliseconds(ms);
}

bool outer_call_released() {
    // The innermost call is the waiting device's own: its close reaches it
    // through PreClose.
    for (size_t i = 0; i + 1 < t_calls.size(); i++) {
        if (t_calls[i]->released()) return true;
    }
    return false;
}

bool Open::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    in_flight_++;
    t_calls.push_back(this);
    return true;
}

void Open::leave() {
    t_calls.pop_back();
    bool run_close = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--in_flight_ == 0) {
            cv_.notify_all();
            run_close = late_close_;
            late_close_ = false;
        }
    }
    if (run_close) {
        log_line("the call left inside %s returned; closing", u8(device_->name).c_str());
        finish_close();
    }
}

bool Open::closing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

BOOL Open::read(void* buffer, DWORD size, DWORD* done) {
    if (done) *done = 0;
    if (!enter()) return FALSE;
    DWORD n = device_->driver->read(context_, buffer, size);
    leave();
    if (n == static_cast<DWORD>(-1)) return FALSE;
    if (done) *done = std::min(n, size);
    return TRUE;
}

BOOL Open::write(const void* buffer, DWORD size, DWORD* done) {
    if (done) *done = 0;
    if (!enter()) return FALSE;
    DWORD n = device_->driver->write(context_, buffer, size);
    leave();
    if (n == static_cast<DWORD>(-1)) return FALSE;
    if (done) *done = std::min(n, size);
    return TRUE;
}

BOOL Open::ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
    if (returned) *returned = 0;
    if (!enter()) return FALSE;
    DWORD count = 0;
    BOOL ok = device_->driver->ioctl(context_, code, static_cast<PBYTE>(in), in_size, static_cast<PBYTE>(out), out_size,
                                     &count);
    leave();
    if (returned) *returned = std::min(count, out_size);
    return ok;
}

DWORD Open::seek(LONG distance, DWORD method) {
    if (!enter()) return INVALID_SET_FILE_POINTER;
    DWORD r = device_->driver->seek(context_, distance, static_cast<WORD>(method));
    leave();
    return r;
}

bool Open::close() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closing_) {
            // Another thread closes it (a dying client while the device is
            // deactivated): return only once Close has run, so that Deinit
            // can never overtake it.
            return cv_.wait_for(lock, close_budget(), [&] { return closed_; });
        }
        closing_ = true;
    }
    releasing_.store(true, std::memory_order_release);
    device_->driver->pre_close(context_);
    manager().wake_nested_waits();
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, close_budget(), [&] { return in_flight_ == 0; })) {
        late_close_ = true;
        log_line("%d call(s) still inside %s %lld ms after the close; its Close runs when they return", in_flight_,
                 u8(device_->name).c_str(), static_cast<long long>(close_budget().count()));
        return false;
    }
    lock.unlock();
    finish_close();
    return true;
}

void Open::finish_close() {
    device_->driver->close(context_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        cv_.notify_all();
    }
    device_->open_finished();
}

// ---- a device's life ----------------------------------------------------------------

void Device::open_started() {
    std::lock_guard<std::mutex> lock(life_mutex_);
    unclosed_++;
}

void Device::open_finished() {
    bool deinit_now;
    {
        std::lock_guard<std::mutex> lock(life_mutex_);
        deinit_now = --unclosed_ == 0 && deinit_pending_;
        if (deinit_now) deinit_pending_ = false;
    }
    if (deinit_now) {
        driver->deinit();
        log_line("%s: deinitialised after its last call returned", u8(name).c_str());
    }
}

bool Device::deinit_when_idle() {
    {
        std::lock_guard<std::mutex> lock(life_mutex_);
        if (unclosed_ > 0) {
            deinit_pending_ = true;
            return false;
        }
    }
    driver->deinit();
    return true;
}

// ---- the manager --------------------------------------------------------------------

Manager::Manager() {
    // Device handles are 32-bit (they travel as a REG_DWORD) and differ from
    // one host run to the next, so a stale Hnd cannot reach a new device.
    next_handle_ = 0x00100000u + ((static_cast<uint32_t>(getpid()) & 0xFFFu) << 12);
    // Open ids likewise, so that a client's handle from an earlier host run
    // never names an open of this one.
    std::random_device random;
    next_open_ = (random() & 0x7FFFFFFFu) | 1u;
}

Manager::~Manager() = default;

std::u16string Manager::new_active_key() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u", next_active_++);
    return std::u16string(DEVLOAD_ACTIVE_KEY) + u"\\" + ce::widen(buf);
}

uint32_t Manager::finish_activation(const std::shared_ptr<Device>& device, const std::vector<ce::rpc::RegEnt>& ents,
                                    const std::function<std::unique_ptr<Driver>(DWORD*)>& load, DWORD* error) {
    auto give_up = [&](DWORD code) {
        std::lock_guard<std::mutex> lock(mutex_);
        by_name_.erase(upper(device->name));
        *error = code;
        return 0u;
    };
    if (!write_active_entry(device->active_key, *device, ents)) {
        log_line("activate %s: cannot write %s", u8(device->key).c_str(), u8(device->active_key).c_str());
        delete_active_entry(device->active_key);
        return give_up(ERROR_CANTWRITE);
    }
    DWORD code = 0;
    auto driver = load(&code);
    if (!driver) {
        delete_active_entry(device->active_key);
        return give_up(code);
    }
    device->driver = std::move(driver);
    device->pty = std::make_unique<PtyPort>(*this, device->name, device->driver->waits_by_comm_event());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device->state = Device::State::Ready;
        order_.push_back(device);
    }
    {
        // The pty's threads inherit the name of the thread that starts them:
        // give them theirs ("pty-COM1"), then take ours back.
        char own[16] = "";
        pthread_getname_np(pthread_self(), own, sizeof own);
        std::string pty_name = "pty-" + u8(device->name);
        if (!pty_name.empty() && pty_name.back() == ':') pty_name.pop_back();
        pthread_setname_np(pthread_self(), pty_name.substr(0, 15).c_str());
        if (!device->pty->start()) log_line("%s: not published as a pty", u8(device->name).c_str());
        pthread_setname_np(pthread_self(), own);
    }
    log_line("activated %s from %s (handle %u, %s)", u8(device->name).c_str(), u8(device->key).c_str(), device->handle,
             u8(device->active_key).c_str());
    return device->handle;
}

uint32_t Manager::activate(const std::u16string& key_in, const std::vector<ce::rpc::RegEnt>& ents, const void* param,
                           DWORD* error) {
    std::u16string key = key_in;
    while (!key.empty() && key.back() == u'\\') key.pop_back();
    std::string k8 = u8(key);
    if (key.empty() || !reg_key_exists(key)) {
        log_line("activate %s: no such key under HKLM", k8.c_str());
        *error = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    auto dll = reg_sz(key, DEVLOAD_DLLNAME_VALNAME);
    auto prefix = reg_sz(key, DEVLOAD_PREFIX_VALNAME);
    auto index = reg_dword(key, DEVLOAD_INDEX_VALNAME);
    if (!dll || dll->empty()) {
        log_line("activate %s: the key has no Dll value", k8.c_str());
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (!prefix || prefix->size() != 3 || !ce::is_stream_device_name(*prefix + u"0:")) {
        log_line("activate %s: Prefix must be three letters", k8.c_str());
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (index && *index > 9) {
        log_line("activate %s: Index %u is not 0 to 9", k8.c_str(), *index);
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }

    auto device = std::make_shared<Device>();
    device->key = key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Without an Index the device takes the first free one from 1, as the
        // device's manager does.
        std::u16string name;
        if (index) {
            name = *prefix + static_cast<char16_t>(u'0' + *index) + u":";
        } else {
            for (int i : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0}) {
                std::u16string candidate = *prefix + static_cast<char16_t>(u'0' + i) + u":";
                if (!by_name_.count(upper(candidate))) {
                    name = candidate;
                    break;
                }
            }
        }
        if (name.empty() || by_name_.count(upper(name))) {
            log_line("activate %s: %s is already in use", k8.c_str(),
                     name.empty() ? (u8(*prefix) + "0-9").c_str() : u8(name).c_str());
            *error = ERROR_DEVICE_IN_USE;
            return 0;
        }
        device->name = name;
        device->handle = next_handle_;
        next_handle_ += 4;
        device->active_key = new_active_key();
        by_name_[upper(name)] = device;  // reserved while the driver starts
    }

    std::u16string pfx = *prefix;
    std::u16string dll_name = *dll;
    return finish_activation(
        device, ents,
        [&](DWORD* code) -> std::unique_ptr<Driver> {
            auto d = std::make_unique<LibraryDriver>();
            d->module = LoadLibraryW(dll_name.c_str());
            if (!d->module) {
                log_line("activate %s: cannot load %s (error %u)", k8.c_str(), u8(dll_name).c_str(), GetLastError());
                *code = ERROR_MOD_NOT_FOUND;
                return nullptr;
            }
            d->init = entry<PFN_STREAM_INIT>(d->module, pfx, u"Init");
            d->deinit_fn = entry<PFN_STREAM_DEINIT>(d->module, pfx, u"Deinit");
            d->open_fn = entry<PFN_STREAM_OPEN>(d->module, pfx, u"Open");
            d->close_fn = entry<PFN_STREAM_CLOSE>(d->module, pfx, u"Close");
            d->read_fn = entry<PFN_STREAM_READ>(d->module, pfx, u"Read");
            d->write_fn = entry<PFN_STREAM_WRITE>(d->module, pfx, u"Write");
            d->seek_fn = entry<PFN_STREAM_SEEK>(d->module, pfx, u"Seek");
            d->ioctl_fn = entry<PFN_STREAM_IOCONTROL>(d->module, pfx, u"IOControl");
            d->powerdown_fn = entry<PFN_STREAM_POWERDOWN>(d->module, pfx, u"PowerDown");
            d->powerup_fn = entry<PFN_STREAM_POWERUP>(d->module, pfx, u"PowerUp");
            d->preclose_fn = entry<PFN_STREAM_PRECLOSE>(d->module, pfx, u"PreClose");
            d->predeinit_fn = entry<PFN_STREAM_PREDEINIT>(d->module, pfx, u"PreDeinit");
            std::string missing;
            if (!d->init) missing += " " + u8(pfx) + "_Init";
            if (!d->deinit_fn) missing += " " + u8(pfx) + "_Deinit";
            if (!d->open_fn) missing += " " + u8(pfx) + "_Open";
            if (!d->close_fn) missing += " " + u8(pfx) + "_Close";
            if (!missing.empty()) {
                log_line("activate %s: %s lacks the stream entry points%s; not activated", k8.c_str(),
                         u8(dll_name).c_str(), missing.c_str());
                *code = ERROR_PROC_NOT_FOUND;
                return nullptr;
            }
            d->context = d->init(device->active_key.c_str(), param);
            if (d->context == 0) {
                log_line("activate %s: %s_Init returned 0; not activated", k8.c_str(), u8(pfx).c_str());
                *code = ERROR_OPEN_FAILED;
                return nullptr;
            }
            return d;
        },
        error);
}

uint32_t Manager::activate_builtin(const std::u16string& name, const std::u16string& key,
                                   std::unique_ptr<Driver> driver, DWORD* error) {
    auto device = std::make_shared<Device>();
    device->key = key;
    device->name = name;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (by_name_.count(upper(name))) {
            log_line("%s: already in use; the built-in device is not started", u8(name).c_str());
            *error = ERROR_DEVICE_IN_USE;
            return 0;
        }
        device->handle = next_handle_;
        next_handle_ += 4;
        device->active_key = new_active_key();
        by_name_[upper(name)] = device;
    }
    auto holder = std::make_shared<std::unique_ptr<Driver>>(std::move(driver));
    return finish_activation(
        device, {}, [holder](DWORD*) { return std::move(*holder); }, error);
}

bool Manager::deactivate(uint32_t handle, DWORD* error) {
    std::shared_ptr<Device> device;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (const auto& d : order_) {
            if (d->handle == handle && d->state == Device::State::Ready) device = d;
        }
        if (!device) {
            *error = ERROR_INVALID_HANDLE;
            return false;
        }
        device->state = Device::State::Stopping;  // no new opens from here on
        cv_.wait(lock, [&] { return device->opening == 0; });
    }
    log_line("deactivating %s (handle %u)", u8(device->name).c_str(), handle);
    if (device->pty) device->pty->stop();
    std::vector<std::shared_ptr<Open>> opens;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opens.assign(device->opens.begin(), device->opens.end());
    }
    int left = 0;
    for (auto& o : opens) left += close_open(o) ? 0 : 1;
    device->driver->pre_deinit();
    // A call the driver never returns from must not hold the unload: the
    // device goes now, and Deinit follows when that call returns.
    if (!device->deinit_when_idle())
        log_line("%d open(s) of %s still have a call inside the driver; Deinit runs when they return", left,
                 u8(device->name).c_str());
    delete_active_entry(device->active_key);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        by_name_.erase(upper(device->name));
        order_.erase(std::remove(order_.begin(), order_.end(), device), order_.end());
    }
    // The library is unloaded when the last reference (an open's handle
    // object that a client still holds) goes.
    device->pty.reset();
    log_line("deactivated %s", u8(device->name).c_str());
    return true;
}

std::shared_ptr<Open> Manager::open_device(const std::u16string& name, DWORD access, DWORD share, uint64_t session,
                                           DWORD* error) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = by_name_.find(upper(name));
        if (it == by_name_.end() || it->second->state != Device::State::Ready) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        device = it->second;
        device->opening++;
    }
    DWORD_PTR context = device->driver->open(access, share);
    std::shared_ptr<Open> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (context) {
            device->open_started();
            open = std::make_shared<Open>(device, context, next_open_++, session);
            if (next_open_ == 0) next_open_ = 1;
            device->opens.insert(open);
            opens_[open->id()] = open;
        }
        device->opening--;
        cv_.notify_all();
    }
    if (!context) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return open;
}

std::shared_ptr<ce::KObject> Manager::open(const std::u16string& name, DWORD access, DWORD share, DWORD* error) {
    auto o = open_device(name, access, share, 0, error);
    if (!o) return nullptr;
    return std::make_shared<LocalDeviceFile>(std::move(o));
}

std::shared_ptr<Open> Manager::find_open(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = opens_.find(id);
    return it == opens_.end() ? nullptr : it->second;
}

bool Manager::close_open(const std::shared_ptr<Open>& open) {
    bool closed = open->close();
    std::lock_guard<std::mutex> lock(mutex_);
    opens_.erase(open->id());
    open->device().opens.erase(open);
    return closed;
}

void Manager::wake_nested_waits() {
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices = order_;
    }
    for (auto& d : devices) d->driver->wake_nested_waits();
}

std::vector<ce::rpc::DeviceInfo> Manager::list() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ce::rpc::DeviceInfo> out;
    for (const auto& d : order_) {
        if (d->state == Device::State::Ready) out.push_back({d->name, d->key, d->handle});
    }
    return out;
}

void Manager::boot() {
    struct Entry {
        DWORD order;
        std::u16string key;
    };
    std::vector<Entry> entries;
    const std::u16string builtin = DEVLOAD_BUILT_IN_KEY;
    for (const auto& sub : reg_subkeys(builtin)) {
        std::u16string key = builtin + u"\\" + sub;
        if (!reg_sz(key, DEVLOAD_DLLNAME_VALNAME)) continue;  // not a driver's key
        entries.push_back({reg_dword(key, DEVLOAD_LOADORDER_VALNAME).value_or(0xFFFFFFFFu), key});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.order < b.order; });
    for (const auto& e : entries) {
        DWORD error = 0;
        if (!activate(e.key, {}, nullptr, &error))
            log_line("boot: %s not activated (error %u)", u8(e.key).c_str(), error);
    }
}

void Manager::deactivate_all() {
    for (;;) {
        uint32_t handle = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
                if ((*it)->state == Device::State::Ready) {
                    handle = (*it)->handle;
                    break;
                }
            }
        }
        if (!handle) return;
        DWORD error = 0;
        deactivate(handle, &error);
    }
}

Manager& manager() {
    static auto* m = new Manager;  // lives until exit: handle objects may outlive main's scope
    return *m;
}

}  // namespace cehost
