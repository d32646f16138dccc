#include "platform/sim/sim_scenario.h"

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tessaron::platform::sim {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

// Walks the document, knowing where it is, so that every complaint names its place as a JSON pointer.
class Reader {
 public:
  Reader(std::string fileName, fs::path baseFolder)
      : file_(std::move(fileName)), base_(std::move(baseFolder)) {}

  [[noreturn]] void fail(const std::string& place, const std::string& expected) const {
    throw ScenarioError(file_ + ": " + (place.empty() ? "/" : place) + ": " + expected);
  }

  void onlyKeys(const json& j, const std::string& place, std::initializer_list<const char*> allowed) const {
    object(j, place);
    for (const auto& [key, value] : j.items()) {
      bool known = false;
      for (const char* name : allowed)
        known = known || key == name;
      if (!known) {
        std::string list;
        for (const char* name : allowed)
          list += std::string(list.empty() ? "" : ", ") + name;
        fail(place + "/" + key, "unknown key; expected one of: " + list);
      }
    }
  }

  void object(const json& j, const std::string& place) const {
    if (!j.is_object()) fail(place, "expected an object");
  }
  const json& array(const json& j, const std::string& place) const {
    if (!j.is_array()) fail(place, "expected an array");
    return j;
  }
  std::string string(const json& j, const std::string& place) const {
    if (!j.is_string()) fail(place, "expected a string");
    return j.get<std::string>();
  }
  bool boolean(const json& j, const std::string& place) const {
    if (!j.is_boolean()) fail(place, "expected true or false");
    return j.get<bool>();
  }
  double number(const json& j, const std::string& place) const {
    if (!j.is_number()) fail(place, "expected a number");
    return j.get<double>();
  }
  template <class Int>
  Int integer(const json& j, const std::string& place, long long low, long long high) const {
    if (!j.is_number_integer() || j.get<long long>() < low || j.get<long long>() > high)
      fail(place, "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<Int>(j.get<long long>());
  }
  Rect rect(const json& j, const std::string& place) const {
    if (!j.is_array() || j.size() != 4 ||
        !std::all_of(j.begin(), j.end(), [](const json& v) { return v.is_number(); }))
      fail(place, "expected a frame [x, y, width, height] of 4 numbers");
    return {j[0].get<double>(), j[1].get<double>(), j[2].get<double>(), j[3].get<double>()};
  }
  std::chrono::system_clock::time_point time(const json& j, const std::string& place) const {
    std::string text = string(j, place);
    std::istringstream in(text);
    int y, mo, d, h, mi, s;
    char dash1, dash2, t, colon1, colon2, z;
    in >> y >> dash1 >> mo >> dash2 >> d >> t >> h >> colon1 >> mi >> colon2 >> s >> z;
    if (!in || dash1 != '-' || dash2 != '-' || t != 'T' || colon1 != ':' || colon2 != ':' || z != 'Z')
      fail(place, "expected a UTC time like 2024-03-01T14:05:09Z");
    std::chrono::year_month_day date{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(mo)},
                                     std::chrono::day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 60) fail(place, "expected a valid UTC time");
    return std::chrono::sys_days{date} + std::chrono::hours{h} + std::chrono::minutes{mi} +
           std::chrono::seconds{s};
  }
  std::chrono::minutes utcOffset(const json& j, const std::string& place) const {
    std::string text = string(j, place);
    if (text == "UTC" || text == "Z") return std::chrono::minutes{0};
    if (text.size() == 6 && (text[0] == '+' || text[0] == '-') && text[3] == ':' && std::isdigit(text[1]) &&
        std::isdigit(text[2]) && std::isdigit(text[4]) && std::isdigit(text[5])) {
      int minutes = std::stoi(text.substr(1, 2)) * 60 + std::stoi(text.substr(4, 2));
      if (minutes <= 14 * 60) return std::chrono::minutes{text[0] == '-' ? -minutes : minutes};
    }
    fail(place, "expected a UTC offset like \"+02:00\", \"-05:30\" or \"UTC\"");
  }

  Value value(const json& j, const std::string& place) const {
    if (j.is_null()) return std::monostate{};
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number_integer()) return j.get<std::int64_t>();
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return j.get<std::string>();
    if (j.is_object() && j.size() == 1) {
      if (j.contains("url")) return Url{string(j["url"], place + "/url")};
      if (j.contains("rect")) return rect(j["rect"], place + "/rect");
      if (j.contains("string")) return string(j["string"], place + "/string");
    }
    fail(place,
         "expected a value: a string, number, true/false, null, {\"url\": …}, {\"rect\": […]} or {\"error\": "
         "code}");
  }

  AttributeResult attribute(const json& j, const std::string& place) const {
    if (j.is_object() && j.size() == 1 && j.contains("error")) {
      auto code = integer<std::int32_t>(j["error"], place + "/error", INT32_MIN, -1);
      return {static_cast<AXStatus>(code), {}};
    }
    return {AXStatus::success, value(j, place)};
  }

  ImageSource image(const json& j, const std::string& place) const {
    onlyKeys(j, place, {"pattern", "seed", "solid", "file", "fail", "width", "height"});
    ImageSource source;
    if (j.contains("file")) {
      fs::path file = string(j["file"], place + "/file");
      source = ImageSource::fromFile(file.is_absolute() ? file : base_ / file);
    } else if (j.contains("fail")) {
      source = ImageSource::failing(string(j["fail"], place + "/fail"));
    } else if (j.contains("solid")) {
      const json& c = j["solid"];
      if (!c.is_array() || c.size() != 4) fail(place + "/solid", "expected a colour [r, g, b, a] of 4 bytes");
      std::array<std::uint8_t, 4> colour{};
      for (std::size_t i = 0; i < 4; ++i)
        colour[i] = integer<std::uint8_t>(c[i], place + "/solid/" + std::to_string(i), 0, 255);
      source = ImageSource::solid(colour);
    } else {
      static const std::set<std::string> patterns{"gradient", "checker", "stripes", "noise", "solid"};
      std::string name = j.contains("pattern") ? string(j["pattern"], place + "/pattern") : "gradient";
      if (!patterns.contains(name))
        fail(place + "/pattern", "expected one of the patterns gradient, checker, stripes, noise, solid");
      source = ImageSource::fromPattern(name);
    }
    if (j.contains("seed")) source.seed = integer<std::uint32_t>(j["seed"], place + "/seed", 0, UINT32_MAX);
    if (j.contains("width")) source.width = integer<std::uint32_t>(j["width"], place + "/width", 1, 8192);
    if (j.contains("height")) source.height = integer<std::uint32_t>(j["height"], place + "/height", 1, 8192);
    return source;
  }

  Window window(const json& j, const std::string& place) const {
    onlyKeys(j, place,
             {"number", "title", "frame", "application", "pid", "onScreen", "inWindowList", "windowInfo",
              "windowInfoMissing", "image", "privacy", "onAccessibilityBus"});
    Window w;
    if (!j.contains("number")) fail(place, "a window needs a \"number\"");
    w.number = integer<std::uint32_t>(j["number"], place + "/number", 0, UINT32_MAX);
    if (j.contains("title") && !j["title"].is_null()) w.title = string(j["title"], place + "/title");
    w.frame = j.contains("frame") ? rect(j["frame"], place + "/frame") : Rect{0, 0, 1280, 800};
    if (j.contains("application") && !j["application"].is_null())
      w.application = string(j["application"], place + "/application");
    if (j.contains("pid")) w.processId = integer<std::int32_t>(j["pid"], place + "/pid", 0, INT32_MAX);
    if (j.contains("onScreen")) w.onScreen = boolean(j["onScreen"], place + "/onScreen");
    if (j.contains("inWindowList")) w.inWindowList = boolean(j["inWindowList"], place + "/inWindowList");
    // The window list's entry, in the keys a window list of the other kind spells: a process id that is no
    // number is one the list cannot tell.
    if (j.contains("windowInfo")) {
      object(j["windowInfo"], place + "/windowInfo");
      for (const auto& [key, v] : j["windowInfo"].items()) {
        const std::string at = place + "/windowInfo/" + key;
        if (key == "kCGWindowOwnerPID")
          w.listedProcessId = exactInt32(value(v, at));
        else if (key == "kCGWindowName")
          w.listedTitle = string(v, at);
        else
          fail(at, "expected \"kCGWindowOwnerPID\" or \"kCGWindowName\"");
      }
    }
    if (j.contains("windowInfoMissing"))
      for (std::size_t i = 0; i < array(j["windowInfoMissing"], place + "/windowInfoMissing").size(); ++i) {
        const std::string at = place + "/windowInfoMissing/" + std::to_string(i);
        const std::string key = string(j["windowInfoMissing"][i], at);
        if (key == "kCGWindowOwnerPID")
          w.listedProcessId = std::optional<std::int32_t>();
        else if (key == "kCGWindowName")
          w.listedTitle = std::optional<std::string>();
        else
          fail(at, "expected \"kCGWindowOwnerPID\" or \"kCGWindowName\"");
      }
    if (j.contains("image")) w.image = image(j["image"], place + "/image");
    if (j.contains("onAccessibilityBus"))
      w.onAccessibilityBus = boolean(j["onAccessibilityBus"], place + "/onAccessibilityBus");
    if (j.contains("privacy")) {
      const std::string privacy = string(j["privacy"], place + "/privacy");
      if (privacy == "private")
        w.privacy = WindowPrivacy::privateBrowsing;
      else if (privacy == "undetermined")
        w.privacy = WindowPrivacy::undetermined;
      else if (privacy != "ordinary")
        fail(place + "/privacy", "expected \"ordinary\", \"private\" or \"undetermined\"");
    }
    return w;
  }

  // Builds one application's tree; "ref" children point at nodes named by "id" anywhere in the same tree.
  AXApplication application(const json& j, const std::string& place, std::int32_t& pid) const {
    onlyKeys(j, place, {"pid", "name", "attributes", "windows"});
    if (!j.contains("pid")) fail(place, "an application needs a \"pid\"");
    pid = integer<std::int32_t>(j["pid"], place + "/pid", 0, INT32_MAX);
    TreeState state;
    AXApplication app;
    app.tree = std::make_shared<AXTree>();
    state.tree = app.tree.get();
    AXNode root;
    root.attributes["AXRole"] = {AXStatus::success, std::string("AXApplication")};
    if (j.contains("name"))
      root.attributes["AXTitle"] = {AXStatus::success, string(j["name"], place + "/name")};
    if (j.contains("attributes")) readAttributes(j["attributes"], place + "/attributes", root);
    app.root = app.tree->add(std::move(root));
    if (j.contains("windows")) {
      const json& windows = array(j["windows"], place + "/windows");
      std::vector<std::size_t> indices;
      for (std::size_t i = 0; i < windows.size(); ++i)
        indices.push_back(node(windows[i], place + "/windows/" + std::to_string(i), state));
      app.tree->node(app.root).elementLists["AXWindows"] = indices;
    }
    for (const auto& pending : state.references) {
      auto it = state.ids.find(pending.id);
      if (it == state.ids.end()) fail(pending.place, "no node has the id \"" + pending.id + "\"");
      app.tree->node(pending.node).elementLists["AXChildren"][pending.position] = it->second;
    }
    return app;
  }

 private:
  struct Reference {
    std::size_t node;
    std::size_t position;
    std::string id;
    std::string place;
  };
  struct TreeState {
    AXTree* tree = nullptr;
    std::map<std::string, std::size_t> ids;
    std::vector<Reference> references;
  };

  void readAttributes(const json& j, const std::string& place, AXNode& n) const {
    object(j, place);
    for (const auto& [name, v] : j.items())
      n.attributes[name] = attribute(v, place + "/" + name);
  }

  std::size_t node(const json& j, const std::string& place, TreeState& state) const {
    onlyKeys(j, place,
             {"id", "role", "title", "description", "url", "value", "frame", "attributes", "children"});
    AXNode n;
    auto shorthand = [&](const char* key, const char* attribute) {
      if (j.contains(key)) n.attributes[attribute] = {AXStatus::success, string(j[key], place + "/" + key)};
    };
    shorthand("role", "AXRole");
    shorthand("title", "AXTitle");
    shorthand("description", "AXDescription");
    shorthand("value", "AXValue");
    if (j.contains("url")) n.attributes["AXURL"] = {AXStatus::success, Url{string(j["url"], place + "/url")}};
    if (j.contains("frame"))
      n.attributes["AXFrame"] = {AXStatus::success, rect(j["frame"], place + "/frame")};
    if (j.contains("attributes")) readAttributes(j["attributes"], place + "/attributes", n);
    std::size_t index = state.tree->add(std::move(n));
    if (j.contains("id")) {
      std::string id = string(j["id"], place + "/id");
      if (!state.ids.emplace(id, index).second) fail(place + "/id", "the id \"" + id + "\" is used twice");
    }
    if (j.contains("children")) {
      const json& children = array(j["children"], place + "/children");
      std::vector<std::size_t> indices(children.size());
      for (std::size_t i = 0; i < children.size(); ++i) {
        std::string childPlace = place + "/children/" + std::to_string(i);
        if (children[i].is_object() && children[i].size() == 1 && children[i].contains("ref"))
          state.references.push_back({index, i, string(children[i]["ref"], childPlace + "/ref"), childPlace});
        else
          indices[i] = node(children[i], childPlace, state);
      }
      state.tree->node(index).elementLists["AXChildren"] = std::move(indices);
    }
    return index;
  }

  std::string file_;
  fs::path base_;
};

