// Sealing an archive that was kept in plain files: its records move into the open sealed store one at a
// time, and each leaves the plain folder only once it is whole in the store. Killed at any moment, the next
// run picks up where it stopped, and every record is in one place or the other, whole (a record half-copied
// into the store is copied again over itself).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace tessaron::seal {

struct Conversion {
  std::size_t moved = 0;             // records now in the store
  std::size_t personsOwn = 0;        // files that are no record's, left where they were
  std::optional<std::string> error;  // why it stopped before the end; none when the plain archive is empty
};

// Moves every record of the plain data folder `plain` into `sealedData` (the data folder inside the open
// store), then removes the plain day folders it emptied and the plain folder when nothing else is in it.
// `progress` is told the records moved so far and the number there were at the start.
Conversion movePlainRecords(const std::filesystem::path& plain, const std::filesystem::path& sealedData,
                            const std::function<void(std::size_t moved, std::size_t total)>& progress = {});

// How many records the plain data folder holds.
std::size_t countPlainRecords(const std::filesystem::path& plain);

}  // namespace tessaron::seal
