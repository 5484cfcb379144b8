// libce's way to cehost for the services beside the device client (the
// window broker): a call over the process's connection pool, and a
// connection of one's own for a thread that waits on the host.
#pragma once

#include <optional>
#include <string>

#include "rpc.h"

namespace ce {

// One request to the root's host and its reply; nullopt (last error set)
// when the host cannot be reached or the connection broke. With start, a
// host is started when none runs (unless CE_HOST_AUTOSTART=0).
std::optional<rpc::Reply> host_call(const std::string& root, const rpc::Request& request, bool start);

// A connection outside the pool, hello said with this process's session
// token; -1 when there is no host (and start could not make one).
int host_connection(const std::string& root, bool start);

}  // namespace ce
