// Value types that cross the platform seam. No backend type appears here.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tessaron::platform {

// A rectangle in screen coordinates (origin top left), double precision, as window frames are given.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

// A failure reported by the platform, with the text it describes itself by.
struct PlatformError {
  std::string text;
  std::string description() const { return text; }
};

// Either a result or the platform's error.
template <class T>
class Outcome {
 public:
  Outcome(T value) : state_(std::move(value)) {}              // NOLINT(google-explicit-constructor)
  Outcome(PlatformError error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  const PlatformError& error() const { return std::get<PlatformError>(state_); }

 private:
  std::variant<T, PlatformError> state_;
};

// Pixels of a captured or decoded image: 8-bit RGBA, not premultiplied, rows top to bottom.
struct RgbaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::size_t stride = 0;  // bytes per row, at least 4 * width
  std::vector<std::uint8_t> pixels;
  bool empty() const { return width == 0 || height == 0; }
};

}  // namespace tessaron::platform
