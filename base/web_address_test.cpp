#include "base/web_address.h"

#include <gtest/gtest.h>

namespace tessaron::web {
namespace {

TEST(WebAddress, HostsComeInTheFormBrowsersGiveThem) {
  EXPECT_EQ(hostOf("https://WWW.Bank.Example./login?next=/"), "www.bank.example");
  EXPECT_EQ(hostOf("http://user:pw@host.example:8080"), "host.example");
  EXPECT_EQ(hostOf("http://[::1]:5000/x"), "[::1]");
  EXPECT_EQ(hostOf("http://evil.example\\@bank.example/"), "evil.example") << "as browsers read a backslash";
  EXPECT_EQ(hostOf("http://bücher.example/"), "xn--bcher-kva.example");
  EXPECT_EQ(hostOf("http://b%C3%BCcher.example/"), "xn--bcher-kva.example");
  EXPECT_EQ(hostOf("http://www.bank.例え/"), "www.bank.xn--r8jz45g");
  EXPECT_EQ(hostOf("http://XN--BCHER-KVA.example/"), "xn--bcher-kva.example");
  EXPECT_EQ(hostOf("https://news.example/%zz?q=%#frag%"), "news.example") << "a broken escape after the host";
  for (const char* none : {"about:blank", "file:///home/a/page.html", "data:text/html,hi", "", "bank.example"})
    EXPECT_EQ(hostOf(none), "") << none;
}

TEST(WebAddress, UnicodeNamesHaveTheirIdnaForms) {
  EXPECT_EQ(asciiHost("Bücher.Example."), "xn--bcher-kva.example");
  EXPECT_EQ(asciiHost("bank.例え"), "bank.xn--r8jz45g");
  EXPECT_EQ(asciiHost("straße.example"), "xn--strae-oqa.example");
  EXPECT_EQ(olderAsciiHost("straße.example"), "strasse.example") << "what older rules make of it";
  EXPECT_EQ(olderAsciiHost("bücher.example"), std::nullopt) << "the same under both rules";
  EXPECT_EQ(asciiHost("::1"), "[::1]");
  for (const char* bad : {"", ".", "bad host", "a..b", "x/y", "[zz]"})
    EXPECT_EQ(asciiHost(bad), std::nullopt) << bad;
}

TEST(WebAddress, SiteIsTheHostOfAWebPageWithoutWww) {
  EXPECT_EQ(siteOf("https://www.Bank.example/a"), "bank.example");
  EXPECT_EQ(siteOf("HTTP://www.bücher.example/"), "xn--bcher-kva.example");
  EXPECT_EQ(siteOf("https://www./"), "www") << "a host that is only www stays itself";
  EXPECT_EQ(siteOf("ftp://files.example/"), "");
  EXPECT_EQ(siteOf("file:///tmp/x.html"), "");
  EXPECT_TRUE(isWebAddress("https://a.example"));
  EXPECT_FALSE(isWebAddress("chrome://settings"));
}

}  // namespace
}  // namespace tessaron::web
