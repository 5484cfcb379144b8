// FmSession: construction and destruction of the library's one session.
#include "fm_session.h"

FmSession::FmSession(HMODULE platformModule) : module(platformModule) {
    FmRdsInit(&rds);  // also unlocks: syncPi = 0xFFFF
    InitializeCriticalSection(&queueLock);
    powerOnEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset, not set
}

FmSession::~FmSession() {
    // Stop receiving the platform's events first and let a delivery that is
    // under way finish, so that nothing below races with one.
    FmSession* self = this;
    g_currentSession.compare_exchange_strong(self, nullptr);
    FmWaitForEventDispatch();

    {
        FmLockGuard guard(&queueLock);
        if (handedOut) {
            FmReleaseNotification(handedOut);
            handedOut = nullptr;
        }
        FmReleaseAll(queue);
    }
    if (module) FreeLibrary(module);
    module = nullptr;
    if (powerOnEvent) CloseHandle(powerOnEvent);
    powerOnEvent = nullptr;
    DeleteCriticalSection(&queueLock);
    FmRdsFree(&rds);
}
