// The device manager host (cehost) as tools and tests see it, beyond the
// device's own ActivateDeviceEx / DeactivateDevice / CreateFileW.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// ---- <root>/dev: the links cehost publishes ---------------------------------
// Each device's link names the host's own descriptor on the pty's slave,
// /proc/PID/fd/N, so it leads nowhere once the host is gone (older hosts
// linked /dev/pts/N). Only links of those two forms are the host's.
bool is_host_link_target(std::string_view target);

struct RemovedLink {
    std::string name;    // under <root>/dev
    std::string target;  // where it led
    std::string error;   // why it could not be removed; empty when it was
};
// Removes every host link under <root>/dev. Only for a host that holds the
// root's lock (its own links at its start and stop).
std::vector<RemovedLink> remove_host_links();

// <root>/.cehost locked (flock) until the descriptor is closed; -1 when the
// folder is missing. A host takes the root's lock while holding it, so that
// remove_dead_host_links never takes a starting host for a dead one.
int lock_host_folder();

// Removes the host links under <root>/dev when no host serves the root: a
// killed host's pid may name another program by now, and its descriptor
// number that program's terminal. Every cectl command calls it.
std::vector<RemovedLink> remove_dead_host_links();

}  // namespace ce
