#include "settings/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace tessaron::settings {
namespace {

namespace fs = std::filesystem;

TEST(HostPattern, ExactHostsAndWholeDomains) {
  const auto exact = HostPattern::parse("Bank.Example.");
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->text(), "bank.example");
  EXPECT_TRUE(exact->matches("bank.example"));
  EXPECT_TRUE(exact->matches("www.bank.example")) << "www. names the same site";
  EXPECT_FALSE(exact->matches("mail.bank.example")) << "an exact host has no other subdomains";
  EXPECT_FALSE(exact->matches("notbank.example"));
  EXPECT_TRUE(HostPattern::parse("www.bank.example")->matches("bank.example"));

  const auto domain = HostPattern::parse("*.health.example");
  ASSERT_TRUE(domain);
  EXPECT_TRUE(domain->matches("health.example"));
  EXPECT_TRUE(domain->matches("a.b.health.example"));
  EXPECT_FALSE(domain->matches("unhealth.example")) << "a suffix match must end at a dot";
  EXPECT_FALSE(domain->matches("health.example.org"));

  const auto pasted = HostPattern::parse("https://user@Mail.Example:8443/inbox?x#y");
  ASSERT_TRUE(pasted) << "a pasted address stands for its host";
  EXPECT_EQ(pasted->text(), "mail.example");
  EXPECT_FALSE(pasted->withSubdomains);
  EXPECT_EQ(HostPattern::parse("[::1]")->domain, "[::1]");
  for (const char* bad : {"", "*.", "*bank.example", "bank..example", "bank example", "bank.example/login",
                          "https://", "a*b.example"})
    EXPECT_FALSE(HostPattern::parse(bad)) << bad;
}

TEST(HostPattern, SitesWrittenInAnyFormExcludeThePagesBrowsersShow) {
  Settings settings;
  for (const char* site : {"bücher.example", "*.bank.例え", "XN--STRAE-OQA.example", "Straße.example"})
    settings.excludedSites.push_back(*HostPattern::parse(site));
  EXPECT_EQ(settings.excludedSites[1].text(), "*.bank.例え") << "shown as the person wrote it";
  for (const char* seen : {"http://xn--bcher-kva.example/", "http://www.bank.xn--r8jz45g/",
                           "http://bücher.example/", "HTTP://WWW.BÜCHER.EXAMPLE./", "https://bank.例え/",
                           "https://xn--strae-oqa.example/", "https://strasse.example/"})
    EXPECT_TRUE(isExcluded(settings, seen)) << seen;
  for (const char* other :
       {"http://bucher.example/", "http://bank.xn--r8jz45g.org/", "https://strase.example/"})
    EXPECT_FALSE(isExcluded(settings, other)) << other;
}

TEST(Addresses, Exclusion) {
  Settings settings;
  settings.excludedSites = {*HostPattern::parse("bank.example"), *HostPattern::parse("*.health.example")};
  EXPECT_TRUE(isExcluded(settings, "https://bank.example/"));
  EXPECT_TRUE(isExcluded(settings, "https://clinic.health.example/results"));
  EXPECT_TRUE(isExcluded(settings, "https://a@bank.example:443"));
  EXPECT_TRUE(isExcluded(settings, "https://www.bank.example/"));
  EXPECT_FALSE(isExcluded(settings, "http://evil.example\\@bank.example/"))
      << "a backslash ends the host, as browsers read it";
  EXPECT_FALSE(isExcluded(settings, "https://news.example/bank.example"));
  EXPECT_FALSE(isExcluded(settings, ""));
  EXPECT_FALSE(isExcluded(Settings{}, "https://bank.example/"));
}

TEST(Parse, AGoodFile) {
  Parsed parsed = parse(R"({"excludedSites": ["bank.example", "*.health.example"], "keepDays": 30,
                           "maxArchiveGB": 2.5, "minFreeGB": 0, "ocr": false})");
  ASSERT_TRUE(parsed.settings);
  EXPECT_TRUE(parsed.problems.empty());
  EXPECT_EQ(parsed.settings->excludedSites.size(), 2U);
  EXPECT_EQ(parsed.settings->keepDays, 30);
  EXPECT_DOUBLE_EQ(parsed.settings->maxArchiveGB, 2.5);
  EXPECT_EQ(parsed.settings->minFreeGB, 0.0) << "0 turns the floor off, unlike a missing key";
  EXPECT_FALSE(parsed.settings->ocr);
  EXPECT_TRUE(parse("{}").settings->ocr) << "on unless switched off";
  EXPECT_EQ(parse("{}").settings, Settings{});
  EXPECT_FALSE(parse("{}").settings->minFreeGB);
}

