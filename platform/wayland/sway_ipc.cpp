// The compositor's IPC: each message is the magic "i3-ipc", a 32-bit payload length and a 32-bit type in the
// machine's byte order, then the payload; the reply has the same header and a JSON payload.
#include "platform/wayland/sway_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

namespace tessaron::platform::wayland {

namespace {

using nlohmann::json;

constexpr std::string_view magic = "i3-ipc";
constexpr std::uint32_t getOutputs = 3;
constexpr std::uint32_t getTree = 4;
constexpr int replyTimeoutMs = 2000;

double number(const json& rect, const char* key) {
  auto it = rect.find(key);
  return it != rect.end() && it->is_number() ? it->get<double>() : 0.0;
}

// Keys of other types than expected (null titles, say) read as absent: a tree is never refused for one.
std::string text(const json& node, const char* key) {
  auto it = node.find(key);
  return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag(const json& node, const char* key) {
  auto it = node.find(key);
  return it != node.end() && it->is_boolean() && it->get<bool>();
}

Rect rectOf(const json& node, const char* key) {
  auto it = node.find(key);
  if (it == node.end() || !it->is_object()) return {};
  return Rect{number(*it, "x"), number(*it, "y"), number(*it, "width"), number(*it, "height")};
}

struct Shown {
  CompositorWindow window;
  bool floating = false;
  std::size_t order = 0;  // place in the tree: later floating windows are above earlier ones
};

void collect(const json& node, const std::string& output, bool floating, std::vector<Shown>& out) {
  if (!node.is_object()) return;
  const std::string type = text(node, "type");
  const std::string name = text(node, "name");
  if (type == "output" && name == "__i3") return;  // the scratchpad
  const std::string here = type == "output" ? name : output;
  auto pid = node.find("pid");
  if (pid != node.end() && pid->is_number_integer() && (type == "con" || type == "floating_con")) {
    auto id = node.find("id");
    if (flag(node, "visible") && id != node.end() && id->is_number_integer() &&
        id->get<std::int64_t>() >= 0) {
      CompositorWindow window;
      window.id = id->get<std::uint32_t>();
      window.processId = pid->get<std::int32_t>();
      window.title = name;
      window.appId = text(node, "app_id");
      const Rect outer = rectOf(node, "rect");
      const Rect content = rectOf(node, "window_rect");
      window.frame = content.width > 0 && content.height > 0
                         ? Rect{outer.x + content.x, outer.y + content.y, content.width, content.height}
                         : outer;
      window.output = here;
      window.focused = flag(node, "focused");
      out.push_back({std::move(window), floating || type == "floating_con", out.size()});
    }
    return;
  }
  for (const char* key : {"nodes", "floating_nodes"}) {
    auto children = node.find(key);
    if (children == node.end() || !children->is_array()) continue;
    for (const auto& child : *children)
      collect(child, here, floating || std::string_view(key) == "floating_nodes", out);
  }
}

}  // namespace

std::vector<CompositorWindow> shownWindows(const json& tree) {
  std::vector<Shown> shown;
  collect(tree, "", false, shown);
  // Front to back: floating windows above tiled ones, and among floating ones the later above the earlier.
  std::stable_sort(shown.begin(), shown.end(), [](const Shown& a, const Shown& b) {
    if (a.floating != b.floating) return a.floating;
    return a.floating && a.order > b.order;
  });
  std::vector<CompositorWindow> windows;
  windows.reserve(shown.size());
  for (auto& entry : shown)
    windows.push_back(std::move(entry.window));
  // Tiled windows never overlap one another, so only floating ones cover anything.
  markCovered(windows);
  return windows;
}

std::vector<CompositorOutput> activeOutputs(const json& outputs) {
  std::vector<CompositorOutput> active;
  if (!outputs.is_array()) return active;
  for (const auto& output : outputs)
    if (output.is_object() && flag(output, "active") && !text(output, "name").empty())
      active.push_back({text(output, "name"), rectOf(output, "rect")});
  return active;
}

std::vector<CompositorOutput> treeOutputs(const json& tree) {
  std::vector<CompositorOutput> outputs;
  auto children = tree.find("nodes");
  if (!tree.is_object() || children == tree.end() || !children->is_array()) return outputs;
  for (const auto& node : *children)
    if (node.is_object() && text(node, "type") == "output" && !text(node, "name").empty() &&
        text(node, "name") != "__i3")
      outputs.push_back({text(node, "name"), rectOf(node, "rect")});
  return outputs;
}

SwayIpc::~SwayIpc() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> SwayIpc::socketFromEnvironment() {
  const char* socket = std::getenv("SWAYSOCK");
  if (!socket || !*socket) return std::nullopt;
  return std::string(socket);
}

bool SwayIpc::connectLocked() {
  if (fd_ >= 0) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool receiveAll(int fd, char* data, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    const ssize_t got = ::recv(fd, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::optional<std::string> SwayIpc::request(std::uint32_t type, std::string_view payload) {
  countCompositorQuestion();
  std::lock_guard lock(mutex_);
  // A compositor that restarted closed the old connection: one new attempt.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!connectLocked()) return std::nullopt;
    std::string message(magic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(reinterpret_cast<const char*>(&type), sizeof type);
    message.append(payload);
    char header[magic.size() + 8];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replyTimeoutMs);
    if (sendAll(fd_, message.data(), message.size()) && receiveAll(fd_, header, sizeof header, deadline) &&
        std::string_view(header, magic.size()) == magic) {
      std::uint32_t replyLength = 0;
      std::memcpy(&replyLength, header + magic.size(), sizeof replyLength);
      std::string reply(replyLength, '\0');
      if (receiveAll(fd_, reply.data(), reply.size(), deadline)) return reply;
    }
    ::close(fd_);
    fd_ = -1;
  }
  return std::nullopt;
}

std::optional<std::vector<CompositorWindow>> SwayIpc::windows() {
  auto reply = request(getTree, {});
  if (!reply) return std::nullopt;
  json tree = json::parse(*reply, nullptr, false);
  if (tree.is_discarded()) return std::nullopt;
  return shownWindows(tree);
}

std::optional<PlacesAnswer> SwayIpc::both() {
  auto reply = request(getTree, {});
  if (!reply) return std::nullopt;
  json tree = json::parse(*reply, nullptr, false);
  if (tree.is_discarded()) return std::nullopt;
  return PlacesAnswer{shownWindows(tree), treeOutputs(tree)};
}

std::string SwayIpc::whatIsMissing() {
  return outputs() ? std::string() : "The compositor does not answer on its IPC socket (SWAYSOCK).";
}

std::optional<std::vector<CompositorOutput>> SwayIpc::outputs() {
  auto reply = request(getOutputs, {});
  if (!reply) return std::nullopt;
  json list = json::parse(*reply, nullptr, false);
  if (list.is_discarded()) return std::nullopt;
  return activeOutputs(list);
}

}  // namespace tessaron::platform::wayland
