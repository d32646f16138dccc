#include "searchserver/connection_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace tessaron::search {

namespace {

// Address and port of an IPv4 or IPv6 socket address, in the kernel's layout for a diagnostics request.
bool fill(const sockaddr* address, std::uint8_t family, __be16& port, __be32 (&words)[4]) {
  if (address->sa_family != family) return false;
  if (family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    port = v4->sin_port;
    std::memcpy(words, &v4->sin_addr, sizeof v4->sin_addr);
  } else {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    port = v6->sin6_port;
    std::memcpy(words, &v6->sin6_addr, sizeof v6->sin6_addr);
  }
  return true;
}

}  // namespace

std::optional<uid_t> connectingUser(const sockaddr* peer, const sockaddr* local) {
  const auto family = static_cast<std::uint8_t>(peer->sa_family);
  if (family != AF_INET && family != AF_INET6) return std::nullopt;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // one socket by its address pair, not a dump
  message.request.sdiag_family = family;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  // The connecting socket's own view: its source is the peer, its destination our side.
  if (!fill(peer, family, message.request.id.idiag_sport, message.request.id.idiag_src) ||
      !fill(local, family, message.request.id.idiag_dport, message.request.id.idiag_dst))
    return std::nullopt;
  message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<uid_t> user;
  if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof message)) {
    alignas(nlmsghdr) char answer[8192];
    ssize_t size = 0;
    while ((size = ::recv(fd, answer, sizeof answer, 0)) < 0 && errno == EINTR) {
    }
    // The answer to a single-socket request is one message: the socket, or an error.
    const auto* part = reinterpret_cast<const nlmsghdr*>(answer);
    static_assert(sizeof(nlmsghdr) % NLMSG_ALIGNTO == 0);
    if (size >= static_cast<ssize_t>(sizeof(nlmsghdr) + sizeof(inet_diag_msg)) &&
        part->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        part->nlmsg_len >= sizeof(nlmsghdr) + sizeof(inet_diag_msg))
      user = reinterpret_cast<const inet_diag_msg*>(answer + sizeof(nlmsghdr))->idiag_uid;
  }
  ::close(fd);
  return user;
}

}  // namespace tessaron::search
