// The two things a Wayland desktop must give a program that captures other programs' windows, each from
// whatever interface that desktop offers: where the windows are, and the pixels of its screens.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cstdint>
#include "platform/value.h"

namespace tessaron::platform::wayland {

// A window as the compositor places it: its content area in the compositor's logical coordinates (borders
// and title bars left out), the output that shows it, and the windows stacked above it that overlap it.
struct CompositorWindow {
  std::uint32_t id = 0;
  std::int32_t processId = 0;
  std::string title;
  std::string appId;
  Rect frame;
  std::string output;
  bool focused = false;
  std::vector<std::uint32_t> coveredBy;
  bool operator==(const CompositorWindow&) const = default;
};

struct CompositorOutput {
  std::string name;
  Rect rect;  // logical coordinates
  bool operator==(const CompositorOutput&) const = default;
};

// Windows and outputs from one answer of the desktop.
struct PlacesAnswer {
  std::vector<CompositorWindow> windows;
  std::vector<CompositorOutput> outputs;
};

class WindowPlaces {
 public:
  virtual ~WindowPlaces() = default;
  // The windows shown now, front to back, with the windows above each that overlap it; nothing when the
  // desktop does not answer.
  virtual std::optional<std::vector<CompositorWindow>> windows() = 0;
  virtual std::optional<std::vector<CompositorOutput>> outputs() = 0;
  // Both, from one question where the desktop answers both at once.
  virtual std::optional<PlacesAnswer> both() {
    auto shown = windows();
    if (!shown) return std::nullopt;
    auto screens = outputs();
    if (!screens) return std::nullopt;
    return PlacesAnswer{std::move(*shown), std::move(*screens)};
  }
  // Why it cannot answer, in a person's words; empty when it can.
  virtual std::string whatIsMissing() = 0;
};

class PixelSource {
 public:
  virtual ~PixelSource() = default;
  // The pixels of `region` (logical coordinates within the output) of the output, at its pixel density.
  virtual Outcome<RgbaImage> capture(const CompositorOutput& output, const Rect& region) = 0;
  // Whether pixels can be had now; empty when they can, else why not, in a person's words.
  virtual std::string whatIsMissing() = 0;
};

// The answer of the GNOME Shell extension and of the KWin script, one JSON shape:
//   {"monitors": [{"x", "y", "width", "height"}...],
//    "windows": [{"id", "pid", "title", "appId", "x", "y", "width", "height", "monitor", "focused"}...]}
// with the windows shown, front to back. Read as windows (covered ones marked) and monitors (named by their
// index, as the windows name them); nothing when it is not such an answer.
std::optional<std::pair<std::vector<CompositorWindow>, std::vector<CompositorOutput>>> parsePlacesAnswer(
    std::string_view answer);

// Every question to the compositor about its windows is counted, for the benchmarks' figures per pass.
void countCompositorQuestion();
std::uint64_t compositorQuestionsAsked();

// The stacking rule every desktop shares: a window is covered by every window listed before it (above it) on
// the same output whose rectangle overlaps its own.
void markCovered(std::vector<CompositorWindow>& frontToBack);

}  // namespace tessaron::platform::wayland
