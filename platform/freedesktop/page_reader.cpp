#include "platform/freedesktop/page_reader.h"

namespace tessaron::platform::freedesktop {

// Lines of visible text: trimmed, without placeholder characters, empty ones dropped.
std::vector<std::string> visibleTextLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    for (std::string_view drop : {objectReplacement, zeroWidthNoBreak})
      for (auto at = line.find(drop); at != std::string::npos; at = line.find(drop, at))
        line.erase(at, drop.size());
    const auto first = line.find_first_not_of(" \t\r\f\v");
    if (first != std::string::npos) {
      const auto last = line.find_last_not_of(" \t\r\f\v");
      lines.push_back(line.substr(first, last - first + 1));
    }
    start = end + 1;
  }
  return lines;
}

// The connection to the accessibility bus, made on first use and again after it breaks, and what it knows
// about applications. Safe to use from any thread.
std::optional<std::string> PipelinedTextRead::run(const Reference& root, bool& unsettled) {
  const auto deadline = std::chrono::steady_clock::now() + readDeadline;
  loadCache();
  add(root, 0);
  askExtents(root, [this](std::optional<Rect> extents) { pageExtents_ = extents; });
  send();
  while (inFlight_ > 0) {
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) return std::nullopt;
    if (processed > 0) continue;
    if (std::chrono::steady_clock::now() > deadline) queued_.clear();  // no more questions; answers come
    if (sd_bus_wait(bus_, std::uint64_t{100'000}) < 0) return std::nullopt;
  }
  std::string text;
  std::size_t budget = maxTextNodes;
  unsettled = false;
  if (!nodes_.empty()) assemble(0, text, 0, budget, unsettled);
  return text;
}

std::size_t PipelinedTextRead::add(Reference object, int depth) {
  if (depth > maxTextDepth || nodes_.size() >= maxTextNodes) return noNode;
  const std::size_t index = nodes_.size();
  nodes_.push_back({std::move(object), depth});
  if (const Cached* cached = cachedOf(nodes_[index].object)) {
    roleKnown(index, cached->role);
    return index;
  }
  ask(index, "org.a11y.atspi.Accessible", "GetRole", {}, {},
      [this, index](sd_bus_message* reply) { roleRead(index, reply); });
  return index;
}

auto PipelinedTextRead::cachedOf(const Reference& object) const -> const Cached* {
  if (object.bus != applicationBus_) return nullptr;
  auto it = cache_.find(object.path);
  return it == cache_.end() ? nullptr : &it->second;
}

void PipelinedTextRead::loadCache() {
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_call_method(bus_, nullptr, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems", &error,
                         &reply, "") < 0) {
    sd_bus_error_free(&error);
    return;
  }
  struct Item {
    std::string path, parentBus, parentPath;
    std::int32_t index;
  };
  std::vector<Item> items;
  if (sd_bus_message_enter_container(reply, 'a', "((so)(so)(so)iiassusau)") > 0) {
    while (sd_bus_message_enter_container(reply, 'r', "(so)(so)(so)iiassusau") > 0) {
      const char *bus = nullptr, *path = nullptr, *appBus = nullptr, *appPath = nullptr, *parentBus = nullptr,
                 *parentPath = nullptr;
      std::int32_t index = 0, childCount = 0;
      if (sd_bus_message_read(reply, "(so)(so)(so)ii", &bus, &path, &appBus, &appPath, &parentBus,
                              &parentPath, &index, &childCount) <= 0)
        break;
      Cached entry;
      entry.childCount = childCount;
      if (sd_bus_message_enter_container(reply, 'a', "s") > 0) {
        const char* interface = nullptr;
        while (sd_bus_message_read(reply, "s", &interface) > 0)
          if (std::string_view(interface) == "org.a11y.atspi.Text") entry.hasText = true;
        sd_bus_message_exit_container(reply);
      }
      const char *name = nullptr, *description = nullptr;
      if (sd_bus_message_read(reply, "sus", &name, &entry.role, &description) <= 0) break;
      entry.nameCharacters =
          isMissingDescriptionHint(name ? name : "") ? 0 : characterCount(name ? name : "");
      sd_bus_message_skip(reply, "au");
      sd_bus_message_exit_container(reply);
      items.push_back({path, parentBus, parentPath, index});
      cache_.emplace(path, std::move(entry));
    }
  }
  sd_bus_message_unref(reply);
  for (const Item& item : items) {
    if (item.parentBus != applicationBus_ || item.index < 0) continue;
    auto parent = cache_.find(item.parentPath);
    if (parent == cache_.end() || item.index >= parent->second.childCount) continue;
    auto& children = parent->second.children;
    if (children.size() < static_cast<std::size_t>(parent->second.childCount))
      children.resize(static_cast<std::size_t>(parent->second.childCount));
    children[static_cast<std::size_t>(item.index)] = item.path;
  }
}

void PipelinedTextRead::ask(std::size_t index, const char* interface, const char* method,
                            std::optional<std::int32_t> argument, std::optional<std::int32_t> secondArgument,
                            std::function<void(sd_bus_message*)> done) {
  askAt(nodes_[index].object, interface, method, argument, secondArgument, std::move(done));
}

void PipelinedTextRead::send() {
  while (inFlight_ < maxInFlight && !queued_.empty()) {
    Call call = std::move(queued_.front());
    queued_.pop_front();
    sd_bus_message* message = nullptr;
    if (sd_bus_message_new_method_call(bus_, &message, throughBus_ ? applicationBus_.c_str() : nullptr,
                                       call.path.c_str(), call.interface, call.method) < 0)
      continue;
    bool built = true;
    if (call.property)
      built = sd_bus_message_append(message, "ss", "org.a11y.atspi.Accessible", call.property) >= 0;
    if (call.argument) built = sd_bus_message_append_basic(message, call.argumentType, &*call.argument) >= 0;
    if (built && call.secondArgument)
      built = sd_bus_message_append_basic(message, 'i', &*call.secondArgument) >= 0;
    auto* pending = new Pending{this, std::move(call.done)};
    if (built && sd_bus_call_async(bus_, nullptr, message, &PipelinedTextRead::replied, pending,
                                   std::uint64_t{callTimeoutMs} * 1000) >= 0)
      ++inFlight_;
    else
      delete pending;
    sd_bus_message_unref(message);
  }
}

int PipelinedTextRead::replied(sd_bus_message* reply, void* data, sd_bus_error*) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  --pending->read->inFlight_;
  pending->done(sd_bus_message_is_method_error(reply, nullptr) ? nullptr : reply);
  pending->read->send();
  return 0;
}

