// The desktop's keyring through the Secret Service API (libsecret): GNOME Keyring, KWallet, KeePassXC.
// Looks up without prompting, so that a locked keyring is reported rather than waited on; storing goes to
// the default collection and may show the keyring's own dialog when that collection must first be made.
#pragma once

#include "platform/shell.h"

namespace tessaron::platform::freedesktop {

class SecretServiceKeyring final : public Keyring {
 public:
  KeyringLookup lookUp(const std::string& name) override;
  std::optional<PlatformError> store(const std::string& name, const std::string& label,
                                     const std::string& secret) override;
};

}  // namespace tessaron::platform::freedesktop
