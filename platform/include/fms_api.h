// The phone platform's FM library (FMS_API.dll): entry points, result codes,
// command ids and the event records it hands to the event function.
//
// The library is loaded by name and bound by GetProcAddressW; the PFN_ types
// below are the signatures to bind with. Every answer and all RDS data arrive
// later, on the library's own event thread, through the event function given
// to FM_Create. The event record's payload is valid only during that call.
#pragma once

#include <cstddef>

#include "windef.h"

// ---- results of the entry points and statuses of answers --------------------
#define FMS_SUCCESSED 0  // carried out
#define FMS_FAILED 1
#define FMS_PENDING 2  // accepted; the answer follows as event 1
#define FMS_INVALID_PARAMETER 3
#define FMS_BT_NOT_INITIALIZED 4
#define FMS_FAILED_FM_NOT_ON 5
#define FMS_FM_ALREADY_ON 6
#define FMS_SEEK_BAND_LIMIT 7  // seek ran to the edge of the chip band
#define FMS_SEEK_STOPPED 8     // seek ended by a stop request
#define FMS_SEEK_SUCCESSED 9   // seek found a station
#define FMS_STOP_SEEK 10       // stop request with no seek running
#define FMS_PENDING_UPDATE_PARAMS 11
#define FMS_FAILED_ALREADY_PENDING 12

// ---- command ids carried by event 1 -------------------------------------------
#define FMS_CMD_POWER_ON 0
#define FMS_CMD_POWER_OFF 1
#define FMS_CMD_SET_MOST 2
#define FMS_CMD_SET_BAND 3
#define FMS_CMD_SET_MUTE 4
#define FMS_CMD_SET_VOLUME 5
#define FMS_CMD_SET_RDS 6
#define FMS_CMD_TUNE 7
#define FMS_CMD_GET_RSSI 8
#define FMS_CMD_SEEK 9
#define FMS_CMD_SET_AF 10
#define FMS_CMD_SET_STEREO_BLEND 11
#define FMS_CMD_SET_DEEMPHASIS 12
#define FMS_CMD_SET_RSSI_SEARCH_LEVEL 13
#define FMS_CMD_SET_PAUSE_LEVEL 14
#define FMS_CMD_SET_PAUSE_DURATION 15
#define FMS_CMD_SET_RDS_RBDS 16
#define FMS_CMD_GET_MOST 17
#define FMS_CMD_AUDIO_ENABLE 18
#define FMS_CMD_HANDLE_GET_INT 19
#define FMS_CMD_READ_RDS 20
#define FMS_CMD_HANDLE_AF_JUMP 21
#define FMS_CMD_HANDLE_STEREO_CHANGE 22
#define FMS_CMD_GET_CURRENT_STATUS 23
#define FMS_CMD_GET_DEEMPHASIS 24
#define FMS_CMD_GET_MUTE_MODE 25
#define FMS_CMD_GET_BAND_MODE 26
#define FMS_CMD_GET_VOLUME 27
#define FMS_CMD_GET_RSSI_SEARCH_LEVEL 28
#define FMS_CMD_GET_MOST_BLEND 29
#define FMS_CMD_GET_AF_FREQ 30
#define FMS_CMD_HANDLE_HW_MAL 31

// ---- event codes ----------------------------------------------------------
#define FMS_EVENT_COMMAND_STATUS 1
#define FMS_EVENT_FREQUENCY 2
#define FMS_EVENT_FREQUENCY_REPORT 5
#define FMS_EVENT_STEREO_MODE 7
#define FMS_EVENT_RDS_DATA 8

// The chip's two sub-bands (FM_SetBand) and their edges in kHz, both tunable.
#define FMS_CHIP_BAND_EUROPE 0
#define FMS_CHIP_BAND_JAPAN 1
#define FMS_EUROPE_LOW 87500
#define FMS_EUROPE_HIGH 108000
#define FMS_JAPAN_LOW 76000
#define FMS_JAPAN_HIGH 91000

// Raw RDS: 12 bytes a group, 3 a block (information word high byte first,
// then a status byte); FMS_RDS_BLOCK_ERROR in a status byte marks the block
// as received in error.
#define FMS_RDS_GROUP_BYTES 12
#define FMS_RDS_STATUS_A 0x20
#define FMS_RDS_STATUS_B 0x21
#define FMS_RDS_STATUS_C 0x22
#define FMS_RDS_STATUS_D 0x24
#define FMS_RDS_BLOCK_ERROR 0x08

// ---- the event record ---------------------------------------------------------
// Offsets are fixed: code at 0, payload from 4. The RDS data address is
// pointer-sized at offset 8; packing at 4 keeps the payload at offset 4.
#pragma pack(push, 4)

// Event 1 payload (record offsets 4..11).
typedef struct FmCommandStatus {
    BYTE command;   // record offset 4
    BYTE status;    // record offset 5
    WORD reserved;  // record offsets 6..7
    DWORD value;    // record offset 8
} FmCommandStatus;

// Event 2 payload: the tuned frequency at record offset 8.
typedef struct FmFrequencyPayload {
    DWORD reserved;
    DWORD frequency;
} FmFrequencyPayload;

// Event 5 payload: the reported frequency at record offset 12.
typedef struct FmFrequencyReportPayload {
    DWORD reserved[2];
    DWORD frequency;
} FmFrequencyReportPayload;

