// Inside cehost the device manager is in the same process: the calls of the
// device's API reach it directly instead of going over the socket.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kobject.h"
#include "rpc.h"

namespace ce {

class LocalDeviceManager {
public:
    virtual ~LocalDeviceManager() = default;
    // Each returns the result and sets *error (a Win32 code) on failure.
    virtual uint32_t activate(const std::u16string& key, const std::vector<rpc::RegEnt>& ents, const void* param,
                              DWORD* error) = 0;
    virtual bool deactivate(uint32_t handle, DWORD* error) = 0;
    // A handle object whose read/write/ioctl go straight to the driver.
    virtual std::shared_ptr<KObject> open(const std::u16string& name, DWORD access, DWORD share, DWORD* error) = 0;
};

// Installed by cehost at start, before any device is activated.
void set_local_device_manager(LocalDeviceManager* manager);
LocalDeviceManager* local_device_manager();

// Whether a name has the shape of a device name: three letters, one digit,
// a colon ("COM1:"). The colon is optional when allow_bare is set.
bool is_stream_device_name(const std::u16string& name, bool allow_bare = false);

}  // namespace ce
