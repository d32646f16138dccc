// ihash: perceptual image hashes from the command line.
//
//   ihash hash     [--provider aHash|dHash|pHash] FILE...
//   ihash distance [--provider P] FILE_A FILE_B
//   ihash similar  [--provider P] [--threshold N] [--groups] PATH...
//
// Exit status: 0 on success, 1 when a file cannot be read (or, for distance, cannot be hashed), 2 on a usage
// error.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "imagehash/os_image_hashing.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* usageText =
    "usage: ihash hash     [--provider aHash|dHash|pHash] FILE...\n"
    "       ihash distance [--provider aHash|dHash|pHash] FILE_A FILE_B\n"
    "       ihash similar  [--provider aHash|dHash|pHash] [--threshold N] [--groups] PATH...\n"
    "\n"
    "hash      prints each file's 64-bit hash as 16 hex digits, two spaces and the file name\n"
    "          (ffffffffffffffff: the file is not an image this tool can read)\n"
    "distance  prints the number of bits in which the two hashes differ\n"
    "similar   prints every pair of similar images (tab-separated) among the files and the images\n"
    "          found in the folders; --groups prints them grouped, as JSON\n"
    "The provider defaults to pHash; the threshold to the provider's own (pairs at distance <= N).\n";

struct UsageError {
  std::string message;
};

struct Options {
  std::string command;
  OSImageHashingProviderId provider = OSImageHashingProviderPHash;
  std::optional<OSHashDistanceType> threshold;
  bool groups = false;
  std::vector<std::string> paths;
};

Options parse(int argc, char** argv) {
  if (argc < 2) throw UsageError{"no command given"};
  Options options;
  options.command = argv[1];
  if (options.command != "hash" && options.command != "distance" && options.command != "similar")
    throw UsageError{"unknown command \"" + options.command + "\""};
  bool endOfOptions = false;
  for (int i = 2; i < argc; ++i) {
    std::string argument = argv[i];
    if (endOfOptions || argument.empty() || argument[0] != '-') {
      options.paths.push_back(argument);
    } else if (argument == "--") {
      endOfOptions = true;
    } else if (argument == "--provider") {
      if (++i == argc) throw UsageError{"--provider needs a value"};
      std::string name = argv[i];
      options.provider = OSImageHashingProviderIdFromString(&name);
      if (options.provider == OSImageHashingProviderNone)
        throw UsageError{"unknown provider \"" + name + "\" (aHash, dHash or pHash)"};
    } else if (argument == "--threshold" && options.command == "similar") {
      if (++i == argc) throw UsageError{"--threshold needs a value"};
      std::string_view text = argv[i];
      OSHashDistanceType value = -1;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error != std::errc() || end != text.data() + text.size() || value < 0)
        throw UsageError{"--threshold takes a whole number from 0, not \"" + std::string(text) + "\""};
      options.threshold = value;
    } else if (argument == "--groups" && options.command == "similar") {
      options.groups = true;
    } else {
      throw UsageError{"unknown option \"" + argument + "\" for " + options.command};
    }
  }
  if (options.command == "distance" && options.paths.size() != 2)
    throw UsageError{"distance takes two files"};
  if (options.paths.empty()) throw UsageError{options.command + " needs at least one file"};
  return options;
}

