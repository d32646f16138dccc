#include "archive/private_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace tessaron::archive {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class PrivateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-private-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    previousMask = ::umask(022);  // the common one, under which everything was readable by others
  }
  void TearDown() override {
    ::umask(previousMask);
    fs::remove_all(root);
  }
  fs::path root;
  mode_t previousMask = 0;
};

TEST_F(PrivateFiles, NewFoldersAreTheOwnersAloneAndExistingOnesAreLeftAsTheyAre) {
  fs::create_directories(root / "home");
  fs::permissions(root / "home", fs::perms(0755));
  std::error_code ec;
  ASSERT_TRUE(createPrivateFolders(root / "home/.local/share/tessaron/AppData", ec)) << ec.message();
  EXPECT_EQ(modeOf(root / "home"), 0755u);
  for (const char* made : {"home/.local", "home/.local/share", "home/.local/share/tessaron",
                           "home/.local/share/tessaron/AppData"})
    EXPECT_EQ(modeOf(root / made), 0700u) << made;
  EXPECT_TRUE(createPrivateFolders(root / "home/.local/share/tessaron/AppData", ec)) << "already there";

  std::ofstream(root / "file") << "x";
  EXPECT_FALSE(createPrivateFolders(root / "file", ec));
  EXPECT_FALSE(createPrivateFolders(root / "file/below", ec));
}

TEST_F(PrivateFiles, AnOpenArchiveIsTightenedOnceWithoutFollowingLinks) {
  const fs::path archive = root / "AppData";
  fs::create_directories(archive / "20260301");
  std::ofstream(archive / "20260301/20260301-101010.png") << "png";
  std::ofstream(archive / "20260301/20260301-101010.txt") << "text";
  std::ofstream(root / "elsewhere.txt") << "the person's own file, outside";
  fs::create_symlink(root / "elsewhere.txt", archive / "link.txt");
  for (const auto& path : {archive, archive / "20260301"})
    fs::permissions(path, fs::perms(0755));
  fs::permissions(root / "elsewhere.txt", fs::perms(0644));

  EXPECT_EQ(makePrivate(archive), 4u);
  EXPECT_EQ(modeOf(archive), 0700u);
  EXPECT_EQ(modeOf(archive / "20260301"), 0700u);
  EXPECT_EQ(modeOf(archive / "20260301/20260301-101010.png"), 0600u);
  EXPECT_EQ(modeOf(archive / "20260301/20260301-101010.txt"), 0600u);
  EXPECT_EQ(modeOf(root / "elsewhere.txt"), 0644u) << "a link's target is not the archive's";

  EXPECT_EQ(makePrivate(archive), 0u) << "a private folder is not walked again";
  EXPECT_EQ(makePrivate(root / "missing"), std::nullopt);
  EXPECT_EQ(makePrivate(archive / "link.txt"), std::nullopt);
}

TEST_F(PrivateFiles, OnlyAFolderNobodyElseCouldHaveMadeIsOwnAndPrivate) {
  EXPECT_TRUE(isOwnPrivateFolder(root / "fresh"));
  EXPECT_EQ(modeOf(root / "fresh"), 0700u);

  fs::create_directory(root / "open");
  fs::permissions(root / "open", fs::perms(0777));
  EXPECT_FALSE(isOwnPrivateFolder(root / "open")) << "made first by someone, open to all";

  fs::create_symlink(root / "fresh", root / "link");
  EXPECT_FALSE(isOwnPrivateFolder(root / "link")) << "a link could be switched to anywhere";

  std::ofstream(root / "plain") << "x";
  EXPECT_FALSE(isOwnPrivateFolder(root / "plain"));

  if (::geteuid() == 0) {  // a folder another user made first, even private, is not ours
    fs::create_directory(root / "theirs");
    fs::permissions(root / "theirs", fs::perms(0700));
    ASSERT_EQ(::chown((root / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(isOwnPrivateFolder(root / "theirs"));
  }
}

}  // namespace
}  // namespace tessaron::archive
