// The page reader against a made-up application: a tree of accessible objects served over a real D-Bus
// connection (a socket pair, sd-bus on both ends), answering the calls a browser answers. What it reads,
// in which order, what it never asks for, and where the parts it finds are placed.
#include "platform/freedesktop/page_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace tessaron::platform::freedesktop {
namespace {

constexpr const char* appBus = ":1.42";

struct FakeNode {
  std::uint32_t role = ATSPI_ROLE_SECTION;
  std::optional<std::string> text;    // none: the object has no Text interface
  std::vector<std::string> children;  // paths
  Rect extents;
  std::vector<std::string> links;  // Hypertext: the object at each embedded character, through a link
  std::string name;
};

// The application's side: answers every call on its objects from `nodes`, and notes each call it gets.
class FakeApplication {
 public:
  explicit FakeApplication(std::map<std::string, FakeNode> nodes, bool cached = false)
      : nodes_(std::move(nodes)), cached_(cached) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error("socketpair");
    sd_id128_t id{};
    sd_id128_randomize(&id);
    sd_bus_new(&server_);
    sd_bus_set_fd(server_, fds[0], fds[0]);
    sd_bus_set_server(server_, 1, id);
    sd_bus_set_anonymous(server_, 1);
    sd_bus_add_fallback(server_, nullptr, "/", &FakeApplication::answer, this);
    sd_bus_new(&client_);
    sd_bus_set_fd(client_, fds[1], fds[1]);
    sd_bus_set_anonymous(client_, 1);
    thread_ = std::thread([this] {
      sd_bus_start(server_);
      while (!stop_) {
        if (sd_bus_process(server_, nullptr) > 0) continue;
        sd_bus_wait(server_, 20'000);
      }
    });
    sd_bus_start(client_);
  }
  ~FakeApplication() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(client_);
    sd_bus_close_unref(server_);
  }

  sd_bus* client() { return client_; }
  std::multiset<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static int answer(sd_bus_message* call, void* data, sd_bus_error*) {
    auto* self = static_cast<FakeApplication*>(data);
    const std::string path = sd_bus_message_get_path(call);
    const std::string member = sd_bus_message_get_member(call);
    {
      std::lock_guard lock(self->mutex_);
      self->calls_.insert(member + " " + path);
    }
    if (member == "GetItems") return self->items(call);
    auto found = self->nodes_.find(path);
    if (member == "GetObject")  // a hyperlink's path is "<object>/hyperlink"
      return sd_bus_reply_method_return(call, "(so)", appBus,
                                        path.substr(0, path.rfind("/hyperlink")).c_str());
    if (found == self->nodes_.end())
      return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.UnknownObject", "no %s",
                                        path.c_str());
    const FakeNode& node = found->second;
    if (member == "GetRole") return sd_bus_reply_method_return(call, "u", node.role);
    if (member == "Get") {  // only the name is asked for
      const char *interface = nullptr, *property = nullptr;
      sd_bus_message_read(call, "ss", &interface, &property);
      if (std::string_view(property ? property : "") != "Name")
        return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.InvalidArgs", "not the name");
      return sd_bus_reply_method_return(call, "v", "s", node.name.c_str());
    }
    if (member == "GetText") {
      if (!node.text)
        return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.UnknownMethod", "no Text");
      return sd_bus_reply_method_return(call, "s", node.text->c_str());
    }
    if (member == "GetExtents")
      return sd_bus_reply_method_return(
          call, "(iiii)", static_cast<int>(node.extents.x), static_cast<int>(node.extents.y),
          static_cast<int>(node.extents.width), static_cast<int>(node.extents.height));
    if (member == "GetChildren") {
      sd_bus_message* reply = nullptr;
      sd_bus_message_new_method_return(call, &reply);
      sd_bus_message_open_container(reply, 'a', "(so)");
      for (const std::string& child : node.children)
        sd_bus_message_append(reply, "(so)", appBus, child.c_str());
      sd_bus_message_close_container(reply);
      const int sent = sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return sent;
    }
    if (member == "GetLink") {
      std::int32_t at = 0;
      sd_bus_message_read(call, "i", &at);
      if (at < 0 || static_cast<std::size_t>(at) >= node.links.size())
        return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.InvalidArgs", "no link");
      return sd_bus_reply_method_return(call, "(so)", appBus,
                                        (node.links[static_cast<std::size_t>(at)] + "/hyperlink").c_str());
    }
    return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.UnknownMethod", "%s", member.c_str());
  }

  // The application's cache: every object with its role, whether it has text and its place among its
  // parent's children (or nothing, when the fake has no cache).
  int items(sd_bus_message* call) {
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "((so)(so)(so)iiassusau)");
    if (cached_) {
      for (const auto& [path, node] : nodes_) {
        std::string parent = "/";
        std::int32_t index = -1;
        for (const auto& [candidate, other] : nodes_)
          for (std::size_t i = 0; i < other.children.size(); ++i)
            if (other.children[i] == path) {
              parent = candidate;
              index = static_cast<std::int32_t>(i);
            }
        sd_bus_message_open_container(reply, 'r', "(so)(so)(so)iiassusau");
        sd_bus_message_append(reply, "(so)(so)(so)ii", appBus, path.c_str(), appBus, "/", appBus,
                              parent.c_str(), index, static_cast<std::int32_t>(node.children.size()));
        sd_bus_message_open_container(reply, 'a', "s");
        sd_bus_message_append(reply, "s", "org.a11y.atspi.Accessible");
        if (node.text) sd_bus_message_append(reply, "s", "org.a11y.atspi.Text");
        sd_bus_message_close_container(reply);
        sd_bus_message_append(reply, "sus", "", node.role, "");
        sd_bus_message_open_container(reply, 'a', "u");
        sd_bus_message_close_container(reply);
        sd_bus_message_close_container(reply);
      }
    }
    sd_bus_message_close_container(reply);
    const int sent = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return sent;
  }

  std::map<std::string, FakeNode> nodes_;
  bool cached_;
  sd_bus* server_ = nullptr;
  sd_bus* client_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::multiset<std::string> calls_;
};