std::optional<Reference> PipelinedTextRead::readReference(sd_bus_message* reply) {
  const char* bus = nullptr;
  const char* path = nullptr;
  if (!reply || sd_bus_message_read(reply, "(so)", &bus, &path) <= 0) return std::nullopt;
  return Reference{bus, path};
}

void PipelinedTextRead::roleRead(std::size_t index, sd_bus_message* reply) {
  std::uint32_t role = 0;
  if (!reply || sd_bus_message_read(reply, "u", &role) <= 0) return;
  roleKnown(index, role);
}

void PipelinedTextRead::roleKnown(std::size_t index, std::uint32_t role) {
  nodes_[index].role = role;
  if (auto kind = partKindOf(role)) notePart(index, *kind);
  if (role == ATSPI_ROLE_PASSWORD_TEXT) return;  // a password's text is never asked for
  if (const Cached* cached = cachedOf(nodes_[index].object); cached && !cached->hasText) {
    textRead(index, nullptr);
    return;
  }
  // -1 reads to the end: one call instead of the character count and then the text.
  ask(index, "org.a11y.atspi.Text", "GetText", 0, -1,
      [this, index](sd_bus_message* text) { textRead(index, text); });
}

std::optional<PagePartKind> PipelinedTextRead::partKindOf(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_CANVAS:
      return PagePartKind::canvas;
    case ATSPI_ROLE_IMAGE:
      return PagePartKind::image;
    case ATSPI_ROLE_EMBEDDED:
      return PagePartKind::embedded;
    case ATSPI_ROLE_PASSWORD_TEXT:
      return PagePartKind::password;
    default:
      return std::nullopt;
  }
}

void PipelinedTextRead::notePart(std::size_t index, PagePartKind kind) {
  if (parts_.size() >= maxParts) return;
  const Cached* cached = cachedOf(nodes_[index].object);
  parts_.push_back({kind, {}, cached ? cached->nameCharacters : 0});
  const std::size_t at = parts_.size() - 1;
  askExtents(nodes_[index].object, [this, at](std::optional<Rect> extents) {
    if (extents) parts_[at].frame = *extents;
  });
}

void PipelinedTextRead::askExtents(const Reference& object, std::function<void(std::optional<Rect>)> done) {
  askAt(
      object, "org.a11y.atspi.Component", "GetExtents", static_cast<std::int32_t>(ATSPI_COORD_TYPE_SCREEN),
      {},
      [done = std::move(done)](sd_bus_message* reply) {
        std::int32_t x = 0, y = 0, width = 0, height = 0;
        if (!reply || sd_bus_message_read(reply, "(iiii)", &x, &y, &width, &height) <= 0) return done({});
        done(Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
                  static_cast<double>(height)});
      },
      'u');  // the coordinate type is unsigned
}

