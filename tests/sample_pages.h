// Pages of our own for the real-browser tests and the demo: emoji in titles, an iframe, a list, a link, a
// password field holding a value, long text, and a plain coloured area to the right of the text, so that a
// screenshot shows whose pixels it holds.
#pragma once

#include <string>

#include "tests/desktop_session.h"

namespace tessaron::testing {

struct SamplePage {
  std::string path;        // "/chromium/harbour.html"
  std::string title;       // the page's <title>
  std::string marker;      // a word only this page holds
  std::string background;  // CSS colour "rgb(r, g, b)"
  // Where a large block sits (CSS left, top, width, height in px): pages that differ only in words look alike
  // to a perceptual hash, so each page gets a shape of its own.
  std::string block = "left:600px;top:40px;width:300px;height:300px";
  std::string blockColour = "#fff";
};

inline std::string samplePageHtml(const SamplePage& page, const std::string& framePath) {
  std::string longText;
  static const char* words[] = {"lantern", "meadow",  "quarry",  "velvet", "harbour", "cinder",
                                "orchard", "pebble",  "thistle", "walnut", "beacon",  "saffron",
                                "glacier", "juniper", "marble",  "tundra"};
  for (int i = 0; i < 400; ++i) {
    longText += words[(i * 7 + 3) % 16];
    longText += (i % 13 == 12) ? ". " : " ";
  }
  return "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + page.title +
         "</title><style>body{margin:0;background:" + page.background +
         ";font:16px sans-serif;color:#fff}main{width:520px;padding:12px}iframe{width:480px;height:90px;"
         "border:1px solid #fff}#block{position:absolute;" +
         page.block + ";background:" + page.blockColour +
         "}</style></head><body><div id=\"block\"></div><main><h1>" + page.marker +
         " heading</h1><p>First paragraph mentions " + page.marker +
         " and a <a href=\"/elsewhere.html\">link to elsewhere</a> in the middle.</p><ul><li>List item "
         "one</li><li>List item two</li></ul><p>Sign in: <input type=\"password\" aria-label=\"Password\" "
         "value=\"hunter2secret\"></p><iframe src=\"" +
         framePath + "\" title=\"inner frame\"></iframe><p>" + longText + "</p><p>Closing line of " +
         page.marker + ".</p></main>" + PageServer::navigationScript() + "</body></html>";
}

inline std::string sampleFrameHtml(const std::string& word) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Frame</title></head>"
         "<body style=\"margin:4px;background:#fff;color:#000\"><p>Framed words: " +
         word + " inside.</p></body></html>";
}

// Adds the page and its frame to the server.
inline void addSamplePage(PageServer& pages, const SamplePage& page) {
  const std::string framePath = page.path.substr(0, page.path.rfind('.')) + "-frame.html";
  pages.add(page.path, samplePageHtml(page, framePath));
  pages.add(framePath, sampleFrameHtml(page.marker + "framed"));
}

// The two pages of the suites whose windows are cut from a shared screen (GNOME, KDE): a blue one for
// Chromium and an orange one for Firefox, told apart by their pixels.
inline const SamplePage harbourPage{"/chromium/harbour.html", "Harbour Lights", "harbourmarker",
                                    "rgb(40, 110, 220)"};
inline const SamplePage orchardPage{"/firefox/orchard.html", "Orchard Rows", "orchardmarker",
                                    "rgb(220, 80, 40)"};

}  // namespace tessaron::testing
