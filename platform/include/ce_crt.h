// The wide half of the device's C run-time library for 16-bit WCHAR text.
// The host C library's wide functions take 32-bit wchar_t, so these overloads
// give the system's code the device's functions over char16_t.
#pragma once

#ifndef RC_INVOKED  // a resource script reads only the #defines
#include <cstdarg>
#include <cstddef>
#endif

#include "windef.h"

size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t max);
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n);
WCHAR* wcscat(WCHAR* dst, const WCHAR* src);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
const WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcschr(WCHAR* s, WCHAR c);
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(WCHAR* s, WCHAR c);
const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find);
WCHAR* wcsstr(WCHAR* s, const WCHAR* find);
long wcstol(const WCHAR* s, WCHAR** end, int base);
unsigned long wcstoul(const WCHAR* s, WCHAR** end, int base);
int _wtoi(const WCHAR* s);
double _wtof(const WCHAR* s);

// _snwprintf/_snprintf: at most count characters; when the text does not fit
// they return -1 and, as on the device, leave it without a terminator.
int _snwprintf(WCHAR* out, size_t count, const WCHAR* format, ...);
int _vsnwprintf(WCHAR* out, size_t count, const WCHAR* format, va_list args);
int swprintf(WCHAR* out, const WCHAR* format, ...);
int _snprintf(char* out, size_t count, const char* format, ...);
int _vsnprintf(char* out, size_t count, const char* format, va_list args);
