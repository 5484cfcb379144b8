// cectl: the command-line tool over a device root. Each command lives in its
// own file and registers itself with CECTL_COMMAND; `cectl init` runs every
// registered init step in order, so later services add their provisioning
// without touching the others.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "regfile.h"
#include "windows.h"

namespace cectl {

using Args = std::vector<std::string>;

// A command's run function gets the words after its name; it returns the
// exit status. Errors: one line on stderr (use fail()), status 1.
struct Command {
    const char* name;
    const char* usage;  // one or more lines, shown by `cectl help`
    int (*run)(const Args& args);
};

struct InitStep {
    int order;  // steps run by ascending order
    const char* what;
    // Provisions one service. With force, replaces existing values; without
    // it, keeps whatever the root already has. Returns false on failure
    // (after printing its error).
    bool (*run)(bool force);
};

bool register_command(const Command& command);
bool register_init_step(const InitStep& step);

// Prints "cectl: <message>" on stderr and returns 1.
int fail(const std::string& message);

// Parses "HKLM\Path\To\Key" (also HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER)
// into a root and a sub-key path with backslashes. False on a malformed key.
bool parse_key(const std::string& text, HKEY& root, std::u16string& sub_key);
std::string root_name(HKEY root);  // "HKLM" or "HKCU"

// Whole-text number parsing: decimal, or hex with 0x. False on anything else.
bool parse_u32(const std::string& text, uint32_t& value);

// Text with \r \n \t \\ \xHH escapes to bytes. False on a malformed escape.
bool unescape(const std::string& text, std::string& bytes);
// Hex digits (spaces allowed between bytes) to bytes. False when malformed.
bool parse_hex(const std::string& text, std::string& bytes);

// How apply_reg treats what the registry already holds.
enum class RegApply {
    // As the file says: `reg import`, and `init --force`.
    Replace,
    // Defaults (`init`): a value already there stays; "NAME"=- waits for
    // --force; a key the file deletes and then writes anew ([-KEY], then
    // KEY and its subkeys) is one whole default: kept as it is, with
    // everything the file says under it, when it has any value or subkey.
    Keep,
};
// A registry error as one phrase with its code, for error lines.
std::string registry_error_text(LONG error);

// Applies parsed entries in order. False at the first failure, with why:
// where ("reg import: FILE"), the entry's line number, its key and the error.
bool apply_reg(const std::vector<regfile::Entry>& entries, RegApply how, const std::string& where, std::string& why);

// The tree cectl runs from, the folder above its bin/: a build tree or an
// installed prefix, wherever it was moved. Empty if unknown.
std::filesystem::path build_dir();

// Writes path whole or not at all: the bytes go to a new temporary file
// beside it (never to whatever lies there already), which is synced and then
// renamed over path; on failure path is as it was and the temporary file is
// gone. fill writes the bytes to the descriptor, false with why on failure.
bool replace_file(const std::filesystem::path& path, unsigned mode,
                  const std::function<bool(int fd, std::string& why)>& fill, std::string& why);

// Installs a built file into a folder of the root under name (when it was
// built) with replace_file, so that a process running the old file keeps its
// mapping intact and a failure leaves the old file. Errors are reported.
bool install_file(const std::filesystem::path& from, const std::filesystem::path& dir, const std::string& name);

}  // namespace cectl

#define CECTL_CONCAT2(a, b) a##b
#define CECTL_CONCAT(a, b) CECTL_CONCAT2(a, b)
#define CECTL_COMMAND(...) \
    static const bool CECTL_CONCAT(cectl_command_, __LINE__) = ::cectl::register_command(::cectl::Command{__VA_ARGS__})
#define CECTL_INIT_STEP(...) \
    static const bool CECTL_CONCAT(cectl_init_, __LINE__) = ::cectl::register_init_step(::cectl::InitStep{__VA_ARGS__})
