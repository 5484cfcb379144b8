// cehost internals: the device manager, its devices and opens, the built-in
// GPS multiplexer port, pty publishing and the log.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ce_stream.h"
#include "local_manager.h"
#include "windows.h"

namespace cehost {

// ---- log: <root>/.cehost/log, one line per event -----------------------------
// Each line also goes to stderr when echo_stderr, or when stderr is the
// journal (without the stamp and name the journal adds itself).
void log_open(const std::string& path, bool echo_stderr, bool journal = false);
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string u8(const std::u16string& text);

// ---- registry helpers (HKLM) ------------------------------------------------------
std::optional<std::u16string> reg_sz(const std::u16string& key, const char16_t* name);
std::optional<DWORD> reg_dword(const std::u16string& key, const char16_t* name);
bool reg_key_exists(const std::u16string& key);
std::vector<std::u16string> reg_subkeys(const std::u16string& key);

// ---- what an active device does ---------------------------------------------------
// A loaded stream-driver library, or a device built into the host (GPD0:).
class Driver {
public:
    virtual ~Driver() = default;
    virtual DWORD_PTR open(DWORD access, DWORD share) = 0;  // 0 refuses
    virtual void pre_close(DWORD_PTR open) {}
    virtual BOOL close(DWORD_PTR open) = 0;
    virtual DWORD read(DWORD_PTR open, void* buffer, DWORD count) = 0;  // (DWORD)-1 on failure
    virtual DWORD write(DWORD_PTR open, const void* buffer, DWORD count) = 0;
    virtual DWORD seek(DWORD_PTR open, LONG amount, WORD type) = 0;
    virtual BOOL ioctl(DWORD_PTR open, DWORD code, PBYTE in, DWORD in_size, PBYTE out, DWORD out_size,
                       PDWORD returned) = 0;
    virtual void pre_deinit() {}
    virtual void deinit() = 0;
    // Built-in devices: look again at waits made inside another device's
    // call (see outer_call_released).
    virtual void wake_nested_waits() {}
    // True when a read returns at once and IOCTL_SERIAL_WAIT_ON_MASK is how
    // a reader waits for data (the pty publisher reads such devices so).
    virtual bool waits_by_comm_event() const { return false; }
};

class Device;

// How long a close or a deactivation waits for calls still inside a driver
// before it goes on without them (CE_HOST_CLOSE_MS, default 5000).
std::chrono::milliseconds close_budget();

// Calls nest: a driver forwards its client's WaitCommEvent to GPD0: on the
// client's own thread. True when an open whose call this thread is making,
// further out, is being closed: a wait inside must end.
bool outer_call_released();

// One open of a device: by a client process, by code inside the host, or by
// the device's pty. Calls count themselves in, so that Close runs only
// after every call inside the driver has returned.
class Open : public std::enable_shared_from_this<Open> {
public:
    Open(std::shared_ptr<Device> device, DWORD_PTR context, uint32_t id, uint64_t session)
        : device_(std::move(device)), context_(context), id_(id), session_(session) {}

    uint32_t id() const { return id_; }
    uint64_t session() const { return session_; }
    Device& device() { return *device_; }

    BOOL read(void* buffer, DWORD size, DWORD* done);
    BOOL write(const void* buffer, DWORD size, DWORD* done);
    BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned);
    DWORD seek(LONG distance, DWORD method);
    // Releases callers blocked in the driver (PreClose), waits for them,
    // then calls Close. Idempotent; later calls fail with ERROR_INVALID_HANDLE.
    // A call that stays inside the driver longer than close_budget() is left
    // behind: Close then runs when it returns, and this returns false.
    bool close();
    bool closing();
    bool released() const { return releasing_.load(std::memory_order_acquire); }

private:
    bool enter();
    void leave();
    void finish_close();

    std::shared_ptr<Device> device_;
    DWORD_PTR context_;
    uint32_t id_;
    uint64_t session_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int in_flight_ = 0;
    bool closing_ = false;
    bool closed_ = false;
    bool late_close_ = false;  // the last call to leave runs Close
    std::atomic<bool> releasing_{false};
};

class PtyPort;

class Device {
public:
    std::u16string name;        // "COM1:"
    std::u16string key;         // the key it was activated from
    std::u16string active_key;  // "Drivers\Active\NN"
    uint32_t handle = 0;
    std::unique_ptr<Driver> driver;
    std::unique_ptr<PtyPort> pty;

    enum class State { Starting, Ready, Stopping };
    State state = State::Starting;          // guarded by the manager's lock
    std::set<std::shared_ptr<Open>> opens;  // guarded by the manager's lock
    int opening = 0;                        // Open calls inside the driver, likewise

    // Opens whose Close has not run yet. A deactivation that had to leave a
    // call inside the driver defers Deinit until the last of them closes.
    void open_started();
    void open_finished();
    // False when Deinit was deferred.
    bool deinit_when_idle();

private:
    std::mutex life_mutex_;
    int unclosed_ = 0;
    bool deinit_pending_ = false;
};

class Manager : public ce::LocalDeviceManager {
public:
    Manager();
    ~Manager() override;

    uint32_t activate(const std::u16string& key, const std::vector<ce::rpc::RegEnt>& ents, const void* param,
                      DWORD* error) override;
    bool deactivate(uint32_t handle, DWORD* error) override;
    std::shared_ptr<ce::KObject> open(const std::u16string& name, DWORD access, DWORD share, DWORD* error) override;

    // A built-in device (GPD0:), listed and published like the others.
    uint32_t activate_builtin(const std::u16string& name, const std::u16string& key, std::unique_ptr<Driver> driver,
                              DWORD* error);
    std::shared_ptr<Open> open_device(const std::u16string& name, DWORD access, DWORD share, uint64_t session,
                                      DWORD* error);
    std::shared_ptr<Open> find_open(uint32_t id);
    // False when a call was left inside the driver (see Open::close).
    bool close_open(const std::shared_ptr<Open>& open);
    // Every built-in device looks again at its nested waits.
    void wake_nested_waits();
    std::vector<ce::rpc::DeviceInfo> list();
    // HKLM\Drivers\Builtin keys that have a Dll, by Order.
    void boot();
    void deactivate_all();

private:
    uint32_t finish_activation(const std::shared_ptr<Device>& device, const std::vector<ce::rpc::RegEnt>& ents,
                               const std::function<std::unique_ptr<Driver>(DWORD*)>& load, DWORD* error);
    std::u16string new_active_key();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::u16string, std::shared_ptr<Device>> by_name_;  // upper-case name
    std::vector<std::shared_ptr<Device>> order_;                 // activation order
    std::map<uint32_t, std::shared_ptr<Open>> opens_;
    uint32_t next_handle_;
    uint32_t next_open_ = 1;
    unsigned next_active_ = 1;
};

Manager& manager();

// ---- pty publishing ---------------------------------------------------------------
// <root>/dev/NAME, a symlink to a pseudo-terminal whose opening opens the
// device, through the host's own descriptor on its slave (/proc/PID/fd/N).
// Removes every such link under <root>/dev, logging each: a host that was
// killed left them naming its pid, which another program may have by now.
void remove_device_links(const char* why);

class PtyPort {
public:
    PtyPort(Manager& manager, std::u16string device_name, bool comm_wait);
    ~PtyPort();
    bool start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- GPD0: the GPS multiplexer port -------------------------------------------------
std::unique_ptr<Driver> make_gps_driver();
// Re-reads HKLM\Platform\Gps (Source, Path) and restarts a running source.
void gps_reload();

}  // namespace cehost
