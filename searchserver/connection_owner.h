// Whose program opened a loopback TCP connection. TCP carries no credentials (unlike a Unix socket), but the
// kernel knows the user of every socket: its socket diagnostics look the connecting socket up by its exact
// address pair and tell its user. Any user may ask this of any socket, so the server needs no privilege.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>

namespace tessaron::search {

// The user of the socket at `peer` that is connected to `local` (both IPv4 or IPv6); none when the kernel
// does not know it (the peer has gone, or the socket is not on this machine's network namespace).
std::optional<uid_t> connectingUser(const sockaddr* peer, const sockaddr* local);

}  // namespace tessaron::search
