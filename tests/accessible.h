// Other programs' windows as a person sees them, through the accessibility bus (libatspi): for tests that
// read dialogs and press their buttons.
#pragma once

#include <atspi/atspi.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/desktop_session.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace tessaron::testing {

// libatspi keeps strings it duplicates while it dispatches the bus's events during a read (seen under GNOME
// Shell): not the tests' to free, so the leak checker looks away during its calls.
#if defined(__SANITIZE_ADDRESS__)
using AtspiCall = __lsan::ScopedDisabler;
#else
struct AtspiCall {
  AtspiCall() {}  // user-provided: a scope guard, not an unused variable
};
#endif

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
    AtspiCall call;
    gchar* text = atspi_accessible_get_name(object, nullptr);
    std::string out = text ? text : "";
    g_free(text);
    return out;
  }
  AtspiRole role() const {
    AtspiCall call;
    return atspi_accessible_get_role(object, nullptr);
  }
  bool showing() const {
    AtspiCall call;
    AtspiStateSet* states = atspi_accessible_get_state_set(object);
    const bool result = atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
    g_object_unref(states);
    return result;
  }
  std::vector<Accessible> children() const {
    AtspiCall call;
    std::vector<Accessible> out;
    if (!object) return out;  // an application not found (yet) has no children
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
  bool press() const {
    AtspiCall call;
    return atspi_action_do_action(ATSPI_ACTION(object), 0, nullptr);
  }
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

// A node of the program's accessible tree with the role and, when given, a name holding `name`.
inline Accessible findNode(const Accessible& root, AtspiRole role, const std::string& name = {}) {
  std::vector<Accessible> nodes;
  root.collect(nodes);
  for (auto& node : nodes)
    if (node.role() == role && (name.empty() || node.name().find(name) != std::string::npos)) return node;
  return {};
}

// The Share button of the desktop portal's screen-cast dialog (GNOME's), while the dialog shows.
inline Accessible screenCastShareButton() {
  Accessible portal = applicationNamed("xdg-desktop-portal-gnome");
  return portal ? findNode(portal, ATSPI_ROLE_PUSH_BUTTON, "Share") : Accessible();
}

// Answers that dialog as a person would: the first screen picked, then Share. False when no such dialog
// shows within the limit.
inline bool answerScreenCastDialog(std::chrono::milliseconds limit) {
  if (!waitFor([] { return static_cast<bool>(screenCastShareButton()); }, limit)) return false;
  if (Accessible list = findNode(applicationNamed("xdg-desktop-portal-gnome"), ATSPI_ROLE_LIST))
    atspi_selection_select_child(ATSPI_SELECTION(list.object), 0, nullptr);
  // Share becomes usable once a screen is picked.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Accessible share = screenCastShareButton();
  return share && share.press();
}

}  // namespace tessaron::testing
