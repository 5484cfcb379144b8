// Feeds arbitrary bytes, cut into arbitrary pieces, to the RDS reassembly.
// The first byte of every piece gives its length (so the fuzzer controls the
// cuts); after each piece the buffer must hold at most 26 bytes, its capacity
// must stay bounded by the largest piece, and every record must be whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fm_rds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FmRdsState rds{};
    if (!FmRdsInit(&rds)) return 0;
    size_t at = 0;
    int largest = 0;
    while (at < size) {
        // A length byte, then up to 4x that many bytes: pieces of 1..1020.
        size_t want = (static_cast<size_t>(data[at]) * 4) + 1;
        ++at;
        size_t n = want < size - at ? want : size - at;
        if (n == 0) break;
        if (static_cast<int>(n) > largest) largest = static_cast<int>(n);

        DWORD count = 0;
        FmRdsGroup* groups = FmRdsTakeBytes(&rds, data + at, static_cast<int>(n), &count);
        if ((groups == nullptr) != (count == 0)) std::abort();
        for (DWORD i = 0; i < count; ++i) {
            if (groups[i].size != sizeof(FmRdsGroup)) std::abort();
            if (groups[i].errorFlags & ~0x1110u) std::abort();
            if (groups[i].blockA != rds.syncPi && rds.syncPi != FM_RDS_NOT_LOCKED && i + 1 == count) {
                // The last group found was found under the current lock.
                std::abort();
            }
        }
        if (groups) LocalFree(groups);
        if (rds.fill < 0 || rds.fill > 26 || rds.fill > rds.capacity) std::abort();
        const int bound = 26 + largest + 16 > FM_RDS_START_CAPACITY ? 26 + largest + 16 : FM_RDS_START_CAPACITY;
        if (rds.capacity > bound) std::abort();
        at += n;
    }
    FmRdsFree(&rds);
    return 0;
}
