// Which backend the session asks for.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace tessaron::platform {
namespace {

TEST(BackendForSession, TheSessionDecidesUnlessABackendIsNamed) {
  EXPECT_EQ(backendForSession({"", "wayland-0", "", ""}), "wayland");
  EXPECT_EQ(backendForSession({"", "", "wayland", ""}), "wayland");
  // A Wayland session's DISPLAY is its compatibility server, which sees none of the native windows.
  EXPECT_EQ(backendForSession({"", "wayland-0", "wayland", ":0"}), "wayland");
  EXPECT_EQ(backendForSession({"", "", "x11", ":0"}), "x11");
  EXPECT_EQ(backendForSession({"", "", "", ":99"}), "x11");
  EXPECT_EQ(backendForSession({"x11", "wayland-0", "wayland", ":0"}), "x11");
  EXPECT_EQ(backendForSession({"sim", "", "", ""}), "sim");
}

TEST(BackendForSession, WithoutAnySessionTheErrorNamesBoth) {
  try {
    backendForSession({"", "", "tty", ""});
    FAIL() << "no session chose a backend";
  } catch (const SelectionError& error) {
    EXPECT_NE(error.message.find("WAYLAND_DISPLAY"), std::string::npos) << error.message;
    EXPECT_NE(error.message.find("DISPLAY (an X11"), std::string::npos) << error.message;
    EXPECT_EQ(error.exitStatus, 1);
  }
}

}  // namespace
}  // namespace tessaron::platform
