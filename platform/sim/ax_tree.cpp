#include "platform/sim/ax_tree.h"

#include <cmath>
#include <limits>
#include <unordered_set>

namespace tessaron::platform::sim {

std::optional<std::int32_t> exactInt32(const Value& value) {
  using Limits = std::numeric_limits<std::int32_t>;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i < Limits::min() || *i > Limits::max()) return std::nullopt;
    return static_cast<std::int32_t>(*i);
  }
  if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d) || std::trunc(*d) != *d) return std::nullopt;
    if (*d < Limits::min() || *d > Limits::max()) return std::nullopt;
    return static_cast<std::int32_t>(*d);
  }
  return std::nullopt;
}

std::size_t AXTree::add(AXNode node) {
  nodes_.push_back(std::move(node));
  return nodes_.size() - 1;
}

namespace {

// Scenario trees may have cycles or absurd depths: a node that is its own ancestor, or lies deeper than
// this, counts as a node with nothing in it.
constexpr int maxDepth = 512;

class Walk {
 public:
  bool enter(std::size_t node, int depth) { return depth <= maxDepth && path_.insert(node).second; }
  void leave(std::size_t node) { path_.erase(node); }

 private:
  std::unordered_set<std::size_t> path_;
};

const AttributeResult* attribute(const AXNode& node, std::string_view name) {
  auto it = node.attributes.find(name);
  return it == node.attributes.end() ? nullptr : &it->second;
}

template <class T>
const T* attributeAs(const AXNode& node, std::string_view name) {
  const AttributeResult* result = attribute(node, name);
  if (!result || result->status != AXStatus::success) return nullptr;
  return std::get_if<T>(&result->value);
}

// The nodes a list attribute names; none when the attribute is missing, fails or holds no list.
const std::vector<std::size_t>* nodeList(const AXNode& node, std::string_view name) {
  if (node.attributes.contains(name)) return nullptr;
  auto it = node.elementLists.find(name);
  return it == node.elementLists.end() ? nullptr : &it->second;
}

bool hasRole(const AXNode& node, std::string_view role) {
  const auto* value = attributeAs<std::string>(node, "AXRole");
  return value && *value == role;
}

class SimPageWindow final : public PageWindow {
 public:
  SimPageWindow(std::shared_ptr<const AXTree> tree, std::size_t node, const char* titleAttribute)
      : tree_(std::move(tree)), node_(node), titleAttribute_(titleAttribute) {}

  Outcome<Rect> frame() override {
    const AttributeResult* result = attribute(tree_->node(node_), "AXFrame");
    if (!result || result->status != AXStatus::success)
      return PlatformError{"sim: AXFrame fails with " +
                           std::to_string(static_cast<std::int32_t>(
                               result ? result->status : AXStatus::attributeUnsupported))};
    if (const auto* rect = std::get_if<Rect>(&result->value)) return *rect;
    return PlatformError{"sim: AXFrame holds no rectangle"};
  }

  std::optional<Page> page() override {
    Walk walk;
    return findPage(node_, walk, 0);
  }

  std::string text() override {
    Walk walk;
    std::string out;
    collectText(node_, out, walk, 0);
    return out;
  }

  // A window marked "AXPageNotBuilt" stands for a browser that has not built its page's tree yet.
  bool pageBuilt() override {
    const AttributeResult* result = attribute(tree_->node(node_), "AXPageNotBuilt");
    if (!result || result->status != AXStatus::success) return true;
    const auto* notBuilt = std::get_if<bool>(&result->value);
    return !notBuilt || !*notBuilt;
  }

 private:
  std::optional<Page> findPage(std::size_t index, Walk& walk, int depth) const {
    if (!walk.enter(index, depth)) return std::nullopt;
    const AXNode& node = tree_->node(index);
    std::optional<Page> found;
    if (hasRole(node, "AXWebArea")) {
      const auto* title = attributeAs<std::string>(node, titleAttribute_);
      const auto* address = attributeAs<Url>(node, "AXURL");
      if (title && address) found = Page{*title, address->absoluteString};
    }
    // Below the node, only a page with an address counts.
    if (!found)
      if (const auto* children = nodeList(node, "AXChildren"))
        for (std::size_t child : *children)
          if (auto below = findPage(child, walk, depth + 1); below && !below->address.empty()) {
            found = std::move(below);
            break;
          }
    walk.leave(index);
    return found;
  }

  void collectText(std::size_t index, std::string& out, Walk& walk, int depth) const {
    if (!walk.enter(index, depth)) return;
    const AXNode& node = tree_->node(index);
    if (hasRole(node, "AXStaticText"))
      if (const auto* value = attributeAs<std::string>(node, "AXValue")) {
        out.push_back(' ');
        out += *value;
      }
    if (const auto* children = nodeList(node, "AXChildren"))
      for (std::size_t child : *children) {
        out.push_back(' ');
        collectText(child, out, walk, depth + 1);
      }
    walk.leave(index);
  }

  std::shared_ptr<const AXTree> tree_;
  std::size_t node_;
  const char* titleAttribute_;
};

}  // namespace

std::optional<std::vector<PageWindowRef>> pageWindowsOf(const AXApplication& application,
                                                        const Browser& browser) {
  if (application.tree->size() == 0) return std::nullopt;
  const auto* windows = nodeList(application.tree->node(application.root), "AXWindows");
  if (!windows) return std::nullopt;
  const char* titleAttribute = browser.family == BrowserFamily::chromium ? "AXTitle" : "AXDescription";
  std::vector<PageWindowRef> out;
  for (std::size_t window : *windows)
    out.push_back(std::make_shared<SimPageWindow>(application.tree, window, titleAttribute));
  return out;
}

std::size_t TreeBuilder::node(std::map<std::string, Value, std::less<>> attributes,
                              std::vector<std::size_t> children) {
  AXNode n;
  for (auto& [name, value] : attributes)
    n.attributes[name] = {AXStatus::success, std::move(value)};
  n.elementLists["AXChildren"] = std::move(children);
  return tree_.add(std::move(n));
}

std::size_t TreeBuilder::staticText(std::string text, std::vector<std::size_t> children) {
  return node({{"AXRole", std::string("AXStaticText")}, {"AXValue", std::move(text)}}, std::move(children));
}

std::size_t TreeBuilder::webArea(std::optional<std::string> title, std::optional<Value> url,
                                 std::vector<std::size_t> children, const char* titleAttribute) {
  std::map<std::string, Value, std::less<>> attributes{{"AXRole", std::string("AXWebArea")}};
  if (title) attributes[titleAttribute] = *title;
  if (url) attributes["AXURL"] = *url;
  return node(std::move(attributes), std::move(children));
}

std::size_t TreeBuilder::window(Rect frame, std::vector<std::size_t> children) {
  return node({{"AXRole", std::string("AXWindow")}, {"AXFrame", frame}}, std::move(children));
}

}  // namespace tessaron::platform::sim
