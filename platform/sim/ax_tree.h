// The sim's accessibility trees, in the attribute vocabulary its scenario files are written in: nodes with a
// role ("AXWindow", "AXWebArea", "AXStaticText") and attributes, any of which may fail with a status code,
// children by index (so cycles can be written). The sim's page reader reads windows and pages from them as a
// browser's accessibility interface gives them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/browsers.h"
#include "platform/pages.h"

namespace tessaron::platform::sim {

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

// A URL value, as opposed to a string that merely looks like one.
struct Url {
  std::string absoluteString;
  bool operator==(const Url&) const = default;
};

// An attribute's value, of whatever type it has: the reader checks the type it needs, so "missing or of
// another type" can be written.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, Url, Rect>;

// The value as a signed 32-bit integer when it converts exactly (an integer or integral double in range).
std::optional<std::int32_t> exactInt32(const Value& value);

struct AttributeResult {
  AXStatus status = AXStatus::noValue;
  Value value;  // meaningful only when status is success
};

struct AXNode {
  std::map<std::string, AttributeResult, std::less<>> attributes;
  // Attributes whose value is a list of other nodes of the tree ("AXChildren", "AXWindows"); an entry of
  // `attributes` of the same name hides one here.
  std::map<std::string, std::vector<std::size_t>, std::less<>> elementLists;
};

class AXTree {
 public:
  // Adds a node and returns its index.
  std::size_t add(AXNode node);
  AXNode& node(std::size_t index) { return nodes_.at(index); }
  const AXNode& node(std::size_t index) const { return nodes_.at(index); }
  std::size_t size() const { return nodes_.size(); }

 private:
  std::vector<AXNode> nodes_;
};

// An application as accessibility sees it: node `root` of `tree`, whose "AXWindows" lists its windows.
struct AXApplication {
  std::shared_ptr<AXTree> tree = std::make_shared<AXTree>();
  std::size_t root = 0;
};

// The application's windows as pages are read from them; none when its "AXWindows" cannot be read. Pages of
// Chromium's family are titled by "AXTitle", every other browser's by "AXDescription"; a page counts when it
// has a title string and an "AXURL" URL value, and its words are those of the "AXStaticText" values below
// the window, each after a space, with a space before every child.
std::optional<std::vector<PageWindowRef>> pageWindowsOf(const AXApplication& application,
                                                        const Browser& browser);

// Builds accessibility trees compactly in tests.
class TreeBuilder {
 public:
  explicit TreeBuilder(AXTree& tree) : tree_(tree) {}
  std::size_t node(std::map<std::string, Value, std::less<>> attributes,
                   std::vector<std::size_t> children = {});
  std::size_t staticText(std::string text, std::vector<std::size_t> children = {});
  std::size_t webArea(std::optional<std::string> title, std::optional<Value> url,
                      std::vector<std::size_t> children, const char* titleAttribute = "AXTitle");
  std::size_t window(Rect frame, std::vector<std::size_t> children);

 private:
  AXTree& tree_;
};

}  // namespace tessaron::platform::sim
