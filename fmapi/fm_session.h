// The library's single session and the library-wide state beside it.
#pragma once

#include <atomic>

#include "fm_interface.h"
#include "fm_platform.h"
#include "fm_rds.h"

#define FM_PROPERTY_COUNT 11  // cached properties, ids 0-10
#define FM_WAIT_MS 5000       // bound of every wait for a platform answer
#define FM_REPLY_POLL_MS 5    // how often a reply wait looks, serving the caller's timers between

// Enters a critical section for the lifetime of the guard, so that every
// early return leaves it.
class FmLockGuard {
public:
    explicit FmLockGuard(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    ~FmLockGuard() { LeaveCriticalSection(section_); }
    FmLockGuard(const FmLockGuard&) = delete;
    FmLockGuard& operator=(const FmLockGuard&) = delete;

private:
    CRITICAL_SECTION* section_;
};

class FmSession {
public:
    explicit FmSession(HMODULE module);
    // Whether construction got every resource (buffer, event).
    bool Constructed() const { return rds.buffer != nullptr && powerOnEvent != nullptr; }

    // The platform's events reach the session only through these slots.
    void OnFMRadioCommandStatus(BYTE command, BYTE status, DWORD value);  // event 1
    void OnFMRadioStereoModeChanged(BYTE mode);                           // event 7
    void OnFMRadioFrequency(DWORD frequency);                             // event 2
    void OnFMRadioFrequencyReport(DWORD frequency);                       // event 5
    void OnFMRadioRdsData(const BYTE* data, WORD count);                  // event 8
    ~FmSession();

    FmSession(const FmSession&) = delete;
    FmSession& operator=(const FmSession&) = delete;

    // ---- queue and reassembly (fm_queue.cpp) ----
    void FrequencyNotification(DWORD frequency, DWORD reason);
    FmNotification* TakeNotification();
    bool Registered() const {
        return notifyWindow.load(std::memory_order_relaxed) || notifyEvent.load(std::memory_order_relaxed);
    }

    // ---- status handling and waits (fm_status.cpp) ----
    void ClearReply();
    void RaiseReply();
    bool WaitForReply();
    bool WaitForPowerOn();
    void SeekEnd(BYTE status, DWORD value);

    // ---- operations of the exports (fm_exports.cpp) ----
    void SetChipBand(DWORD band);
    void RdsSwitch();
    DWORD PowerOn(DWORD band);
    DWORD PowerOff();
    DWORD SetProp(DWORD id, DWORD value);
    DWORD GetProp(DWORD id, DWORD* value);
    DWORD Seek(DWORD direction);
    void Close();

    // Fields, in the order the session keeps them.
    FmRdsState rds;                       // buffer, fill, capacity, syncPi
    CRITICAL_SECTION queueLock;           // rds, the queue and the handed-out record
    std::atomic<DWORD> chipBand{0};       // band programmed into the chip: 0 or 1
    std::atomic<BYTE> reportNextTune{1};  // whether the next tune answer is reported
    std::atomic<HWND> notifyWindow{nullptr};
    std::atomic<UINT> notifyMessage{0};
    std::atomic<HANDLE> notifyEvent{nullptr};
    FmNotificationQueue queue;
    FmNotification* handedOut = nullptr;
    FmPlatformApi api{};
    HMODULE module;
    FmPlatformSession platformSession = 0;
    DWORD creationWord = 0;
    HANDLE powerOnEvent = nullptr;
    // Raised by an answer after it has stored its value; the reply wait looks
    // at it, so it needs no lock of its own.
    std::atomic<BYTE> replyReceived{0};
};

// ---- library-wide state (one copy per process, kept across sessions) ----------
extern std::atomic<FmSession*> g_currentSession;  // receives the platform's events
extern std::atomic<FmSession*> g_openHandle;      // what FMOpen returned
extern std::atomic<BYTE> g_powered;
extern std::atomic<BYTE> g_altMuteCodes;
extern std::atomic<DWORD> FmPropertyCache[FM_PROPERTY_COUNT];

inline DWORD CacheGet(DWORD id) { return FmPropertyCache[id].load(std::memory_order_relaxed); }
inline void CacheSet(DWORD id, DWORD value) { FmPropertyCache[id].store(value, std::memory_order_relaxed); }
inline bool Powered() { return g_powered.load(std::memory_order_relaxed) != 0; }
inline void SetPowered(bool on) { g_powered.store(on ? 1 : 0, std::memory_order_relaxed); }

// ---- trace (fm_status.cpp) -------------------------------------------------------
void FmTrace(const WCHAR* text);
void FmTraceFormat(size_t bufferUnits, const WCHAR* format, ...);

// ---- binding (fm_binding.cpp) ------------------------------------------------------
// Loads the platform library and creates the session; null with last-error set.
FmSession* FmBindPlatform();
DWORD FmPlatformEventProc(FmPlatformEvent* event);
// Waits until no platform event is being dispatched to a session any more.
void FmWaitForEventDispatch();

// ---- library hooks (fm_exports.cpp) ----------------------------------------------
void FmLibraryLoad();
void FmLibraryUnload();
