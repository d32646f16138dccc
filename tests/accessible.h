// Other programs' windows as a person sees them, through the accessibility bus (libatspi): for tests that
// read dialogs and press their buttons.
#pragma once

#include <atspi/atspi.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tessaron::testing {

// An owned accessible.
struct Accessible {
  AtspiAccessible* object = nullptr;
  Accessible() = default;
  explicit Accessible(AtspiAccessible* adopted) : object(adopted) {}
  Accessible(const Accessible& other)
      : object(other.object ? static_cast<AtspiAccessible*>(g_object_ref(other.object)) : nullptr) {}
  Accessible& operator=(Accessible other) {
    std::swap(object, other.object);
    return *this;
  }
  ~Accessible() {
    if (object) g_object_unref(object);
  }
  explicit operator bool() const { return object != nullptr; }

  std::string name() const {
    gchar* text = atspi_accessible_get_name(object, nullptr);
    std::string out = text ? text : "";
    g_free(text);
    return out;
  }
  AtspiRole role() const { return atspi_accessible_get_role(object, nullptr); }
  bool showing() const {
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    const bool result = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
    g_object_unref(states);
    return result;
  }
  std::vector<Accessible> children() const {
    std::vector<Accessible> out;
    const gint count = atspi_accessible_get_child_count(object, nullptr);
    for (gint i = 0; i < count; ++i)
      if (AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr))
        out.emplace_back(child);
    return out;
  }
  // Every node below, in document order.
  void collect(std::vector<Accessible>& out, int depth = 0) const {
    if (depth > 30) return;
    for (auto& child : children()) {
      out.push_back(child);
      child.collect(out, depth + 1);
    }
  }
  bool press() const { return atspi_action_do_action(ATSPI_ACTION(object), 0, nullptr); }
};

inline Accessible applicationOf(pid_t pid) {
  Accessible desktop(atspi_get_desktop(0));
  for (auto& app : desktop.children())
    if (static_cast<pid_t>(atspi_accessible_get_process_id(app.object, nullptr)) == pid) return app;
  return {};
}

inline Accessible applicationNamed(const std::string& name) {
  Accessible desktop(atspi_get_desktop(0));
  for (auto& app : desktop.children())
    if (app.name() == name) return app;
  return {};
}

}  // namespace tessaron::testing