TEST(Parse, BrokenFilesNameThePlaceAndWhatWasExpected) {
  Parsed syntax = parse("{\n  \"excludedSites\": [\"bank.example\"\n  \"keepDays\": 1}");
  EXPECT_FALSE(syntax.settings);
  ASSERT_EQ(syntax.problems.size(), 1U);
  EXPECT_TRUE(syntax.problems[0].starts_with("line 3, column ")) << syntax.problems[0];

  Parsed type =
      parse(R"({"excludedSites": "bank.example", "keepDays": -1, "maxArchiveGB": "lots", "minFreeGB": -2,
               "ocr": "no"})");
  EXPECT_FALSE(type.settings) << "a key of the wrong type makes the whole file unusable";
  ASSERT_EQ(type.problems.size(), 5U);
  EXPECT_TRUE(type.problems[0].starts_with("/excludedSites: expected an array of host names"))
      << type.problems[0];
  EXPECT_EQ(type.problems[1], "/keepDays: expected a whole number of days, 0 or more (0 keeps every day)");
  EXPECT_EQ(type.problems[2], "/maxArchiveGB: expected a number of gigabytes, 0 or more (0: no limit)");
  EXPECT_EQ(type.problems[3], "/minFreeGB: expected a number of gigabytes, 0 or more (0: no floor)");
  EXPECT_EQ(type.problems[4], "/ocr: expected true or false (false: words in pictures are not read)");

  Parsed item = parse(R"({"excludedSites": ["bank.example", 7, "bad host"]})");
  EXPECT_FALSE(item.settings) << "dropping one pattern would record a site the person meant to exclude";
  ASSERT_EQ(item.problems.size(), 2U);
  EXPECT_TRUE(item.problems[0].starts_with("/excludedSites/1: expected")) << item.problems[0];
  EXPECT_TRUE(item.problems[1].starts_with("/excludedSites/2: expected"));

  EXPECT_FALSE(parse("[1, 2]").settings);
  EXPECT_FALSE(parse("").settings);
}

TEST(Parse, UnknownKeysAreReportedAndIgnored) {
  Parsed parsed = parse(R"({"excludedSites": ["bank.example"], "keepdays": 3})");
  ASSERT_TRUE(parsed.settings);
  EXPECT_EQ(parsed.settings->excludedSites.size(), 1U);
  EXPECT_EQ(parsed.settings->keepDays, 0);
  ASSERT_EQ(parsed.problems.size(), 1U);
  EXPECT_TRUE(parsed.problems[0].starts_with("/keepdays: unknown setting, ignored")) << parsed.problems[0];
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()) + "-" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    file = folder / "settings.json";
  }
  void TearDown() override { fs::remove_all(folder); }
  // Replaces the file as editors do (a new file renamed over the old), so each version is a new inode.
  void write(const std::string& text) {
    const fs::path temporary = folder / "settings.json.new";
    std::ofstream(temporary) << text;
    fs::rename(temporary, file);
  }
  fs::path folder, file;
  std::vector<std::string> reported;
};

TEST_F(SettingsFileTest, ReadAtStartAgainOnChangeAndProblemsReportedOncePerVersion) {
  SettingsFile watched(file, [this](const std::string& line) { reported.push_back(line); });
  EXPECT_FALSE(watched.refresh()) << "no file: the defaults";
  EXPECT_EQ(watched.current(), Settings{});

  write(R"({"excludedSites": ["bank.example"]})");
  EXPECT_TRUE(watched.refresh());
  EXPECT_EQ(watched.current().excludedSites.size(), 1U);
  EXPECT_FALSE(watched.refresh()) << "an unchanged file is not read again";

  write(R"({"excludedSites": ["bank.example", )");
  EXPECT_FALSE(watched.refresh());
  EXPECT_FALSE(watched.refresh());
  ASSERT_EQ(reported.size(), 1U) << "reported once, not at every look";
  EXPECT_NE(reported[0].find(file.string()), std::string::npos) << reported[0];
  EXPECT_NE(reported[0].find("keeping the settings in force"), std::string::npos) << reported[0];
  EXPECT_EQ(watched.current().excludedSites.size(), 1U) << "a broken file keeps the last good exclusions";

  write(R"({"excludedSites": ["bank.example", "*.health.example"], "colour": "blue"})");
  EXPECT_TRUE(watched.refresh());
  EXPECT_EQ(watched.current().excludedSites.size(), 2U);
  ASSERT_EQ(reported.size(), 2U);
  EXPECT_NE(reported[1].find("/colour: unknown setting"), std::string::npos) << reported[1];

  fs::remove(file);
  EXPECT_TRUE(watched.refresh()) << "a removed file means the defaults";
  EXPECT_EQ(watched.current(), Settings{});
  ASSERT_EQ(reported.size(), 3U);
  EXPECT_NE(reported[2].find("is gone"), std::string::npos);
}

