// State-and-notifications broker helpers of the device (regext.h).
#pragma once

#include "windef.h"

struct HREGNOTIFY__;
typedef HREGNOTIFY__* HREGNOTIFY;

typedef enum tagREG_COMPARISONTYPE {
    REG_CT_EQUAL,
    REG_CT_NOT_EQUAL,
    REG_CT_GREATER,
    REG_CT_GREATER_OR_EQUAL,
    REG_CT_LESS,
    REG_CT_LESS_OR_EQUAL,
    REG_CT_CONTAINS,
    REG_CT_STARTS_WITH,
    REG_CT_ENDS_WITH,
    REG_CT_ANYCHANGE
} REG_COMPARISONTYPE;

typedef struct tagNOTIFICATIONCONDITION {
    REG_COMPARISONTYPE ctComparisonType;
    DWORD dwMask;
    union {
        LPCWSTR psz;
        DWORD dw;
    } TargetValue;
} NOTIFICATIONCONDITION;

// Called on the platform's notification thread with the value's new data
// (null and 0 when the value was deleted).
typedef void (*REGISTRYNOTIFYCALLBACK)(HREGNOTIFY notify, DWORD userData, const PBYTE data, const UINT size);

HRESULT RegistryGetDWORD(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* data);
HRESULT RegistrySetDWORD(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD data);
HRESULT RegistryGetString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPWSTR data, UINT chars);
HRESULT RegistryNotifyCallback(HKEY root, LPCWSTR subKey, LPCWSTR valueName, REGISTRYNOTIFYCALLBACK callback,
                               DWORD userData, NOTIFICATIONCONDITION* condition, HREGNOTIFY* notify);
HRESULT RegistryCloseNotification(HREGNOTIFY notify);
