// Runs the real ihash binary on real files.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "imagehash/test_images.h"

namespace {

namespace fs = std::filesystem;
using namespace testimages;

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Ihash : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("ihash-test-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "nested" / "deeper");
    OSImage base = scene(120, 80, 1);
    write("a.png", png(base));
    write("nested/a-copy.png", png(base));
    write("nested/deeper/a-tiff.tif", dataRepresentation(base));
    write("nested/b.png", png(scene(120, 80, 17)));
    write("nested/notes.txt", OSData{'h', 'i'});
    write("junk.png", OSData{'n', 'o', 'p', 'e'});
  }
  void TearDown() override { fs::remove_all(folder); }

  void write(const std::string& name, const OSData& data) {
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  Result run(const std::string& arguments) {
    std::string command = "cd '" + folder.string() + "' && '" IHASH_PATH "' " + arguments + " >'" +
                          (folder / "out").string() + "' 2>'" + (folder / "err").string() + "'";
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(folder / "out"), slurp(folder / "err")};
  }

  fs::path folder;
};

TEST_F(Ihash, HashPrintsSixteenHexDigitsAndTheNameAndGoesOnPastUnreadableFiles) {
  Result r = run("hash a.png junk.png missing.png nested/a-copy.png");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  EXPECT_TRUE(r.out.find("ffffffffffffffff  junk.png\n") != std::string::npos) << r.out;
  std::string first = r.out.substr(0, r.out.find('\n'));
  EXPECT_EQ(first.size(), 16U + 2U + 5U);
  EXPECT_EQ(first.substr(16), "  a.png");
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), 16U);
  EXPECT_NE(r.out.find(first.substr(0, 16) + "  nested/a-copy.png"), std::string::npos)
      << "same pixels, same hash";
  EXPECT_NE(r.err.find("missing.png"), std::string::npos) << r.err;

  Result ahash = run("hash --provider aHash a.png");
  EXPECT_EQ(ahash.status, 0);
  EXPECT_NE(ahash.out.substr(0, 16), first.substr(0, 16));
}

TEST_F(Ihash, DistanceIsADecimalAndRefusesUnhashableImages) {
  Result same = run("distance a.png nested/deeper/a-tiff.tif");
  EXPECT_EQ(same.status, 0);
  EXPECT_EQ(same.out, "0\n");
  Result other = run("distance --provider dHash a.png nested/b.png");
  EXPECT_EQ(other.status, 0);
  EXPECT_GT(std::stoi(other.out), 0);
  Result junk = run("distance a.png junk.png");
  EXPECT_EQ(junk.status, 1);
  EXPECT_EQ(junk.out, "");
  EXPECT_NE(junk.err.find("junk.png"), std::string::npos);
}

TEST_F(Ihash, SimilarFindsPairsInFoldersAndGroupsThem) {
  Result pairs = run("similar .");
  EXPECT_EQ(pairs.status, 0) << pairs.err;
  EXPECT_EQ(pairs.out,
            "./a.png\t./nested/a-copy.png\n"
            "./a.png\t./nested/deeper/a-tiff.tif\n"
            "./nested/a-copy.png\t./nested/deeper/a-tiff.tif\n");
  Result none = run("similar --threshold 0 nested/b.png junk.png");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");
  Result groups = run("similar --groups a.png nested");
  EXPECT_EQ(groups.status, 0);
  EXPECT_NE(groups.out.find("\"nested/a-copy.png\""), std::string::npos) << groups.out;
  EXPECT_EQ(groups.out.front(), '{');
}

TEST_F(Ihash, UsageErrorsExitTwoWithTheUsage) {
  for (const char* arguments : {"", "frobnicate x", "hash", "hash --provider md5 a.png", "distance a.png",
                                "similar --threshold -3 .", "hash --groups a.png", "similar --threshold"}) {
    Result r = run(arguments);
    EXPECT_EQ(r.status, 2) << arguments;
    EXPECT_NE(r.err.find("usage: ihash hash"), std::string::npos) << arguments;
  }
  EXPECT_EQ(run("--help").status, 0);
}

}  // namespace