// Event 8 payload: byte count at record offset 4, address at offset 8.
typedef struct FmRdsDataPayload {
    WORD count;
    WORD reserved;
    ULONG_PTR data;
} FmRdsDataPayload;

typedef struct FmPlatformEvent {
    BYTE code;  // 1..8
    BYTE reserved[3];
    union {
        FmCommandStatus status;           // code 1
        FmFrequencyPayload frequency;     // code 2
        FmFrequencyReportPayload report;  // code 5
        BYTE stereoMode;                  // code 7
        FmRdsDataPayload rds;             // code 8
        BYTE raw[12];
    } payload;
} FmPlatformEvent;

#pragma pack(pop)

static_assert(sizeof(FmCommandStatus) == 8, "FmCommandStatus layout");
static_assert(offsetof(FmPlatformEvent, payload) == 4, "FmPlatformEvent payload offset");
static_assert(offsetof(FmPlatformEvent, payload.status.command) == 4, "command id offset");
static_assert(offsetof(FmPlatformEvent, payload.status.status) == 5, "status offset");
static_assert(offsetof(FmPlatformEvent, payload.status.value) == 8, "status value offset");
static_assert(offsetof(FmPlatformEvent, payload.frequency.frequency) == 8, "event 2 frequency offset");
static_assert(offsetof(FmPlatformEvent, payload.report.frequency) == 12, "event 5 frequency offset");
static_assert(offsetof(FmPlatformEvent, payload.stereoMode) == 4, "stereo mode offset");
static_assert(offsetof(FmPlatformEvent, payload.rds.count) == 4, "RDS byte count offset");
static_assert(offsetof(FmPlatformEvent, payload.rds.data) == 8, "RDS data address offset");
static_assert(sizeof(FmPlatformEvent) == 8 + sizeof(ULONG_PTR), "FmPlatformEvent size");

// The event function handed to FM_Create; returns 0.
typedef DWORD (*FMS_EVENT_FUNCTION)(FmPlatformEvent* event);

// ---- entry points, in binding order ------------------------------------------
// "session" is the handle FM_Create stored. Results: FMS_SUCCESSED (done),
// FMS_PENDING (answer follows as event 1), anything else a refusal.
#define FMS_API_ENTRY_POINTS(X)                                                                 \
    X(FM_GetCurrentStatus, (DWORD session, DWORD * words), (session, words))                    \
    X(FM_Create, (DWORD * creationWord, FMS_EVENT_FUNCTION eventFunction, DWORD * session),     \
      (creationWord, eventFunction, session))                                                   \
    X(FM_Init, (void), ())                                                                      \
    X(FM_Deinit, (void), ())                                                                    \
    X(FM_Destroy, (DWORD session), (session))                                                   \
    X(FM_Enable, (DWORD session), (session))                                                    \
    X(FM_Disable, (DWORD session), (session))                                                   \
    X(FM_MuteRadio, (DWORD session, DWORD muteCode), (session, muteCode))                       \
    X(FM_GetBandMode, (DWORD session), (session))                                               \
    X(FM_SetBand, (DWORD session, BYTE band), (session, band))                                  \
    X(FM_GetDemphMode, (DWORD session), (session))                                              \
    X(FM_SetDeemphasisMode, (DWORD session, BYTE mode), (session, mode))                        \
    X(FM_Seek, (DWORD session, DWORD stop, DWORD upwards), (session, stop, upwards))            \
    X(FM_RssiSearchLevel, (DWORD session, DWORD level), (session, level))                       \
    X(FM_GetRSSISearchLevel, (DWORD session), (session))                                        \
    X(FM_Tune, (DWORD session, DWORD frequency), (session, frequency))                          \
    X(FM_GetCurrentFreq, (DWORD session), (session))                                            \
    X(FM_RssiGet, (DWORD session), (session))                                                   \
    X(FM_SetVolume, (DWORD session, SHORT volume, DWORD reserved), (session, volume, reserved)) \
    X(FM_GetVolume, (DWORD session), (session))                                                 \
    X(FM_GetMuteMode, (DWORD session), (session))                                               \
    X(FM_GetMoSt, (DWORD session), (session))                                                   \
    X(FM_SetMoSt, (DWORD session, DWORD mode), (session, mode))                                 \
    X(FM_SetAudioPath, (DWORD session, DWORD path), (session, path))                            \
    X(FM_SetRDS, (DWORD session, DWORD on), (session, on))                                      \
    X(FM_SetRdsRbds, (DWORD session, DWORD mode), (session, mode))                              \
    X(FM_SetPauseDuration, (DWORD session, DWORD duration), (session, duration))                \
    X(FM_SetPauseLevel, (DWORD session, DWORD level), (session, level))                         \
    X(FM_GetMostBlend, (DWORD session), (session))                                              \
    X(FM_SetStereoBlend, (DWORD session, DWORD blend), (session, blend))                        \
    X(FM_GetAFFreq, (DWORD session), (session))                                                 \
    X(FM_SetAF, (DWORD session, DWORD af), (session, af))                                       \
    X(FM_AudioEnable, (DWORD session, DWORD on), (session, on))

#define FMS_API_DECLARE_PFN(name, params, args) typedef DWORD(*PFN_##name) params;
FMS_API_ENTRY_POINTS(FMS_API_DECLARE_PFN)
#undef FMS_API_DECLARE_PFN

#define FMS_API_ENTRY_POINT_COUNT 33
