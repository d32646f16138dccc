#include "app/archive_access.h"

#include <unistd.h>

#include <thread>

#include "archive/layout.h"
#include "base/log.h"
#include "base/xdg.h"
#include "platform/platform.h"
#include "seal/archive_key.h"
#include "seal/conversion.h"
#include "settings/settings.h"

namespace tessaron {

namespace fs = std::filesystem;

namespace {

settings::Settings currentSettings() {
  settings::SettingsFile file(settings::defaultFile().value_or(fs::path()), [](const std::string&) {});
  file.refresh();
  return file.current();
}

std::size_t showAlert(platform::AlertSpec alert) {
  return platform::current().shell().alerts().ask(alert);
}

}  // namespace

ArchiveAccess::Places ArchiveAccess::Places::of(const fs::path& support,
                                                const std::optional<fs::path>& runtime) {
  Places places;
  places.plain = support / "AppData";
  places.store.sealed = support / "Sealed";
  places.store.passphrase = support / "Sealed.passphrase.conf";
  // Named after the store, so that two archives (another user's test, another home) never share one.
  const std::string name = "Archive-" + archive::indexFileName(places.store.sealed).substr(6, 16);
  places.store.open = runtime ? *runtime / "tessaron" / name : support / (name + ".open");
  return places;
}

std::optional<ArchiveAccess::Places> ArchiveAccess::forThisUser() {
  auto support = platform::current().installation().applicationSupportFolder();
  if (!support) return std::nullopt;
  std::optional<fs::path> runtime;
  // The runtime folder is memory, the user's alone, and goes at logout: the best place for the plain view.
  if (auto dir = xdg::runtimeDir(); dir && ::access(dir->c_str(), W_OK) == 0) runtime = dir;
  return Places::of(support.value() / "tessaron", runtime);
}

ArchiveAccess::ArchiveAccess(Places places)
    : places_(std::move(places)), store_(std::make_unique<seal::SealedStore>(places_.store)) {}

ArchiveLocation ArchiveAccess::location() const {
  switch (state_.load()) {
    case State::plain:
      return {places_.plain, std::nullopt, true};
    case State::locked:
      return {places_.store.open / "AppData", places_.store.open, false};
    case State::open:
      break;
  }
  // Gone from under us (its engine ended): its folder is a plain one on the disk again, never to be written.
  return {places_.store.open / "AppData", places_.store.open, seal::isMountPoint(places_.store.open)};
}

std::string ArchiveAccess::keyName() const {
  return "archive:" + places_.store.sealed.string();
}

void ArchiveAccess::open(std::chrono::seconds retry) {
  retry_ = retry;
  if (store_->exists()) {
    state_ = State::locked;
    openSealed();
    return;
  }
  const settings::Settings settings = currentSettings();
  const std::size_t plainRecords = seal::countPlainRecords(places_.plain);
  if (!settings.encryptArchive) {
    state_ = State::plain;
    log::tessaronApp().log("The archive is kept in plain files: the settings say \"encryptArchive\": false.");
    return;
  }
  if (plainRecords > 0) {
    const std::size_t answer = showAlert(
        {"Seal Your Archive?",
         "Your archive holds " + std::to_string(plainRecords) +
             " records in plain files, which anyone who gets this disk or a backup of it can read. Sealing "
             "encrypts them with a key kept in your keyring and removes the plain files. It can be "
             "interrupted "
             "at any moment and goes on at the next start.",
         platform::AlertStyle::informational,
         {"Seal Archive", "Keep Plain Files"},
         "AppIcon"});
    if (answer != 0) {
      state_ = State::plain;
      log::tessaronApp().log("The archive is kept in plain files for now: sealing was declined.");
      return;
    }
  }
  state_ = State::locked;
  createSealed(plainRecords > 0);
}

void ArchiveAccess::createSealed(bool converting) {
  auto& shell = platform::current().shell();
  const std::string key = seal::newArchiveKey();
  // Where no keyring keeps the key, the person chooses a passphrase first: without one of the two, a new
  // archive could never be opened again without the recovery key.
  const auto keyring = shell.keyring().lookUp(keyName());
  std::optional<std::string> passphrase;
  if (keyring.state == platform::KeyringLookup::State::unavailable ||
      keyring.state == platform::KeyringLookup::State::locked) {
    const auto answer = shell.alerts().askForSecret(
        {"Choose a Passphrase",
         "Tessaron seals your archive, but no keyring can keep its key here (" + keyring.why +
             "). Choose a passphrase: Tessaron asks for it when it starts. The recovery key shown next opens "
             "the "
             "archive too.",
         platform::AlertStyle::informational,
         {"Use Passphrase", "Cancel"},
         "AppIcon"},
        "Passphrase");
    if (answer.button != 0 || answer.text.empty()) {
      sayLockedOnce("no keyring can keep its key and no passphrase was chosen");
      return;
    }
    passphrase = answer.text;
  }
  if (auto error = store_->create(key)) {
    sayLockedOnce("the sealed archive cannot be made: " + error->text);
    return;
  }
  if (passphrase) {
    if (auto error = store_->setPassphrase(key, *passphrase))
      log::tessaronApp().error("The passphrase was not kept: %s", error->text);
  } else if (auto error = shell.keyring().store(keyName(), "Tessaron archive key", key)) {
    log::tessaronApp().error("The keyring did not keep the archive's key: %@", *error);
  }
  showAlert({"Your Recovery Key",
             "Your archive is sealed: encrypted on this computer's disk and opened with a key kept " +
                 std::string(passphrase ? "with your passphrase" : "in your keyring") +
                 ". Write this recovery key down and keep it somewhere safe. With it, your archive opens on "
                 "another computer or after your keyring is lost; without it, nobody can open a copy, not "
                 "even you.\n\n" +
                 key + "\n\nTessaron shows it only this once.",
             platform::AlertStyle::informational,
             {"I Have Written It Down"},
             "AppIcon"});
  log::tessaronApp().log("A sealed archive was made; its recovery key was shown once.");
  if (!tryKey(key, false)) return;
  if (converting) convertPlainRecords();
}

bool ArchiveAccess::tryKey(const std::string& secret, bool keepInKeyring) {
  auto error = store_->open(secret);
  if (error) return false;
  state_ = State::open;
  said_.forgetAll();
  log::tessaronApp().log("The sealed archive is open.");
  if (keepInKeyring)
    if (auto kept = platform::current().shell().keyring().store(keyName(), "Tessaron archive key", secret))
      log::tessaronApp().error("The keyring did not keep the archive's key: %@", *kept);
  return true;
}

void ArchiveAccess::openSealed() {
  if (state_ == State::open) return;
  auto& shell = platform::current().shell();
  const auto found = shell.keyring().lookUp(keyName());
  std::string why;
  using KeyState = platform::KeyringLookup::State;
  switch (found.state) {
    case KeyState::found:
      if (auto error = store_->open(found.secret); !error) {
        state_ = State::open;
        said_.forgetAll();
        log::tessaronApp().log("The sealed archive is open.");
        if (seal::countPlainRecords(places_.plain) > 0) convertPlainRecords();  // a move cut short goes on
        return;
      } else {
        why = error->kind == seal::StoreError::Kind::wrongKey ? "the key in your keyring does not open it"
                                                              : error->text;
      }
      break;
    case KeyState::absent:
      why = "your keyring holds no key for it (a new keyring, or another computer)";
      break;
    case KeyState::locked:
      why = "your keyring is locked";
      break;
    case KeyState::unavailable:
      why = "no keyring can be reached (" + found.why + ")";
      break;
  }
  if (store_->hasPassphrase() && found.state != KeyState::found)
    why = "it waits for your passphrase (" + why + ")";
  sayLockedOnce(why);
  if (!askedForSecret_) {
    askedForSecret_ = true;
    const bool keyringWorks = found.state == KeyState::absent || found.state == KeyState::found;
    while (auto typed = askSecret(why)) {
      const auto key = seal::normalizedKey(*typed);
      if ((key && tryKey(*key, keyringWorks)) || tryKey(*typed, false)) {
        if (seal::countPlainRecords(places_.plain) > 0) convertPlainRecords();
        return;
      }
      why = "what was typed is neither its recovery key nor its passphrase";
      sayLockedOnce(why);
    }
  }
  state_ = State::locked;
  platform::current().mainQueue().runAfter(retry_, [this] { openSealed(); });
}

std::optional<std::string> ArchiveAccess::askSecret(const std::string& why) {
  const bool passphrase = store_->hasPassphrase();
  const auto answer = platform::current().shell().alerts().askForSecret(
      {passphrase ? "Open Your Archive" : "Your Archive Is Locked",
       passphrase
           ? "Type your passphrase (or your recovery key) to open your sealed archive. Tessaron records "
             "nothing until it is open."
           : "Tessaron cannot open your sealed archive: " + why +
                 ". It records nothing until it can. Unlock your keyring (Tessaron tries again every "
                 "half minute), or type your recovery key here.",
       platform::AlertStyle::warning,
       {"Open Archive", "Not Now"},
       "AppIcon"},
      passphrase ? "Passphrase or recovery key" : "Recovery key");
  if (answer.button != 0 || answer.text.empty()) return std::nullopt;
  return answer.text;
}

void ArchiveAccess::sayLockedOnce(const std::string& why) {
  state_ = State::locked;
  if (!said_.first(why)) return;
  log::tessaronApp().error("The archive is locked: %s. Nothing is recorded until it is open.", why);
}

void ArchiveAccess::convertPlainRecords() {
  // Records move while capture goes on: each is whole in one place or the other at every moment.
  std::thread([plain = places_.plain, sealedData = places_.store.open / "AppData"] {
    std::error_code ec;
    fs::create_directories(sealedData, ec);
    std::size_t lastSaid = 0;
    const seal::Conversion done =
        seal::movePlainRecords(plain, sealedData, [&lastSaid](std::size_t moved, std::size_t total) {
          if (moved != total && moved - lastSaid < 500) return;
          lastSaid = moved;
          log::tessaronApp().log("Sealing the archive: %ld of %ld records moved", static_cast<long>(moved),
                                 static_cast<long>(total));
        });
    if (done.error) {
      log::tessaronApp().error("Sealing the archive stopped: %s. It goes on at the next start.", *done.error);
      return;
    }
    // The plain archive's index and thumbnails hold its words and pictures too.
    if (auto cache = archive::userCacheFolder()) archive::removeIndexCache(*cache, plain);
    log::tessaronApp().log(
        "The archive is sealed: %ld records moved, no plain copy kept%s.", static_cast<long>(done.moved),
        done.personsOwn > 0 ? std::string(" (files of your own in the plain folder stay)") : std::string());
  }).detach();
}

}  // namespace tessaron
