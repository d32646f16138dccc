// The x11 backend's window list and screenshots against windows this test makes itself on a private desktop:
// both pixel depths in their exact colours, covered windows, titles in both encodings, and windows that go.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "platform/x11/x11_windows.h"
#include "tests/desktop_session.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;
using platform::x11::X11WindowServer;

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return result;
}

class X11WindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session = new DesktopSession(fs::temp_directory_path() / ("tessaron-x11-" + std::to_string(::getpid())));
    connection = xcb_connect(nullptr, nullptr);
    screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    windows = new X11WindowServer({});
  }

  static void TearDownTestSuite() {
    delete windows;
    xcb_disconnect(connection);
    const fs::path folder = session->folder();
    delete session;
    if (::testing::UnitTest::GetInstance()->Passed()) fs::remove_all(folder);
  }

  // A mapped top-level window filled with one colour, of depth 24 or 32.
  static xcb_window_t makeWindow(int depth, std::uint32_t rgb, int x, int y, int width, int height) {
    xcb_visualid_t visual = screen->root_visual;
    std::uint32_t pixel = rgb;
    xcb_colormap_t colormap = screen->default_colormap;
    if (depth == 32) {
      visual = 0;
      for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem && !visual;
           xcb_depth_next(&depths))
        if (depths.data->depth == 32 && depths.data->visuals_len > 0)
          visual = xcb_depth_visuals_iterator(depths.data).data->visual_id;
      colormap = xcb_generate_id(connection);
      xcb_create_colormap(connection, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
      pixel = 0xFF000000u | rgb;
    }
    const xcb_window_t window = xcb_generate_id(connection);
    const std::uint32_t values[] = {pixel, 0, colormap};
    xcb_create_window(connection, static_cast<std::uint8_t>(depth), window, screen->root,
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP, values);
    const std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom(connection, "_NET_WM_PID"),
                        XCB_ATOM_CARDINAL, 32, 1, &pid);
    const char windowClass[] = "tessaron-test\0TessaronTest";
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        sizeof windowClass, windowClass);
    xcb_map_window(connection, window);
    xcb_flush(connection);
    return window;
  }

  static std::optional<platform::WindowDescription> listed(xcb_window_t window) {
    auto content = windows->shareableContent();
    if (!content) return std::nullopt;
    for (const auto& description : content.value())
      if (description.windowID == window) return description;
    return std::nullopt;
  }

  static ::testing::AssertionResult allPixels(const platform::RgbaImage& image, std::uint32_t rgb) {
    for (std::uint32_t y = 0; y < image.height; ++y)
      for (std::uint32_t x = 0; x < image.width; ++x) {
        const std::uint8_t* p = image.pixels.data() + y * image.stride + x * 4;
        const std::uint32_t got = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        if (got != rgb || p[3] != 0xFF)
          return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << std::hex << got
                                               << " alpha " << int{p[3]} << ", expected " << rgb;
      }
    return ::testing::AssertionSuccess();
  }

  static inline DesktopSession* session = nullptr;
  static inline xcb_connection_t* connection = nullptr;
  static inline xcb_screen_t* screen = nullptr;
  static inline X11WindowServer* windows = nullptr;
};

TEST_F(X11WindowsTest, ListsWindowsWithTitlePidClassAndClientFrame) {
  const xcb_window_t window = makeWindow(24, 0x336699, 100, 120, 300, 200);
  const std::string title = "Gr\xC3\xBCne Seite \xE2\x9C\x93";
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom(connection, "_NET_WM_NAME"),
                      atom(connection, "UTF8_STRING"), 8, static_cast<std::uint32_t>(title.size()),
                      title.data());
  const char latin1[] = "Caf\xE9";
  const xcb_window_t other = makeWindow(24, 0x000000, 500, 500, 120, 80);
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, other, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      sizeof latin1 - 1, latin1);
  xcb_flush(connection);
  ASSERT_TRUE(
      waitFor([&] { return listed(window) && listed(window)->title == title && listed(other); }, 10s));

  const auto description = *listed(window);
  EXPECT_EQ(description.frame.width, 300);
  EXPECT_EQ(description.frame.height, 200);
  ASSERT_TRUE(description.owningApplication);
  EXPECT_EQ(description.owningApplication->applicationName, "TessaronTest");
  EXPECT_EQ(description.owningApplication->processId, ::getpid());
  EXPECT_EQ(listed(other)->title, "Caf\xC3\xA9");  // WM_NAME is Latin-1

  ASSERT_TRUE(description.listed) << "the window list's entry comes with the window";
  EXPECT_EQ(description.listed->number, window);
  EXPECT_EQ(description.listed->title, title);
  EXPECT_EQ(description.listed->processId, ::getpid());
  // Front to back: the window made last is on top.
  auto content = windows->shareableContent();
  ASSERT_TRUE(content && !content.value().empty());
  EXPECT_EQ(content.value().front().windowID, other);
  xcb_destroy_window(connection, window);
  xcb_destroy_window(connection, other);
  xcb_flush(connection);
}

TEST_F(X11WindowsTest, ScreenshotsOfBothDepthsHaveExactColoursEvenWhenCovered) {
  const xcb_window_t deep = makeWindow(32, 0x12A4F0, 50, 50, 200, 150);
  const xcb_window_t plain = makeWindow(24, 0xE03C28, 60, 60, 200, 150);  // on top of most of `deep`
  ASSERT_TRUE(waitFor([&] { return listed(deep) && listed(plain); }, 10s));
  for (auto [window, colour] : {std::pair{deep, 0x12A4F0u}, std::pair{plain, 0xE03C28u}}) {
    SCOPED_TRACE(window);
    platform::Outcome<platform::RgbaImage> shot = platform::PlatformError{"not yet"};
    ASSERT_TRUE(waitFor(
        [&] {
          shot = windows->captureWindow(*listed(window));
          return shot && allPixels(shot.value(), colour);
        },
        5s));
    EXPECT_EQ(shot.value().width, 200u);
    EXPECT_EQ(shot.value().height, 150u);
    EXPECT_TRUE(allPixels(shot.value(), colour));
  }
  xcb_destroy_window(connection, deep);
  xcb_destroy_window(connection, plain);
  xcb_flush(connection);
}

TEST_F(X11WindowsTest, WindowsThatGoGiveAnErrorNotAnImage) {
  const xcb_window_t window = makeWindow(24, 0x808080, 300, 300, 100, 100);
  ASSERT_TRUE(waitFor([&] { return listed(window).has_value(); }, 10s));
  const platform::WindowDescription description = *listed(window);

  xcb_unmap_window(connection, window);
  xcb_flush(connection);
  ASSERT_TRUE(waitFor([&] { return !listed(window); }, 10s));
  auto hidden = windows->captureWindow(description);
  ASSERT_FALSE(hidden);
  EXPECT_NE(hidden.error().text.find("not viewable"), std::string::npos) << hidden.error().text;

  xcb_destroy_window(connection, window);
  // A round trip, so that the server has carried out the destruction before the other connection asks.
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  auto gone = windows->captureWindow(description);
  ASSERT_FALSE(gone);
  EXPECT_NE(gone.error().text.find("no longer exists"), std::string::npos) << gone.error().text;
}

}  // namespace
}  // namespace tessaron::testing
