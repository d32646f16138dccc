#include "base/log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>
#include <thread>

namespace tessaron::log {
namespace {

struct Failure {
  std::string description() const { return "the disk is full"; }
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { sink = useMemorySink(); }
  std::shared_ptr<MemorySink> sink;
};

TEST(WhatWasSeen, IsATagTheSameForTheSameTextUnlessTheLogMayNameIt) {
  const std::string tag = seen("Konto Bücher - Chromium");
  ASSERT_EQ(tag.size(), std::string("[seen 12345678]").size()) << tag;
  EXPECT_TRUE(tag.starts_with("[seen ")) << tag;
  EXPECT_EQ(tag.substr(6, 8).find_first_not_of("0123456789abcdef"), std::string::npos) << tag;
  EXPECT_EQ(seen("Konto Bücher - Chromium"), tag);
  EXPECT_NE(seen("Konto Bücher - Chromium "), tag);
  EXPECT_EQ(seen(""), "") << "an empty title says that there is none";

  nameWhatWasSeen(true);
  EXPECT_EQ(seen("https://bank.example/"), "https://bank.example/");
  nameWhatWasSeen(false);
  EXPECT_NE(seen("https://bank.example/"), "https://bank.example/");
  {
    const NamingWhatWasSeen pinned;
    EXPECT_EQ(seen("https://bank.example/"), "https://bank.example/");
  }
  EXPECT_EQ(seen("https://bank.example/").find("bank"), std::string::npos);
}

TEST_F(LogTest, RendersEveryPlaceholderKind) {
  capturer().log("WindowID %{public}u is no longer active, removing from gWindows", std::uint32_t{42});
  capturer().log("Found %ld active browser windows", 3L);
  utils().log("Hashed distance: %lld, Threshold: %lld", std::int64_t{9}, std::int64_t{10});
  utils().log("Server process (PID: %d) started.", std::int32_t{4711});
  capturer().log("Metadata saved at: %s", std::string("/tmp/a b.txt"));
  tessaronApp().error("Error starting screen capture: %{public}s", "cancelled");
  tessaronApp().error("Error occurred: %@", Failure{});
  utils().error("Error getting app support folder: %@", std::runtime_error("no home"));
  utils().error("Error starting server process: %@", std::make_error_code(std::errc::permission_denied));
  capturer().error("Error capturing AX content: %{public}@",
                   std::string_view("Can't find matching AXWindow for x"));
  capturer().log("100%% done in %s", "one pass");

  EXPECT_EQ(sink->texts(), (std::vector<std::string>{
                               "WindowID 42 is no longer active, removing from gWindows",
                               "Found 3 active browser windows",
                               "Hashed distance: 9, Threshold: 10",
                               "Server process (PID: 4711) started.",
                               "Metadata saved at: /tmp/a b.txt",
                               "Error starting screen capture: cancelled",
                               "Error occurred: the disk is full",
                               "Error getting app support folder: no home",
                               "Error starting server process: Permission denied",
                               "Error capturing AX content: Can't find matching AXWindow for x",
                               "100% done in one pass",
                           }));
}

TEST_F(LogTest, ChannelsCarryTheirCategoryLevelAndSubsystem) {
  tessaronApp().error("App already running.");
  contentView().log("Quit action");
  chromiumPages().log("curr title: %s", "A");
  firefoxLikePages().log("Url %s already visited, don't save off-screen text again!", "https://x/");

  auto messages = sink->messages();
  ASSERT_EQ(messages.size(), 4U);
  EXPECT_EQ(messages[0], (Message{TESSARON_BUNDLE_ID, "Tessaron App", Level::error, "App already running."}));
  EXPECT_EQ(messages[1].category, "Content View");
  EXPECT_EQ(messages[1].level, Level::normal);
  EXPECT_EQ(messages[2].category, "GetChromeContent");
  EXPECT_EQ(messages[3].category, "GetSafariContent");
  EXPECT_EQ(categoryName(Category::utils), "Utils");
  EXPECT_EQ(categoryName(Category::capturer), "Capturer");
  EXPECT_EQ(&channel(Category::capturer), &capturer()) << "a channel is created once and kept";
}

TEST_F(LogTest, StderrLineHasTheFixedReadableShape) {
  EXPECT_EQ(stderrLine(
                {"com.marrowbeck.tessaron", "Capturer", Level::normal, "Start Screen Capturing from logger"}),
            "com.marrowbeck.tessaron [Capturer] default: Start Screen Capturing from logger");
  EXPECT_EQ(stderrLine({"s", "Utils", Level::error, "x"}), "s [Utils] error: x");
}

TEST(StandardOutput, CapturesWholeLinesInOrder) {
  OutputCapture capture;
  standardOutputLine("com.marrowbeck.tessaron");
  standardOutputLine("URL is empty.");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"com.marrowbeck.tessaron", "URL is empty."}));
}

TEST_F(LogTest, HeldLinesGoOutInOrderOnReleaseAndNeverOnDiscard) {
  OutputCapture output;
  {
    HeldLines held;
    capturer().log("first");
    standardOutputLine("held output");
    EXPECT_TRUE(sink->texts().empty()) << "nothing leaves a hold before it is released";
    EXPECT_TRUE(output.lines().empty());
    {
      HeldLines inner;
      chromiumPages().log("inner");
      inner.release();  // into the enclosing hold, not out
    }
    EXPECT_TRUE(sink->texts().empty());
    held.release();
    capturer().log("after");
  }
  EXPECT_EQ(sink->texts(), (std::vector<std::string>{"first", "inner", "after"}));
  EXPECT_EQ(output.lines(), std::vector<std::string>{"held output"});

  sink->clear();
  {
    HeldLines outer;
    {
      HeldLines inner;
      capturer().log("names a private page");
    }  // destruction releases into the outer hold
    outer.discard();
    capturer().log("after the discard");
  }
  EXPECT_EQ(sink->texts(), std::vector<std::string>{"after the discard"});
}

TEST_F(LogTest, AHoldCoversOnlyItsOwnThread) {
  HeldLines held;
  std::thread([] { capturer().log("from another thread"); }).join();
  EXPECT_EQ(sink->texts(), std::vector<std::string>{"from another thread"});
  held.discard();
}

}  // namespace
}  // namespace tessaron::log
