// The actions of the status menu.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

enum class ActionType { toggle, pauseForAnHour, forgetRecent, search, inspect, learnMore, quit };

// Every case, in menu order.
inline constexpr std::array<ActionType, 7> allActionTypes = {
    ActionType::toggle,  ActionType::pauseForAnHour, ActionType::forgetRecent, ActionType::search,
    ActionType::inspect, ActionType::learnMore,      ActionType::quit};

// "Toggle", "Pause for an Hour", "Forget the Last 15 Minutes", "Search", "Inspect Data", "Learn More",
// "Quit Tessaron": what is stored and compared.
std::string_view rawValue(ActionType action);
// The action whose raw value is exactly this text (case included), or none.
std::optional<ActionType> actionTypeFromRawValue(std::string_view raw);
// The button title: the toggle reads "Pause" while the panel shows capturing, else "Capture".
std::string buttonTitle(ActionType action, bool isCapturing);

// Hashes by raw value, as equality compares by it.
struct ActionTypeHash {
  std::size_t operator()(ActionType action) const { return std::hash<std::string_view>{}(rawValue(action)); }
};

}  // namespace tessaron
