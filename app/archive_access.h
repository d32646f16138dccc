// Opening the archive: plain files, or a sealed store whose key is kept in the desktop's keyring.
//
// A new archive is sealed unless the settings say "encryptArchive": false. The key is made here, kept in the
// keyring and shown to the person once as their recovery key; where no keyring can keep it, the person
// chooses a passphrase as well. At each start the key is taken from the keyring without a word; when it
// cannot be had (a locked keyring, none running, a key that does not fit), nothing is recorded, the reason is
// said once in the log and once in an alert that offers to type the recovery key or passphrase, and the
// keyring is asked again every half minute. A plain archive is offered sealing; once agreed, its records
// move into the store, and a move cut short goes on at the next start.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "archive/data_folder.h"
#include "base/once.h"
#include "seal/sealed_store.h"

namespace tessaron {

class ArchiveAccess {
 public:
  // Where a person's archive keeps what: under `support` (their "tessaron" application-support folder) the
  // plain data folder "AppData", the ciphertext "Sealed" and the passphrase's wrapping beside it; the open
  // folder in `runtime` (their runtime folder, which is memory and goes at logout), else beside the rest.
  struct Places {
    std::filesystem::path plain;
    seal::StorePlaces store;
    static Places of(const std::filesystem::path& support,
                     const std::optional<std::filesystem::path>& runtime);
  };
  enum class State { plain, locked, open };

  explicit ArchiveAccess(Places places);
  // The places of this person's archive; none when the platform cannot give the application-support folder.
  static std::optional<Places> forThisUser();

  // Opens the archive as the settings and the disk say, asking the person what only they can answer. On the
  // main thread (the store stays open as long as that thread lives). While locked, tries again every
  // `retry` on the main queue without asking again.
  void open(std::chrono::seconds retry = std::chrono::seconds(30));
  State state() const { return state_.load(); }
  // Where the archive is now.
  ArchiveLocation location() const;

 private:
  void openSealed();
  bool tryKey(const std::string& secret, bool keepInKeyring);
  std::optional<std::string> askSecret(const std::string& why);
  void createSealed(bool converting);
  void convertPlainRecords();
  void sayLockedOnce(const std::string& why);
  std::string keyName() const;

  Places places_;
  std::unique_ptr<seal::SealedStore> store_;
  std::atomic<State> state_{State::locked};  // until open() has decided
  log::Once<> said_;                         // reasons for being locked, said once each
  bool askedForSecret_ = false;
  std::chrono::seconds retry_{30};
};

}  // namespace tessaron
