// server --appdata=FOLDER [--sealed=OPEN_FOLDER]: full-text search of the archive on http://127.0.0.1:5000/.
// With --sealed, the archive is a sealed store's, seen at OPEN_FOLDER while it is open: until it is, every
// page says that the archive is locked, and the index and thumbnails are kept in OPEN_FOLDER/Cache.
//
// Reads the archive, and writes it only to take out what the person asks to forget on its pages (and, when
// asked there, to add a site to the settings' excluded sites). The index lives in $XDG_CACHE_HOME/tessaron/
// (default ~/.cache) and can be deleted at any time: it is rebuilt from the archive. SIGTERM and SIGINT end
// it cleanly.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "archive/layout.h"
#include "archive/private_files.h"
#include "base/search_address.h"
#include "seal/sealed_store.h"
#include "searchserver/http_server.h"
#include "searchserver/index_keeper.h"
#include "searchserver/thumbnails.h"
#include "searchserver/web.h"

namespace fs = std::filesystem;

namespace {

// A folder of this user's own where anyone may make folders (/dev/shm, /tmp): the usual name, or, when
// someone else has taken that name, a new one that nobody could have guessed.
fs::path ownFolderIn(const fs::path& shared, const std::string& name) {
  const fs::path usual = shared / name;
  if (tessaron::archive::isOwnPrivateFolder(usual)) return usual;
  std::string unguessable = (shared / (name + "-XXXXXX")).string();
  if (::mkdtemp(unguessable.data())) return unguessable;
  return "/dev/null/tessaron";  // no folder of our own to be had: nothing can be made under this path
}

fs::path cacheFolder() {
  if (auto folder = tessaron::archive::userCacheFolder()) return *folder;
  static const fs::path shared =
      ownFolderIn(fs::temp_directory_path(), "tessaron-cache-" + std::to_string(::getuid()));
  return shared;
}

// Where the index is kept while the cache cannot be written: the user's runtime folder, which is memory.
fs::path memoryFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
    return fs::path(runtime) / "tessaron";
  return ownFolderIn("/dev/shm", "tessaron-" + std::to_string(::getuid()));
}

// Serves the locked page until the sealed store is open at `root` with its data folder in it: true then;
// false when told to end meanwhile; none when the port cannot be had.
std::optional<bool> waitUntilOpen(const fs::path& root, const sigset_t& ending) {
  auto isOpen = [&root] {
    std::error_code ec;
    return tessaron::seal::isMountPoint(root) && fs::is_directory(root / "AppData", ec);
  };
  if (isOpen()) return true;
  std::optional<tessaron::search::HttpServer> locked;
  try {
    locked.emplace(tessaron::searchPort, tessaron::search::makeLockedHandler(),
                   tessaron::search::HttpLimits{},
                   [](const tessaron::search::HttpRequest&) { return false; });
  } catch (const std::exception& error) {
    std::fprintf(stderr, "server: %s\n", error.what());
    return std::nullopt;
  }
  for (;;) {
    timespec wait{0, 250'000'000};
    if (::sigtimedwait(&ending, nullptr, &wait) > 0) return false;
    if (isOpen()) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view prefix = "--appdata=";
  constexpr std::string_view sealedPrefix = "--sealed=";
  if (argc < 2 || argc > 3 || std::string_view(argv[1]).substr(0, prefix.size()) != prefix ||
      (argc == 3 && std::string_view(argv[2]).substr(0, sealedPrefix.size()) != sealedPrefix)) {
    std::fprintf(stderr, "usage: server --appdata=FOLDER [--sealed=OPEN_FOLDER]\n");
    return 2;
  }
  // The index and the thumbnails hold the archive's words and pictures: whatever this process makes is its
  // user's alone.
  ::umask(077);
  // A sealed archive's data folder lies in its store's open folder, and so does the cache: nothing of it is
  // written anywhere else.
  std::optional<fs::path> sealedRoot;
  if (argc == 3) sealedRoot = fs::path(std::string_view(argv[2]).substr(sealedPrefix.size()));

  // Termination signals are taken by one thread, which stops the listener; everything else then unwinds.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (sealedRoot) {
    const auto opened = waitUntilOpen(*sealedRoot, set);
    if (!opened) return 1;
    if (!*opened) return 0;  // told to end while locked
  }
  std::error_code ec;
  const fs::path archive =
      fs::weakly_canonical(fs::path(std::string_view(argv[1]).substr(prefix.size())), ec);
  const fs::path cache = sealedRoot ? *sealedRoot / "Cache" : cacheFolder();
  const auto storage = sealedRoot ? tessaron::search::Storage::sealed : tessaron::search::Storage::plainFiles;

  try {
    const std::string indexName = tessaron::archive::indexFileName(archive);
    // Caches made before were as open as the umask left them.
    if (auto tightened = tessaron::archive::makePrivate(cache); tightened && *tightened > 0)
      std::fprintf(stderr,
                   "server: the cache %s could be read by other users: it is now private (%zu changed)\n",
                   cache.c_str(), *tightened);
    // Thumbnails beside the index, one folder per archive as well; they leave with their records.
    tessaron::search::Thumbnails thumbnails(archive,
                                            cache / fs::path(indexName).replace_extension(".thumbnails"));
    thumbnails.forgetGoneDays();
    tessaron::search::IndexKeeper keeper(
        // A sealed archive's index is never kept outside its store, not even in memory files that outlive
        // the server.
        archive, {cache / indexName, (sealedRoot ? cache : memoryFolder()) / indexName},
        [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); },
        [&thumbnails](const tessaron::search::Forgotten& gone) {
          thumbnails.forget(gone.records, gone.days);
        });
    // Problems with the settings file are tessaron's to report; the page only shows the rules in force.
    tessaron::settings::SettingsFile settings(tessaron::settings::defaultFile().value_or(fs::path()),
                                              [](const std::string&) {});
    // The port first: a second server leaves the index alone.
    std::optional<tessaron::search::HttpServer> server;
    try {
      server.emplace(tessaron::searchPort,
                     tessaron::search::makeHandler(archive, keeper, settings, thumbnails, storage),
                     tessaron::search::HttpLimits{}, tessaron::search::isHeavy);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "server: %s\n", error.what());
      return 1;
    }
    std::jthread indexing([&](std::stop_token stop) { keeper.run(stop, std::chrono::seconds(2)); });
    if (sealedRoot) {
      // A sealed archive's server ends when the store closes: from then on its folder is an empty folder on
      // the disk, and nothing may be written there.
      for (;;) {
        timespec wait{1, 0};
        if (::sigtimedwait(&set, nullptr, &wait) > 0) break;
        if (!tessaron::seal::isMountPoint(*sealedRoot)) {
          std::fprintf(stderr, "server: the sealed archive was closed; ending\n");
          break;
        }
      }
    } else {
      int signal = 0;
      sigwait(&set, &signal);
    }
    server.reset();  // no new requests; then the indexer stops with the thread
  } catch (const std::exception& error) {
    std::fprintf(stderr, "server: %s\n", error.what());
    return 1;
  }
  return 0;
}
