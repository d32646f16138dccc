// Accessibility: other applications' element trees under the AX attribute model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace tessaron::platform {

// Status codes of attribute reads; success is 0, every other value is an error code.
enum class AXStatus : std::int32_t {
  success = 0,
  failure = -25200,
  illegalArgument = -25201,
  invalidElement = -25202,
  cannotComplete = -25204,
  attributeUnsupported = -25205,
  apiDisabled = -25211,
  noValue = -25212,
};

struct AttributeResult {
  AXStatus status = AXStatus::noValue;
  Value value;  // meaningful only when status is success
};

// What a page draws whose words its accessibility tree may not have, and its password fields (whose pixels
// must never be read). Places are in the page window's coordinates: from its top left, in its frame's units.
enum class PagePartKind { canvas, image, embedded, password };
struct PagePart {
  PagePartKind kind = PagePartKind::image;
  Rect frame;
  std::size_t descriptionCharacters = 0;  // a picture's alternative text
};
struct PageLayout {
  Rect page;  // the page's own area (no toolbars)
  std::vector<PagePart> parts;
};

// A node of another application's accessibility tree, borrowed for the duration of a call.
class Element {
 public:
  virtual ~Element() = default;
  // Names of all attributes the element has; nothing when they cannot be read.
  virtual std::optional<std::vector<std::string>> copyAttributeNames() = 0;
  // One attribute: a status and, on success, a value of whatever type the attribute has.
  virtual AttributeResult copyAttributeValue(std::string_view name) = 0;
  // A key equal for two handles of the same node: what walks use to notice cycles.
  virtual std::uintptr_t identity() const = 0;
  // For a page (AXWebArea) whose text has been read: the parts it draws, as read with that text; none where
  // the backend cannot tell.
  virtual std::optional<PageLayout> pageLayout() { return std::nullopt; }
};

class Accessibility {
 public:
  virtual ~Accessibility() = default;
  // The accessibility element of the application with this process identifier (always an element; reads
  // on it fail when there is no such application).
  virtual ElementRef createApplication(std::int32_t processId) = 0;
};

}  // namespace tessaron::platform
