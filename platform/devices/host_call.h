// libce's way to cehost, for the device client and the services beside it
// (the window broker): a call over the process's connection pool, and a
// connection of one's own for a thread that waits on the host.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "rpc.h"

namespace ce {

// Runs `talk` on a connection of the pool to the root's host (with start, a
// host is started when none runs, unless CE_HOST_AUTOSTART=0). talk returns
// false when the connection failed; a pooled one that did is retried once on
// a fresh connection. False (last error set) when no connection served.
bool with_host_connection(const std::string& root, bool start, const std::function<bool(int fd)>& talk);

// One request to the root's host and its reply; nullopt (last error set)
// when the host cannot be reached or the connection broke.
template <class Rq>
std::optional<typename Rq::Reply> host_call(const std::string& root, const Rq& request, bool start) {
    std::optional<typename Rq::Reply> reply;
    if (!with_host_connection(root, start, [&](int fd) { return (reply = rpc::call(fd, request)).has_value(); }))
        return std::nullopt;
    return reply;
}

// A connection outside the pool, hello said with this process's session
// token; -1 when there is no host (and start could not make one).
int host_connection(const std::string& root, bool start);

}  // namespace ce
