// The compositor's tree read as windows, and accessibility frames placed on them, from trees of the shape
// sway 1.7 answers with (trimmed to the keys that matter).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/wayland/gnome_shell_places.h"
#include "platform/wayland/kwin_script_places.h"
#include "platform/wayland/portal_screencast.h"
#include "platform/wayland/sway_ipc.h"
#include "platform/wayland/wayland_windows.h"

namespace tessaron::platform::wayland {
namespace {

using nlohmann::json;

json view(int id, int pid, const std::string& title, json rect, bool visible = true,
          json windowRect = nullptr) {
  if (windowRect.is_null())
    windowRect = {{"x", 0}, {"y", 0}, {"width", rect["width"]}, {"height", rect["height"]}};
  return {{"id", id},
          {"type", "con"},
          {"pid", pid},
          {"name", title},
          {"app_id", "a"},
          {"rect", std::move(rect)},
          {"window_rect", std::move(windowRect)},
          {"visible", visible},
          {"focused", false},
          {"nodes", json::array()},
          {"floating_nodes", json::array()}};
}

json rect(int x, int y, int width, int height) {
  return {{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

json workspace(json tiled, json floating = json::array()) {
  return {{"type", "workspace"},
          {"name", "1"},
          {"nodes", std::move(tiled)},
          {"floating_nodes", std::move(floating)}};
}

json tree(json outputs) {
  return {
      {"type", "root"}, {"name", "root"}, {"nodes", std::move(outputs)}, {"floating_nodes", json::array()}};
}

json output(const std::string& name, json workspaces) {
  return {{"type", "output"},
          {"name", name},
          {"nodes", std::move(workspaces)},
          {"floating_nodes", json::array()}};
}

TEST(ShownWindows, KeepsShownViewsWithTheirContentAreaAndLeavesOutHiddenOnes) {
  json floatingView = view(7, 300, "Notes", rect(100, 100, 400, 300));
  floatingView["type"] = "floating_con";
  const json desktop = tree(json::array({
      output("__i3", json::array({workspace(json::array({view(9, 400, "Scratch", rect(0, 0, 50, 50))}))})),
      output(
          "HEADLESS-1",
          json::array(
              {workspace(
                   json::array({
                       // a bordered window: content 2 px in and below a 24 px title bar
                       view(4, 100, "Alpha - Chromium", rect(0, 0, 800, 1000), true, rect(2, 24, 796, 974)),
                       view(5, 200, "Beta — Mozilla Firefox", rect(800, 0, 800, 1000)),
                   }),
                   json::array({floatingView})),
               // another workspace, not shown: its window is not visible
               workspace(json::array({view(6, 100, "Gamma - Chromium", rect(0, 0, 1600, 1000), false)}))})),
  }));

  const auto windows = shownWindows(desktop);
  ASSERT_EQ(windows.size(), 3u);
  // Floating windows come first: they are above the tiled ones.
  EXPECT_EQ(windows[0].id, 7u);
  EXPECT_TRUE(windows[0].coveredBy.empty());
  EXPECT_EQ(windows[1].id, 4u);
  EXPECT_EQ(windows[1].frame, (Rect{2, 24, 796, 974}));
  EXPECT_EQ(windows[1].output, "HEADLESS-1");
  EXPECT_EQ(windows[1].coveredBy, std::vector<std::uint32_t>{7});
  EXPECT_EQ(windows[2].id, 5u);
  EXPECT_EQ(windows[2].title, "Beta — Mozilla Firefox");
  EXPECT_EQ(windows[2].processId, 200);
  EXPECT_TRUE(windows[2].coveredBy.empty()) << "the floating window does not reach x=800";
}

TEST(ShownWindows, ToleratesWhatACompositorMayLeaveOut) {
  json noPid = view(3, 0, "placeholder", rect(0, 0, 10, 10));
  noPid.erase("pid");
  json noTitle = view(4, 50, "", rect(0, 0, 100, 100));
  noTitle["name"] = nullptr;
  noTitle.erase("window_rect");
  const auto windows =
      shownWindows(tree(json::array({output("X", json::array({workspace(json::array({noPid, noTitle}))}))})));
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].title, "");
  EXPECT_EQ(windows[0].frame, (Rect{0, 0, 100, 100}));
  EXPECT_TRUE(shownWindows(json::array()).empty());
}

// One tree answers for the outputs too (the tree holds only active ones), so a pass asks sway once.
TEST(ActiveOutputs, AreReadFromTheTreeWithoutTheScratchpad) {
  json scratchpad = output("__i3", json::array());
  scratchpad["rect"] = rect(0, 0, 1600, 1000);
  json first = output("HEADLESS-1", json::array());
  first["rect"] = rect(0, 0, 1600, 1000);
  json second = output("DP-2", json::array());
  second["rect"] = rect(1600, 0, 1920, 1080);
  EXPECT_EQ(treeOutputs(tree(json::array({scratchpad, first, second}))),
            (std::vector<CompositorOutput>{{"HEADLESS-1", Rect{0, 0, 1600, 1000}},
                                           {"DP-2", Rect{1600, 0, 1920, 1080}}}));
  EXPECT_TRUE(treeOutputs(json::array()).empty());
}

TEST(ActiveOutputs, NamesTheActiveOnesWithTheirPlace) {
  const json outputs =
      json::array({{{"name", "HEADLESS-1"}, {"active", true}, {"rect", rect(0, 0, 1600, 1000)}},
                   {{"name", "HDMI-A-1"}, {"active", false}, {"rect", rect(0, 0, 0, 0)}},
                   {{"name", "DP-2"}, {"active", true}, {"rect", rect(1600, 0, 1920, 1080)}}});
  EXPECT_EQ(activeOutputs(outputs), (std::vector<CompositorOutput>{{"HEADLESS-1", Rect{0, 0, 1600, 1000}},
                                                                   {"DP-2", Rect{1600, 0, 1920, 1080}}}));
}

TEST(PlaceFrame, AFrameIsTheWindowOfItsProcessAndNameThatItFitsWithinAShadow) {
  const std::vector<CompositorWindow> windows{
      {4, 100, "Alpha - Chromium", "chromium", Rect{0, 0, 800, 1000}, "O", false, {}},
      {5, 200, "Beta — Mozilla Firefox", "firefox", Rect{800, 0, 800, 1000}, "O", false, {}},
      {6, 100, "Alpha - Chromium", "chromium", Rect{0, 500, 800, 500}, "O", false, {}},
  };
  // Chromium draws a 10 px shadow on each side and reports its frame relative to its own surface.
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium", Rect{0, 0, 820, 1020}), (Rect{0, 0, 800, 1000}));
  // On GNOME its shadow is deeper below than at the sides.
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium", Rect{0, 0, 820, 1023}), (Rect{0, 0, 800, 1000}));
  // Two windows of one title are told apart by size.
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium", Rect{0, 0, 820, 520}), (Rect{0, 500, 800, 500}));
  // Firefox reports no shadow.
  EXPECT_EQ(placeFrame(windows, 200, "Beta — Mozilla Firefox", Rect{0, 0, 800, 1000}),
            (Rect{800, 0, 800, 1000}));
  // An incognito frame's name carries a mark the window's title lacks, bracketed as its language writes it.
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium (Incognito)", Rect{0, 0, 820, 1020}),
            (Rect{0, 0, 800, 1000}));
  EXPECT_EQ(
      placeFrame(windows, 100, "Alpha - Chromium\xEF\xBC\x88\xE3\x82\xB7\xEF\xBC\x89", Rect{0, 0, 820, 1020}),
      (Rect{0, 0, 800, 1000}));
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium ()", Rect{0, 0, 820, 1020}), std::nullopt)
      << "an empty mark is no mark";

  EXPECT_EQ(placeFrame(windows, 200, "Alpha - Chromium", Rect{0, 0, 820, 1020}), std::nullopt)
      << "other process";
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium", Rect{0, 0, 1000, 1020}), std::nullopt)
      << "more than a shadow";
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromium", Rect{0, 0, 780, 980}), std::nullopt) << "smaller";
  EXPECT_EQ(placeFrame(windows, 100, "Alpha - Chromiumx", Rect{0, 0, 820, 1020}), std::nullopt)
      << "other name";
}

TEST(GnomePlaces, TheExtensionsAnswerGivesWindowsFrontToBackWithTheOnesAboveThatOverlap) {
  const std::string answer = R"({"monitors": [{"x": 0, "y": 0, "width": 1600, "height": 1000},
                                             {"x": 1600, "y": 0, "width": 1920, "height": 1080}],
    "windows": [
      {"id": 11, "pid": 300, "title": "Notes", "appId": "org.gnome.TextEditor", "x": 600, "y": 100, "width": 400,
       "height": 300, "monitor": 0, "focused": true},
      {"id": 12, "pid": 100, "title": "Alpha - Chromium", "appId": "chromium", "x": 0, "y": 32, "width": 780,
       "height": 900, "monitor": 0, "focused": false},
      {"id": 13, "pid": 200, "title": "Beta — Mozilla Firefox", "appId": "firefox-esr", "x": 800, "y": 32,
       "width": 780, "height": 900, "monitor": 0},
      {"id": 14, "pid": 100, "title": "Gamma - Chromium", "appId": "chromium", "x": 1700, "y": 0, "width": 900,
       "height": 900, "monitor": 1},
      {"id": 15, "pid": 0, "title": "no process", "x": 0, "y": 0, "width": 10, "height": 10, "monitor": 0}]})";
  const auto places = parsePlacesAnswer(answer);
  ASSERT_TRUE(places);
  const auto& [windows, monitors] = *places;
  EXPECT_EQ(monitors,
            (std::vector<CompositorOutput>{{"0", Rect{0, 0, 1600, 1000}}, {"1", Rect{1600, 0, 1920, 1080}}}));
  ASSERT_EQ(windows.size(), 4u) << "a window without a process is left out";
  EXPECT_EQ(windows[0].id, 11u);
  EXPECT_TRUE(windows[0].focused);
  EXPECT_EQ(windows[1].frame, (Rect{0, 32, 780, 900}));
  EXPECT_EQ(windows[1].coveredBy, std::vector<std::uint32_t>{11})
      << "the editor overlaps Chromium's right edge";
  EXPECT_EQ(windows[2].coveredBy, std::vector<std::uint32_t>{11}) << "and Firefox's left edge";
  EXPECT_EQ(windows[3].output, "1");
  EXPECT_TRUE(windows[3].coveredBy.empty()) << "windows on another monitor cover nothing here";

  EXPECT_FALSE(parsePlacesAnswer("not json"));
  EXPECT_FALSE(parsePlacesAnswer(R"({"windows": []})")) << "no monitors";
  EXPECT_FALSE(parsePlacesAnswer(R"([1, 2])"));
}

