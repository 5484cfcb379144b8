// Thread message queues: posted messages, messages sent across threads,
// timers and the quit request. A thread that waits for messages sleeps on its
// queue (on the GUI thread: in the toolkit's event loop, which the queue
// wakes), so an idle program costs nothing.
#include <algorithm>
#include <map>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"
#include "user_internal.h"
#include "window_broker.h"

namespace ce::user {

namespace {

std::mutex& queues_mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::map<DWORD, std::weak_ptr<ThreadQueue>>& queues() {
    static auto* q = new std::map<DWORD, std::weak_ptr<ThreadQueue>>;
    return *q;
}

// Ends the queue with its thread: whoever still waits on a message sent to
// it is released with a failure rather than left hanging.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (!queue) return;
        std::deque<std::shared_ptr<SentMessage>> pending;
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            queue->alive = false;
            pending.swap(queue->sent);
        }
        for (auto& s : pending) {
            // done is read by the sender under its own queue's lock.
            if (s->sender) {
                {
                    std::lock_guard<std::mutex> lock(s->sender->mutex);
                    s->failed = true;
                    s->done = true;
                }
                s->sender->wake();
            } else {
                s->failed = true;
                s->done = true;
            }
        }
        std::lock_guard<std::mutex> lock(queues_mutex());
        queues().erase(queue->thread_id);
    }
};

thread_local QueueHolder t_queue;

std::atomic<DisplayDriver*> g_driver{nullptr};

bool in_range(UINT message, UINT low, UINT high) {
    if (low == 0 && high == 0) return true;
    return message >= low && message <= high;
}

bool matches(const MSG& m, HWND hwnd, UINT low, UINT high) {
    if (hwnd && m.hwnd != hwnd) return false;
    return in_range(m.message, low, high);
}

void fill_time(MSG& m) {
    m.time = GetTickCount();
    m.pt = POINT{0, 0};
}

// The next WM_TIMER due on this queue, if any (its due time moves on).
bool take_due_timer(ThreadQueue& q, HWND hwnd, UINT low, UINT high, bool remove, MSG& out) {
    if (!in_range(WM_TIMER, low, high)) return false;
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(q.mutex);
    for (auto& t : q.timers) {
        if (t.due > now || (hwnd && t.hwnd != hwnd)) continue;
        out = MSG{};
        out.hwnd = t.hwnd;
        out.message = WM_TIMER;
        out.wParam = t.id;
        out.lParam = reinterpret_cast<LPARAM>(t.proc);
        fill_time(out);
        if (remove) t.due = deadline_after(t.elapse);
        return true;
    }
    return false;
}

std::chrono::steady_clock::time_point next_timer(ThreadQueue& q) {
    std::lock_guard<std::mutex> lock(q.mutex);
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto& t : q.timers) next = std::min(next, t.due);
    return next;
}

// One step of GetMessage/PeekMessage: sent messages first, then posted ones,
// then the quit request, then due timers.
enum class Take { Message, Quit, Nothing };
Take take_message(ThreadQueue& q, LPMSG msg, HWND hwnd, UINT low, UINT high, bool remove) {
    run_sent_messages(q);
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
            if (!matches(*it, hwnd, low, high)) continue;
            *msg = *it;
            if (remove) q.posted.erase(it);
            return Take::Message;
        }
        if (q.quit) {
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = static_cast<WPARAM>(q.quit_code);
            fill_time(*msg);
            if (remove) q.quit = false;
            return Take::Quit;
        }
    }
    if (take_due_timer(q, hwnd, low, high, remove, *msg)) return Take::Message;
    return Take::Nothing;
}

}  // namespace

void ThreadQueue::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
    }
    cv.notify_all();
    if (gui) {
        if (auto* d = g_driver.load()) d->wake();
    }
}

std::shared_ptr<ThreadQueue> current_queue() {
    if (!t_queue.queue) {
        auto q = std::make_shared<ThreadQueue>();
        q->thread_id = GetCurrentThreadId();
        auto* d = g_driver.load();
        q->gui = d && d->is_gui_thread();
        std::lock_guard<std::mutex> lock(queues_mutex());
        queues()[q->thread_id] = q;
        t_queue.queue = q;
    }
    return t_queue.queue;
}

std::shared_ptr<ThreadQueue> queue_of_thread(DWORD thread_id) {
    std::lock_guard<std::mutex> lock(queues_mutex());
    auto it = queues().find(thread_id);
    return it == queues().end() ? nullptr : it->second.lock();
}

void set_display_driver(DisplayDriver* driver) {
    g_driver.store(driver);
    // A queue made before the driver came belongs to the GUI thread all the same.
    if (driver && t_queue.queue) t_queue.queue->gui = driver->is_gui_thread();
}

DisplayDriver* display_driver() { return g_driver.load(); }

