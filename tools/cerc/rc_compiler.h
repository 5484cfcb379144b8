// The resource compiler's engine: reads a resource script (the subset of the
// RC language Windows CE programs use), with its #include'd headers and icon
// files, and produces the resources in the binary layouts the device's
// resource compiler writes (DLGTEMPLATE, string blocks, MENU templates,
// RCDATA words). Never throws, never crashes on bad input: a failure is one
// message "file:LINE: what is wrong".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ce::rc {

// Resource types by ordinal, as winbase.h numbers them.
inline constexpr uint16_t kTypeIcon = 3;
inline constexpr uint16_t kTypeMenu = 4;
inline constexpr uint16_t kTypeDialog = 5;
inline constexpr uint16_t kTypeString = 6;
inline constexpr uint16_t kTypeRcdata = 10;
inline constexpr uint16_t kTypeGroupIcon = 14;

// A resource type or name: an ordinal, or a name (upper case, as RC stores
// names; lookups ignore case anyway).
struct ResId {
    uint16_t ordinal = 0;
    std::u16string name;
    bool is_name() const { return !name.empty(); }
    bool operator==(const ResId&) const = default;
};

struct Resource {
    ResId type;
    ResId name;
    std::vector<uint8_t> data;
};

// Reads a file the script names: its bytes, or nothing when it cannot.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

struct Options {
    // Searched for #include "x" and icon files after the including file's
    // folder, and alone for #include <x>: the SDK's headers are found here.
    std::vector<std::string> include_dirs;
    // Predefined names (NAME, value), as -D gives them.
    std::vector<std::pair<std::string, std::string>> defines;
    // Null: the host's files.
    FileReader read_file;
};

struct Result {
    bool ok = false;
    std::string error;                // "file:LINE: message" when !ok
    std::vector<Resource> resources;  // in script order; string blocks last
    std::vector<std::string> inputs;  // every file read: the script, headers, icons
};

Result compile(const std::string& script_path, const Options& options = {});

// The C++ source that holds the resources and registers them with libce
// (ce_resources.h) when its module starts.
std::string generate_cpp(const std::vector<Resource>& resources, const std::string& script_name);

// A make-style dependency file: target depends on every input.
std::string make_depfile(const std::string& target, const std::vector<std::string>& inputs);

}  // namespace ce::rc
