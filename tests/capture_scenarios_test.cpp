// Runs capture passes over the scenario files in tests/capture/ and compares the archive they leave (names,
// image sizes, exact text bytes), the log and standard output with the .expected file beside each.
//
// An .expected file starts with "passes: N" and may name a plain file to create in the data folder before
// the first pass ("plain-file: 20240301") and the settings file's text ("settings: {...}").
// TESSARON_UPDATE_GOLDEN=1 rewrites the .expected files from what the engine does; review the diff before
// committing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "capture/capture.h"
#include "capture/engine.h"
#include "platform/sim/sim_scenario.h"

namespace tessaron {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Header {
  int passes = 1;
  std::vector<std::string> plainFiles;
  std::string settings;  // the settings file's text, when the scenario has one
};

Header readHeader(const std::string& expected) {
  Header header;
  std::istringstream in(expected);
  std::string line;
  while (std::getline(in, line) && line.rfind("---", 0) != 0) {
    if (line.rfind("passes: ", 0) == 0) header.passes = std::stoi(line.substr(8));
    if (line.rfind("plain-file: ", 0) == 0) header.plainFiles.push_back(line.substr(12));
    if (line.rfind("settings: ", 0) == 0) header.settings = line.substr(10);
  }
  return header;
}

// The archive as text: every file under the data folder, sorted; images by size, text files by their bytes.
std::string describeArchive(const fs::path& dataFolder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dataFolder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_directory()) files.push_back(fs::relative(it->path(), dataFolder));
  std::sort(files.begin(), files.end());
  std::string out;
  for (const auto& file : files) {
    const fs::path full = dataFolder / file;
    out += file.string();
    if (file.extension() == ".png") {
      auto image = OSImageFromData([&] {
        std::string bytes = readText(full);
        return OSData(bytes.begin(), bytes.end());
      }());
      out += image ? "  " + std::to_string(image->width()) + "x" + std::to_string(image->height())
                   : "  not an image";
    } else {
      out += "  " + nlohmann::json(readText(full)).dump();
    }
    out += "\n";
  }
  return out;
}

class CaptureScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureScenario, ArchiveLogAndOutputMatch) {
  const fs::path scenario = fs::path(TESSARON_SCENARIO_DIR) / (GetParam() + ".json");
  const fs::path expectedFile = fs::path(TESSARON_SCENARIO_DIR) / (GetParam() + ".expected");
  const std::string expected = readText(expectedFile);
  const Header header = readHeader(expected);

  auto desktop = platform::sim::loadScenario(scenario);
  desktop->clockSettings.speed = 0;
  const fs::path root =
      fs::temp_directory_path() / ("tessaron-scenario-" + GetParam() + "-" + std::to_string(::getpid()));
  fs::remove_all(root);
  // The scenario may take the application-support folder away (null); otherwise it lives in a fresh folder.
  if (!desktop->applicationSupportOverride || !desktop->applicationSupportOverride->empty())
    desktop->applicationSupportOverride = root;
  const fs::path dataFolder = root / "tessaron" / "AppData";
  for (const auto& plain : header.plainFiles) {
    fs::create_directories((dataFolder / plain).parent_path());
    std::ofstream(dataFolder / plain) << "not a folder";
  }
  // The person's settings file lives in the scenario's own folder, so a real one never leaks in.
  fs::create_directories(root / "config" / "tessaron");
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  if (!header.settings.empty())
    std::ofstream(root / "config" / "tessaron" / "settings.json") << header.settings;
  platform::ScopedPlatform scoped(desktop->platform());
  auto logs = log::useMemorySink();
  const log::NamingWhatWasSeen namesPinned;  // the expected lines name the pages
  OutputCapture output;
  Engine engineInForce;

  for (int pass = 0; pass < header.passes; ++pass) {
    if (pass > 0) desktop->advance(std::chrono::seconds(5));
    capturePass(engineInForce);
  }

  std::string actual = "passes: " + std::to_string(header.passes) + "\n";
  for (const auto& plain : header.plainFiles)
    actual += "plain-file: " + plain + "\n";
  if (!header.settings.empty()) actual += "settings: " + header.settings + "\n";
  actual += "--- archive\n" + describeArchive(dataFolder);
  actual += "--- log\n";
  for (const auto& m : logs->messages()) {
    std::string text = m.text;
    for (auto at = text.find(root.string()); at != std::string::npos; at = text.find(root.string()))
      text.replace(at, root.string().size(), "$SUPPORT");
    actual += m.category + " " + std::string(log::levelName(m.level)) + ": " + text + "\n";
  }
  actual += "--- stdout\n";
  for (const auto& line : output.lines())
    actual += line + "\n";
  actual += "--- registry\n";
  auto keys = engineInForce.windows.keys();
  std::sort(keys.begin(), keys.end());
  for (auto key : keys)
    actual += std::to_string(key) + "\n";

  fs::remove_all(root);
  if (const char* update = std::getenv("TESSARON_UPDATE_GOLDEN"); update && std::string(update) == "1") {
    std::ofstream(expectedFile, std::ios::binary) << actual;
    GTEST_SKIP() << "rewrote " << expectedFile;
  }
  EXPECT_EQ(actual, expected);
}

std::vector<std::string> scenarios() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(TESSARON_SCENARIO_DIR))
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CaptureScenario, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string name = param.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
}  // namespace tessaron
