// The archive is the person's whole browsing history: its folders are theirs alone (0700, files 0600),
// whatever the umask of the program that made them.
#pragma once

#include <filesystem>
#include <optional>
#include <system_error>

namespace tessaron::archive {

// Makes `folder` and every missing folder above it, each one new made 0700 (the user's data and cache
// folders are meant to be private, and a parent made here is one nobody else needs). Existing folders are
// left as they are.
bool createPrivateFolders(const std::filesystem::path& folder, std::error_code& ec);

// Takes group's and others' rights away from `folder` and, if it had any, from everything under it (links
// are not followed). How many folders and files it changed; none when the folder cannot be read.
std::optional<std::size_t> makePrivate(const std::filesystem::path& folder);

// Whether `folder` is one that nobody else could have made or can change: made here (0700) or found as a real
// folder (not a link) of this user with no rights for anyone else.
bool isOwnPrivateFolder(const std::filesystem::path& folder);

}  // namespace tessaron::archive