TEST_F(SettingsFileTest, AnUnreadableFileKeepsTheExclusionsInForce) {
  SettingsFile watched(file, [this](const std::string& line) { reported.push_back(line); });
  write(R"({"excludedSites": ["bank.example"]})");
  ASSERT_TRUE(watched.refresh());
  // A folder where the file should be cannot be read as one, even by root.
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_FALSE(watched.refresh());
  EXPECT_EQ(watched.current().excludedSites.size(), 1U);
  ASSERT_EQ(reported.size(), 1U);
  EXPECT_NE(reported[0].find("cannot be read"), std::string::npos) << reported[0];
  fs::remove(file);
}

TEST_F(SettingsFileTest, OnlyARegularFileOfBoundedSizeIsReadAndItsProblemsAreFewShortLines) {
  SettingsFile watched(file, [this](const std::string& line) { reported.push_back(line); });
  write(R"({"excludedSites": ["bank.example"]})");
  ASSERT_TRUE(watched.refresh());
  auto readsAs = [&](const std::string& expected) {
    reported.clear();
    EXPECT_FALSE(watched.refresh());
    EXPECT_EQ(watched.current().excludedSites.size(), 1U) << "the exclusions in force stay";
    return reported.size() == 1 && reported[0].find(expected) != std::string::npos;
  };
  // A pipe with no writer: opening it must not wait for one.
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_TRUE(readsAs("cannot be read (it is not a regular file)")) << ::testing::PrintToString(reported);
  fs::remove(file);
  fs::create_symlink("/dev/zero", file);
  EXPECT_TRUE(readsAs("cannot be read (it is not a regular file)")) << ::testing::PrintToString(reported);
  fs::remove(file);
  write("[" + std::string(2 << 20, ' ') + "]");
  EXPECT_TRUE(readsAs("cannot be read (it is larger than 1024 KB)")) << ::testing::PrintToString(reported);

  // Thousands of wrong entries and a key of 100,000 characters: a few lines, none of them long.
  std::string sites;
  for (int i = 0; i < 5000; ++i)
    sites += (i ? "," : "") + std::to_string(i);
  write(R"({"excludedSites": [)" + sites + R"(], ")" + std::string(100000, 'k') + R"(": 1})");
  reported.clear();
  EXPECT_FALSE(watched.refresh());
  EXPECT_EQ(reported.size(), maxProblemLines + 1) << ::testing::PrintToString(reported);
  for (const std::string& line : reported)
    EXPECT_LT(line.size(), 400U) << line.substr(0, 400);
  EXPECT_NE(reported.back().find("more problems"), std::string::npos) << reported.back();
  fs::remove(file);
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(SettingsFileTest, AnExcludedSiteIsAddedKeepingEverythingElseOrNotAtAll) {
  const fs::path fresh = folder / "new" / "settings.json";
  ASSERT_EQ(addExcludedSite(fresh, "Bank.Example"), std::nullopt);
  EXPECT_EQ(parse(readAll(fresh)).settings->excludedSites, std::vector{*HostPattern::parse("bank.example")})
      << "a file is made when there is none";

  write(R"({"keepDays": 30, "excludedSites": ["shop.example"], "ocr": false, "futureKey": [1, 2]})");
  ::chmod(file.c_str(), 0600);
  ASSERT_EQ(addExcludedSite(file, "*.health.example"), std::nullopt);
  ASSERT_EQ(addExcludedSite(file, "www.shop.example"), std::nullopt) << "already excluded, in another form";
  const std::string text = readAll(file);
  const Parsed kept = parse(text);
  ASSERT_TRUE(kept.settings);
  EXPECT_EQ(kept.settings->keepDays, 30);
  EXPECT_FALSE(kept.settings->ocr);
  EXPECT_NE(text.find("futureKey"), std::string::npos) << "a key this version does not know stays";
  EXPECT_EQ(kept.settings->excludedSites,
            (std::vector{*HostPattern::parse("shop.example"), *HostPattern::parse("*.health.example")}));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  for (const char* unusable : {R"({"excludedSites": "bank.example"})", "{not json"}) {
    write(unusable);
    const auto problem = addExcludedSite(file, "bank.example");
    ASSERT_TRUE(problem) << unusable;
    EXPECT_NE(problem->find("is not usable settings"), std::string::npos) << *problem;
    EXPECT_EQ(readAll(file), unusable) << "left as it was";
  }
  EXPECT_TRUE(addExcludedSite(file, "not a site"));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
    ++files;
  EXPECT_EQ(files, 2U) << "no temporary file is left beside it";
}

}  // namespace
}  // namespace tessaron::settings
