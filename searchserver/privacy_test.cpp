// The real server on 127.0.0.1:5000: whom it answers, what forgetting leaves behind, and what hostile files
// in the archive cost it.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include <httplib.h>

#include "searchserver/server_test_support.h"
#include "tests/process_harness.h"

namespace tessaron::search {
namespace {

namespace fs = std::filesystem;
using tessaron::testing::Child;
using tessaron::testing::eventually;
using testing::writeFile;

class ServerOnArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessaron-privacy-" + std::to_string(::getpid()));
    fs::remove_all(root);
    archive = root / "AppData";
    previousMask = ::umask(022);  // the common umask, under which the cache used to be readable by all
  }
  void TearDown() override {
    server.reset();
    ::umask(previousMask);
    fs::remove_all(root);
  }
  void add(const std::string& day, const std::string& stem, const std::string& title, const std::string& body,
           bool screenshot = true) {
    testing::writeRecord(archive, day, stem, "https://example.org/" + stem, title, body, screenshot);
  }
  void start(std::size_t records) {
    server = testing::startServer(root, archive, records, {{"TZ", "UTC"}});
    ASSERT_TRUE(server);
  }
  static httplib::Result get(const std::string& path) { return httplib::Client("127.0.0.1", 5000).Get(path); }
  fs::path cache() const { return root / "cache" / "tessaron"; }
  bool cacheHolds(const std::string& bytes) const { return testing::anyFileHolds(cache(), bytes); }
  // The peak of the server's resident memory, in bytes.
  std::size_t serverPeakMemory() const {
    std::ifstream status("/proc/" + std::to_string(server->pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    return 0;
  }

  fs::path root, archive;
  mode_t previousMask = 0;
  std::unique_ptr<Child> server;
};

TEST_F(ServerOnArchive, OnlyItsOwnUserIsAnsweredAndItsCacheIsPrivate) {
  add("20240301", "2024-03-01T09:00:00Z", "Kettle notes", "kettle copper");
  start(1);
  auto mine = get("/api/search?q=kettle");
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->status, 200);
  EXPECT_NE(mine->body.find("Kettle notes"), std::string::npos);
  ASSERT_TRUE(get("/thumb/20240301/2024-03-01T09:00:00Z.webp"));

  // Made under umask 022, yet nobody else may read a thing of it.
  EXPECT_EQ(fs::status(cache()).permissions(), fs::perms::owner_all);
  for (const auto& entry : fs::recursive_directory_iterator(cache()))
    EXPECT_EQ(fs::status(entry.path()).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none)
        << entry.path();

  if (::geteuid() != 0) GTEST_SKIP() << "another user's request needs root to become another user";
  for (const char* path : {"/api/search?q=kettle", "/shot/20240301/2024-03-01T09:00:00Z.png", "/"}) {
    const std::string answer = testing::answerToAnotherUser(std::string("GET ") + path +
                                                            " HTTP/1.1\r\nHost: 127.0.0.1:5000\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0U) << path << ": " << answer.substr(0, 200);
    EXPECT_EQ(answer.find("Kettle"), std::string::npos) << path;
    EXPECT_EQ(answer.find("PNG"), std::string::npos) << path;
  }
  EXPECT_TRUE(server->errHas("refused a connection of user 65534"));
  auto stillMine = get("/api/search?q=kettle");
  ASSERT_TRUE(stillMine);
  EXPECT_EQ(stillMine->status, 200);
}

TEST_F(ServerOnArchive, ForgottenRecordsLeaveNoWordPictureOrPageBehind) {
  add("20240301", "2024-03-01T09:00:00Z", "Kettle notes", "kettle copper");
  add("20240301", "2024-03-01T09:30:00Z", "Quokkafjord plans", "quokkafjordel marmalade");
  add("20240302", "2024-03-02T09:00:00Z", "Zebrinavault day", "zebrinavault");
  start(3);
  for (const char* record : {"20240301/2024-03-01T09:30:00Z", "20240302/2024-03-02T09:00:00Z"}) {
    auto thumbnail = get(std::string("/thumb/") + record + ".webp");
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(thumbnail->get_header_value("Content-Type"), "image/webp");
  }
  ASSERT_TRUE(eventually([&] { return cacheHolds("quokkafjordel") && cacheHolds("zebrinavault"); }));

  // Forgotten as tessaron forgets (the record's files), and a day as the disk budget deletes it.
  fs::remove(archive / "20240301/2024-03-01T09:30:00Z.txt");
  fs::remove(archive / "20240301/2024-03-01T09:30:00Z.png");
  fs::remove_all(archive / "20240302");
  EXPECT_TRUE(eventually([&] { return !cacheHolds("quokkafjordel") && !cacheHolds("zebrinavault"); }))
      << "no file under the cache (index, journal, thumbnails) holds a forgotten word";
  for (const auto& entry : fs::recursive_directory_iterator(cache())) {
    EXPECT_EQ(entry.path().string().find("2024-03-01T09:30:00Z"), std::string::npos) << entry.path();
    EXPECT_EQ(entry.path().string().find("20240302"), std::string::npos) << entry.path();
  }
  auto thumbnail = get("/thumb/20240301/2024-03-01T09:30:00Z.webp");
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->get_header_value("Content-Type"), "image/svg+xml")
      << "the placeholder, not the picture";
  auto search = get("/api/search?q=quokkafjordel");
  ASSERT_TRUE(search);
  EXPECT_EQ(search->body.find("Quokkafjord"), std::string::npos);
  auto kept = get("/api/search?q=kettle");
  ASSERT_TRUE(kept);
  EXPECT_NE(kept->body.find("Kettle notes"), std::string::npos) << "what was not forgotten stays";
}

// A PNG of plain rows, written a row at a time so that a large one costs the test no memory.
void writeLargePng(const fs::path& file, std::uint32_t width, std::uint32_t height) {
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_TRUE(out);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, out);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::fill(row.begin(), row.end(), static_cast<png_byte>(y * 255 / height));
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
}

