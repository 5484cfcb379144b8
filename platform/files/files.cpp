// File services of the device over the host's files under the device root,
// device names handed to the device manager's client, DeviceIoControl and the
// serial calls that travel through it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"
#include "pegdser.h"
#include "windows.h"

namespace ce {

namespace {

std::atomic<DeviceOpener> device_opener{nullptr};

// An open file: the descriptor and the access the opener asked for (the
// device refuses a read on a handle opened for writing only, and so do we).
class FileObject : public KObject {
public:
    FileObject(int fd, bool can_read, bool can_write) : fd_(fd), can_read_(can_read), can_write_(can_write) {}
    ~FileObject() override { ::close(fd_); }

    BOOL read(void* buffer, DWORD size, DWORD* done) override {
        *done = 0;
        if (!can_read_) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        auto* p = static_cast<char*>(buffer);
        while (*done < size) {
            ssize_t n = ::read(fd_, p + *done, size - *done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                SetLastError(errno == EISDIR ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE);
                return FALSE;
            }
            if (n == 0) break;  // end of file: success with what was read
            *done += static_cast<DWORD>(n);
            if (!regular()) break;  // a pty or pipe gives what it has
        }
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD size, DWORD* done) override {
        *done = 0;
        if (!can_write_) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        const auto* p = static_cast<const char*>(buffer);
        while (*done < size) {
            ssize_t n = ::write(fd_, p + *done, size - *done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_GEN_FAILURE);
                return FALSE;
            }
            *done += static_cast<DWORD>(n);
        }
        return TRUE;
    }

    BOOL ioctl(DWORD, void*, DWORD, void*, DWORD, DWORD* returned) override {
        *returned = 0;
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }

    DWORD seek(LONG distance, LONG* high, DWORD method) override {
        int64_t offset = high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                                     static_cast<uint32_t>(distance))
                              : static_cast<int64_t>(distance);
        int64_t base;
        switch (method) {
            case FILE_BEGIN: base = 0; break;
            case FILE_CURRENT: base = ::lseek(fd_, 0, SEEK_CUR); break;
            case FILE_END: {
                struct stat st;
                base = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
                break;
            }
            default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
        }
        if (base < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return INVALID_SET_FILE_POINTER;
        }
        if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) {
            SetLastError(ERROR_NEGATIVE_SEEK);
            return INVALID_SET_FILE_POINTER;
        }
        int64_t target = base + offset;
        // Without the high word the caller can only take a 32-bit position.
        if (!high && target > 0xFFFFFFFELL) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        if (::lseek(fd_, target, SEEK_SET) < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        if (high) *high = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
        SetLastError(NO_ERROR);  // INVALID_SET_FILE_POINTER can be a real low word
        return static_cast<DWORD>(target);
    }

    DWORD size(DWORD* high) override {
        struct stat st;
        if (::fstat(fd_, &st) != 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return INVALID_FILE_SIZE;
        }
        auto s = static_cast<uint64_t>(st.st_size);
        if (high) *high = static_cast<DWORD>(s >> 32);
        SetLastError(NO_ERROR);
        return static_cast<DWORD>(s);
    }

    BOOL flush() {
        if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return TRUE;
    }

private:
    bool regular() const {
        struct stat st;
        return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    }

    int fd_;
    bool can_read_;
    bool can_write_;
};

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool present(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A missing entry is "file not found" when its folder exists and "path not
// found" when the folder does not, as the device tells them apart.
DWORD missing_error(const std::string& host) {
    return is_dir(parent_of(host)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD error_from_errno(int err, const std::string& host) {
    switch (err) {
        case ENOENT: return missing_error(host);
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case ETXTBSY: return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EBUSY: return ERROR_BUSY;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_GEN_FAILURE;
    }
}

// Maps a device path, setting the last error when it cannot be mapped.
bool map_or_fail(LPCWSTR name, std::string& host) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    MappedPath m = map_path(name);
    if (m.error) {
        SetLastError(m.error);
        return false;
    }
    host = std::move(m.host);
    return true;
}

bool is_root(const std::string& host) { return host == root(); }

template <class T>
T fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

FILETIME filetime_of(const timespec& ts) {
    // 100 ns intervals since 1601-01-01, the device's time base.
    uint64_t t =
        (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

bool copy_contents(int from, int to) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = ::write(to, buffer + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return false;
            off += w;
        }
    }
}

}  // namespace

DeviceOpener set_device_opener(DeviceOpener opener) { return device_opener.exchange(opener); }

bool is_device_name(std::u16string_view name) {
    if (!name.empty() && name[0] == u'\\') name.remove_prefix(1);
    if (name.size() != 5) return false;
    for (int i = 0; i < 3; i++) {
        char16_t c = name[i];
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'))) return false;
    }
    return name[3] >= u'0' && name[3] <= u'9' && name[4] == u':';
}

}  // namespace ce

