// Words that only pixels carry, read with OCR from real Chromium and Firefox windows on a private X11
// desktop: a page that draws words on a <canvas> and shows a picture of words among its ordinary text, and a
// page that is nothing but a canvas of words. Only what the accessibility tree lacks is read.
#include <gtest/gtest.h>

#include "tests/archive_files.h"
#include "tests/desktop_suite.h"

namespace tessaron::testing {
namespace {

using namespace std::chrono_literals;

// Words drawn on a canvas by the page's script.
std::string canvasScript(const std::string& id, const std::vector<std::string>& lines) {
  std::string draw = "<script>(function(){const g=document.getElementById('" + id +
                     "').getContext('2d');g.fillStyle='#fff';g.fillRect(0,0,g.canvas.width,g.canvas.height);"
                     "g.fillStyle='#111';g.font='30px DejaVu Sans';";
  for (std::size_t i = 0; i < lines.size(); ++i)
    draw += "g.fillText('" + lines[i] + "',20," + std::to_string(50 + 50 * i) + ");";
  return draw + "})();</script>";
}

// A picture of words, without a description: its words are in no accessible text.
std::string pictureOfWords(const std::string& words) {
  return "<img src=\"data:image/svg+xml;utf8,<svg xmlns='http://www.w3.org/2000/svg' width='600' height='90'>"
         "<rect width='600' height='90' fill='white'/><text x='20' y='58' font-family='DejaVu Sans' "
         "font-size='32' fill='black'>" +
         words + "</text></svg>\" width=\"600\" height=\"90\">";
}

std::string mixedPage(const std::string& marker) {
  std::string text;
  for (int i = 0; i < 12; ++i)
    text += "The ordinary words of this page are in its accessibility tree already, " + marker + ". ";
  return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Charts and notices</title>"
         "<style>body{margin:10px;background:#fff;font:16px sans-serif}</style></head><body><p>" +
         text + "</p><canvas id=\"chart\" width=\"640\" height=\"130\"></canvas>" +
         canvasScript("chart", {"Quarterly harvest figures", "rose sharply in November"}) + "<p>" +
         pictureOfWords("Lighthouse keepers gather Tuesday") + "</p></body></html>";
}

// A notice that is a heading and a picture of two lines of words marked decorative (alt=""), so that the
// picture is not in the accessibility tree at all.
std::string noticePage() {
  return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Notice</title></head>"
         "<body style=\"margin:10px;background:#fff\"><h1>Notice</h1><img alt=\"\" width=\"700\" "
         "height=\"140\" "
         "src=\"data:image/svg+xml;utf8,<svg xmlns='http://www.w3.org/2000/svg' width='700' height='140'>"
         "<rect width='700' height='140' fill='white'/><text font-family='DejaVu Sans' font-size='32' "
         "fill='black'><tspan x='20' y='50'>Harbour closes early</tspan><tspan x='20' y='110'>during autumn "
         "storms</tspan></text></svg>\">" +
         PageServer::navigationScript() + "</body></html>";
}

const char* const canvasOnlyPage =
    "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Whiteboard</title></head>"
    "<body style=\"margin:0;background:#fff\"><canvas id=\"board\" width=\"800\" height=\"200\"></canvas>";

class OcrTest : public DesktopSuite {
 protected:
  static void SetUpTestSuite() {
    session = new DesktopSession(fs::temp_directory_path() / ("tessaron-ocr-" + std::to_string(::getpid())));
    session->pages().add("/chromium/charts.html", mixedPage("chromiummixed"));
    session->pages().add("/firefox/board.html",
                         std::string(canvasOnlyPage) +
                             canvasScript("board", {"Migratory swallows", "return every April"}) +
                             PageServer::navigationScript() + "</body></html>");
    session->pages().add("/firefox/notice.html", noticePage());
    session->startChromium(session->pages().url("/chromium/charts.html"), "Charts and notices");
    session->startFirefox(session->pages().url("/firefox/board.html"), "Whiteboard");
    tessaron = session->startTessaron("tessaron", {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
  }

  // The newest record of the page, once its words hold all of `words`.
  static std::optional<ArchivedRecord> recordWith(const std::string& path,
                                                  const std::vector<std::string>& words) {
    std::optional<ArchivedRecord> found;
    waitFor(
        [&] {
          for (auto& record : readArchive(session->home() / ".local/share/tessaron/AppData"))
            if (record.address == session->pages().url(path) &&
                std::all_of(words.begin(), words.end(), [&](const std::string& word) {
                  return record.body.find(word) != std::string::npos;
                }))
              found = std::move(record);
          return found.has_value();
        },
        120s);
    return found;
  }
};

TEST_F(OcrTest, ACanvasAndAPictureOfWordsAreReadBesideTheTreesText) {
  const auto record =
      recordWith("/chromium/charts.html", {"chromiummixed", "harvest", "November", "Lighthouse"});
  ASSERT_TRUE(record) << session->log("tessaron");
  EXPECT_NE(record->body.find("Tuesday"), std::string::npos) << record->body;
  EXPECT_EQ(record->body.find("chromiummixed"), record->body.find("chromiummixed."))
      << "the tree's words first";
  EXPECT_NE(session->log("tessaron").find("Words in pictures are read in: eng"), std::string::npos);
}

TEST_F(OcrTest, APageThatGivesAlmostNoTextIsReadWhole) {
  const auto record = recordWith("/firefox/board.html", {"swallows", "April"});
  ASSERT_TRUE(record) << session->log("tessaron");
}

TEST_F(OcrTest, EachPageIsReadOnceNotAtEveryPass) {
  ASSERT_TRUE(recordWith("/chromium/charts.html", {"Lighthouse"}));
  ASSERT_TRUE(recordWith("/firefox/board.html", {"swallows"}));
  // Three more passes of the same windows: the screenshots are unchanged, so nothing is read again.
  const std::size_t read = countInLog("Reading the words of");
  ASSERT_TRUE(waitForPasses(3));
  EXPECT_EQ(countInLog("Reading the words of"), read);
}

// Firefox places its document below its toolbars: a page whose only words are in a decorative picture is read
// whole there (and never the toolbars, whose words would come first).
TEST_F(OcrTest, AFirefoxPageThatIsAPictureOfWordsIsReadWhole) {
  session->pages().navigate("firefox", "/firefox/notice.html");
  const auto record = recordWith("/firefox/notice.html", {"Harbour", "early", "autumn", "storms"});
  ASSERT_TRUE(record) << session->log("tessaron");
  EXPECT_EQ(record->body.find("Notice"), 0U)
      << "the tree's heading first, then the picture's words: " << record->body;
}

}  // namespace
}  // namespace tessaron::testing
