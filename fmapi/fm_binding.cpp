// Loading the platform's FM library, binding its entry points, creating the
// platform session, and delivering its events to the session.
#include <atomic>

#include "fm_session.h"

namespace {

// Platform event deliveries in progress. A session is destroyed only after
// it has stopped being the current session and every delivery that might
// still have seen it has left.
std::atomic<int> g_dispatching{0};

// The threads inside a delivery and how deep, so that a close made from
// inside a delivery does not wait for itself. A small table rather than
// thread-local storage: this library is loaded and unloaded while the
// process runs, and a loaded library's own thread-local storage is not
// something every loader (or leak checker) handles. The platform delivers
// from one event thread per session, so a few slots are plenty.
struct DispatchSlot {
    std::atomic<DWORD> thread{0};
    std::atomic<int> depth{0};
};
constexpr int kDispatchSlots = 32;
DispatchSlot g_dispatchSlots[kDispatchSlots];

// Null only when more threads than slots deliver at once; such a thread is
// not counted, and a close from inside its delivery would wait for it.
DispatchSlot* EnterDispatch() {
    const DWORD me = GetCurrentThreadId();
    for (DispatchSlot& slot : g_dispatchSlots) {
        if (slot.thread.load() == me) {
            slot.depth.fetch_add(1);
            return &slot;
        }
    }
    for (DispatchSlot& slot : g_dispatchSlots) {
        DWORD unused = 0;
        if (slot.thread.compare_exchange_strong(unused, me)) {
            slot.depth.store(1);
            return &slot;
        }
    }
    return nullptr;
}

void LeaveDispatch(DispatchSlot* slot) {
    if (slot && slot->depth.fetch_sub(1) == 1) slot->thread.store(0);
}

int OwnDispatchDepth() {
    const DWORD me = GetCurrentThreadId();
    for (const DispatchSlot& slot : g_dispatchSlots)
        if (slot.thread.load() == me) return slot.depth.load();
    return 0;
}

bool BindEntries(FmSession* session) {
#define FM_BIND_ENTRY(name, params, args)                                                                        \
    session->api.name =                                                                                          \
        reinterpret_cast<PFN_##name>(reinterpret_cast<void (*)()>(GetProcAddressW(session->module, u"" #name))); \
    if (!session->api.name) {                                                                                    \
        FmTrace(u"Failed to load '" #name "'");                                                                  \
        return false;                                                                                            \
    }
    FMS_API_ENTRY_POINTS(FM_BIND_ENTRY)
#undef FM_BIND_ENTRY
    return true;
}

}  // namespace

FmSession* FmBindPlatform() {
    HMODULE module = LoadLibraryW(u"FMS_API.dll");
    if (!module) {
        FmTrace(u"Failed to load FMS_API.dll\r\n");
        SetLastError(ERROR_OPEN_FAILED);
        return nullptr;
    }

    auto* session = new (std::nothrow) FmSession(module);
    if (!session) {
        FreeLibrary(module);
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }
    if (!session->Constructed()) {
        delete session;  // unloads the library
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }

    if (!BindEntries(session)) {
        delete session;
        SetLastError(ERROR_BAD_UNIT);
        return nullptr;
    }

    if (session->api.FM_Init() != FMS_SUCCESSED) {
        FmTrace(u"Failed to init FM radio\r\n");
        delete session;
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }

    session->creationWord = 0;
    FmPlatformSession created = 0;
    DWORD rc = session->api.FM_Create(&session->creationWord, FmPlatformEventProc, &created);
    if (rc != FMS_SUCCESSED || created == 0) {
        session->api.FM_Deinit();
        FmTrace(u"Failed to create FM session\r\n");
        delete session;
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }
    session->platformSession = created;
    g_currentSession.store(session);
    return session;
}

DWORD FmPlatformEventProc(FmPlatformEvent* event) {
    if (!event) return 0;
    const BYTE code = event->code;
    if (code == 0 || code > FMS_EVENT_RDS_DATA) {
        FmTraceFormat(200, u"Invalid event type: %d \r\n", static_cast<int>(code) - 1);
        return 0;
    }

    g_dispatching.fetch_add(1);
    DispatchSlot* own = EnterDispatch();
    FmSession* session = g_currentSession.load();
    if (session) {
        switch (code) {
            case FMS_EVENT_COMMAND_STATUS:
                session->OnFMRadioCommandStatus(event->payload.status.command, event->payload.status.status,
                                                event->payload.status.value);
                break;
            case FMS_EVENT_FREQUENCY: session->OnFMRadioFrequency(event->payload.frequency.frequency); break;
            case FMS_EVENT_FREQUENCY_REPORT: session->OnFMRadioFrequencyReport(event->payload.report.frequency); break;
            case FMS_EVENT_STEREO_MODE: session->OnFMRadioStereoModeChanged(event->payload.stereoMode); break;
            case FMS_EVENT_RDS_DATA:
                session->OnFMRadioRdsData(reinterpret_cast<const BYTE*>(event->payload.rds.data),
                                          event->payload.rds.count);
                break;
            default:  // 3, 4 and 6 carry nothing we use
                break;
        }
    }
    LeaveDispatch(own);
    g_dispatching.fetch_sub(1);
    g_dispatching.notify_all();  // cheap while nobody waits
    return 0;
}

void FmWaitForEventDispatch() {
    // A close made from inside an event delivery must not wait for itself.
    // The wait returns as soon as the count differs from the one it saw.
    const int own = OwnDispatchDepth();
    for (int n = g_dispatching.load(); n > own; n = g_dispatching.load()) g_dispatching.wait(n);
}
