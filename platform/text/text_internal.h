// Text helpers shared inside libce: case folding for names, the
// Windows-1252 code page and the formatter's engine.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "windef.h"

namespace ce {

// Lower case of one UTF-16 unit, for name comparisons (files, modules):
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic capitals.
char16_t fold_case(char16_t c);
// Case-insensitive equality of two names.
bool names_equal(std::u16string_view a, std::u16string_view b);

// Windows-1252: a byte to its UTF-16 unit, and a unit back to a byte
// (-1 when the unit has no byte in the code page).
char16_t cp1252_to_wide(unsigned char byte);
int wide_to_cp1252(char16_t unit);

// UTF-8 to UTF-16. An invalid sequence becomes U+FFFD and decoding goes on
// with the next byte; with stop_on_invalid it fails (false) there instead.
bool decode_utf8(std::string_view text, std::u16string& out, bool stop_on_invalid);

// The formatting engine behind wsprintf, _snprintf and their wide forms.
// Writes at most capacity units (no terminator) and returns the length the
// whole text has, or -1 when it would exceed INT_MAX.
long long format_wide(WCHAR* out, size_t capacity, const WCHAR* format, va_list args);
long long format_narrow(char* out, size_t capacity, const char* format, va_list args);

}  // namespace ce