using namespace ce;
using ce::trace::hex;

static HANDLE create_file(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                          HANDLE) {
    if (name && is_device_name(name)) {
        DeviceOpener opener = device_opener.load();
        if (!opener) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        return opener(name[0] == u'\\' ? name + 1 : name, access, shareMode);
    }
    std::string host;
    if (!map_or_fail(name, host)) return INVALID_HANDLE_VALUE;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    bool can_read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool can_write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (disposition == TRUNCATE_EXISTING && !can_write) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (is_root(host) || is_dir(host)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    // O_NONBLOCK only for the open itself: a FIFO in the root must not hang it.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (can_write ? (can_read ? O_RDWR : O_WRONLY) : O_RDONLY);
    int fd = -1;
    bool existed = false;
    switch (disposition) {
        case CREATE_NEW: fd = ::open(host.c_str(), flags | O_CREAT | O_EXCL, 0600); break;
        case OPEN_EXISTING: fd = ::open(host.c_str(), flags); break;
        case TRUNCATE_EXISTING: fd = ::open(host.c_str(), flags | O_TRUNC); break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS: {
            // Created or found, told apart without a race: try to create first.
            int extra = disposition == CREATE_ALWAYS ? O_TRUNC : 0;
            for (int attempt = 0; attempt < 8 && fd < 0; attempt++) {
                fd = ::open(host.c_str(), flags | O_CREAT | O_EXCL, 0600);
                if (fd >= 0 || errno != EEXIST) break;
                fd = ::open(host.c_str(), flags | extra);
                if (fd >= 0) existed = true;
                else if (errno != ENOENT) break;
            }
            break;
        }
    }
    if (fd < 0) return fail(error_from_errno(errno, host), INVALID_HANDLE_VALUE);
    // A file name under the root names a file: a FIFO, socket or device put
    // there (or a link to one) is refused on the descriptor, where no swap
    // after a check can change what was opened.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    HANDLE h = handle_insert(std::make_shared<FileObject>(fd, can_read, can_write));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return h;
}

// CreateFileW -> open(2) under the root, regular files only; "XXXn:" names go to the device manager's client.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
    return CE_TRACE_RET(files, create_file(name, access, shareMode, {}, disposition, {}, {}), INVALID_HANDLE_VALUE,
                        CreateFileW, name, hex(access), hex(shareMode), disposition);
}

static BOOL read_file(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    if (read) *read = 0;
    auto object = handle_get(file);
    if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!buffer && toRead) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD done = 0;
    BOOL ok = object->read(buffer, toRead, &done);
    if (read) *read = done;
    return ok;
}

// ReadFile -> read(2) on a file; a device handle's Read for devices.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    return CE_TRACE_RET(files, read_file(file, buffer, toRead, read, {}), FALSE, ReadFile, file, toRead);
}

static BOOL write_file(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    if (written) *written = 0;
    auto object = handle_get(file);
    if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!buffer && toWrite) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD done = 0;
    BOOL ok = object->write(buffer, toWrite, &done);
    if (written) *written = done;
    return ok;
}

// WriteFile -> write(2) on a file; a device handle's Write for devices.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    return CE_TRACE_RET(files, write_file(file, buffer, toWrite, written, {}), FALSE, WriteFile, file, toWrite);
}

// SetFilePointer -> lseek(2) with the Win32 split 64-bit distance.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    auto object = handle_get(file);
    if (!object) return fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    return object->seek(distance, distanceHigh, method);
}

// GetFileSize -> fstat(2) st_size, split into two words.
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    auto object = handle_get(file);
    if (!object) return fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
    return object->size(sizeHigh);
}

static BOOL flush_file_buffers(HANDLE file) {
    auto object = handle_get(file);
    if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (auto f = std::dynamic_pointer_cast<FileObject>(object)) return f->flush();
    return TRUE;
}

// FlushFileBuffers -> fsync(2) on a file; nothing to do for other handles.
BOOL FlushFileBuffers(HANDLE file) {
    return CE_TRACE_RET(files, flush_file_buffers(file), FALSE, FlushFileBuffers, file);
}

