// cehost under a service manager (a systemd user unit): readiness and stop
// notices over the manager's notification socket, the journal as stderr, and
// the devices the host's settings ask for at start.
#include "service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"

namespace cehost {

namespace {

int notify_fd = -1;
sockaddr_un notify_address{};
socklen_t notify_length = 0;

// "/path" or "@abstract"; anything else (a VM socket, a name too long) is
// not ours to speak to.
bool parse_notify_address(const char* text) {
    size_t length = std::strlen(text);
    if (length < 2 || (text[0] != '/' && text[0] != '@') || length >= sizeof notify_address.sun_path) return false;
    notify_address = {};
    notify_address.sun_family = AF_UNIX;
    std::memcpy(notify_address.sun_path, text, length);
    // An abstract name is the bytes after a leading NUL, no terminator.
    if (text[0] == '@') notify_address.sun_path[0] = '\0';
    notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (text[0] == '/' ? 1 : 0));
    return true;
}

}  // namespace

void notify_open(bool take) {
    const char* socket_name = std::getenv("NOTIFY_SOCKET");
    bool usable = take && socket_name && parse_notify_address(socket_name);
    // Nothing the host starts, and no host that detaches, speaks for the unit.
    ::unsetenv("NOTIFY_SOCKET");
    if (!usable) return;
    notify_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool notify(const std::string& state) {
    if (notify_fd < 0) return false;
    ssize_t sent = ::sendto(notify_fd, state.data(), state.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&notify_address), notify_length);
    return sent == static_cast<ssize_t>(state.size());
}

bool stderr_is_journal() {
    // The manager names the stream it gave the service as "DEVICE:INODE"; a
    // stderr that was redirected since is no longer the journal.
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat s {};
    return ::fstat(2, &s) == 0 && s.st_dev == device && s.st_ino == inode;
}

std::vector<std::u16string> activate_at_start(Manager& manager) {
    std::vector<std::u16string> names;
    auto key = reg_sz(kHostSettingsKey, kActivateValue);
    if (!key || key->empty()) return names;
    DWORD error = 0;
    uint32_t handle = manager.activate(*key, {}, nullptr, &error);
    if (!handle) {
        // The host still serves: a control program can load the driver later.
        log_line("start: %s not activated (error %u)", u8(*key).c_str(), error);
        return names;
    }
    for (const auto& device : manager.list()) {
        if (device.handle == handle) names.push_back(device.name);
    }
    return names;
}

}  // namespace cehost
