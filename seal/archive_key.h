// The archive's key: made here from the kernel's random source, kept in the desktop's keyring, and shown to
// the person once as their recovery key. It is written in Crockford's base32 (digits and capitals without I,
// L, O and U), 32 symbols in eight groups of four, so that it can be copied onto paper and typed back without
// mistaking one symbol for another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaron::seal {

// 160 random bits as "XXXX-XXXX-XXXX-XXXX-XXXX-XXXX-XXXX-XXXX".
std::string newArchiveKey();

// A key as a person typed it back (any case, with or without dashes and spaces, O for 0, I and L for 1), in
// the form newArchiveKey gives; none when the text cannot be a key (a symbol base32 does not have, or not
// 32).
std::optional<std::string> normalizedKey(std::string_view typed);

}  // namespace tessaron::seal