static BOOL get_file_attributes(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    if (level != GetFileExInfoStandard || !information) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string host;
    if (!map_or_fail(name, host)) return FALSE;
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return fail(error_from_errno(errno, host), FALSE);
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    data->dwFileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    data->ftCreationTime = filetime_of(st.st_ctim);
    data->ftLastAccessTime = filetime_of(st.st_atim);
    data->ftLastWriteTime = filetime_of(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

// GetFileAttributesExW -> stat(2) of the mapped path: attributes, times and size.
BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    return CE_TRACE_RET(files, get_file_attributes(name, level, information), FALSE, GetFileAttributesExW, name, level);
}

// GetFileAttributesW -> stat(2) of the mapped path: the attribute word only.
DWORD GetFileAttributesW(LPCWSTR name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(name, GetFileExInfoStandard, &data)) return INVALID_FILE_ATTRIBUTES;
    return data.dwFileAttributes;
}

static BOOL delete_file(LPCWSTR name) {
    std::string host;
    if (!map_or_fail(name, host)) return FALSE;
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) return fail(error_from_errno(errno, host), FALSE);
    if (S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (::unlink(host.c_str()) != 0) return fail(error_from_errno(errno, host), FALSE);
    return TRUE;
}

// DeleteFileW -> unlink(2); folders are refused as the device refuses them.
BOOL DeleteFileW(LPCWSTR name) { return CE_TRACE_RET(files, delete_file(name), FALSE, DeleteFileW, name); }

static BOOL move_file(LPCWSTR existing, LPCWSTR replacement) {
    std::string from, to;
    if (!map_or_fail(existing, from) || !map_or_fail(replacement, to)) return FALSE;
    if (is_root(from) || is_root(to)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (!present(from)) return fail(missing_error(from), FALSE);
    if (from == to) {
        // The same entry: a change of case only (the matching found the old
        // name), or nothing at all.
        std::u16string wanted(replacement);
        size_t cut = wanted.find_last_of(u"\\/");
        std::string last = narrow(cut == std::u16string::npos ? wanted : wanted.substr(cut + 1));
        std::string renamed = parent_of(to) + "/" + last;
        if (last.empty() || renamed == from) return TRUE;
        if (::rename(from.c_str(), renamed.c_str()) != 0) return fail(error_from_errno(errno, from), FALSE);
        return TRUE;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without RENAME_NOREPLACE: check, then rename.
        if (present(to)) return fail(ERROR_ALREADY_EXISTS, FALSE);
        if (::rename(from.c_str(), to.c_str()) == 0) return TRUE;
        err = errno;
    }
    if (err == EEXIST) return fail(ERROR_ALREADY_EXISTS, FALSE);
    return fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(err, to), FALSE);
}

// MoveFileW -> renameat2(2) with RENAME_NOREPLACE: an existing target is never replaced.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR replacement) {
    return CE_TRACE_RET(files, move_file(existing, replacement), FALSE, MoveFileW, existing, replacement);
}

static BOOL copy_file(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
    std::string from, to;
    if (!map_or_fail(existing, from) || !map_or_fail(target, to)) return FALSE;
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return fail(error_from_errno(errno, from), FALSE);
    struct stat src;
    if (::fstat(in, &src) != 0 || !S_ISREG(src.st_mode)) {
        ::close(in);
        return fail(ERROR_ACCESS_DENIED, FALSE);
    }
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
    struct stat dst;
    if (::stat(to.c_str(), &dst) == 0) {
        DWORD error = 0;
        if (failIfExists) error = ERROR_FILE_EXISTS;
        else if (S_ISDIR(dst.st_mode) || is_root(to)) error = ERROR_ACCESS_DENIED;
        else if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) error = ERROR_SHARING_VIOLATION;
        if (error) {
            ::close(in);
            return fail(error, FALSE);
        }
    }
    std::string dir = parent_of(to);
    if (!is_dir(dir)) {
        ::close(in);
        return fail(ERROR_PATH_NOT_FOUND, FALSE);
    }
    std::string temp = dir + "/.copy-XXXXXX";
    int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        DWORD error = error_from_errno(errno, temp);
        ::close(in);
        return fail(error, FALSE);
    }
    bool ok = copy_contents(in, out);
    int err = errno;
    ::fchmod(out, src.st_mode & 07777);
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(err == ENOSPC || err == EDQUOT ? ERROR_DISK_FULL : ERROR_GEN_FAILURE, FALSE);
    }
    int rc = failIfExists ? ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)
                          : ::rename(temp.c_str(), to.c_str());
    if (rc != 0 && failIfExists && (errno == EINVAL || errno == ENOSYS)) {
        rc = ::link(temp.c_str(), to.c_str());
        if (rc == 0) ::unlink(temp.c_str());
    }
    if (rc != 0) {
        err = errno;
        ::unlink(temp.c_str());
        return fail(err == EEXIST ? ERROR_FILE_EXISTS : error_from_errno(err, to), FALSE);
    }
    return TRUE;
}