bool run_sent_messages(ThreadQueue& q) {
    bool ran = false;
    for (;;) {
        std::shared_ptr<SentMessage> s;
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            if (q.sent.empty()) break;
            s = q.sent.front();
            q.sent.pop_front();
        }
        auto w = find(s->hwnd);
        if (w) {
            s->result = call_proc(*w, s->message, s->wparam, s->lparam);
        } else {
            s->failed = true;
        }
        {
            // done is read by the sender under its own queue's lock.
            auto sender = s->sender;
            if (sender) {
                std::lock_guard<std::mutex> lock(sender->mutex);
                s->done = true;
            } else {
                s->done = true;
            }
            if (sender) sender->wake();
        }
        ran = true;
    }
    return ran;
}

void wait_queue(ThreadQueue& q, std::chrono::steady_clock::time_point deadline) {
    auto* d = g_driver.load();
    if (q.gui && d) {
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            if (q.signalled) {
                q.signalled = false;
                return;
            }
        }
        d->wait(deadline);
        std::lock_guard<std::mutex> lock(q.mutex);
        q.signalled = false;
        return;
    }
    std::unique_lock<std::mutex> lock(q.mutex);
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        q.cv.wait(lock, [&] { return q.signalled; });
    } else {
        q.cv.wait_until(lock, deadline, [&] { return q.signalled; });
    }
    q.signalled = false;
}

// Sends to a window of another thread of this process and waits for the
// result, running what is sent to this thread meanwhile (two threads sending
// to each other never deadlock). A window destroyed meanwhile, or a thread
// that ends, fails the send.
bool send_across_threads(Window& w, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    auto target = w.queue.lock();
    if (!target) return false;
    auto me = current_queue();
    auto s = std::make_shared<SentMessage>();
    s->hwnd = w.hwnd;
    s->message = message;
    s->wparam = wparam;
    s->lparam = lparam;
    s->sender = me;
    {
        std::lock_guard<std::mutex> lock(target->mutex);
        if (!target->alive) return false;
        target->sent.push_back(s);
    }
    target->wake();
    for (;;) {
        run_sent_messages(*me);
        std::unique_lock<std::mutex> lock(me->mutex);
        if (s->done) break;
        // A plain wait even on the GUI thread: while it sends, it serves only
        // what is sent to it, as a sending thread does on the device.
        me->cv.wait(lock, [&] { return me->signalled || s->done; });
        me->signalled = false;
    }
    if (s->failed) return false;
    *result = s->result;
    return true;
}

// Removes what is queued for a window that is going away and fails the
// sends still waiting on it.
void forget_window_messages(HWND hwnd, ThreadQueue& q) {
    std::deque<std::shared_ptr<SentMessage>> dropped;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.posted.erase(std::remove_if(q.posted.begin(), q.posted.end(), [&](const MSG& m) { return m.hwnd == hwnd; }),
                       q.posted.end());
        q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
                       q.timers.end());
        for (auto it = q.sent.begin(); it != q.sent.end();) {
            if ((*it)->hwnd == hwnd) {
                dropped.push_back(*it);
                it = q.sent.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : dropped) {
        if (s->sender) {
            std::lock_guard<std::mutex> lock(s->sender->mutex);
            s->failed = true;
            s->done = true;
        } else {
            s->failed = true;
            s->done = true;
        }
        if (s->sender) s->sender->wake();
    }
}

// Queues a posted message; a queue whose thread has ended takes none.
BOOL post_to(ThreadQueue& q, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DWORD error_if_gone) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wparam;
    m.lParam = lparam;
    fill_time(m);
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (!q.alive) {
            SetLastError(error_if_gone);
            return FALSE;
        }
        q.posted.push_back(m);
    }
    q.wake();
    return TRUE;
}

// A message for another process's window, carried there by the broker.
BOOL forward_message(broker::Kind kind, HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
    broker::Request r;
    r.kind = kind;
    r.hwnd = reinterpret_cast<uint64_t>(hwnd);
    r.message = message;
    r.wparam = wparam;
    r.lparam = lparam;
    auto answer = broker::forward(r);
    *result = answer.ok ? static_cast<LRESULT>(answer.value) : 0;
    if (!answer.ok) SetLastError(answer.error);
    return answer.ok ? TRUE : FALSE;
}

}  // namespace ce::user

using namespace ce::user;
using ce::trace::hex;

// GetMessageW -> waits on the thread's queue (and, on the GUI thread, on the toolkit's events); FALSE for WM_QUIT.
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    auto q = current_queue();
    for (;;) {
        switch (take_message(*q, msg, window, filterMin, filterMax, true)) {
            case Take::Message: return TRUE;
            case Take::Quit: return FALSE;
            case Take::Nothing: break;
        }
        wait_queue(*q, next_timer(*q));
    }
}