// The KWin script, run by Node.js against a stand-in for KWin's scripting objects of Plasma 5 or 6: what it
// reports must read as the same places.
std::string runKwinScript(const std::string& standIn) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("tessaron-kwin-" + std::to_string(::getpid()) + ".js");
  std::ofstream(file) << standIn << "\n" << kwinPlacesScript(":1.42");
  std::string out;
  if (FILE* node = ::popen(("node " + file.string() + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, node))
      out.append(buffer, n);
    ::pclose(node);
  }
  std::filesystem::remove(file);
  return out;
}

TEST(KwinScript, ReportsTheShownWindowsFrontToBackOnPlasma5And6) {
  // Bottom to top: a window on another desktop, Chromium, a minimised window, a panel, Firefox.
  const std::string windows = R"(
    const make = (id, pid, caption, x, extra) => Object.assign({internalId: '{' + id + '}', pid: pid, caption: caption,
      resourceClass: 'app', normalWindow: true, minimized: false, onAllDesktops: false, active: false,
      frameGeometry: {x: x, y: 40, width: 780, height: 900}}, extra);
    const plasma5 = [make('a', 5, 'Elsewhere', 0, {desktop: 2}), make('b', 100, 'Alpha - Chromium', 0, {desktop: 1, screen: 0}),
      make('c', 7, 'Hidden', 0, {desktop: 1, minimized: true}), make('d', 8, 'Panel', 0, {desktop: 1, normalWindow: false}),
      make('e', 200, 'Beta — Mozilla Firefox', 800, {desktop: 1, screen: 0, active: true})];)";
  const std::string report = R"(
    const callDBus = (service, path, iface, method, json) => console.log(service + ' ' + path + ' ' + iface + ' ' + method + '\n' + json);)";
  const std::string plasma5 = windows + report + R"(
    const KWin = {ScreenArea: 7};
    const workspace = {clientList: () => plasma5, stackingOrder: plasma5, currentDesktop: 1, numScreens: 1,
      clientArea: (area, screen, desktop) => ({x: 0, y: 0, width: 1600, height: 1000})};)";
  const std::string plasma6 = windows + report + R"(
    const output = {geometry: {x: 0, y: 0, width: 1600, height: 1000}};
    const desktopOne = {id: 'one'}, desktopTwo = {id: 'two'};
    const plasma6 = plasma5.map(w => Object.assign({}, w, {desktops: [w.desktop === 2 ? desktopTwo : desktopOne],
      desktop: undefined, screen: undefined, output: output}));
    const workspace = {windowList: () => plasma6, stackingOrder: plasma6, currentDesktop: desktopOne, screens: [output]};)";
  for (const auto& standIn : {plasma5, plasma6}) {
    const std::string out = runKwinScript(standIn);
    const auto newline = out.find('\n');
    ASSERT_NE(newline, std::string::npos) << out;
    EXPECT_EQ(out.substr(0, newline),
              ":1.42 /com/marrowbeck/tessaron/WindowPlaces com.marrowbeck.tessaron.WindowPlaces Report");
    const auto places = parsePlacesAnswer(out.substr(newline + 1));
    ASSERT_TRUE(places) << out;
    const auto& [shown, monitors] = *places;
    EXPECT_EQ(monitors, (std::vector<CompositorOutput>{{"0", Rect{0, 0, 1600, 1000}}}));
    ASSERT_EQ(shown.size(), 2u) << out;
    EXPECT_EQ(shown[0].title, "Beta — Mozilla Firefox");
    EXPECT_TRUE(shown[0].focused);
    EXPECT_EQ(shown[0].output, "0");
    EXPECT_EQ(shown[1].processId, 100);
    EXPECT_EQ(shown[1].frame, (Rect{0, 40, 780, 900}));
    EXPECT_NE(shown[0].id, shown[1].id);
    EXPECT_TRUE(shown[1].coveredBy.empty()) << "side by side";
  }
}