// CopyFileW -> copies into a temporary file beside the target, then rename(2): never a half-written target.
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
    return CE_TRACE_RET(files, copy_file(existing, target, failIfExists), FALSE, CopyFileW, existing, target,
                        failIfExists);
}

static BOOL create_directory(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    std::string host;
    if (!map_or_fail(name, host)) return FALSE;
    if (is_root(host)) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (::mkdir(host.c_str(), 0777) != 0) {
        int err = errno;
        if (err == EEXIST) return fail(ERROR_ALREADY_EXISTS, FALSE);
        return fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(err, host), FALSE);
    }
    return TRUE;
}

// CreateDirectoryW -> mkdir(2) of the mapped path.
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
    return CE_TRACE_RET(files, create_directory(name, {}), FALSE, CreateDirectoryW, name);
}

static BOOL remove_directory(LPCWSTR name) {
    std::string host;
    if (!map_or_fail(name, host)) return FALSE;
    if (is_root(host)) return fail(ERROR_ACCESS_DENIED, FALSE);
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0) return fail(error_from_errno(errno, host), FALSE);
    if (!S_ISDIR(st.st_mode)) return fail(ERROR_DIRECTORY, FALSE);
    if (::rmdir(host.c_str()) != 0) {
        int err = errno;
        return fail(err == EEXIST ? ERROR_DIR_NOT_EMPTY : error_from_errno(err, host), FALSE);
    }
    return TRUE;
}

// RemoveDirectoryW -> rmdir(2) of the mapped path; the root itself is never removed.
BOOL RemoveDirectoryW(LPCWSTR name) {
    return CE_TRACE_RET(files, remove_directory(name), FALSE, RemoveDirectoryW, name);
}

