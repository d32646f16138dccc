#include "platform/sim/sim_scenario.h"

#include <gtest/gtest.h>

#include <stop_token>

namespace tessaron::platform::sim {
namespace {

std::shared_ptr<Desktop> parse(const std::string& text) {
  return parseScenario(text, "t.json", "/scenarios");
}

std::string errorOf(const std::string& text) {
  try {
    parse(text);
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "no error";
}

TEST(Scenario, LoadsEveryKindOfState) {
  auto desktop = parse(R"({
    // comments are allowed
    "clock": {"start": "2024-03-01T21:30:00Z", "utcOffset": "+02:00", "speed": 0},
    "bundle": {"identifier": null, "applicationSupport": "/tmp/x"},
    "grants": {"accessibility": {"granted": true}, "screenCapture": {"grantedAfterSeconds": 3}},
    "alerts": {"answers": ["first", 1], "default": "first"},
    "loginItem": {"status": "switchedOff"},
    "otherInstances": 1,
    "portListeners": [{"pid": 4242, "executable": "/usr/bin/python3"}],
    "windows": [
      {"number": 11, "title": "Example", "frame": [0, 25, 1280, 775], "application": "Google Chrome", "pid": 100,
       "windowInfo": {"kCGWindowOwnerPID": "not a number"}, "windowInfoMissing": ["kCGWindowName"],
       "image": {"file": "shot.png"}},
      {"number": 12, "application": "Firefox", "pid": 200, "onScreen": false, "image": {"solid": [1, 2, 3, 255]}}
    ],
    "applications": [
      {"pid": 100, "name": "Google Chrome", "windows": [
        {"id": "w", "role": "AXWindow", "frame": [0, 25, 1280, 775], "children": [
          {"role": "AXWebArea", "title": "Example", "url": "https://example.org/",
           "attributes": {"AXDescription": {"error": -25212}, "AXURLText": {"string": "x"}},
           "children": [{"ref": "w"}]}
        ]}
      ]}
    ],
    "timeline": [{"pass": 2, "move": {"window": 11, "frame": [5, 5, 100, 100]}}, {"pass": 2, "close": 12}]
  })");

  EXPECT_EQ(desktop->bundleIdentifier, std::nullopt);
  EXPECT_TRUE(desktop->accessibility.granted);
  EXPECT_EQ(desktop->screenCapture.grantedAfterSeconds, 3.0);
  EXPECT_EQ(desktop->alertAnswers, (std::deque<std::size_t>{0, 1}));
  EXPECT_EQ(desktop->defaultAlertAnswer, 0U);
  EXPECT_EQ(desktop->loginItemStatus, LoginItemStatus::switchedOff);
  EXPECT_EQ(desktop->otherInstances, 1);
  ASSERT_TRUE(desktop->portListeners);
  EXPECT_EQ(desktop->portListeners->at(0).executablePath, "/usr/bin/python3");

  auto windows = desktop->windows();
  ASSERT_EQ(windows.size(), 2U);
  EXPECT_EQ(windows[0].frame, (Rect{0, 25, 1280, 775}));
  EXPECT_EQ(windows[0].image.file, "/scenarios/shot.png");
  EXPECT_EQ(windows[1].title, std::nullopt);
  EXPECT_FALSE(windows[1].onScreen);

  auto platform = desktop->platform();
  auto shown = platform->windows().shareableContent();
  ASSERT_TRUE(shown.ok() && shown.value().size() == 1) << "the off-screen window is not shown";
  ASSERT_TRUE(shown.value()[0].listed);
  EXPECT_FALSE(shown.value()[0].listed->title) << "listed without its title";
  EXPECT_FALSE(shown.value()[0].listed->processId) << "a process id that is no number is none";

  const auto app = desktop->findApplication(100);
  ASSERT_TRUE(app);
  const AXNode& appNode = app->tree->node(app->root);
  const std::size_t window = appNode.elementLists.at("AXWindows").at(0);
  const std::size_t webArea = app->tree->node(window).elementLists.at("AXChildren").at(0);
  EXPECT_EQ(app->tree->node(webArea).attributes.at("AXDescription").status, AXStatus::noValue);
  EXPECT_EQ(std::get<std::string>(app->tree->node(webArea).attributes.at("AXURLText").value), "x");
  EXPECT_EQ(app->tree->node(webArea).elementLists.at("AXChildren").at(0), window)
      << "a ref child is the node";
  auto pages = platform->pages().windowsOf(100, *browserNamed("Google Chrome"));
  ASSERT_TRUE(pages && pages->size() == 1);
  EXPECT_EQ(pages->at(0)->page(), (Page{"Example", "https://example.org/"}));
  EXPECT_EQ(pages->at(0)->frame().value(), (Rect{0, 25, 1280, 775}));
  EXPECT_EQ(platform->pages().windowsOf(999, *browserNamed("Google Chrome")), std::nullopt)
      << "nobody runs process 999";

  // The local time of the pinned clock follows the scenario's offset.
  EXPECT_EQ(platform->clock().localTime(platform->clock().now()), (LocalDateTime{2024, 3, 1, 23, 30, 0}));

  // The timeline applies when the second pass asks for the windows (the first asked above).
  EXPECT_EQ(desktop->windows().size(), 2U);
  auto second = platform->windows().shareableContent();
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(second.value().size(), 1U);
  EXPECT_EQ(second.value()[0].frame, (Rect{5, 5, 100, 100}));
}

TEST(Scenario, BadFilesNameThePlaceAndWhatWasExpected) {
  EXPECT_EQ(
      errorOf("{\n  \"windows\": [\n    {\"number\": 1,}\n  ]\n}"),
      "t.json:3:18: not valid JSON: syntax error while parsing object key - unexpected '}'; expected string "
      "literal");
  EXPECT_EQ(errorOf(R"({"windows": [{"number": 1, "frame": [1, 2, 3]}]})"),
            "t.json: /windows/0/frame: expected a frame [x, y, width, height] of 4 numbers");
  EXPECT_EQ(errorOf(R"({"windows": [{"title": "x"}]})"), "t.json: /windows/0: a window needs a \"number\"");
  EXPECT_EQ(errorOf(R"({"windows": [{"number": -1}]})"),
            "t.json: /windows/0/number: expected a whole number from 0 to 4294967295");
  EXPECT_EQ(errorOf(R"({"window": []})").substr(0, 38), "t.json: /window: unknown key; expected");
  EXPECT_EQ(errorOf(R"({"clock": {"utcOffset": "CET"}})"),
            "t.json: /clock/utcOffset: expected a UTC offset like \"+02:00\", \"-05:30\" or \"UTC\"");
  EXPECT_EQ(errorOf(R"({"applications": [{"pid": 1, "windows": [{"children": [{"ref": "nope"}]}]}]})"),
            "t.json: /applications/0/windows/0/children/0: no node has the id \"nope\"");
  EXPECT_EQ(errorOf(R"({"timeline": [{"move": {"window": 1}}]})"),
            "t.json: /timeline/0: a step needs the \"pass\" it happens at (1 is the first)");
  EXPECT_EQ(errorOf(R"({"windows": [{"number": 1}, {"number": 1}]})"),
            "t.json: /windows/1/number: window number used twice");
  EXPECT_EQ(errorOf(R"([1, 2])"), "t.json: /: expected an object");
  EXPECT_THROW(loadScenario("/nonexistent/scenario.json"), ScenarioError);
}

}  // namespace
}  // namespace tessaron::platform::sim
