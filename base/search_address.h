// Where the search server answers: loopback only, on one port that tessaron, the server and its pages agree
// on (a fixed port, so that the search page's address can be bookmarked).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaron {

inline constexpr std::uint16_t searchPort = 5000;

// "127.0.0.1:5000", as a request's Host names it.
inline std::string searchHostAndPort() {
  return "127.0.0.1:" + std::to_string(searchPort);
}
// "http://127.0.0.1:5000", as a request's Origin names it.
inline std::string searchOrigin() {
  return "http://" + searchHostAndPort();
}
// Whether a request's Host names the server: its loopback address, or localhost, with its port.
inline bool isSearchHost(std::string_view hostAndPort) {
  return hostAndPort == searchHostAndPort() || hostAndPort == "localhost:" + std::to_string(searchPort);
}

}  // namespace tessaron