GrantState grant(const Reader& r, const json& j, const std::string& place) {
  r.onlyKeys(j, place, {"granted", "grantedAfterSeconds", "grantedOnRequest"});
  GrantState g;
  if (j.contains("granted")) g.granted = r.boolean(j["granted"], place + "/granted");
  if (j.contains("grantedAfterSeconds"))
    g.grantedAfterSeconds = r.number(j["grantedAfterSeconds"], place + "/grantedAfterSeconds");
  if (j.contains("grantedOnRequest"))
    g.grantedOnRequest = r.boolean(j["grantedOnRequest"], place + "/grantedOnRequest");
  return g;
}

std::size_t alertAnswer(const Reader& r, const json& j, const std::string& place) {
  if (j.is_string()) {
    std::string name = j.get<std::string>();
    if (name == "first") return 0;
    if (name == "second") return 1;
  }
  if (j.is_number_integer()) return r.integer<std::size_t>(j, place, 0, 99);
  r.fail(place, "expected \"first\", \"second\" or a button's index (0 is the first)");
}

LoginItemStatus loginStatus(const Reader& r, const json& j, const std::string& place) {
  std::string name = r.string(j, place);
  if (name == "notRegistered") return LoginItemStatus::notRegistered;
  if (name == "enabled") return LoginItemStatus::enabled;
  if (name == "switchedOff") return LoginItemStatus::switchedOff;
  if (name == "notFound") return LoginItemStatus::notFound;
  r.fail(place, "expected one of notRegistered, enabled, switchedOff, notFound");
}