// PeekMessageW -> the queue check of GetMessageW without waiting; PM_REMOVE takes the message.
BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto q = current_queue();
    // On the GUI thread a peek also lets the toolkit deliver what is pending.
    if (q->gui) {
        if (auto* d = display_driver()) d->wait(std::chrono::steady_clock::now());
    }
    return take_message(*q, msg, window, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0) != Take::Nothing;
}

// TranslateMessage -> keyboard input reaches the controls through the toolkit, so there is nothing to translate.
BOOL TranslateMessage(const MSG*) { return FALSE; }

// DispatchMessageW -> a WM_TIMER with a TIMERPROC calls it; otherwise the window's procedure.
LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (!msg->hwnd) return 0;
    auto w = find(msg->hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return call_proc(*w, msg->message, msg->wParam, msg->lParam);
}

static BOOL post_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window) return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    if (is_foreign(window)) {
        LRESULT ignored;
        return forward_message(ce::broker::Kind::Post, window, message, wParam, lParam, &ignored);
    }
    auto w = find(window);
    auto q = w ? w->queue.lock() : nullptr;
    if (!q) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return post_to(*q, window, message, wParam, lParam, ERROR_INVALID_WINDOW_HANDLE);
}

// PostMessageW -> queued on the window's thread; a window of another process through the broker.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CE_TRACE_RET(ui, post_message(window, message, wParam, lParam), FALSE, PostMessageW, window, hex(message),
                        wParam, lParam);
}

static BOOL post_thread_message(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    auto q = threadId == GetCurrentThreadId() ? current_queue() : queue_of_thread(threadId);
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return post_to(*q, nullptr, message, wParam, lParam, ERROR_INVALID_THREAD_ID);
}

// PostThreadMessageW -> queued on the thread's queue (it must have one: any thread that called a message function).
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return CE_TRACE_RET(ui, post_thread_message(threadId, message, wParam, lParam), FALSE, PostThreadMessageW, threadId,
                        hex(message));
}

// SendMessageW -> runs the procedure on the window's thread and waits; another process's window through the broker;
// 0 with ERROR_INVALID_WINDOW_HANDLE for a window that is gone.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window && is_foreign(window)) {
        LRESULT result = 0;
        forward_message(ce::broker::Kind::Send, window, message, wParam, lParam, &result);
        return result;
    }
    auto w = find_or_fail(window);
    if (!w) return 0;
    if (w->thread_id == GetCurrentThreadId()) return call_proc(*w, message, wParam, lParam);
    LRESULT result = 0;
    if (!send_across_threads(*w, message, wParam, lParam, &result)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return result;
}

// PostQuitMessage -> GetMessageW of this thread answers FALSE once the queue holds nothing else.
void PostQuitMessage(int exitCode) {
    auto q = current_queue();
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->quit = true;
        q->quit_code = exitCode;
    }
    q->wake();
}

static UINT_PTR set_timer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    std::shared_ptr<ThreadQueue> q;
    if (window) {
        auto w = find(window);
        q = w ? w->queue.lock() : nullptr;
        if (!q) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    } else {
        q = current_queue();
    }
    if (elapse == 0) elapse = 1;
    {
        std::lock_guard<std::mutex> lock(q->mutex);
        if (!window && id == 0) {
            // A timer without a window gets an id of its own.
            UINT_PTR next = 1;
            for (const auto& t : q->timers) next = std::max(next, t.id + 1);
            id = next;
        }
        Timer t{window, id, elapse, proc, ce::deadline_after(elapse)};
        auto it = std::find_if(q->timers.begin(), q->timers.end(),
                               [&](const Timer& x) { return x.hwnd == window && x.id == id; });
        if (it != q->timers.end()) *it = t;
        else q->timers.push_back(t);
    }
    q->wake();
    return window ? (id ? id : 1) : id;
}

// SetTimer -> a timer of the window's thread (or of this thread without a window), in platform milliseconds.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    return CE_TRACE_RET(ui, set_timer(window, id, elapse, proc), 0u, SetTimer, window, id, elapse);
}

// KillTimer -> FALSE when there is no such timer.
BOOL KillTimer(HWND window, UINT_PTR id) {
    std::shared_ptr<ThreadQueue> q;
    if (window) {
        auto w = find(window);
        q = w ? w->queue.lock() : nullptr;
    } else {
        q = current_queue();
    }
    if (!q) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(q->mutex);
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const Timer& x) { return x.hwnd == window && x.id == id; });
    if (it == q->timers.end()) return FALSE;
    q->timers.erase(it);
    return TRUE;
}

// GetMessagePos -> 0: there is no pointer position here.
DWORD GetMessagePos() { return 0; }

// GetMessageTime -> the tick count when asked.
LONG GetMessageTime() { return static_cast<LONG>(GetTickCount()); }