void PipelinedTextRead::textRead(std::size_t index, sd_bus_message* reply) {
  const char* value = nullptr;
  if (!reply || sd_bus_message_read(reply, "s", &value) <= 0) {
    askChildren(index, [this, index](std::vector<Reference> children) {
      if (children.empty() && namedLeaves_ && isNamedTextLeaf(*nodes_[index].role)) return askName(index);
      for (Reference& child : children)
        nodes_[index].parts.push_back(add(std::move(child), nodes_[index].depth + 1));
    });
    return;
  }
  Node& node = nodes_[index];
  node.text = value;
  const std::size_t embedded = countOf(*node.text, objectReplacement);
  if (embedded > 0) {
    askChildren(index, [this, index, embedded](std::vector<Reference> children) {
      if (children.size() == embedded) {
        for (Reference& child : children)
          nodes_[index].parts.push_back(add(std::move(child), nodes_[index].depth + 1));
        return;
      }
      // Chromium lists a text's leaves among its children too: leaves have the static role and no
      // children (an emphasis has the role too, but holds a leaf).
      std::vector<Reference> objects;
      bool sorted = true;
      for (Reference& child : children) {
        const Cached* cached = cachedOf(child);
        if (!cached) {
          sorted = false;
          break;
        }
        if (cached->role != ATSPI_ROLE_STATIC || cached->childCount > 0) objects.push_back(std::move(child));
      }
      if (sorted && objects.size() == embedded) {
        for (Reference& object : objects)
          nodes_[index].parts.push_back(add(std::move(object), nodes_[index].depth + 1));
        return;
      }
      // Otherwise each object comes through the link at its character.
      nodes_[index].parts.assign(embedded, noNode);
      for (std::size_t link = 0; link < embedded; ++link)
        askLinkedObject(index, link);
    });
  } else if (node.text->empty() && isTextBlock(*node.role)) {
    askChildren(index, [this, index](std::vector<Reference> children) {
      nodes_[index].emptyTextBlock = children.empty();
    });
  }
}

void PipelinedTextRead::askChildren(std::size_t index, std::function<void(std::vector<Reference>)> done) {
  if (const Cached* cached = cachedOf(nodes_[index].object); cached && cached->childrenComplete()) {
    std::vector<Reference> children;
    for (const std::string& path : cached->children)
      children.push_back({applicationBus_, path});
    done(std::move(children));
    return;
  }
  ask(index, "org.a11y.atspi.Accessible", "GetChildren", {}, {},
      [done = std::move(done)](sd_bus_message* reply) {
        std::vector<Reference> children;
        if (reply && sd_bus_message_enter_container(reply, 'a', "(so)") > 0) {
          const char* bus = nullptr;
          const char* path = nullptr;
          while (sd_bus_message_read(reply, "(so)", &bus, &path) > 0)
            children.push_back({bus, path});
        }
        done(std::move(children));
      });
}

void PipelinedTextRead::askName(std::size_t index) {
  Call call{nodes_[index].object.path,
            "org.freedesktop.DBus.Properties",
            "Get",
            {},
            {},
            [this, index](sd_bus_message* reply) {
              const char* name = nullptr;
              if (reply && sd_bus_message_read(reply, "v", "s", &name) > 0 && name) nodes_[index].text = name;
            }};
  call.property = "Name";
  if (nodes_[index].object.bus == applicationBus_) queued_.push_back(std::move(call));
}

void PipelinedTextRead::askLinkedObject(std::size_t index, std::size_t link) {
  ask(index, "org.a11y.atspi.Hypertext", "GetLink", static_cast<std::int32_t>(link), {},
      [this, index, link](sd_bus_message* reply) {
        auto hyperlink = readReference(reply);
        if (!hyperlink) return;
        askAt(*hyperlink, "org.a11y.atspi.Hyperlink", "GetObject", 0, {},
              [this, index, link](sd_bus_message* object) {
                auto target = readReference(object);
                if (target && target->valid())
                  nodes_[index].parts[link] = add(std::move(*target), nodes_[index].depth + 1);
              });
      });
}

void PipelinedTextRead::assemble(std::size_t index, std::string& out, int depth, std::size_t& budget,
                                 bool& unsettled) const {
  if (depth > maxTextDepth || budget == 0) return;
  --budget;
  const Node& node = nodes_[index];
  if (!node.role || *node.role == ATSPI_ROLE_PASSWORD_TEXT) return;
  const bool block = isBlockRole(*node.role);
  if (block) out.push_back('\n');
  if (!node.text) {
    for (std::size_t part : node.parts)
      if (part != noNode) assemble(part, out, depth + 1, budget, unsettled);
  } else {
    if (node.emptyTextBlock) unsettled = true;
    const std::string& text = *node.text;
    std::size_t from = 0, embeddedIndex = 0;
    for (auto at = text.find(objectReplacement); at != std::string::npos;
         at = text.find(objectReplacement, from)) {
      out.append(text, from, at - from);
      from = at + objectReplacement.size();
      if (embeddedIndex < node.parts.size() && node.parts[embeddedIndex] != noNode)
        assemble(node.parts[embeddedIndex], out, depth + 1, budget, unsettled);
      ++embeddedIndex;
    }
    out.append(text, from, std::string::npos);
  }
  if (block) out.push_back('\n');
}
}  // namespace tessaron::platform::freedesktop
