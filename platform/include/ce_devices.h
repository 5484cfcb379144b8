// The device manager host (cehost) as tools and tests see it, beyond the
// device's own ActivateDeviceEx / DeactivateDevice / CreateFileW.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ce {

struct ActiveDevice {
    std::string name;  // "COM9:"
    std::string key;   // the key it was activated from, relative to HKLM
    uint32_t handle = 0;
};

// <root>/.cehost/socket
std::string host_socket_path();
// Whether a cehost serves the current root (never starts one).
bool host_running();
// Starts the root's cehost unless one runs; false (with a reason) when it
// cannot be started.
bool ensure_host(std::string* error = nullptr);
// The active devices, in activation order; nullopt when cehost cannot be reached.
std::optional<std::vector<ActiveDevice>> list_devices();
// Asks the root's cehost to deactivate every device and exit, and waits
// until it has. Returns false when none was running.
bool stop_host();
// Tells a running cehost that the GPS source settings changed.
void notify_gps_changed();

}  // namespace ce
