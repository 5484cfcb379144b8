// cehost's window broker: the top-level windows of every process of the
// root, and the requests carried from one process to the owner of a window.
//
// A process that registers windows keeps one connection of its own, its
// listener, on which it asks for the next request for it (a long poll) and
// then sends that request's result. A sender's host thread waits until the
// result is in. A process's windows go with its session or its listener,
// and every request still waiting on it fails with 1400 at once; stopping
// the host releases every waiter.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rpc.h"

namespace cehost {

class WindowTable {
public:
    // Win32 codes the broker answers with (the host's headers lack the first).
    static constexpr uint32_t kInvalidWindow = 1400;  // ERROR_INVALID_WINDOW_HANDLE

    // Registration by the session token whose connection's peer is pid. The
    // handle must carry that pid in its high 32 bits, and the session must
    // have a listener. Returns 0 or the Win32 error.
    uint32_t add(uint64_t token, pid_t pid, uint64_t window, const std::u16string& class_name,
                 const std::u16string& title);
    uint32_t set_title(uint64_t token, uint64_t window, const std::u16string& title);
    uint32_t remove(uint64_t token, uint64_t window);

    // The windows created after the cursor `after` (a creation order), as
    // many as fit in budget bytes of a reply; more tells that some are left.
    std::vector<ce::rpc::WindowInfo> list(uint64_t after, size_t budget, bool& more);
    uint64_t foreground();

    // Queues the call for the window's owner and waits for its answer.
    ce::rpc::WindowAnswer forward(const ce::rpc::WindowCall& call);

    // The owner's listener connection: listen() when one says so, next()
    // for its long poll (false when it must end: its owner is gone, the host
    // stops, or the peer closed fd), answer() with a result, unlisten() when
    // the connection ends.
    void listen(uint64_t token, pid_t pid);
    bool next(uint64_t token, int fd, uint64_t& serial, ce::rpc::WindowCall& call);
    bool answer(uint64_t token, uint64_t serial, const ce::rpc::WindowAnswer& answer);
    void unlisten(uint64_t token);

    // The owner's session ended: its windows go, its requests fail.
    void end_owner(uint64_t token, const char* why);
    // The host stops: every waiter is released, nothing new is taken.
    void stop();

private:
    struct Window {
        uint64_t token = 0;
        pid_t pid = 0;
        uint64_t order = 0;
        std::u16string class_name, title;
    };
    struct Pending {
        uint64_t serial = 0;
        ce::rpc::WindowCall call;
        bool done = false;
        ce::rpc::WindowAnswer answer;
    };
    struct Owner {
        pid_t pid = 0;
        int listeners = 0;
        std::deque<std::shared_ptr<Pending>> queue;          // not yet taken by the listener
        std::map<uint64_t, std::shared_ptr<Pending>> taken;  // being run by the owner
        std::set<int> wakes;                                 // eventfds of polls that wait
    };

    void fail(Pending& pending);                                // caller holds mutex_
    void wake(Owner& owner);                                    // caller holds mutex_
    size_t drop_owner(std::map<uint64_t, Owner>::iterator it);  // caller holds mutex_

    std::mutex mutex_;
    std::condition_variable answered_;
    std::map<uint64_t, Window> windows_;     // by handle
    std::map<uint64_t, uint64_t> by_order_;  // creation order -> handle
    std::map<uint64_t, Owner> owners_;       // by session token
    uint64_t next_order_ = 1;
    uint64_t next_serial_ = 1;
    uint64_t foreground_ = 0;
    bool stopped_ = false;
};

}  // namespace cehost
