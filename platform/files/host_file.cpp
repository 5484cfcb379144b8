// Host files the platform reads whole (recordings, GPS logs): only regular
// files, within a size limit, and never opened in a way that can block. And
// host files it makes: whole or not at all.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ce_platform.h"

namespace ce {

namespace {

std::string kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "is a folder, not a regular file";
    if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
    if (S_ISSOCK(mode)) return "is a socket, not a regular file";
    return "is not a regular file";
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside path for a temporary: path, a dot and six random letters.
std::string temporary_name(const std::string& path) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::atomic<uint64_t> count{0};
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        // Without the kernel's randomness the pid, the clock and a count still differ.
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        bits = (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^ (count++ << 20);
    }
    std::string name = path + ".";
    for (int i = 0; i < 6; i++, bits /= sizeof kLetters - 1) name += kLetters[bits % (sizeof kLetters - 1)];
    return name;
}

}  // namespace

bool make_root_folder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        // The folders above it are ordinary ones.
        std::string parent = path.substr(0, slash);
        if (::stat(parent.c_str(), &st) != 0) {
            for (size_t at = 1; at <= parent.size(); at++) {
                if (at == parent.size() || parent[at] == '/') ::mkdir(parent.substr(0, at).c_str(), 0755);
            }
        }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int open_regular_file(const std::string& host_path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = host_path + ": " + why;
        return -1;
    };
    // Non-blocking: opening a FIFO must not wait for a writer; the type is
    // checked on what was opened, so a swap after a stat changes nothing.
    int fd = ::open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        struct stat st {};
        if (errno == ENXIO && ::stat(host_path.c_str(), &st) == 0) return fail(kind_of(st.st_mode));
        return fail(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(kind_of(st.st_mode));
    }
    // Readers of a regular file wait for nothing; the flag goes so that no
    // library reading it ever meets EAGAIN.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int e = errno;
        ::close(fd);
        return fail(std::strerror(e));
    }
    return fd;
}

bool read_regular_file(const std::string& host_path, size_t max_bytes, std::string* contents, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = host_path + ": " + why;
        return false;
    };
    int fd = open_regular_file(host_path, error);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return fail(std::strerror(e));
    }
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        ::close(fd);
        return fail("too large (" + std::to_string(st.st_size) + " bytes; at most " + std::to_string(max_bytes) + ")");
    }
    std::string text;
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    if (contents) *contents = std::move(text);
    return true;
}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool ReplacementFile::open(const std::string& destination, std::string* error) {
    discard();
    auto fail = [&](const std::string& why) {
        if (error) *error = destination + ": " + why;
        discard();
        return false;
    };
    destination_ = destination;
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // The file the link names is the one replaced; the link stays.
        char* target = ::realpath(destination.c_str(), nullptr);
        if (!target) return fail(std::strerror(errno));
        destination_ = target;
        std::free(target);
    }
    mode_t mode = 0666;  // less the umask, as any new file
    bool replacing = false;
    if (::stat(destination_.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return fail(kind_of(st.st_mode));
        // Write protection is kept: a rename would pass it by.
        if (::access(destination_.c_str(), W_OK) != 0) return fail(std::strerror(errno));
        mode = st.st_mode & 07777;
        replacing = true;
    } else if (errno != ENOENT) {
        return fail(std::strerror(errno));
    }
    folder_ = folder_of(destination_);

    // An unnamed file first: it vanishes with the process whatever ends it.
    // Naming it later takes /proc; without that, or where the file system
    // has no unnamed files, a named one.
    if (::access("/proc/self/fd", X_OK) == 0) {
        fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(std::strerror(errno));
    }
    for (int tries = 0; fd_ < 0 && tries < 100; tries++) {
        std::string name = temporary_name(destination_);
        fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd_ >= 0) temp_ = name;
        else if (errno != EEXIST) return fail(std::strerror(errno));
    }
    if (fd_ < 0) return fail("no free temporary name beside it");
    if (replacing && ::fchmod(fd_, mode) != 0) return fail(std::strerror(errno));
    return true;
}

bool ReplacementFile::commit(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = destination_ + ": " + why;
        discard();
        return false;
    };
    if (fd_ < 0) return fail("not open");
    if (::fsync(fd_) != 0) return fail(std::strerror(errno));
    // An unnamed file gets a name beside the destination just before the rename.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int tries = 0; temp_.empty() && tries < 100; tries++) {
        std::string name = temporary_name(destination_);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) temp_ = name;
        else if (errno != EEXIST) return fail(std::strerror(errno));
    }
    if (temp_.empty()) return fail("no free temporary name beside it");
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return fail(std::strerror(errno));
    if (::rename(temp_.c_str(), destination_.c_str()) != 0) return fail(std::strerror(errno));
    temp_.clear();
    // The rename itself on the disk; it cannot be undone, so a failure here is no failure.
    int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

}  // namespace ce
