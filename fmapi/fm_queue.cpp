// The notification queue: RDS batches and frequency changes on their way to
// the driver, and the waking of the driver.
#include <new>

#include "fm_session.h"

namespace {

// Queues a record and posts it to the caller's window; the queue lock is
// held. A record that cannot be queued (out of memory) is released, never
// leaked.
bool Enqueue(FmSession* session, FmNotification* record) {
    try {
        session->queue.push_back(record);
    } catch (const std::bad_alloc&) {
        FmReleaseNotification(record);
        return false;
    }
    HWND window = session->notifyWindow.load(std::memory_order_relaxed);
    if (window) {
        PostMessageW(window, session->notifyMessage.load(std::memory_order_relaxed), reinterpret_cast<WPARAM>(session),
                     reinterpret_cast<LPARAM>(record));
    }
    return true;
}

// Wakes the caller's thread once the queue lock is left: woken under it, the
// thread would block on the lock at once as it takes the record.
void WakeCaller(FmSession* session) {
    HANDLE event = session->notifyEvent.load(std::memory_order_relaxed);
    if (event) SetEvent(event);
}

}  // namespace

void FmSession::OnFMRadioRdsData(const BYTE* data, WORD count) {
    // Nobody listening: not even buffered.
    if (!Registered()) return;
    {
        FmLockGuard guard(&queueLock);
        if (count == 0 || !data) return;

        DWORD groups = 0;
        FmRdsGroup* array = FmRdsTakeBytes(&rds, data, count, &groups);
        if (!array) return;

        const DWORD tick = GetTickCount();
        FmNotification* record = FmMakeNotification(FMNOTIFY_RDS, tick, groups, reinterpret_cast<ULONG_PTR>(array));
        if (!record) {
            LocalFree(array);
            return;
        }
        FmDropStale(queue, tick);
        if (!Enqueue(this, record)) return;
    }
    WakeCaller(this);
}

void FmSession::OnFMRadioFrequency(DWORD frequency) { FrequencyNotification(frequency, FMFREQ_TUNED); }

void FmSession::OnFMRadioFrequencyReport(DWORD frequency) { FrequencyNotification(frequency, FMFREQ_REPORTED); }

void FmSession::FrequencyNotification(DWORD frequency, DWORD reason) {
    {
        FmLockGuard guard(&queueLock);
        // Partial groups and queued RDS belong to the old station.
        FmRdsReset(&rds);
        CacheSet(FMPROP_FREQUENCY, frequency);
        if (!Registered()) return;

        FmNotification* record = FmMakeNotification(FMNOTIFY_FREQUENCY, GetTickCount(), frequency, reason);
        FmReleaseAll(queue);
        if (!record || !Enqueue(this, record)) return;
    }
    WakeCaller(this);
}

FmNotification* FmSession::TakeNotification() {
    FmLockGuard guard(&queueLock);
    if (handedOut) {
        FmReleaseNotification(handedOut);
        handedOut = nullptr;
    }
    if (queue.empty()) return nullptr;
    handedOut = queue.front();
    queue.pop_front();
    return handedOut;
}
