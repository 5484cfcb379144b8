// The links cehost publishes under <root>/dev, as the host and the tools
// clean them up. A host that was killed cannot remove its own: they are
// removed by the next host of the root, or by any cectl command meanwhile.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ce_devices.h"
#include "ce_platform.h"

namespace ce {

namespace {

// Text that is one or more digits, then end, or then `then`.
bool number_then(std::string_view& text, std::string_view then) {
    size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') n++;
    if (n == 0 || n > 10 || text.substr(n, then.size()) != then) return false;
    text.remove_prefix(n + then.size());
    return true;
}

int open_folder(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void take_lock(int fd, int how) {
    while (::flock(fd, how) != 0 && errno == EINTR) {}
}

// Whether a host holds the root's lock. Unknown (an error) counts as held:
// links are only removed when the host is surely gone.
bool host_holds_lock(int host_folder) {
    int fd = ::openat(host_folder, "lock", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT && errno != ELOOP;
    struct stat st {};
    // A host only locks a regular file.
    bool held = ::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) != 0);
    ::close(fd);
    return held;
}

}  // namespace

bool is_host_link_target(std::string_view target) {
    std::string_view rest = target;
    if (rest.substr(0, 9) == "/dev/pts/") {
        rest.remove_prefix(9);
        return number_then(rest, "") && rest.empty();
    }
    if (rest.substr(0, 6) != "/proc/") return false;
    rest.remove_prefix(6);
    return number_then(rest, "/fd/") && number_then(rest, "") && rest.empty();
}

std::vector<RemovedLink> remove_host_links() {
    std::vector<RemovedLink> removed;
    int dir = open_folder(root() + "/dev");
    if (dir < 0) return removed;
    DIR* d = ::fdopendir(dir);
    if (!d) {
        ::close(dir);
        return removed;
    }
    while (dirent* e = ::readdir(d)) {
        char target[256];
        ssize_t n = ::readlinkat(dir, e->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        if (!is_host_link_target(target)) continue;
        RemovedLink link{e->d_name, target, {}};
        if (::unlinkat(dir, e->d_name, 0) != 0) link.error = std::strerror(errno);
        removed.push_back(std::move(link));
    }
    ::closedir(d);
    return removed;
}

int lock_host_folder() {
    int fd = open_folder(root() + "/.cehost");
    if (fd >= 0) take_lock(fd, LOCK_EX);
    return fd;
}

std::vector<RemovedLink> remove_dead_host_links() {
    std::vector<RemovedLink> removed;
    // Nothing published, or no host ever ran here: nothing to look at (and
    // nothing is created).
    if (::access((root() + "/dev").c_str(), F_OK) != 0) return removed;
    int folder = lock_host_folder();
    if (folder < 0) return removed;
    if (!host_holds_lock(folder)) removed = remove_host_links();
    ::close(folder);
    return removed;
}

}  // namespace ce
