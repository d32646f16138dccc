#include "platform/freedesktop/window_owners.h"

#include "platform/browsers.h"

namespace tessaron::platform::freedesktop {

void WindowOwners::describe(WindowDescription& window, std::int32_t processId,
                            const std::optional<std::string>& windowName) {
  std::optional<std::string> name = facts_.name ? facts_.name(processId) : std::nullopt;
  window.onAccessibilityBus = name.has_value() || !facts_.name;
  if (!name) name = windowName;
  if (!name || !browserNamed(*name))
    if (const Browser* browser = browserOfProcess(processId)) name = std::string(browser->name);
  if (!name) return;
  window.owningApplication = RunningApplication{*name, processId};
  window.browser = browserNamed(*name);
  window.privacy = browsingPrivacy(
      *name, window.title.value_or(""), window.frame,
      [&] {
        auto known = frames_.find(processId);
        if (known == frames_.end())
          known = frames_.emplace(processId, facts_.frames ? facts_.frames(processId) : std::nullopt).first;
        return known->second;
      },
      [processId] { return processArguments(processId); });
}

}  // namespace tessaron::platform::freedesktop
