// The registry's text form, as regedit reads and writes it (.reg files): the
// reader turns a whole file into a list of operations without touching the
// registry, so that a file with a fault anywhere changes nothing; the writer
// turns keys and values back into that form. Used by `cectl reg import`,
// `cectl reg export` and by `cectl init` for the components' declarations.
//
//   Windows Registry Editor Version 5.00      (or REGEDIT4)
//   ; a comment
//   [HKEY_LOCAL_MACHINE\Drivers\Example]      create the key
//   "Text"="a \"quoted\" C:\\path"            REG_SZ; \\ and \" are the only escapes
//   "Number"=dword:0000000a                   REG_DWORD
//   "Bytes"=hex:01,02,\                       REG_BINARY; a trailing \ continues the line
//     03
//   "List"=hex(7):61,00,00,00,00,00            any type by number: hex(2) REG_EXPAND_SZ,
//                                             hex(7) REG_MULTI_SZ (UTF-16LE), hex(b) REG_QWORD
//   @="the default value"
//   "Gone"=-                                  delete the value
//   [-HKEY_LOCAL_MACHINE\Drivers\Old]         delete the key with its subkeys
//
// Files are UTF-8 (a BOM is skipped) or UTF-16LE with its BOM, as regedit
// writes them; lines end in LF or CRLF. Root keys: HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER (HKLM, HKCU also). In a REGEDIT4 file the text of
// hex(1), hex(2) and hex(7) data is 8-bit (here UTF-8) rather than UTF-16LE.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "windows.h"

namespace regfile {

struct Entry {
    enum Kind { Key, DeleteKey, Value, DeleteValue };
    Kind kind = Key;
    HKEY root = nullptr;
    std::u16string key;   // the path under the root, without leading or trailing backslash
    std::u16string name;  // Value, DeleteValue: the value's name ("" is the default value)
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    int line = 0;  // where the entry starts in the file, from 1
};

struct Error {
    int line = 0;  // 0: the file as a whole
    std::string message;
};

// Reads a whole file. False with the first fault (and no entries) when any
// line is malformed or names something the registry would refuse (a key
// name over 255 characters, a path over 260, data over 1 MiB, a dword of
// another size, ...).
bool parse(std::string_view bytes, std::vector<Entry>& entries, Error& error);

// Writing: the header line, then per key its line and one line (or several,
// for long hex data) per value. Each piece ends with a newline.
std::string header();
std::string root_long_name(HKEY root);  // "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"
// False when the key's name cannot stand in the form (a control character
// in it, which the reader refuses).
bool key_line(HKEY root, std::u16string_view path, std::string& out);
// Strings that are plain text (terminated once, no line breaks, whole
// UTF-16) are written as text, dwords of four bytes as dword:, anything
// else as hex bytes of its type, so that every value reads back exactly.
// False when the value's name cannot stand in the form.
bool value_lines(std::u16string_view name, DWORD type, const std::vector<BYTE>& data, std::string& out);

}  // namespace regfile
