// The demo: tessaron on a private X11 desktop with Chromium and Firefox on sample pages. It navigates the
// browsers a few times while tessaron captures, searches the archive through the bundled server, prints
// what was archived and writes a contact sheet of the saved screenshots.
//
// Usage: desktop_demo <bundle folder> <output folder>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "capture/capture.h"
#include "tests/archive_files.h"
#include "tests/desktop_session.h"
#include "tests/sample_pages.h"

namespace {

using namespace std::chrono_literals;
using namespace tessaron::testing;

// A screenshot shrunk to `width` pixels across by averaging whole blocks of pixels.
std::optional<tessaron::platform::RgbaImage> thumbnail(const fs::path& png, std::uint32_t width) {
  const auto decoded = decodePngFile(png);
  if (!decoded || decoded->width < width) return std::nullopt;
  const DecodedPng& header = *decoded;
  const std::vector<std::uint8_t>& rgba = decoded->rgba;
  const std::uint32_t factor = (header.width + width - 1) / width;
  tessaron::platform::RgbaImage out;
  out.width = header.width / factor;
  out.height = header.height / factor;
  out.stride = out.width * 4;
  out.pixels.resize(out.stride * out.height);
  for (std::uint32_t y = 0; y < out.height; ++y)
    for (std::uint32_t x = 0; x < out.width; ++x)
      for (int c = 0; c < 4; ++c) {
        std::uint32_t sum = 0;
        for (std::uint32_t dy = 0; dy < factor; ++dy)
          for (std::uint32_t dx = 0; dx < factor; ++dx)
            sum += rgba[((y * factor + dy) * header.width + x * factor + dx) * 4 +
                        static_cast<std::uint32_t>(c)];
        out.pixels[y * out.stride + x * 4 + static_cast<std::uint32_t>(c)] =
            static_cast<std::uint8_t>(sum / (factor * factor));
      }
  return out;
}

bool writeContactSheet(const std::vector<ArchivedRecord>& shots, const fs::path& file) {
  constexpr std::uint32_t cell = 320, gap = 8, columns = 3;
  std::vector<tessaron::platform::RgbaImage> thumbs;
  std::uint32_t rowHeight = 0;
  for (const auto& shot : shots)
    if (auto thumb = thumbnail(fs::path(shot.text).replace_extension(".png"), cell)) {
      rowHeight = std::max(rowHeight, thumb->height);
      thumbs.push_back(std::move(*thumb));
    }
  if (thumbs.empty()) return false;
  const auto rows = static_cast<std::uint32_t>((thumbs.size() + columns - 1) / columns);
  tessaron::platform::RgbaImage sheet;
  sheet.width = columns * (cell + gap) + gap;
  sheet.height = rows * (rowHeight + gap) + gap;
  sheet.stride = sheet.width * 4;
  sheet.pixels.assign(sheet.stride * sheet.height, 0x30);
  for (std::size_t i = 0; i < thumbs.size(); ++i) {
    const auto& thumb = thumbs[i];
    const std::uint32_t left = gap + static_cast<std::uint32_t>(i % columns) * (cell + gap);
    const std::uint32_t top = gap + static_cast<std::uint32_t>(i / columns) * (rowHeight + gap);
    for (std::uint32_t y = 0; y < thumb.height; ++y)
      std::copy_n(thumb.pixels.data() + y * thumb.stride, thumb.width * 4,
                  sheet.pixels.data() + (top + y) * sheet.stride + left * 4);
  }
  const auto png = tessaron::encodePng(sheet);
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

// A search through the running server's JSON API, as the lines to print.
std::string search(const std::string& query) {
  httplib::Client client("127.0.0.1", 5000);
  client.set_connection_timeout(2);
  client.set_read_timeout(5);
  auto response = client.Get(("/api/search?q=" + httplib::detail::encode_query_param(query)).c_str(),
                             {{"Host", "127.0.0.1:5000"}});
  std::ostringstream out;
  out << "== searching the archive for \"" << query << "\" (http://127.0.0.1:5000/api/search?q=" << query
      << ")\n";
  const auto found = response && response->status == 200
                         ? nlohmann::json::parse(response->body, nullptr, false)
                         : nlohmann::json(nullptr);
  if (!found.is_object()) return out.str() + "   the search server did not answer\n";
  out << "   " << found.value("total", 0) << " records match; the newest:\n";
  int shown = 0;
  for (const auto& hit : found["results"]) {
    if (shown++ == 5) break;
    out << "   " << hit.value("stamp", "") << "  " << hit.value("title", "") << "  <"
        << hit.value("address", "") << ">\n      " << hit.value("snippet", "").substr(0, 110) << "\n";
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: desktop_demo <Tessaron.app folder> <output folder>\n";
    return 2;
  }
  const fs::path bundle = argv[1];
  const fs::path output = argv[2];
  ::signal(SIGPIPE, SIG_IGN);
  // Interrupted, the demo takes its desktop down with it.
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    ::signal(signal, [](int number) {
      DesktopSession::killAllNow();
      ::_exit(128 + number);
    });
  try {
    std::cout << "== starting a private X11 desktop (Xvfb, session bus, accessibility bus, openbox)\n";
    DesktopSession session(output / "desktop");
    const SamplePage harbour{"/chromium/harbour.html", "Harbour Notes \xF0\x9F\x8C\x8A Tide tables",
                             "harbour", "rgb(40, 110, 220)"};
    const SamplePage quarry{"/chromium/quarry.html",
                            "Quarry Survey",
                            "quarry",
                            "rgb(30, 140, 90)",
                            "left:0;top:0;width:1000px;height:420px",
                            "#000"};
    const SamplePage lighthouse{"/chromium/lighthouse.html",
                                "Lighthouse Log \xF0\x9F\x97\xBC",
                                "lighthouse",
                                "rgb(120, 60, 160)",
                                "left:560px;top:300px;width:420px;height:420px",
                                "#ff0"};
    const SamplePage orchard{"/firefox/orchard.html", "Orchard Ledger \xF0\x9F\x8D\x8E Apples", "orchard",
                             "rgb(220, 80, 40)"};
    const SamplePage meadow{"/firefox/meadow.html",
                            "Meadow Field Guide",
                            "meadow",
                            "rgb(90, 90, 90)",
                            "left:0;top:200px;width:1280px;height:300px",
                            "#fff"};
    for (const auto& page : {harbour, quarry, lighthouse, orchard, meadow})
      addSamplePage(session.pages(), page);

    std::cout << "== starting Chromium and Firefox on sample pages served from " << session.pages().url("/")
              << "\n";
    session.startChromium(session.pages().url(harbour.path), "Harbour Notes");
    session.startFirefox(session.pages().url(orchard.path), "Orchard Ledger");

    std::cout << "== running tessaron (" << (bundle / "Contents/MacOS/tessaron").string() << ")\n";
    const pid_t tessaron = session.start("tessaron", {(bundle / "Contents/MacOS/tessaron").string()},
                                         {{"TESSARON_LOG", "stderr"}, {"TESSARON_PLATFORM", "x11"}});
    const fs::path archive = session.home() / ".local/share/tessaron/AppData";
    auto saved = [&] { return readArchive(archive).size(); };
    auto waitForSaves = [&](std::size_t count) { return waitFor([&] { return saved() >= count; }, 20s); };
    waitForSaves(2);
    const std::vector<std::pair<std::string, std::string>> plan = {{"chromium", quarry.path},
                                                                   {"firefox", meadow.path},
                                                                   {"chromium", lighthouse.path},
                                                                   {"chromium", harbour.path}};
    for (const auto& [tag, path] : plan) {
      std::cout << "   " << tag << " goes to " << path << "\n";
      const std::size_t before = saved();
      session.pages().navigate(tag, path);
      waitForSaves(before + 1);
    }
    waitFor([] { return false; }, 6s);  // one more pass over the unchanged windows
    // Asked while tessaron (and so its server) still runs; printed last.
    const std::string searched = search("lantern");
    const int status = session.stop(tessaron, 10s);
    std::cout << "== tessaron ended with status " << status << "\n";

    const std::string log = session.log("tessaron");
    auto count = [&](const std::string& text) { return occurrences(log, text); };
    std::cout << "== log: " << count("Start Screen Capturing") << " capture passes, "
              << count("Screenshot saved") << " screenshots saved, " << count("Close to duplicate")
              << " near-duplicates dropped\n";
    const auto shots = readArchive(archive);
    std::cout << "== the archive (" << archive.string() << "): " << shots.size() << " records\n";
    for (const auto& shot : shots)
      std::cout << "   " << fs::relative(shot.text, archive).replace_extension().string() << "  "
                << shot.title << "\n      <" << shot.address << ">\n";
    const fs::path sheet = output / "contact-sheet.png";
    if (writeContactSheet(shots, sheet))
      std::cout << "== contact sheet of the saved screenshots, in the order above: " << sheet.string()
                << "\n";
    std::cout << searched;
    return status == 0 && !shots.empty() ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