TEST_F(ServerOnArchive, HostileFilesAreSkippedAndTheServerStaysSmallAndQuick) {
  const std::string day = "20240301";
  add(day, "2024-03-01T09:00:00Z", "Kettle notes", "kettle copper");
  // A screen larger than any (108 million pixels), and a large one that is still allowed (81 million).
  add(day, "2024-03-01T09:01:00Z", "Too large", "giant", false);
  writeLargePng(archive / day / "2024-03-01T09:01:00Z.png", 12000, 9000);
  add(day, "2024-03-01T09:02:00Z", "Large", "large", false);
  writeLargePng(archive / day / "2024-03-01T09:02:00Z.png", 9000, 9000);
  // Ten gigabytes that take no disk: a screenshot and a text named like records.
  add(day, "2024-03-01T09:03:00Z", "Sparse picture", "sparse", false);
  writeFile(archive / day / "2024-03-01T09:03:00Z.png", "");
  fs::resize_file(archive / day / "2024-03-01T09:03:00Z.png", std::uintmax_t{10} << 30);
  writeFile(archive / day / "2024-03-01T09:04:00Z.txt", "");
  fs::resize_file(archive / day / "2024-03-01T09:04:00Z.txt", std::uintmax_t{10} << 30);
  // Pipes named like a record: reading one would wait for a writer forever.
  ASSERT_EQ(::mkfifo((archive / day / "2024-03-01T09:05:00Z.txt").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((archive / day / "2024-03-01T09:06:00Z.png").c_str(), 0600), 0);
  add(day, "2024-03-01T09:06:00Z", "Pipe picture", "pipe", false);
  // Titles of a megabyte.
  for (int i = 0; i < 40; ++i) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "2024-03-01T10:%02d:00Z", i);
    add(day, stem, std::string(1 << 20, 'T'), "long title " + std::to_string(i));
  }
  start(1 + 3 + 1 + 40);
  EXPECT_TRUE(server->errHas("2024-03-01T09:05:00Z.txt: not a plain file"));
  EXPECT_TRUE(eventually([&] { return server->errHas("2024-03-01T09:04:00Z.txt: no record in its first"); }));

  // Four heavy requests of each at once, and a light one meanwhile.
  std::vector<std::future<httplib::Result>> heavy;
  for (int i = 0; i < 4; ++i)
    for (const char* stem :
         {"2024-03-01T09:01:00Z", "2024-03-01T09:02:00Z", "2024-03-01T09:03:00Z", "2024-03-01T09:06:00Z"})
      heavy.push_back(std::async(std::launch::async,
                                 [stem] { return get("/thumb/20240301/" + std::string(stem) + ".webp"); }));
  auto style = get("/style.css");
  ASSERT_TRUE(style);
  EXPECT_EQ(style->status, 200);
  for (std::size_t i = 0; i < heavy.size(); ++i) {
    auto answer = heavy[i].get();
    ASSERT_TRUE(answer) << i;
    const bool allowed = i % 4 == 1;
    EXPECT_EQ(answer->get_header_value("Content-Type"), allowed ? "image/webp" : "image/svg+xml") << i;
  }
  // The server's log reaches the test through a pipe, a moment after the answer.
  EXPECT_TRUE(eventually(
      [&] { return server->errHas("2024-03-01T09:03:00Z.png: 10737418240 bytes, more than any of ours"); }));
  EXPECT_TRUE(eventually([&] { return server->errHas("2024-03-01T09:06:00Z.png: not a plain file"); }))
      << "said when its picture is compared with others";

  auto timeline = get("/timeline?day=2024-03-01");
  ASSERT_TRUE(timeline);
  EXPECT_EQ(timeline->status, 200);
  EXPECT_EQ(timeline->body.find("Nothing was recorded"), std::string::npos);
  EXPECT_LT(timeline->body.size(), 1u << 20) << "titles are cut for showing";
  EXPECT_NE(timeline->body.find(std::string(100, 'T') + "\u2026"), std::string::npos);

  EXPECT_LT(serverPeakMemory(), std::size_t{300} << 20);
  server->signal(SIGTERM);
  EXPECT_EQ(server->waitExit(), 0) << "a pipe in the archive never holds the server up";
}

}  // namespace
}  // namespace tessaron::search
