#include "platform/wayland/places.h"

#include <atomic>
#include <nlohmann/json.hpp>

namespace tessaron::platform::wayland {

namespace {

using nlohmann::json;

double number(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::string text(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool overlap(const Rect& a, const Rect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}
}  // namespace

namespace {
std::atomic<std::uint64_t> questions{0};
}  // namespace

void countCompositorQuestion() {
  questions.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t compositorQuestionsAsked() {
  return questions.load(std::memory_order_relaxed);
}

void markCovered(std::vector<CompositorWindow>& frontToBack) {
  for (std::size_t i = 0; i < frontToBack.size(); ++i) {
    frontToBack[i].coveredBy.clear();
    for (std::size_t above = 0; above < i; ++above)
      if (frontToBack[above].output == frontToBack[i].output &&
          overlap(frontToBack[above].frame, frontToBack[i].frame))
        frontToBack[i].coveredBy.push_back(frontToBack[above].id);
  }
}

std::optional<std::pair<std::vector<CompositorWindow>, std::vector<CompositorOutput>>> parsePlacesAnswer(
    std::string_view answer) {
  const json places = json::parse(answer, nullptr, false);
  if (places.is_discarded() || !places.is_object() || !places.contains("windows") ||
      !places["windows"].is_array() || !places.contains("monitors") || !places["monitors"].is_array())
    return std::nullopt;
  std::vector<CompositorOutput> monitors;
  for (const auto& monitor : places["monitors"])
    if (monitor.is_object())
      monitors.push_back(
          {std::to_string(monitors.size()), Rect{number(monitor, "x"), number(monitor, "y"),
                                                 number(monitor, "width"), number(monitor, "height")}});
  std::vector<CompositorWindow> windows;
  for (const auto& entry : places["windows"]) {
    if (!entry.is_object()) continue;
    CompositorWindow window;
    window.id = static_cast<std::uint32_t>(number(entry, "id"));
    window.processId = static_cast<std::int32_t>(number(entry, "pid"));
    window.title = text(entry, "title");
    window.appId = text(entry, "appId");
    window.frame =
        Rect{number(entry, "x"), number(entry, "y"), number(entry, "width"), number(entry, "height")};
    window.output = std::to_string(static_cast<int>(number(entry, "monitor")));
    auto focused = entry.find("focused");
    window.focused = focused != entry.end() && focused->is_boolean() && focused->get<bool>();
    if (window.processId > 0 && window.frame.width > 0 && window.frame.height > 0)
      windows.push_back(std::move(window));
  }
  markCovered(windows);
  return std::pair{std::move(windows), std::move(monitors)};
}

}  // namespace tessaron::platform::wayland
