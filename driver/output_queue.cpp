// The output queue: one buffer of whole items, read from the front.
#include <cstring>

#include "driver.h"

void OutputQueue::Create() { InitializeCriticalSection(&OutputLock); }

void OutputQueue::Destroy() { DeleteCriticalSection(&OutputLock); }

void OutputQueue::Append(const void* bytes, DWORD length, bool append) {
    if (length > OUTPUT_SIZE) length = OUTPUT_SIZE;  // no item is ever larger; never overrun
    EnterCriticalSection(&OutputLock);
    DWORD end = OutputLength.load(std::memory_order_relaxed);
    if (append && end + length < OUTPUT_SIZE) {
        memcpy(OutputBuffer + end, bytes, length);
        OutputLength.store(end + length, std::memory_order_relaxed);
    } else {
        // Overflow: the unread bytes are dropped and the queue restarts with
        // this item alone, so the client never reads half an item.
        memcpy(OutputBuffer, bytes, length);
        OutputLength.store(length, std::memory_order_relaxed);
        OutputReadPos.store(0, std::memory_order_relaxed);
    }
    LeaveCriticalSection(&OutputLock);
}

void OutputQueue::Reset() {
    EnterCriticalSection(&OutputLock);
    OutputReadPos.store(0, std::memory_order_relaxed);
    OutputLength.store(0, std::memory_order_relaxed);
    LeaveCriticalSection(&OutputLock);
}

DWORD OutputQueue::Take(void* buffer, DWORD count) {
    EnterCriticalSection(&OutputLock);
    DWORD end = OutputLength.load(std::memory_order_relaxed);
    DWORD start = OutputReadPos.load(std::memory_order_relaxed);
    DWORD taken = 0;
    if (end == start) {
        taken = 0;
    } else if (end - start < count) {
        taken = end - start;
        memcpy(buffer, OutputBuffer + start, taken);
        OutputReadPos.store(0, std::memory_order_relaxed);
        OutputLength.store(0, std::memory_order_relaxed);
    } else {
        // When exactly the queued amount is asked for the positions stay; the
        // next append continues behind them.
        taken = count;
        memcpy(buffer, OutputBuffer + start, count);
        OutputReadPos.store(start + count, std::memory_order_relaxed);
    }
    LeaveCriticalSection(&OutputLock);
    return taken;
}

DWORD OutputQueue::Pending() const {
    return OutputLength.load(std::memory_order_relaxed) - OutputReadPos.load(std::memory_order_relaxed);
}
