// Wavelo: the FM interface the Tervalon driver uses to reach the tuner.
//
// Twelve plain exports under undecorated names. Results are Win32 error
// codes (0, 21, 31, 50, 87, 110); FMOpen reports its failures through the
// last-error value (20, 21, 87, 110, 548). Records handed out by
// FMGetNotification belong to the library: they stay valid until the next
// FMGetNotification or FMClose.
#pragma once

#include <cstddef>

#include "windows.h"

// ---- property identifiers (FMGetProp / FMSetProp) ---------------------------
#define FMPROP_AF 0
#define FMPROP_AUDIO_PATH 1  // 0 speaker, 1 headset
#define FMPROP_BAND 2        // FMBAND_*
#define FMPROP_DEEMPHASIS 3
#define FMPROP_FREQUENCY 4  // kHz
#define FMPROP_RSSI_SEARCH_LEVEL 5
#define FMPROP_MONO_STEREO 6
#define FMPROP_MUTE 7  // 0 sound, nonzero muted
#define FMPROP_RSSI 8  // read-only
#define FMPROP_STEREO_BLEND 9
#define FMPROP_VOLUME 10       // percent 0-100
#define FMPROP_POWER_STATE 12  // read-only, 1 = on

// ---- bands (FMPowerOn, FMPROP_BAND) --------------------------------------------
// The driver's Band setting and the control programs' band list use the same
// numbers. Both edges are tunable.
#define FMBAND_EUROPE 0  // 87.5-108 MHz
#define FMBAND_JAPAN 1   // 76-91 MHz
#define FMBAND_WORLD 2   // 76-108 MHz: both of the others
#define FMBAND_COUNT 3
typedef struct FmBandEdges {
    DWORD low;   // kHz
    DWORD high;  // kHz
} FmBandEdges;
inline constexpr FmBandEdges FM_BAND_EDGES[FMBAND_COUNT] = {
    {87500, 108000},  // FMBAND_EUROPE
    {76000, 91000},   // FMBAND_JAPAN
    {76000, 108000},  // FMBAND_WORLD
};

// ---- seek directions (FMSeek) -------------------------------------------------
#define FMSEEK_UP 0
#define FMSEEK_DOWN 1
#define FMSEEK_STOP 2

// ---- notification kinds and frequency reasons --------------------------------
#define FMNOTIFY_FREQUENCY 0
#define FMNOTIFY_RDS 1

#define FMFREQ_TUNED 0       // a tune finished, or the tuner reported its frequency
#define FMFREQ_SEEK_END 1    // a seek finished or was stopped
#define FMFREQ_BAND_LIMIT 2  // a seek ran into the end of the band
#define FMFREQ_REPORTED 4    // a frequency report of the tuner

// errorFlags of an FmRdsGroup: blocks received in error (block D has no bit).
#define FMRDS_ERROR_A 0x1000
#define FMRDS_ERROR_B 0x0100
#define FMRDS_ERROR_C 0x0010

// One RDS group as received: information words only, no check words.
typedef struct FmRdsGroup {
    DWORD size;   // always 16
    WORD blockA;  // PI code
    WORD blockB;  // top 4 bits: group type number
    WORD blockC;
    WORD blockD;
    DWORD errorFlags;  // FMRDS_ERROR_A | _B | _C
} FmRdsGroup;
static_assert(sizeof(FmRdsGroup) == 16, "FmRdsGroup is 16 bytes");
static_assert(offsetof(FmRdsGroup, blockA) == 4 && offsetof(FmRdsGroup, blockD) == 10 &&
                  offsetof(FmRdsGroup, errorFlags) == 12,
              "FmRdsGroup layout");

// A notification. data is pointer-sized: the reason code of a frequency
// notification, or the address of `value` consecutive FmRdsGroup records.
typedef struct FmNotification {
    DWORD kind;      // FMNOTIFY_FREQUENCY or FMNOTIFY_RDS
    DWORD tick;      // GetTickCount() when the record was made
    DWORD value;     // frequency in kHz, or number of groups
    ULONG_PTR data;  // FMFREQ_* reason, or FmRdsGroup*
} FmNotification;
static_assert(offsetof(FmNotification, value) == 8, "FmNotification layout");
static_assert(offsetof(FmNotification, data) == (sizeof(void*) == 8 ? 16 : 12), "FmNotification layout");
static_assert(sizeof(FmNotification) == (sizeof(void*) == 8 ? 24 : 16), "FmNotification size");

typedef struct FmDevInfo {
    DWORD size;  // set by the caller: 56
    DWORD infoWord1;
    DWORD infoWord2;
    DWORD infoWord3;
    WCHAR name[20];  // zero-terminated
} FmDevInfo;
static_assert(sizeof(FmDevInfo) == 56, "FmDevInfo is 56 bytes");
static_assert(offsetof(FmDevInfo, name) == 16, "FmDevInfo layout");

typedef void (*FmDebugFunction)(const WCHAR* text);

#if defined(WAVELO_BUILD)
#define FMAPI extern "C" __attribute__((visibility("default")))
#else
#define FMAPI extern "C"
#endif

FMAPI DWORD FMGetNumDevs();
FMAPI DWORD FMGetDevInfo(DWORD device, FmDevInfo* info);
FMAPI HANDLE FMOpen(DWORD device);
FMAPI DWORD FMPowerOn(HANDLE handle, DWORD on, DWORD band);
FMAPI DWORD FMSeek(HANDLE handle, DWORD direction);
FMAPI DWORD FMGetProp(HANDLE handle, DWORD id, DWORD* value);
FMAPI DWORD FMSetProp(HANDLE handle, DWORD id, DWORD value);
FMAPI DWORD FMRegisterEvent(HANDLE handle, HANDLE event);
FMAPI DWORD FMRegisterNotification(HANDLE handle, HWND window, UINT message);
FMAPI DWORD FMGetNotification(HANDLE handle, FmNotification** record);
FMAPI DWORD FMClose(HANDLE handle);
FMAPI FmDebugFunction FMSetDebugFunction(FmDebugFunction fn);