std::optional<OSData> readFile(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  OSData data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

void cannotRead(const std::string& path) {
  std::error_code ec;
  std::string reason = fs::is_directory(path, ec) ? "it is a folder" : std::strerror(errno);
  fmt::print(stderr, "ihash: cannot read {}: {}\n", path, reason);
}

std::string hex(OSHashType hash) {
  return fmt::format("{:016x}", static_cast<std::uint64_t>(hash));
}

int hashCommand(const Options& options) {
  int status = 0;
  for (const auto& path : options.paths) {
    auto data = readFile(path);
    if (!data) {
      cannotRead(path);
      status = 1;
      continue;
    }
    OSHashType hash = OSImageHashing::sharedInstance().hashImageData(&*data, options.provider);
    fmt::print("{}  {}\n", hex(hash), path);
    std::fflush(stdout);
  }
  return status;
}

int distanceCommand(const Options& options) {
  OSHashType hashes[2];
  for (int i = 0; i < 2; ++i) {
    auto data = readFile(options.paths[i]);
    if (!data) {
      cannotRead(options.paths[i]);
      return 1;
    }
    hashes[i] = OSImageHashing::sharedInstance().hashImageData(&*data, options.provider);
    if (hashes[i] == OSHashTypeError) {
      fmt::print(stderr, "ihash: {} gives no hash (not a readable image)\n", options.paths[i]);
      return 1;
    }
  }
  fmt::print("{}\n", OSImageHashing::sharedInstance().hashDistance(hashes[0], hashes[1], options.provider));
  return 0;
}

bool looksLikeImage(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".png" || extension == ".tif" || extension == ".tiff";
}

// Reports on standard error once a second, but only for searches that take longer than a second.
class Progress {
 public:
  explicit Progress(std::size_t total)
      : total_(total), thread_([this](std::stop_token stop) { run(stop); }) {}
  void served() { ++served_; }
  void phase(const char* name) { phase_.store(name); }

 private:
  void run(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    while (true) {
      wake.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
      if (stop.stop_requested()) return;
      fmt::print(stderr, "ihash: {} ({} of {} images read)\n", phase_.load(), served_.load(), total_);
    }
  }
  std::size_t total_;
  std::atomic<std::size_t> served_{0};
  std::atomic<const char*> phase_{"hashing"};
  std::jthread thread_;
};

int similarCommand(const Options& options) {
  int status = 0;
  std::vector<std::string> files;
  for (const auto& path : options.paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      std::vector<std::string> found;
      for (auto it =
               fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec) && looksLikeImage(it->path())) found.push_back(it->path().string());
      if (ec) {
        fmt::print(stderr, "ihash: cannot list {}: {}\n", path, ec.message());
        status = 1;
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else {
      files.push_back(path);
    }
  }
  const auto& hashing = OSImageHashing::sharedInstance();
  const OSHashDistanceType threshold =
      options.threshold.value_or(hashing.hashDistanceSimilarityThresholdWithProvider(options.provider));
  std::vector<std::shared_ptr<OSPairTuple>> pairs;
  {
    Progress progress(files.size());
    std::size_t next = 0;
    pairs = hashing.similarImagesWithProvider(
        options.provider, threshold, [&]() -> std::shared_ptr<OSImageTuple> {
          while (next < files.size()) {
            const std::string& file = files[next++];
            progress.served();
            if (auto data = readFile(file))
              return OSImageTuple::tupleWithFirst(std::make_shared<const std::string>(file),
                                                  std::make_shared<const OSData>(std::move(*data)));
            cannotRead(file);
            status = 1;
          }
          progress.phase("comparing");
          return nullptr;
        });
  }
  if (options.groups) {
    nlohmann::json groups = nlohmann::json::object();
    for (const auto& [file, members] : hashing.dictionaryFromSimilarImagesResult(&pairs))
      groups[file] = nlohmann::json(std::vector<std::string>(members.begin(), members.end()));
    fmt::print("{}\n", groups.dump(2));
  } else {
    // Each pair once, in a stable order: the earlier name first, pairs sorted.
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& p : pairs)
      lines.push_back(std::minmax(*p->first, *p->second));
    std::sort(lines.begin(), lines.end());
    for (const auto& [a, b] : lines)
      fmt::print("{}\t{}\n", a, b);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(usageText, stdout);
    return 0;
  }
  try {
    Options options = parse(argc, argv);
    if (options.command == "hash") return hashCommand(options);
    if (options.command == "distance") return distanceCommand(options);
    return similarCommand(options);
  } catch (const UsageError& e) {
    fmt::print(stderr, "ihash: {}\n{}", e.message, usageText);
    return 2;
  }
}
