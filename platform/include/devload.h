// Device-manager records and value names (devload.h).
#pragma once

#include "windef.h"

// One value that ActivateDeviceEx writes into the device's Drivers\Active
// entry before the driver's Init runs.
typedef struct _REGINI {
    LPCWSTR lpszVal;
    LPBYTE pData;
    DWORD dwLen;
    DWORD dwType;
} REGINI, *LPREGINI;

#define DEVLOAD_DLLNAME_VALNAME u"Dll"
#define DEVLOAD_PREFIX_VALNAME u"Prefix"
#define DEVLOAD_INDEX_VALNAME u"Index"
#define DEVLOAD_LOADORDER_VALNAME u"Order"
#define DEVLOAD_DEVKEY_VALNAME u"Key"
#define DEVLOAD_HANDLE_VALNAME u"Hnd"
#define DEVLOAD_DEVNAME_VALNAME u"Name"
#define DEVLOAD_ACTIVE_KEY u"Drivers\\Active"
#define DEVLOAD_BUILT_IN_KEY u"Drivers\\Builtin"
