// Host files the platform reads whole (recordings, GPS logs): only regular
// files, within a size limit, and never opened in a way that can block.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace ce