// An article: a heading, a paragraph whose link sits at its embedded character, a login form with a password
// field, a picture and a canvas.
std::map<std::string, FakeNode> article() {
  const std::string mark(objectReplacement);
  return {
      {"/doc",
       {ATSPI_ROLE_DOCUMENT_WEB, std::nullopt, {"/h", "/p", "/form", "/img", "/canvas"}, {0, 80, 1000, 700}}},
      {"/h", {ATSPI_ROLE_HEADING, "Harbour Notes", {}, {}}},
      {"/p", {ATSPI_ROLE_PARAGRAPH, "Tides turn at " + mark + " every day.", {"/link"}, {}}},
      {"/link", {ATSPI_ROLE_LINK, "noon", {}, {}}},
      {"/form", {ATSPI_ROLE_FORM, std::nullopt, {"/label", "/secret"}, {}}},
      {"/label", {ATSPI_ROLE_LABEL, "Passphrase", {}, {}}},
      {"/secret", {ATSPI_ROLE_PASSWORD_TEXT, "hunter2", {}, {10, 500, 200, 30}}},
      {"/img", {ATSPI_ROLE_IMAGE, std::nullopt, {}, {20, 600, 300, 100}}},
      {"/canvas", {ATSPI_ROLE_CANVAS, std::nullopt, {}, {400, 600, 300, 150}}},
  };
}

std::string read(FakeApplication& application, bool& unsettled, std::vector<PagePart>* parts = nullptr,
                 std::optional<Rect>* page = nullptr, bool namedLeaves = false) {
  PipelinedTextRead reading(application.client(), appBus, false, namedLeaves);
  auto text = reading.run({appBus, "/doc"}, unsettled);
  if (parts) *parts = reading.parts();
  if (page) *page = reading.pageExtents();
  return text.value_or("(the connection broke)");
}

TEST(PageReader, ReadsTheWordsInTheirOrderAndNeverAPassword) {
  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "with the application's cache" : "asking object by object");
    FakeApplication application(article(), cached);
    bool unsettled = true;
    std::vector<PagePart> parts;
    std::optional<Rect> page;
    const std::string text = read(application, unsettled, &parts, &page);
    EXPECT_EQ(text, "\n\nHarbour Notes\n\nTides turn at noon every day.\n\nPassphrase\n\n");
    EXPECT_FALSE(unsettled);
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(application.calls().count("GetText /secret"), 0U) << "a password's text is never asked for";
    if (cached) {
      EXPECT_EQ(application.calls().count("GetRole /h"), 0U) << "the cache already said";
    }

    ASSERT_TRUE(page);
    EXPECT_EQ(page->y, 80);
    ASSERT_EQ(parts.size(), 3U);
    std::map<PagePartKind, Rect> placed;
    for (const PagePart& part : parts)
      placed[part.kind] = part.frame;
    EXPECT_EQ(placed[PagePartKind::password].width, 200);
    EXPECT_EQ(placed[PagePartKind::image].y, 600);
    EXPECT_EQ(placed[PagePartKind::canvas].x, 400);
  }
}