void timelineStep(const Reader& r, Desktop& desktop, const json& j, const std::string& place) {
  r.onlyKeys(j, place,
             {"pass", "open", "close", "move", "retitle", "image", "show", "hide", "application",
              "discoveryError", "windowListAvailable"});
  if (!j.contains("pass")) r.fail(place, "a step needs the \"pass\" it happens at (1 is the first)");
  int pass = r.integer<int>(j["pass"], place + "/pass", 1, 1000000);
  auto windowNumber = [&](const json& w, const std::string& at) {
    return r.integer<std::uint32_t>(w, at, 0, UINT32_MAX);
  };
  if (j.contains("open")) {
    Window w = r.window(j["open"], place + "/open");
    desktop.atPass(
        pass, [w](Desktop& d) { d.addWindow(w); }, "open");
  }
  if (j.contains("close")) {
    auto number = windowNumber(j["close"], place + "/close");
    desktop.atPass(
        pass, [number](Desktop& d) { d.removeWindow(number); }, "close");
  }
  auto changeWindow = [&](const char* key, std::initializer_list<const char*> keys, auto makeChange) {
    if (!j.contains(key)) return;
    std::string at = place + "/" + key;
    r.onlyKeys(j[key], at, keys);
    if (!j[key].contains("window")) r.fail(at, "expected the \"window\" number it changes");
    auto number = windowNumber(j[key]["window"], at + "/window");
    auto change = makeChange(j[key], at);
    desktop.atPass(
        pass,
        [number, change](Desktop& d) {
          if (Window* w = d.window(number)) {
            std::lock_guard lock(d.mutex());
            change(*w);
          }
        },
        key);
  };
  changeWindow("move", {"window", "frame"}, [&](const json& c, const std::string& at) {
    Rect frame = r.rect(c.at("frame"), at + "/frame");
    return [frame](Window& w) { w.frame = frame; };
  });
  changeWindow("retitle", {"window", "title"}, [&](const json& c, const std::string& at) {
    std::optional<std::string> title;
    if (!c.contains("title")) r.fail(at, "expected the new \"title\" (null for none)");
    if (!c["title"].is_null()) title = r.string(c["title"], at + "/title");
    return [title](Window& w) { w.title = title; };
  });
  changeWindow("image", {"window", "image"}, [&](const json& c, const std::string& at) {
    if (!c.contains("image")) r.fail(at, "expected the new \"image\"");
    ImageSource source = r.image(c["image"], at + "/image");
    return [source](Window& w) { w.image = source; };
  });
  if (j.contains("show") || j.contains("hide")) {
    bool show = j.contains("show");
    auto number = windowNumber(j[show ? "show" : "hide"], place + (show ? "/show" : "/hide"));
    desktop.atPass(
        pass,
        [number, show](Desktop& d) {
          if (Window* w = d.window(number)) {
            std::lock_guard lock(d.mutex());
            w->onScreen = show;
          }
        },
        show ? "show" : "hide");
  }
  if (j.contains("application")) {
    std::int32_t pid = 0;
    AXApplication app = r.application(j["application"], place + "/application", pid);
    desktop.atPass(
        pass, [pid, app](Desktop& d) { d.setApplication(pid, app); }, "application");
  }
  if (j.contains("discoveryError")) {
    std::optional<std::string> error;
    if (!j["discoveryError"].is_null()) error = r.string(j["discoveryError"], place + "/discoveryError");
    desktop.atPass(
        pass,
        [error](Desktop& d) {
          std::lock_guard lock(d.mutex());
          d.shareableContentError = error;
        },
        "discoveryError");
  }
  if (j.contains("windowListAvailable")) {
    bool available = r.boolean(j["windowListAvailable"], place + "/windowListAvailable");
    desktop.atPass(
        pass, [available](Desktop& d) { d.windowListAvailable = available; }, "windowListAvailable");
  }
}

}  // namespace

