// The Linux backends' file and text rules that need no desktop: login-item entries and text lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/freedesktop/atspi.h"
#include "platform/freedesktop/desktop.h"

namespace tessaron::platform::freedesktop {
namespace {

namespace fs = std::filesystem;

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("tessaron-autostart-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "app dir");
    executable_ = folder_ / "app dir" / "tes\"s$a\\ron";
    std::ofstream(executable_) << "#!/bin/sh\n";
    fs::permissions(executable_, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path entry() const { return folder_ / "autostart" / "com.example.test.desktop"; }
  AutostartLoginItems items() const {
    return AutostartLoginItems(entry(), executable_, folder_ / "icon.png");
  }

  void appendToEntry(const std::string& line) const { std::ofstream(entry(), std::ios::app) << line << "\n"; }

  fs::path folder_;
  fs::path executable_;
};

TEST_F(AutostartTest, RegisteringWritesAnEntryThatReadsBackAsEnabled) {
  auto login = items();
  EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
  EXPECT_FALSE(login.registerToStartAtLogin());
  EXPECT_EQ(login.status(), LoginItemStatus::enabled);  // the quoted, escaped path leads back to the program
  std::ifstream in(entry());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(entry().string() + ".new"));
}

TEST_F(AutostartTest, AnEntryTheUserSwitchedOffNeedsApprovalAndIsLeftAlone) {
  auto login = items();
  ASSERT_FALSE(login.registerToStartAtLogin());
  appendToEntry("Hidden=true");
  EXPECT_EQ(login.status(), LoginItemStatus::switchedOff);
  fs::remove(entry());
  ASSERT_FALSE(login.registerToStartAtLogin());
  appendToEntry("X-GNOME-Autostart-enabled=false");
  EXPECT_EQ(login.status(), LoginItemStatus::switchedOff);
}

TEST_F(AutostartTest, AnEntryWhoseProgramIsGoneIsNotFound) {
  auto login = items();
  ASSERT_FALSE(login.registerToStartAtLogin());
  fs::remove(executable_);
  EXPECT_EQ(login.status(), LoginItemStatus::notFound);
  fs::create_directories(entry().parent_path());
  std::ofstream(entry()) << "[Desktop Entry]\nType=Application\nName=x\n";  // no Exec at all
  EXPECT_EQ(login.status(), LoginItemStatus::notFound);
}

TEST(DesktopEntryArgumentTest, QuotesAndEscapesForBothLevels) {
  EXPECT_EQ(desktopEntryArgument("/opt/app/tessaron"), "\"/opt/app/tessaron\"");
  EXPECT_EQ(desktopEntryArgument("/a b/c"), "\"/a b/c\"");
  // " ` $ take a backslash inside quotes, and the value's own escaping doubles it; \ becomes four.
  EXPECT_EQ(desktopEntryArgument("a\"b`c$d\\e"), R"("a\\"b\\`c\\$d\\\\e")");
}

TEST(VisibleTextLinesTest, TrimsDropsPlaceholdersAndEmptyLines) {
  EXPECT_EQ(visibleTextLines("\n  Heading \n\n\tBody text\xEF\xBF\xBC here\n \n"),
            (std::vector<std::string>{"Heading", "Body text here"}));
  EXPECT_EQ(visibleTextLines("Party \xF0\x9F\x8E\x89\xEF\xBB\xBF end"),
            (std::vector<std::string>{"Party \xF0\x9F\x8E\x89 end"}));
  EXPECT_TRUE(visibleTextLines("\xEF\xBF\xBC\n\xEF\xBB\xBF").empty());
  EXPECT_TRUE(visibleTextLines("").empty());
}

}  // namespace
}  // namespace tessaron::platform::freedesktop
