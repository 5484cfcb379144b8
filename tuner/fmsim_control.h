// The simulated tuner's test interface: extra exports of libFMS_API.so, all
// prefixed FMSIM_, found with GetProcAddressW like the entry points. They
// inject faults and shape delivery; a device's library has none of them, and
// the system's own code never calls them.
#pragma once

#include "windef.h"

#define FMSIM_ANY_COMMAND 0xFFFFFFFFu
#define FMSIM_FOREVER 0xFFFFFFFFu

typedef struct FmsimStats {
    DWORD eventsDelivered;   // every call of the event function
    DWORD answersDelivered;  // event 1 records
    DWORD groupsSent;        // RDS groups packed into the stream
    DWORD rdsBytesDelivered; // bytes handed out in event 8 records
} FmsimStats;

extern "C" {
// The named entry point ("FM_Tune") returns code at once and does nothing;
// code 0 lifts the refusal.
void FMSIM_RefuseEntryPoint(const char* name, DWORD code);
// Answers to the command (or to any) come ms later than they would.
void FMSIM_SetAnswerDelay(DWORD command, DWORD ms);
// The next count answers to the command (or to any) are lost / sent twice.
void FMSIM_DropAnswers(DWORD command, DWORD count);
void FMSIM_DuplicateAnswers(DWORD command, DWORD count);
// Delivers a status record (any command id and status) or a whole event
// record (any code; size at most sizeof(FmPlatformEvent)) on the event thread.
void FMSIM_SendStatus(DWORD command, DWORD status, DWORD value);
void FMSIM_SendEvent(const void* record, DWORD size);
// RDS pieces are between min and max bytes (1..65535); the defaults vary
// them between 1 and 36.
void FMSIM_SetRdsPieces(DWORD min, DWORD max);
// Period of the chip's own frequency reports (event 5) in platform ms; 0 stops them.
void FMSIM_SetReportPeriod(DWORD ms);
void FMSIM_GetStats(FmsimStats* stats);
// Lifts every fault and restores the default delivery.
void FMSIM_Reset(void);
}

typedef void (*PFN_FMSIM_RefuseEntryPoint)(const char*, DWORD);
typedef void (*PFN_FMSIM_SetAnswerDelay)(DWORD, DWORD);
typedef void (*PFN_FMSIM_DropAnswers)(DWORD, DWORD);
typedef void (*PFN_FMSIM_DuplicateAnswers)(DWORD, DWORD);
typedef void (*PFN_FMSIM_SendStatus)(DWORD, DWORD, DWORD);
typedef void (*PFN_FMSIM_SendEvent)(const void*, DWORD);
typedef void (*PFN_FMSIM_SetRdsPieces)(DWORD, DWORD);
typedef void (*PFN_FMSIM_SetReportPeriod)(DWORD);
typedef void (*PFN_FMSIM_GetStats)(FmsimStats*);
typedef void (*PFN_FMSIM_Reset)(void);