std::shared_ptr<Desktop> parseScenario(const std::string& text, const std::string& fileName,
                                       const fs::path& baseFolder) {
  json doc;
  try {
    doc = json::parse(text, nullptr, true, /*ignore_comments=*/true);
  } catch (const json::parse_error& e) {
    // Turn the byte offset into line:column, which is what an editor shows.
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
      if (text[i] == '\n')
        ++line, column = 1;
      else
        ++column;
    }
    // The library's text repeats the place ("[json.exception...] parse error at line L, column C: why").
    std::string what = e.what();
    if (auto at = what.find("column "); at != std::string::npos)
      if (auto cut = what.find(": ", at); cut != std::string::npos) what = what.substr(cut + 2);
    throw ScenarioError(fileName + ":" + std::to_string(line) + ":" + std::to_string(column) +
                        ": not valid JSON: " + what);
  }
  Reader r(fileName, baseFolder);
  r.onlyKeys(doc, "",
             {"description", "clock", "bundle", "grants", "alerts", "loginItem", "otherInstances",
              "portListeners", "statusItemHasButton", "windowListAvailable", "discoveryError", "windows",
              "applications", "timeline", "menuPresses", "trace"});
  ClockSettings clock;
  if (doc.contains("clock")) {
    const json& c = doc["clock"];
    r.onlyKeys(c, "/clock", {"start", "utcOffset", "speed"});
    if (c.contains("start")) clock.start = r.time(c["start"], "/clock/start");
    if (c.contains("utcOffset")) clock.utcOffset = r.utcOffset(c["utcOffset"], "/clock/utcOffset");
    if (c.contains("speed")) {
      clock.speed = r.number(c["speed"], "/clock/speed");
      if (clock.speed < 0) r.fail("/clock/speed", "expected a speed of 0 (instant) or more");
    }
  }
  auto desktop = std::make_shared<Desktop>(clock);
  if (doc.contains("trace")) desktop->trace = r.boolean(doc["trace"], "/trace");
  if (doc.contains("bundle")) {
    const json& b = doc["bundle"];
    r.onlyKeys(b, "/bundle", {"identifier", "path", "applicationSupport"});
    if (b.contains("identifier"))
      desktop->bundleIdentifier = b["identifier"].is_null()
                                      ? std::nullopt
                                      : std::optional(r.string(b["identifier"], "/bundle/identifier"));
    if (b.contains("path"))
      desktop->bundlePathOverride =
          b["path"].is_null() ? fs::path() : fs::path(r.string(b["path"], "/bundle/path"));
    if (b.contains("applicationSupport"))
      desktop->applicationSupportOverride =
          b["applicationSupport"].is_null()
              ? fs::path()
              : fs::path(r.string(b["applicationSupport"], "/bundle/applicationSupport"));
  }
  if (doc.contains("grants")) {
    r.onlyKeys(doc["grants"], "/grants", {"accessibility", "screenCapture"});
    if (doc["grants"].contains("accessibility"))
      desktop->accessibility = grant(r, doc["grants"]["accessibility"], "/grants/accessibility");
    if (doc["grants"].contains("screenCapture"))
      desktop->screenCapture = grant(r, doc["grants"]["screenCapture"], "/grants/screenCapture");
  }
  if (doc.contains("alerts")) {
    const json& a = doc["alerts"];
    r.onlyKeys(a, "/alerts", {"answers", "default", "holdSeconds"});
    if (a.contains("holdSeconds"))
      desktop->alertHoldSeconds = r.number(a["holdSeconds"], "/alerts/holdSeconds");
    if (a.contains("answers"))
      for (std::size_t i = 0; i < r.array(a["answers"], "/alerts/answers").size(); ++i)
        desktop->alertAnswers.push_back(
            alertAnswer(r, a["answers"][i], "/alerts/answers/" + std::to_string(i)));
    if (a.contains("default")) desktop->defaultAlertAnswer = alertAnswer(r, a["default"], "/alerts/default");
  }
  if (doc.contains("loginItem")) {
    const json& l = doc["loginItem"];
    r.onlyKeys(l, "/loginItem", {"status", "registerError"});
    if (l.contains("status")) desktop->loginItemStatus = loginStatus(r, l["status"], "/loginItem/status");
    if (l.contains("registerError"))
      desktop->loginItemRegisterError = r.string(l["registerError"], "/loginItem/registerError");
  }
  if (doc.contains("otherInstances"))
    desktop->otherInstances = r.integer<int>(doc["otherInstances"], "/otherInstances", 0, 100);
  if (doc.contains("portListeners")) {
    std::vector<PortListener> listeners;
    const json& list = r.array(doc["portListeners"], "/portListeners");
    for (std::size_t i = 0; i < list.size(); ++i) {
      std::string at = "/portListeners/" + std::to_string(i);
      r.onlyKeys(list[i], at, {"pid", "executable"});
      if (!list[i].contains("pid")) r.fail(at, "a port listener needs a \"pid\"");
      listeners.push_back(
          {r.integer<std::int32_t>(list[i]["pid"], at + "/pid", 1, INT32_MAX),
           list[i].contains("executable") ? r.string(list[i]["executable"], at + "/executable") : ""});
    }
    desktop->portListeners = std::move(listeners);
  }
  if (doc.contains("statusItemHasButton"))
    desktop->statusItemHasButton = r.boolean(doc["statusItemHasButton"], "/statusItemHasButton");
  if (doc.contains("windowListAvailable"))
    desktop->windowListAvailable = r.boolean(doc["windowListAvailable"], "/windowListAvailable");
  if (doc.contains("discoveryError") && !doc["discoveryError"].is_null())
    desktop->shareableContentError = r.string(doc["discoveryError"], "/discoveryError");
  if (doc.contains("windows")) {
    const json& windows = r.array(doc["windows"], "/windows");
    std::set<std::uint32_t> numbers;
    for (std::size_t i = 0; i < windows.size(); ++i) {
      std::string at = "/windows/" + std::to_string(i);
      Window w = r.window(windows[i], at);
      if (!numbers.insert(w.number).second) r.fail(at + "/number", "window number used twice");
      desktop->addWindow(std::move(w));
    }
  }
  if (doc.contains("applications")) {
    const json& apps = r.array(doc["applications"], "/applications");
    for (std::size_t i = 0; i < apps.size(); ++i) {
      std::int32_t pid = 0;
      AXApplication app = r.application(apps[i], "/applications/" + std::to_string(i), pid);
      desktop->setApplication(pid, std::move(app));
    }
  }
  if (doc.contains("menuPresses")) {
    const json& presses = r.array(doc["menuPresses"], "/menuPresses");
    for (std::size_t i = 0; i < presses.size(); ++i) {
      std::string at = "/menuPresses/" + std::to_string(i);
      r.onlyKeys(presses[i], at, {"atSeconds", "entry"});
      if (!presses[i].contains("atSeconds") || !presses[i].contains("entry"))
        r.fail(at, "a press needs \"atSeconds\" and the \"entry\" title");
      desktop->scriptedPresses.push_back({r.number(presses[i]["atSeconds"], at + "/atSeconds"),
                                          r.string(presses[i]["entry"], at + "/entry")});
    }
  }
  if (doc.contains("timeline")) {
    const json& steps = r.array(doc["timeline"], "/timeline");
    for (std::size_t i = 0; i < steps.size(); ++i)
      timelineStep(r, *desktop, steps[i], "/timeline/" + std::to_string(i));
  }
  return desktop;
}

std::shared_ptr<Desktop> loadScenario(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ScenarioError(file.string() + ": cannot read the scenario file");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parseScenario(text, file.string(), file.parent_path());
}

}  // namespace tessaron::platform::sim
