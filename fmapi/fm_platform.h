// The seam to the platform's FM library (FMS_API.dll): the entry points as
// Wavelo binds them, and the event records it delivers to our event function.
#pragma once

#include "fms_api.h"
#include "windows.h"

typedef DWORD FmPlatformSession;

// The 33 entry points in binding order (also their order in the session);
// a library lacking any one of them is refused.
struct FmPlatformApi {
#define FM_DECLARE_ENTRY(name, params, args) PFN_##name name;
    FMS_API_ENTRY_POINTS(FM_DECLARE_ENTRY)
#undef FM_DECLARE_ENTRY
};
static_assert(sizeof(FmPlatformApi) == FMS_API_ENTRY_POINT_COUNT * sizeof(void*), "33 entry points");