// KDE's portal answers a screen-cast request whose dialog cannot load as if the person had declined it: what
// its dialog lacks is named from the files of Qt it loads.
TEST(KdeDialog, NamesTheMissingPartsOfQtWithTheirPackagesOnPlasma5Only) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("tessaron-qt-" + std::to_string(::getpid()));
  const fs::path qt = root / "x86_64-linux-gnu/qt5";
  for (const char* file : {"plugins/platforms/libqwayland-generic.so", "qml/org/kde/kirigami.2/qmldir",
                           "qml/QtQuick/Layouts/qmldir", "qml/QtQuick/Controls.2/qmldir"}) {
    fs::create_directories((qt / file).parent_path());
    std::ofstream(qt / file) << "x";
  }
  const auto environment = [](const char* key) {
    const char* value = std::getenv(key);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto desktop = environment("XDG_CURRENT_DESKTOP"), version = environment("KDE_SESSION_VERSION");
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  ::setenv("KDE_SESSION_VERSION", "5", 1);
  const std::vector<fs::path> folders{root / "none/qt5", qt};

  EXPECT_EQ(whatKdesDialogLacks(folders),
            "KDE's screen-sharing dialog cannot open without parts of Qt that are not installed "
            "(qml-module-org-kde-pipewire on Debian and Ubuntu).");
  fs::remove(qt / "plugins/platforms/libqwayland-generic.so");
  EXPECT_NE(whatKdesDialogLacks(folders).find("(qtwayland5, qml-module-org-kde-pipewire on"),
            std::string::npos);
  fs::create_directories(qt / "qml/org/kde/pipewire");
  std::ofstream(qt / "qml/org/kde/pipewire/qmldir") << "x";
  std::ofstream(qt / "plugins/platforms/libqwayland-generic.so") << "x";
  EXPECT_EQ(whatKdesDialogLacks(folders), "") << "nothing missing";
  fs::remove(qt / "qml/QtQuick/Layouts/qmldir");
  EXPECT_EQ(whatKdesDialogLacks({root / "none/qt5"}), "") << "no Qt 5 found: nothing can be told";
  ::setenv("KDE_SESSION_VERSION", "6", 1);
  EXPECT_EQ(whatKdesDialogLacks(folders), "") << "Plasma 6 builds its dialog with Qt 6";
  ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  ::setenv("KDE_SESSION_VERSION", "5", 1);
  EXPECT_EQ(whatKdesDialogLacks(folders), "") << "not KDE";

  for (const auto& [key, value] :
       {std::pair{"XDG_CURRENT_DESKTOP", desktop}, std::pair{"KDE_SESSION_VERSION", version}})
    value ? (void)::setenv(key, value->c_str(), 1) : (void)::unsetenv(key);
  fs::remove_all(root);
}

}  // namespace
}  // namespace tessaron::platform::wayland
