// The shortcut file "NavApp.lnk": a length, a number sign and the quoted path
// of the program it starts ("22#"\Program Files\Nav\nav.exe""), perhaps
// followed by the program's arguments.
#pragma once

#include <windows.h>

#define SHORTCUT_BYTES 255    // read of the file at most
#define NAVIGATION_CHARS 256  // the path and the arguments, terminator included

// From the bytes read (terminated): the path between the first double quote
// and the next one, and the rest of that line after the closing quote,
// blanks trimmed, as the arguments. Without any double quote, the path is the text
// after the first number sign (or the whole text) up to the line end. Texts
// are UTF-8; what does not fit is cut.
void ParseShortcut(const char* text, WCHAR* path, WCHAR* arguments);
