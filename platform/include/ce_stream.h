// The stream-driver interface: the entry points the device manager (cehost)
// resolves in a driver library as Prefix_Name, e.g. COM_Init for prefix COM.
// Contexts are pointer-sized (DWORD_PTR), as a 64-bit build of the device's
// drivers has them; everything else keeps the device's widths.
//
// Required: Init, Deinit, Open, Close. Read, Write, Seek, IOControl,
// PowerDown, PowerUp, PreClose and PreDeinit are optional; a call to a
// missing one fails with ERROR_NOT_SUPPORTED.
#pragma once

#include "windef.h"

extern "C" {

// Init(active key path, e.g. L"Drivers\\Active\\03"; the activation's
// parameter). Returns the device context, 0 to refuse the activation.
typedef DWORD_PTR (*PFN_STREAM_INIT)(LPCWSTR activeKey, LPCVOID busContext);
// Deinit(device context): after every open is closed and no call is running.
typedef BOOL (*PFN_STREAM_DEINIT)(DWORD_PTR deviceContext);
// Open(device context, access code, share mode): the open context, 0 to refuse.
typedef DWORD_PTR (*PFN_STREAM_OPEN)(DWORD_PTR deviceContext, DWORD access, DWORD shareMode);
typedef BOOL (*PFN_STREAM_CLOSE)(DWORD_PTR openContext);
// Read/Write return the byte count, or (DWORD)-1 for a failure.
typedef DWORD (*PFN_STREAM_READ)(DWORD_PTR openContext, LPVOID buffer, DWORD count);
typedef DWORD (*PFN_STREAM_WRITE)(DWORD_PTR openContext, LPCVOID buffer, DWORD count);
typedef DWORD (*PFN_STREAM_SEEK)(DWORD_PTR openContext, LONG amount, WORD type);
typedef BOOL (*PFN_STREAM_IOCONTROL)(DWORD_PTR openContext, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                                     DWORD outSize, PDWORD returned);
typedef void (*PFN_STREAM_POWERDOWN)(DWORD_PTR deviceContext);
typedef void (*PFN_STREAM_POWERUP)(DWORD_PTR deviceContext);
// Called before Close / Deinit so that a driver can release callers that
// are blocked inside it (a Read waiting for data).
typedef BOOL (*PFN_STREAM_PRECLOSE)(DWORD_PTR openContext);
typedef BOOL (*PFN_STREAM_PREDEINIT)(DWORD_PTR deviceContext);

}  // extern "C"
