// RDS group reassembly and the notification records built from it.
//
// The tuner hands us raw RDS as a byte stream, three bytes a block (two
// information bytes and a status byte), cut into pieces of any length. We
// lock onto the station's block-A word and cut aligned 12-byte groups out of
// the stream. Callers hold the session's queue lock around every call here.
#pragma once

#include <deque>

#include "fm_interface.h"

#define FM_RDS_RAW_GROUP 12   // bytes of one raw group
#define FM_RDS_LOCK_BYTES 26  // two groups and the next group's block-A word
#define FM_RDS_START_CAPACITY 2048
#define FM_RDS_NOT_LOCKED 0xFFFFu
#define FM_STALE_AGE_MS 120000u

struct FmRdsState {
    BYTE* buffer;  // bytes not yet turned into groups
    int fill;
    int capacity;  // grows, never shrinks
    DWORD syncPi;  // block-A word of the locked stream, FM_RDS_NOT_LOCKED when not locked
};

bool FmRdsInit(FmRdsState* rds);
void FmRdsFree(FmRdsState* rds);
// Forgets partial data and the lock (a new station is on the air).
void FmRdsReset(FmRdsState* rds);

// Whether a group starts at p (12 readable bytes), and its error flags.
bool FmRdsCheckGroup(const BYTE* p, DWORD* errorFlags);
// The next group at or after scan position p, or -1; when none is found the
// unread tail has been moved to the buffer start.
int FmRdsFindNextGroup(FmRdsState* rds, int p, DWORD* errorFlags);
// Appends n bytes and cuts out every complete group. Returns a LocalAlloc'd
// array of *count records, or null with *count 0 when no group was complete
// (or memory ran out: the delivery is then dropped, the buffer kept intact).
FmRdsGroup* FmRdsTakeBytes(FmRdsState* rds, const BYTE* data, int n, DWORD* count);

// ---- notification records ---------------------------------------------------

typedef std::deque<FmNotification*> FmNotificationQueue;

FmNotification* FmMakeNotification(DWORD kind, DWORD tick, DWORD value, ULONG_PTR data);
// Frees the record and, for an RDS record, its group array.
void FmReleaseNotification(FmNotification* record);
// Drops records from the front that are more than 120000 ms older than tick.
void FmDropStale(FmNotificationQueue& queue, DWORD tick);
void FmReleaseAll(FmNotificationQueue& queue);
