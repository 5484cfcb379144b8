// The toolhelp library: snapshots of the system's threads (every process of
// the machine, from /proc). A process that has ended is never listed.
#pragma once

#include "windows.h"

#define TH32CS_SNAPHEAPLIST 0x00000001
#define TH32CS_SNAPPROCESS 0x00000002
#define TH32CS_SNAPTHREAD 0x00000004
#define TH32CS_SNAPMODULE 0x00000008

typedef struct tagTHREADENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ThreadID;
    DWORD th32OwnerProcessID;
    LONG tpBasePri;
    LONG tpDeltaPri;
    DWORD dwFlags;
    DWORD th32AccessKey;
    DWORD th32CurrentProcessID;
} THREADENTRY32, *PTHREADENTRY32, *LPTHREADENTRY32;
static_assert(sizeof(THREADENTRY32) == 36, "THREADENTRY32 keeps the device's layout");

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Thread32First(HANDLE snapshot, LPTHREADENTRY32 entry);
BOOL Thread32Next(HANDLE snapshot, LPTHREADENTRY32 entry);
BOOL CloseToolhelp32Snapshot(HANDLE snapshot);
