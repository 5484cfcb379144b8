// What registry.cpp and notify.cpp share, and the few hooks the registry's
// own tests look at. Not part of the device's API.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "windows.h"

namespace ce::reg {

// Key ids of the predefined root keys; every other key id comes from the
// store and is never reused, so a stale key handle can only fail.
constexpr int64_t kRootLocalMachine = 1;
constexpr int64_t kRootCurrentUser = 2;
constexpr int64_t kRootClassesRoot = 3;
constexpr int64_t kRootUsers = 4;

// The key id an HKEY stands for (a predefined root or an open key handle).
// ERROR_INVALID_HANDLE for anything else.
LONG key_id_of(HKEY key, int64_t& id);

// Checks and splits a sub-key path ("A\B\C", a leading backslash and one
// trailing backslash tolerated). NULL and "" give no components.
// ERROR_INVALID_PARAMETER for empty components and names or paths over the
// limits.
LONG split_path(LPCWSTR sub_key, std::vector<std::u16string>& parts);

// Checks a value name (NULL is the default value, "").
LONG check_value_name(LPCWSTR name, std::u16string& out);

// ASCII case folding: the registry compares names this way.
std::u16string fold(std::u16string_view name);

struct ValueState {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const ValueState& other) const = default;
};

// Reads a value below a key id by path. A missing key or value is a
// success with exists == false; only store failures are errors.
LONG read_value(int64_t base_id, const std::vector<std::u16string>& parts, const std::u16string& name, ValueState& out);

// The device root the store of this process is open on (ce::root()).
std::string current_root();

// Path of the file whose modification tells every process of a root that a
// write committed.
std::string changes_file(const std::string& device_root);

// Called in the child after fork(): the child never touches the parent's
// SQLite connection or notification thread.
void notify_after_fork_child();

}  // namespace ce::reg

namespace ce {

// Test hooks: how often the notification thread woke up, and its thread id
// (0 while it is not running).
uint64_t registry_notify_wakeups();
pid_t registry_notify_thread_tid();

}  // namespace ce
