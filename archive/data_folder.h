// Where the archive lives for this person: the data folder "tessaron/AppData" in their application-support
// folder, shared by the capture engine, which writes it, and the search server, which is told it. A sealed
// archive's data folder lies in its store's open folder instead, and is there only while the store is open.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace tessaron {

// Where the archive is now.
struct ArchiveLocation {
  std::filesystem::path dataFolder;
  // A sealed archive: its store's open folder, where the data folder and the server's cache lie.
  std::optional<std::filesystem::path> sealedRoot;
  // False while a sealed archive is locked: nothing may be written to or read from the data folder then.
  bool open = true;
};

// The program says where the archive is once it knows (a sealed archive opens and closes while it runs);
// until then, and in a program that never says (the tests of the engine alone), the plain data folder is
// used. `where` is asked from any thread.
void setArchiveLocation(std::function<std::optional<ArchiveLocation>()> where);
// Where the program said; none when it has not (or cannot tell: no application-support folder).
std::optional<ArchiveLocation> archiveLocation();

// The data folder, created when missing (and closed to other users, once, when it was open); none when the
// platform cannot give the application-support folder, the data folder cannot be created, or the archive is
// sealed and locked.
std::optional<std::filesystem::path> appDataFolder();
// Whether the archive is sealed and not open now: nothing is recorded, and why is said elsewhere.
bool archiveIsLocked();
// The plain data folder, "tessaron/AppData" in the application-support folder (not created); none when the
// platform cannot give that folder.
std::optional<std::filesystem::path> plainDataFolder();

}  // namespace tessaron