TEST(PageReader, AnEmbeddedObjectComesThroughItsLinkWhenTheChildrenDoNotSayWhichItIs) {
  const std::string mark(objectReplacement);
  // As Chromium lists them: the text's leaves among the children, so the children do not line up with the
  // embedded characters.
  std::map<std::string, FakeNode> nodes{
      {"/doc",
       {ATSPI_ROLE_DOCUMENT_WEB,
        "Read " + mark + " and " + mark + ".",
        {"/a", "/leaf", "/b"},
        {},
        {"/a", "/b"}}},
      {"/a", {ATSPI_ROLE_LINK, "first", {}, {}}},
      {"/leaf", {ATSPI_ROLE_STATIC, " and ", {}, {}}},
      {"/b", {ATSPI_ROLE_LINK, "second", {}, {}}},
  };
  FakeApplication application(nodes);
  bool unsettled = false;
  EXPECT_EQ(read(application, unsettled), "\nRead first and second.\n");
  EXPECT_EQ(application.calls().count("GetLink /doc"), 2U);
}

TEST(PageReader, ATextBlockStillBeingBuiltMakesThePageUnsettled) {
  std::map<std::string, FakeNode> nodes{
      {"/doc", {ATSPI_ROLE_DOCUMENT_WEB, std::nullopt, {"/p", "/q"}, {}}},
      {"/p", {ATSPI_ROLE_PARAGRAPH, "", {}, {}}},  // no words and no children yet
      {"/q", {ATSPI_ROLE_PARAGRAPH, "Ready", {}, {}}},
  };
  FakeApplication application(nodes);
  bool unsettled = false;
  EXPECT_EQ(read(application, unsettled), "\n\n\n\nReady\n\n");
  EXPECT_TRUE(unsettled);
}

// As Qt's bridge gives a page: no object has text, the words are the names of the leaves (each with its
// spaces), and a password field's name is never asked for.
TEST(PageReader, NamedLeavesGiveTheirNamesAsWordsWhereTheBrowserWritesSo) {
  std::map<std::string, FakeNode> nodes{
      {"/doc", {ATSPI_ROLE_DOCUMENT_WEB, std::nullopt, {"/h", "/p", "/secret"}, {}, {}, "Cedar Page"}},
      {"/h", {ATSPI_ROLE_HEADING, std::nullopt, {"/title"}, {}, {}, "Cedar heading"}},
      {"/title", {ATSPI_ROLE_LABEL, std::nullopt, {}, {}, {}, "Cedar heading"}},
      {"/p", {ATSPI_ROLE_PARAGRAPH, std::nullopt, {"/a", "/b", "/button"}, {}}},
      {"/a", {ATSPI_ROLE_LABEL, std::nullopt, {}, {}, {}, "Hello "}},
      {"/b", {ATSPI_ROLE_STATIC, std::nullopt, {}, {}, {}, "bold"}},
      {"/button", {ATSPI_ROLE_PUSH_BUTTON, std::nullopt, {}, {}, {}, " Press me"}},
      {"/secret", {ATSPI_ROLE_PASSWORD_TEXT, std::nullopt, {}, {}, {}, "hunter2"}},
  };
  FakeApplication application(nodes);
  bool unsettled = false;
  EXPECT_EQ(read(application, unsettled, nullptr, nullptr, true),
            "\n\nCedar heading\n\nHello bold Press me\n\n");
  EXPECT_EQ(application.calls().count("Get /secret"), 0U);
  EXPECT_EQ(application.calls().count("Get /h"), 0U) << "a container's name is its leaves' words again";
  FakeApplication other(nodes);
  EXPECT_EQ(read(other, unsettled), "\n\n\n\n\n\n") << "other browsers' names are not their words";
}

TEST(PageReader, AGoneObjectOrABrokenTreeEndsWithWhatCanBeRead) {
  std::map<std::string, FakeNode> nodes{
      {"/doc", {ATSPI_ROLE_DOCUMENT_WEB, std::nullopt, {"/gone", "/p", "/doc"}, {}}},  // a cycle, and a hole
      {"/p", {ATSPI_ROLE_PARAGRAPH, "Still here", {}, {}}},
  };
  FakeApplication application(nodes);
  bool unsettled = false;
  const std::string text = read(application, unsettled);
  EXPECT_NE(text.find("Still here"), std::string::npos) << text;
  EXPECT_LT(text.size(), 20U * 1024 * 1024) << "the cycle ends at the reader's limits";
}

}  // namespace
}  // namespace tessaron::platform::freedesktop
