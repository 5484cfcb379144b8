// What the platform layer offers beyond the device's API: the device root,
// the platform clock and the text conversions the tools and tests need.
// The system's own code does not include this header.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "windef.h"

namespace ce {

// The folder that stands for the device's file system: --root (set_root),
// else CE_ROOT, else ~/.local/share/tervalon/device.
const std::string& root();
void set_root(const std::string& path);  // also exports CE_ROOT to child processes

// Platform time: CE_TIME_SCALE (e.g. 0.05) makes every platform millisecond
// last scale real milliseconds. CE_TICK_START sets where GetTickCount starts.
double time_scale();
int64_t platform_ms_to_real_us(int64_t platform_ms);

// Maps a device path ("\Windows\x.dll", "/a/b") into the root. Never leaves
// the root: ".." stops there. Components are matched case-insensitively to
// existing entries. Fails with ERROR_INVALID_PARAMETER (too long),
// ERROR_INVALID_NAME (bad characters); the error is returned, not set.
struct MappedPath {
    std::string host;
    DWORD error = 0;
};
MappedPath map_path(std::u16string_view device_path);
// The device path of a host path inside the root, if it is inside.
std::optional<std::u16string> device_path_of(const std::string& host_path);

// CreateFileW hands device names ("COM9:", "GPD0:": three letters, a digit,
// a colon) to this hook, which the device manager's client installs. It
// returns the handle, or INVALID_HANDLE_VALUE with the last error set.
// Setting one gives back the one it replaces, so that a stand-in can be undone.
using DeviceOpener = HANDLE (*)(LPCWSTR name, DWORD access, DWORD share);
DeviceOpener set_device_opener(DeviceOpener opener);

// The opener gets the name without a leading backslash ("GPD0:" for
// "\GPD0:"). Without an opener such names fail with ERROR_FILE_NOT_FOUND.
// is_device_name tells whether a CreateFileW name is such a device name.
bool is_device_name(std::u16string_view name);

// The loader's text for the last LoadLibraryW failure on this thread (for
// logs); empty after a success.
std::string last_module_error();

// Makes the root folder (and the folders above it) when missing; a root made
// here is the user's alone (0700): it holds the settings and the driver's log,
// which records positions. False when it is not a folder afterwards.
bool make_root_folder(const std::string& path);

// A root is used only when it is the user's alone: the folder itself, its
// .cehost and Windows folders owned by uid and writable by nobody else, and
// no folder above it open to others without the sticky bit. Otherwise one
// line naming the folder, its owner and mode and how to fix it; empty when
// the root may be used (or does not exist yet).
std::string root_trust_problem(const std::string& root, uid_t uid);
// Checks the current root for this process's user before it is used, and
// makes an old root of the user's private (0700, its registry and logs 0600),
// saying so once on stderr. False, with the reason in *error, when refused.
bool claim_root(const std::string& root, std::string* error);

// Reads a host file that must be a regular file of at most max_bytes (a
// recording, a GPS log): a FIFO, a device or a folder is refused at once with
// a clear error rather than opened, so no reader can block on it.
bool read_regular_file(const std::string& host_path, size_t max_bytes, std::string* contents, std::string* error);

// The registry writes of one thread as one transaction, for writes that are
// one whole (a .reg file, a root's provisioning): from its start to commit()
// every registry call of the thread joins it; other processes see none of
// its writes, then all of them, and their watchers are woken once, after the
// commit. Ending it without commit() undoes all of it, and so does any write
// inside it that fails for the store's sake (a full disk, an I/O error):
// later writes then fail and commit() returns that error. A write that fails
// with the registry's answer (ERROR_FILE_NOT_FOUND) is undone alone.
// It holds the store's write lock throughout: other processes' writes wait
// (up to CE_REG_BUSY_MS), and the registry calls of this process's other
// threads wait for its end, so the thread must not wait on one of them (nor
// register a notification) meanwhile. One started while the thread has one
// open is part of it: only the outermost commit() writes, and an inner one
// ended without commit() undoes the whole. Handles to keys created inside
// it are closed before it ends.
class RegistryTransaction {
public:
    RegistryTransaction();   // waits out another process's write like any write
    ~RegistryTransaction();  // undoes everything unless committed
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // The failure to start (the store's error), or ERROR_SUCCESS.
    LONG error() const { return error_; }
    // ERROR_SUCCESS once every write is in the store; else the error that
    // ended it, with nothing written.
    LONG commit();

private:
    LONG finish(bool commit);
    LONG error_ = 0;
    uint64_t generation_ = 0;
    bool nested_ = false;
    bool done_ = false;
};

// Opens a host file for reading that must be a regular file (a recording a
// library reads itself): opened without blocking and its type checked on the
// descriptor, so a FIFO or a device put in its place at any moment is refused
// at once. The descriptor returned blocks as usual; -1 and *error otherwise.
int open_regular_file(const std::string& host_path, std::string* error);

// A host file made whole or not at all (a made recording): written unseen
// beside its destination and put in its place by commit() alone, a rename.
// Until then, and after any failure, the destination is as it was and nothing
// is left beside it; where the file system has unnamed files (O_TMPFILE) not
// even a killed process leaves one. The destination is a regular file or
// missing; a link to one is followed, and a file replaced keeps its mode.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();  // discards what was not committed
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // False and *error (naming the destination) when it cannot be begun.
    bool open(const std::string& destination, std::string* error);
    int fd() const { return fd_; }  // for reading and writing; the caller never closes it
    // Flushed to the disk, then renamed onto the destination.
    bool commit(std::string* error);

private:
    void discard();
    std::string destination_, folder_;
    std::string temp_;  // the temporary's name, while it has one
    int fd_ = -1;
};

// Message boxes: without this hook the windowing layer shows them (or, in a
// process without it, prints them to stderr and answers IDOK). Tests answer
// them with a hook; nullptr removes it.
using MessageBoxHook = int (*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
void set_message_box_hook(MessageBoxHook hook);

// A control program's own options: --root DIR (or --root=DIR) sets the root;
// --help prints the usage. What is not ours becomes the program's command
// line, as the device passes it to WinMain. False when the program should
// end at once with *exit_code (after --help, or a bad option).
bool take_program_arguments(int argc, char** argv, std::u16string* command_line, int* exit_code);

std::string narrow(std::u16string_view text);  // UTF-16 to UTF-8
std::u16string widen(std::string_view text);   // UTF-8 to UTF-16

}  // namespace ce
