// RDS group reassembly and notification records.
#include "fm_rds.h"

#include <cstring>

namespace {

inline DWORD WordAt(const BYTE* p) { return (static_cast<DWORD>(p[0]) << 8) | p[1]; }

// Keeps the last `keep` bytes of the filled part, moved to the buffer start.
void KeepTail(FmRdsState* rds, int from) {
    int keep = rds->fill - from;
    if (keep > 0 && from > 0) std::memmove(rds->buffer, rds->buffer + from, static_cast<size_t>(keep));
    rds->fill = keep > 0 ? keep : 0;
}

}  // namespace

bool FmRdsInit(FmRdsState* rds) {
    rds->buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, FM_RDS_START_CAPACITY));
    rds->fill = 0;
    rds->capacity = rds->buffer ? FM_RDS_START_CAPACITY : 0;
    rds->syncPi = FM_RDS_NOT_LOCKED;
    return rds->buffer != nullptr;
}

void FmRdsFree(FmRdsState* rds) {
    if (rds->buffer) LocalFree(rds->buffer);
    rds->buffer = nullptr;
    rds->fill = 0;
    rds->capacity = 0;
    rds->syncPi = FM_RDS_NOT_LOCKED;
}

void FmRdsReset(FmRdsState* rds) {
    rds->syncPi = FM_RDS_NOT_LOCKED;
    rds->fill = 0;
}

bool FmRdsCheckGroup(const BYTE* p, DWORD* errorFlags) {
    const DWORD s =
        (static_cast<DWORD>(p[2]) << 24) | (static_cast<DWORD>(p[5]) << 16) | (static_cast<DWORD>(p[8]) << 8) | p[11];
    if (s == 0x20212224u) {
        *errorFlags = 0;
        return true;
    }
    if ((s & 0xF7F7F7F7u) != 0x20212224u) return false;
    // Bit 3 of a status byte marks the block as received in error. Block D
    // has no flag of its own in the record.
    DWORD flags = 0;
    if (p[2] & 0x08) flags |= FMRDS_ERROR_A;
    if (p[5] & 0x08) flags |= FMRDS_ERROR_B;
    if (p[8] & 0x08) flags |= FMRDS_ERROR_C;
    *errorFlags = flags;
    return true;
}

int FmRdsFindNextGroup(FmRdsState* rds, int p, DWORD* errorFlags) {
    BYTE* const b = rds->buffer;
    const int e = rds->fill;

    if (rds->syncPi != FM_RDS_NOT_LOCKED) {
        // Locked: a group is recognised by the station's block-A word alone,
        // at any offset, so a stream that slipped a few bytes is followed.
        for (int r = p; r <= e - FM_RDS_RAW_GROUP; ++r) {
            if (WordAt(b + r) == rds->syncPi && FmRdsCheckGroup(b + r, errorFlags)) return r;
        }
        if (e - p < FM_RDS_LOCK_BYTES) {
            KeepTail(rds, p);
            return -1;
        }
        // Room for two groups and not one of ours: the lock is gone.
        rds->syncPi = FM_RDS_NOT_LOCKED;
    }

    // Not locked: two valid groups in a row with the same block-A word, and
    // the next group starting with it again.
    for (int r = p; r <= e - FM_RDS_LOCK_BYTES; ++r) {
        const BYTE* g = b + r;
        if (g[0] != g[12] || g[1] != g[13]) continue;
        if (g[12] != g[24] || g[13] != g[25]) continue;
        DWORD second;
        if (!FmRdsCheckGroup(g, errorFlags) || !FmRdsCheckGroup(g + 12, &second)) continue;
        rds->syncPi = WordAt(g);
        return r;
    }
    if (e - FM_RDS_LOCK_BYTES > 0) KeepTail(rds, e - (FM_RDS_LOCK_BYTES - 1));
    else KeepTail(rds, p);
    return -1;
}

FmRdsGroup* FmRdsTakeBytes(FmRdsState* rds, const BYTE* data, int n, DWORD* count) {
    *count = 0;
    if (n <= 0 || !data || !rds->buffer) return nullptr;

    if (rds->fill + n > rds->capacity) {
        // Grow by exactly what is missing, plus a little.
        const int capacity = rds->fill + n + 16;
        BYTE* grown = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(capacity)));
        if (!grown) return nullptr;
        if (rds->fill > 0) std::memcpy(grown, rds->buffer, static_cast<size_t>(rds->fill));
        LocalFree(rds->buffer);
        rds->buffer = grown;
        rds->capacity = capacity;
    }
    std::memcpy(rds->buffer + rds->fill, data, static_cast<size_t>(n));
    rds->fill += n;

    const int most = rds->fill / FM_RDS_RAW_GROUP;
    FmRdsGroup* groups = nullptr;
    if (most > 0) {
        groups = static_cast<FmRdsGroup*>(LocalAlloc(LPTR, static_cast<SIZE_T>(most) * sizeof(FmRdsGroup)));
        if (!groups) {
            // Without room for the records the bytes stay buffered; the next
            // delivery tries again.
            return nullptr;
        }
    }

    DWORD found = 0;
    int p = 0;
    bool tailMoved = false;
    while (p <= rds->fill - FM_RDS_RAW_GROUP) {
        DWORD flags = 0;
        const int r = FmRdsFindNextGroup(rds, p, &flags);
        if (r < 0) {
            tailMoved = true;
            break;
        }
        const BYTE* g = rds->buffer + r;
        FmRdsGroup& out = groups[found++];
        out.size = sizeof(FmRdsGroup);
        out.blockA = static_cast<WORD>(WordAt(g));
        out.blockB = static_cast<WORD>(WordAt(g + 3));
        out.blockC = static_cast<WORD>(WordAt(g + 6));
        out.blockD = static_cast<WORD>(WordAt(g + 9));
        out.errorFlags = flags;
        p = r + FM_RDS_RAW_GROUP;
    }
    if (!tailMoved) KeepTail(rds, p);

    if (found == 0) {
        if (groups) LocalFree(groups);
        return nullptr;
    }
    *count = found;
    return groups;
}

FmNotification* FmMakeNotification(DWORD kind, DWORD tick, DWORD value, ULONG_PTR data) {
    auto* record = static_cast<FmNotification*>(LocalAlloc(LPTR, sizeof(FmNotification)));
    if (!record) return nullptr;
    record->kind = kind;
    record->tick = tick;
    record->value = value;
    record->data = data;
    return record;
}

void FmReleaseNotification(FmNotification* record) {
    if (!record) return;
    if (record->kind == FMNOTIFY_RDS && record->data) LocalFree(reinterpret_cast<HLOCAL>(record->data));
    LocalFree(record);
}

void FmDropStale(FmNotificationQueue& queue, DWORD tick) {
    while (!queue.empty()) {
        FmNotification* front = queue.front();
        // Unsigned difference: correct across the tick count's wrap.
        if (static_cast<DWORD>(tick - front->tick) <= FM_STALE_AGE_MS) break;
        queue.pop_front();
        FmReleaseNotification(front);
    }
}

void FmReleaseAll(FmNotificationQueue& queue) {
    while (!queue.empty()) {
        FmNotification* front = queue.front();
        queue.pop_front();
        FmReleaseNotification(front);
    }
}
