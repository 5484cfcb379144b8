// System parameters and Windows-style formatting (winuser.h).
#pragma once

#include <cstdarg>

#include "windef.h"

#define SPI_GETPLATFORMTYPE 257
#define SPI_GETOEMINFO 258

BOOL SystemParametersInfoW(UINT action, UINT param, PVOID data, UINT winIni);

// Windows formatting conventions: in a wide format %s is wide text and %S
// narrow; in a narrow format the reverse. %c and %C likewise. wsprintf writes
// at most 1024 characters.
int wsprintfW(LPWSTR out, LPCWSTR format, ...);
int wvsprintfW(LPWSTR out, LPCWSTR format, va_list args);
int wsprintfA(LPSTR out, LPCSTR format, ...);
int wvsprintfA(LPSTR out, LPCSTR format, va_list args);
