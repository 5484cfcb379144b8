// Kernel objects behind HANDLE values. A handle names a reference-counted
// object: CloseHandle drops the table's reference, while a thread that is
// waiting on (or reading from) the object keeps its own, so closing a handle
// another thread uses is never a use after free.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "windows.h"

namespace ce {

class KObject : public std::enable_shared_from_this<KObject> {
public:
    virtual ~KObject() = default;

    // Waitable objects override these. try_consume() is called with the
    // object's wait lock held and returns whether the object is signalled,
    // taking the signal for auto-reset kinds.
    virtual bool waitable() const { return false; }
    virtual bool try_consume() { return false; }
    // Called with the wait lock held as a thread starts and stops waiting in
    // wait_object (an event counts them to release the waiters of a pulse).
    virtual void wait_begin() {}
    virtual void wait_end() {}

    // Stream-like objects (files, devices) override these; the defaults fail
    // with ERROR_INVALID_HANDLE as the device does for the wrong kind.
    virtual BOOL read(void* buffer, DWORD size, DWORD* done);
    virtual BOOL write(const void* buffer, DWORD size, DWORD* done);
    virtual BOOL ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned);
    virtual DWORD seek(LONG distance, LONG* high, DWORD method);
    virtual DWORD size(DWORD* high);

    // Called when the last handle to the object is closed (not when the last
    // reference goes away): a device handle closes its open here, so that a
    // blocked reader on another thread is released.
    virtual void on_last_handle_closed() {}

    // The wait lock and its condition: signal_all() after changing state.
    std::mutex wait_mutex;
    std::condition_variable wait_cv;
    void signal_all();

    // Open handles naming this object (the table's references).
    int handle_count = 0;
};

HANDLE handle_insert(std::shared_ptr<KObject> object);
std::shared_ptr<KObject> handle_get(HANDLE handle);
template <class T>
std::shared_ptr<T> handle_get_as(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(handle_get(handle));
}

// Real-time deadline for a wait of the given platform milliseconds
// (INFINITE gives time_point::max()).
std::chrono::steady_clock::time_point deadline_after(DWORD platform_ms);

// Waits until the object is signalled (consuming it) or the deadline passes.
DWORD wait_object(KObject& object, DWORD platform_ms);

}  // namespace ce
