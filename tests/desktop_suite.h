// A test suite around one private desktop and one running tessaron: the suite's SetUpTestSuite makes the
// desktop and starts tessaron; at its end tessaron must leave with status 0, and the desktop's folder (logs,
// archive, profiles) is kept only when a test failed, for a look.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "tests/archive_files.h"
#include "tests/desktop_session.h"
#include "tests/sample_pages.h"

namespace tessaron::testing {

class DesktopSuite : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    using namespace std::chrono_literals;
    if (session && tessaron > 0) {
      EXPECT_EQ(session->stop(tessaron, 10s), 0) << session->log("tessaron");
    }
    const fs::path folder = session ? session->folder() : fs::path();
    delete session;
    session = nullptr;
    if (!folder.empty() && !::testing::Test::HasFailure() && ::testing::UnitTest::GetInstance()->Passed())
      fs::remove_all(folder);
  }

  void SetUp() override {
    if (!session || !session->running(tessaron)) GTEST_SKIP() << "tessaron is not running";
  }

  // Every record of the archive, and those of one sample page (by its address).
  static std::vector<ArchivedRecord> records() {
    return readArchive(session->home() / ".local/share/tessaron/AppData");
  }
  static std::vector<ArchivedRecord> recordsOf(const SamplePage& page) {
    std::vector<ArchivedRecord> out;
    for (auto& record : records())
      if (record.address == session->pages().url(page.path)) out.push_back(std::move(record));
    return out;
  }

  static std::size_t countInLog(const std::string& text) {
    return occurrences(session->log("tessaron"), text);
  }

  // Waits for `count` more capture passes to finish (a pass is done when the next one starts).
  static bool waitForPasses(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(40)) {
    const std::size_t start = countInLog("Start Screen Capturing from logger");
    return waitFor([&] { return countInLog("Start Screen Capturing from logger") >= start + count + 1; },
                   limit);
  }

  // A record of a page shown in a browser window cut from the screen: its title and words, never the
  // password, and the pixels of its own window with nothing of the other one's.
  static void expectRecordOfItsOwnWindow(const ArchivedRecord& record, const SamplePage& page,
                                         const Pixel& own, const Pixel& other) {
    EXPECT_TRUE(record.title.starts_with(page.title)) << record.title;
    EXPECT_NE(record.body.find(page.marker + " heading"), std::string::npos) << record.body;
    EXPECT_EQ(record.body.find("hunter2secret"), std::string::npos);
    fs::path png = record.text;
    const auto image = decodePngFile(png.replace_extension(".png"));
    ASSERT_TRUE(image);
    EXPECT_GT(shareOf(*image, own), 0.2) << page.title;
    EXPECT_LT(shareOf(*image, other), 0.01) << page.title << ": nothing of the other browser's window";
  }

  static inline DesktopSession* session = nullptr;
  static inline pid_t tessaron = 0;
};

}  // namespace tessaron::testing
