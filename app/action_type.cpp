#include "app/action_type.h"

namespace tessaron {

std::string_view rawValue(ActionType action) {
  switch (action) {
    case ActionType::toggle:
      return "Toggle";
    case ActionType::pauseForAnHour:
      return "Pause for an Hour";
    case ActionType::forgetRecent:
      return "Forget the Last 15 Minutes";
    case ActionType::search:
      return "Search";
    case ActionType::inspect:
      return "Inspect Data";
    case ActionType::learnMore:
      return "Learn More";
    case ActionType::quit:
      return "Quit Tessaron";
  }
  return "Toggle";
}

std::optional<ActionType> actionTypeFromRawValue(std::string_view raw) {
  for (ActionType action : allActionTypes)
    if (rawValue(action) == raw) return action;
  return std::nullopt;
}

std::string buttonTitle(ActionType action, bool isCapturing) {
  if (action == ActionType::toggle) return isCapturing ? "Pause" : "Capture";
  return std::string(rawValue(action));
}

}  // namespace tessaron
