#include "platform/firefox_private_titles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/windows.h"

namespace tessaron::platform {
namespace {

namespace fs = std::filesystem;

const std::string brand = "Mozilla Firefox";
const std::string dash = " \xE2\x80\x94 ";

TEST(FirefoxPrivateTitles, EveryLanguagesFormIsPrivateAloneAndAfterThePagesTitle) {
  for (const auto& form : firefoxPrivateTitleForms()) {
    SCOPED_TRACE(std::string(form.language));
    ASSERT_FALSE(form.before.empty() && form.after.empty()) << "would take every window for a private one";
    const std::string own = std::string(form.before) + brand + std::string(form.after);
    EXPECT_TRUE(isFirefoxPrivateTitle(own));
    EXPECT_TRUE(isFirefoxPrivateTitle("Tide tables" + dash + own));
    EXPECT_TRUE(isFirefoxPrivateTitle("A \xE2\x80\x94 dashed" + dash + own)) << "a page title with a dash";
    EXPECT_TRUE(isFirefoxPrivateTitle("Tide tables" + dash + std::string(form.before) + "LibreWolf" +
                                      std::string(form.after)))
        << "any browser of the family";
  }
}

TEST(FirefoxPrivateTitles, OrdinaryWindowsAreNot) {
  for (const std::string& title :
       std::vector<std::string>{brand, "Tide tables" + dash + brand, "Private Browsing", "Privater Modus",
                                "Navigation privée de" + dash + brand, "Navigation privée de"})
    EXPECT_FALSE(isFirefoxPrivateTitle(title)) << title;
}

TEST(FirefoxPrivateTitles, TheTitlesSeenOnScreenInFourLanguages) {
  for (const std::string& title : std::vector<std::string>{
           "Notes" + dash + brand + " Private Browsing", "Notes" + dash + brand + " Privater Modus",
           "Notes" + dash + "Navigation privée de " + brand,
           "Notes" + dash + brand +
               " \xE3\x83\x97\xE3\x83\xA9\xE3\x82\xA4\xE3\x83\x99"
               "\xE3\x83\xBC\xE3\x83\x88\xE3\x83\x96\xE3\x83\xA9"
               "\xE3\x82\xA6\xE3\x82\xB8\xE3\x83\xB3\xE3\x82\xB0"}) {
    EXPECT_TRUE(isFirefoxPrivateTitle(title)) << title;
    EXPECT_EQ(browsingPrivacy("Firefox", title, {}, nullptr), WindowPrivacy::privateBrowsing) << title;
  }
}

// The words of the installed language packs themselves: the private window's title as each pack writes it
// (every variant of its form for desktops other than macOS) must be known for a private one.
std::string packStrings(const fs::path& pack) {
  const std::string command = "unzip -p '" + pack.string() + "' 'browser/localization/*/browser/browser.ftl'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string text;
  char buffer[4096];
  while (pipe && !std::feof(pipe.get())) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get());
    if (n == 0) break;
    text.append(buffer, n);
  }
  return text;
}

// The patterns of the message's non-macOS form: each line of it that holds the browser's name.
std::vector<std::string> privateTitlePatterns(const std::string& ftl) {
  std::istringstream in(ftl);
  std::string line;
  bool inMessage = false, inOther = false;
  std::vector<std::string> patterns;
  while (std::getline(in, line)) {
    if (!inMessage) {
      inMessage = line.starts_with("browser-main-private-window-title =");
      continue;
    }
    if (!line.empty() && line[0] != ' ') break;  // the next message
    if (line.find("[macos]") != std::string::npos) inOther = false;
    if (line.find("*[other]") != std::string::npos) inOther = true;
    if (inOther && line.find("{ -brand-full-name") != std::string::npos &&
        line.find("->") == std::string::npos)
      patterns.push_back(std::regex_replace(line, std::regex(R"(^\s*\*?(\[[^\]]*\])?\s*)"), ""));
  }
  return patterns;
}

TEST(FirefoxPrivateTitles, EachInstalledLanguagePacksOwnWords) {
  const fs::path packs = "/usr/lib/firefox-esr/browser/extensions";
  std::size_t checked = 0, english = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(packs, ec)) {
    if (!entry.path().filename().string().starts_with("langpack-")) continue;
    SCOPED_TRACE(entry.path().filename().string());
    const std::string ftl = packStrings(entry.path());
    ASSERT_FALSE(ftl.empty()) << "unreadable language pack";
    const auto patterns = privateTitlePatterns(ftl);
    if (patterns.empty()) {
      ++english;  // the pack leaves the message to the English original
      continue;
    }
    for (const auto& pattern : patterns) {
      const std::string own = std::regex_replace(pattern, std::regex(R"(\{ -brand-full-name[^}]*\})"), brand);
      EXPECT_TRUE(isFirefoxPrivateTitle("Tide tables" + dash + own)) << pattern;
      EXPECT_TRUE(isFirefoxPrivateTitle(own)) << pattern;
    }
    ++checked;
  }
  if (checked + english == 0)
    GTEST_SKIP() << "no language pack in " << packs << " (scripts/setup installs them)";
  std::printf("language packs: %zu with their own words checked, %zu in English\n", checked, english);
}

}  // namespace
}  // namespace tessaron::platform
