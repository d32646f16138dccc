// The sealed archive's store: every file of the archive and of the search server's cache is kept encrypted,
// name and contents, in one folder of ciphertext that can be copied, backed up or synced as it is; while the
// store is open, the same files are seen in plain form at its open folder, and only there, for as long as
// this program runs.
//
// The encryption is gocryptfs's (AES-GCM per file, names encrypted, a master key wrapped by scrypt), run as a
// child process that serves the open folder through FUSE: no cryptography is this program's own. The child is
// told to end when the thread that opened the store ends, and unmounts as it ends, so a program that is
// killed leaves nothing readable mounted.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace tessaron::seal {

struct StorePlaces {
  std::filesystem::path sealed;      // the ciphertext (what a backup holds)
  std::filesystem::path passphrase;  // a second way in, the person's passphrase, when they chose one
  std::filesystem::path open;        // where the plain files are seen while the store is open
};

struct StoreError {
  enum class Kind { wrongKey, engineMissing, failed };
  Kind kind = Kind::failed;
  std::string text;
  std::string description() const { return text; }
};

class SealedStore {
 public:
  explicit SealedStore(StorePlaces places);
  // Closes the store.
  ~SealedStore();
  SealedStore(const SealedStore&) = delete;
  SealedStore& operator=(const SealedStore&) = delete;

  const StorePlaces& places() const { return places_; }
  // Whether the store has been made (its key's wrapping is there).
  bool exists() const;
  bool hasPassphrase() const;

  // Makes a new, empty store whose key is `key`. An error when one exists or the engine fails.
  std::optional<StoreError> create(const std::string& key);
  // Adds the person's passphrase as a second way in, beside the key; a passphrase given before is replaced.
  std::optional<StoreError> setPassphrase(const std::string& key, const std::string& passphrase);

  // Opens the store with its key or the passphrase (from the thread that lives as long as the program: the
  // store closes when that thread ends). A mount left behind by a killed run is taken down first. Blocking,
  // for as long as unwrapping the key takes (about 0.2 s). wrongKey when neither way in takes the secret.
  std::optional<StoreError> open(const std::string& secret);
  // Whether the open folder shows the store now.
  bool isOpen() const;
  // Unmounts and ends the child; nothing is left mounted even when a file is still held open somewhere.
  void close();

 private:
  std::optional<StoreError> mount(const std::string& secret, const std::filesystem::path& config);
  StorePlaces places_;
  mutable pid_t engine_ = -1;  // -1 once it has ended, which even a look at it may find
};

// Whether `folder` is a mount point now (as /proc/self/mountinfo lists them).
bool isMountPoint(const std::filesystem::path& folder);
// Takes down whatever is mounted at `folder` (lazily: a file held open there does not keep it up). Whether
// nothing is mounted there afterwards.
bool unmount(const std::filesystem::path& folder);

}  // namespace tessaron::seal
