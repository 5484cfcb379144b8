// cehost's socket server (see server.cpp).
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "rpc.h"
#include "window_table.h"

namespace cehost {

class Server {
public:
    Server();
    ~Server();
    bool listen(const std::string& path, std::string* error);
    void start();
    // Readable once a client asked the host to stop.
    int stop_event() const { return stop_event_; }
    // Stops accepting and removes the socket.
    void stop();
    // Ends every connection (after the devices are gone) and joins the
    // threads; a thread still inside a driver after the close budget is left
    // behind. Returns how many were.
    size_t close_connections();

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        bool done = false;
        bool kept = false;
        uid_t uid = 0;
        pid_t pid = 0;
        bool introducing = true;  // no Hello yet
        bool pushed_out = false;  // closed to make room; its thread is ending
    };
    struct Session {
        pid_t pid = 0;
        int pidfd = -1;
        int connections = 0;
        bool ended = false;
        std::set<uint32_t> opens;
    };

    void accept_loop();
    // What one connection is: its peer, its session, whether it is its
    // process's window listener, and how the last request ends it.
    struct Peer {
        uint64_t id = 0;
        int fd = -1;
        pid_t pid = 0;
        std::chrono::steady_clock::time_point hello_by;
        uint64_t token = 0;
        bool listener = false;
        bool stop = false;  // the peer asked the host to stop
        bool drop = false;  // the connection must end without a reply
    };

    // Whether the new connection of `uid` may have a thread; may close the
    // longest-waiting connection of that user that has not said hello.
    bool admit(uid_t uid, pid_t pid);
    void serve(uint64_t id, int fd, pid_t pid, std::chrono::steady_clock::time_point hello_by);
    bool converse(Peer& peer);
    // Decodes one request of type Rq, runs its handler and sends the reply;
    // false when the connection must end. The table of these, one an
    // operation, is made from ce::rpc::Requests.
    template <class Rq>
    bool serve_request(Peer& peer, uint32_t tag, const std::string& payload);
    using Dispatch = bool (Server::*)(Peer&, uint32_t, const std::string&);
    template <class... Rq>
    static constexpr auto dispatch_table(ce::rpc::Types<Rq...>);
    static const std::array<Dispatch, ce::rpc::OpLast + 1> kDispatch;

    // One handler a request. A handler fills the reply; it sets peer.drop
    // to end the connection without one, peer.stop to stop the host after it.
    void handle(const ce::rpc::HelloRequest& r, ce::rpc::HelloReply& reply, Peer& peer);
    void handle(const ce::rpc::ActivateRequest& r, ce::rpc::ActivateReply& reply, Peer& peer);
    void handle(const ce::rpc::DeactivateRequest& r, ce::rpc::DeactivateReply& reply, Peer& peer);
    void handle(const ce::rpc::ListRequest& r, ce::rpc::ListReply& reply, Peer& peer);
    void handle(const ce::rpc::OpenRequest& r, ce::rpc::OpenReply& reply, Peer& peer);
    void handle(const ce::rpc::CloseRequest& r, ce::rpc::CloseReply& reply, Peer& peer);
    void handle(const ce::rpc::ReadRequest& r, ce::rpc::ReadReply& reply, Peer& peer);
    void handle(const ce::rpc::WriteRequest& r, ce::rpc::WriteReply& reply, Peer& peer);
    void handle(const ce::rpc::IoControlRequest& r, ce::rpc::IoControlReply& reply, Peer& peer);
    void handle(const ce::rpc::SeekRequest& r, ce::rpc::SeekReply& reply, Peer& peer);
    void handle(const ce::rpc::StopRequest& r, ce::rpc::StopReply& reply, Peer& peer);
    void handle(const ce::rpc::GpsReloadRequest& r, ce::rpc::GpsReloadReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowAddRequest& r, ce::rpc::WindowAddReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowTitleRequest& r, ce::rpc::WindowTitleReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowRemoveRequest& r, ce::rpc::WindowRemoveReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowListRequest& r, ce::rpc::WindowListReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowForwardRequest& r, ce::rpc::WindowForwardReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowListenRequest& r, ce::rpc::WindowListenReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowPollRequest& r, ce::rpc::WindowPollReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowResultRequest& r, ce::rpc::WindowResultReply& reply, Peer& peer);
    void handle(const ce::rpc::WindowForegroundRequest& r, ce::rpc::WindowForegroundReply& reply, Peer& peer);
    // The open `id` when it belongs to the peer's session; else null, and
    // the reply's error says so.
    std::shared_ptr<Open> owned_open(uint32_t id, const Peer& peer, ce::rpc::ReplyHead& reply);
    void join_session(uint64_t token, pid_t pid);
    void leave_session(uint64_t token);
    void end_session(uint64_t token, bool died);
    // The bookkeeping of a session's end: its opens, handed to the caller.
    std::set<uint32_t> take_session(uint64_t token, pid_t* pid);
    void close_session(uint64_t token, pid_t pid, std::set<uint32_t> opens, bool died);
    void watch_loop();
    void reap_cleanups(bool all);

    std::string path_;
    int listen_fd_ = -1;
    int stop_event_ = -1;
    int watch_wake_ = -1;
    std::thread accept_thread_;
    std::thread watch_thread_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::map<uint64_t, Connection> connections_;
    uint64_t next_connection_ = 1;
    uint64_t refused_connections_ = 0;
    std::map<uint64_t, Session> sessions_;
    // The clean-ups of processes that died, one thread each, so that one
    // that has to wait never holds up another's.
    struct Cleanup {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex cleanup_mutex_;
    std::vector<Cleanup> cleanups_;
    WindowTable windows_;
};

}  // namespace cehost