static FILE* wfopen(const WCHAR* path, const WCHAR* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char base = static_cast<char>(mode[0]);
    if (base != 'r' && base != 'w' && base != 'a') {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool plus = false, exclusive = false;
    for (const WCHAR* m = mode + 1; *m; m++) {
        switch (*m) {
            case u'+': plus = true; break;
            case u'x': exclusive = true; break;
            // Text/binary and the device library's caching hints change
            // nothing on this host: line ends are written as given.
            case u'b':
            case u't':
            case u'c':
            case u'n':
            case u'S':
            case u'R':
            case u'T':
            case u'D': break;
            case u' ': break;
            default:
                errno = EINVAL;
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
        }
    }
    if (exclusive && base != 'w') {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    MappedPath m = map_path(path);
    if (m.error) {
        SetLastError(m.error);
        errno = m.error == ERROR_INVALID_NAME ? EINVAL : ENAMETOOLONG;
        return nullptr;
    }
    if (is_dir(m.host)) {
        SetLastError(ERROR_ACCESS_DENIED);
        errno = EACCES;
        return nullptr;
    }
    // Opened with open(2) so that a file made here is the user's alone (0600),
    // as everything the device keeps in the root. Non-blocking for the open
    // itself: a FIFO or a device put where a file is expected (a shortcut, the
    // log) must not hang the program; only a regular file is taken, as the
    // descriptor shows it, so a swap after any check changes nothing.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (plus ? O_RDWR : (base == 'r' ? O_RDONLY : O_WRONLY));
    if (base == 'w') flags |= O_CREAT | O_TRUNC | (exclusive ? O_EXCL : 0);
    if (base == 'a') flags |= O_CREAT | O_APPEND;
    int fd = ::open(m.host.c_str(), flags, 0600);
    if (fd < 0) {
        int e = errno;
        // ENXIO: a FIFO without a reader or a device without a driver behind it.
        SetLastError(e == ENXIO ? ERROR_ACCESS_DENIED : error_from_errno(e, m.host));
        errno = e == ENXIO ? EACCES : e;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        errno = EACCES;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::string host_mode(1, base);
    if (plus) host_mode += '+';
    FILE* f = ::fdopen(fd, host_mode.c_str());
    if (!f) {
        int e = errno;
        ::close(fd);
        SetLastError(error_from_errno(e, m.host));
        errno = e;
    }
    return f;
}

// _wfopen -> fopen(3) of the mapped path, with the device C library's modes ("a+", "rt", "wb"); regular files only,
// opened without blocking.
FILE* _wfopen(const WCHAR* path, const WCHAR* mode) {
    return CE_TRACE_RET(files, wfopen(path, mode), nullptr, _wfopen, path, mode);
}

static BOOL device_io_control(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                              DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    if (returned) *returned = 0;
    auto object = handle_get(device);
    if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
    if ((!inBuffer && inSize) || (!outBuffer && outSize)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD done = 0;
    BOOL ok = object->ioctl(ioControlCode, inBuffer, inSize, outBuffer, outSize, &done);
    if (returned) *returned = done;
    return ok;
}

// DeviceIoControl -> the handle's IOControl (a device's, through the device manager).
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED) {
    return CE_TRACE_RET(devices,
                        device_io_control(device, ioControlCode, inBuffer, inSize, outBuffer, outSize, returned, {}),
                        FALSE, DeviceIoControl, device, hex(ioControlCode), inSize, outSize);
}

namespace {

BOOL serial_in(HANDLE file, DWORD code, const void* in, DWORD size) {
    DWORD returned = 0;
    return DeviceIoControl(file, code, const_cast<void*>(in), size, nullptr, 0, &returned, nullptr);
}

BOOL serial_out(HANDLE file, DWORD code, void* out, DWORD size) {
    if (!out) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD returned = 0;
    return DeviceIoControl(file, code, nullptr, 0, out, size, &returned, nullptr);
}

}  // namespace

// SetCommMask -> IOCTL_SERIAL_SET_WAIT_MASK with the mask.
BOOL SetCommMask(HANDLE file, DWORD mask) { return serial_in(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask); }

// GetCommMask -> IOCTL_SERIAL_GET_WAIT_MASK into the mask.
BOOL GetCommMask(HANDLE file, LPDWORD mask) { return serial_out(file, IOCTL_SERIAL_GET_WAIT_MASK, mask, sizeof *mask); }

// WaitCommEvent -> IOCTL_SERIAL_WAIT_ON_MASK: blocks in the device; the events come back in the output.
BOOL WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED) {
    DWORD events = 0;
    BOOL ok = serial_out(file, IOCTL_SERIAL_WAIT_ON_MASK, &events, sizeof events);
    if (mask) *mask = ok ? events : 0;
    return ok;
}

// GetCommState -> IOCTL_SERIAL_GET_DCB into the DCB.
BOOL GetCommState(HANDLE file, LPDCB dcb) { return serial_out(file, IOCTL_SERIAL_GET_DCB, dcb, sizeof(DCB)); }

// SetCommState -> IOCTL_SERIAL_SET_DCB with the DCB.
BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (!dcb) return fail(ERROR_INVALID_PARAMETER, FALSE);
    return serial_in(file, IOCTL_SERIAL_SET_DCB, dcb, sizeof(DCB));
}

// GetCommTimeouts -> IOCTL_SERIAL_GET_TIMEOUTS into the record.
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return serial_out(file, IOCTL_SERIAL_GET_TIMEOUTS, timeouts, sizeof(COMMTIMEOUTS));
}

// SetCommTimeouts -> IOCTL_SERIAL_SET_TIMEOUTS with the record.
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (!timeouts) return fail(ERROR_INVALID_PARAMETER, FALSE);
    return serial_in(file, IOCTL_SERIAL_SET_TIMEOUTS, timeouts, sizeof(COMMTIMEOUTS));
}

// PurgeComm -> IOCTL_SERIAL_PURGE with the PURGE_* flags.
BOOL PurgeComm(HANDLE file, DWORD flags) { return serial_in(file, IOCTL_SERIAL_PURGE, &flags, sizeof flags); }

// ClearCommError -> IOCTL_SERIAL_GET_COMMSTATUS: the error bits and the queue state.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    SERIAL_DEV_STATUS status{};
    if (!serial_out(file, IOCTL_SERIAL_GET_COMMSTATUS, &status, sizeof status)) return FALSE;
    if (errors) *errors = status.Errors;
    if (stat) *stat = status.ComStat;
    return TRUE;
}

// SetupComm -> IOCTL_SERIAL_SET_QUEUE_SIZE with the two sizes.
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    SERIAL_QUEUE_SIZES sizes{inQueue, outQueue};
    return serial_in(file, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes);
}

// EscapeCommFunction -> the IOCTL_SERIAL_* code of each line or flow function, without data.
BOOL EscapeCommFunction(HANDLE file, DWORD func) {
    DWORD code;
    switch (func) {
        case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
        case SETXON: code = IOCTL_SERIAL_SET_XON; break;
        case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
        case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
        case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
        case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
        case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
        case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
        case SETIR: code = IOCTL_SERIAL_ENABLE_IR; break;
        case CLRIR: code = IOCTL_SERIAL_DISABLE_IR; break;
        default: return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return serial_in(file, code, nullptr, 0);
}
