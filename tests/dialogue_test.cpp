// Output naming: the extension chosen by target and tune flag, the base name, and the
// numbered names _00 to _99 when names are taken.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "app/dialogue.h"
#include "project/project.h"

namespace fs = std::filesystem;

namespace {

class OutputPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvenox_names_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    p.module_folder = folder.string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  void touch(const std::string& name) { std::ofstream(folder / name) << "x"; }
  std::string in_folder(const std::string& name) { return (folder / name).string(); }

  fs::path folder;
  Project p;
};

TEST_F(OutputPath, ExtensionFollowsTargetAndTuneFlag) {
  std::string out;
  ASSERT_TRUE(build_output_path(p, "/else/where/song.qxprj", 1, 0, &out));
  EXPECT_EQ(out, in_folder("song.qxprj"));
  ASSERT_TRUE(build_output_path(p, "/else/where/song.qxprj", 7, 1, &out));
  EXPECT_EQ(out, in_folder("song.qxtune"));
  ASSERT_TRUE(build_output_path(p, "song.qxtune", 9, 0, &out));
  EXPECT_EQ(out, in_folder("song.qxprj"));
  ASSERT_TRUE(build_output_path(p, "/x/song.qxprj", 10, 1, &out));
  EXPECT_EQ(out, in_folder("song.qxi"));
  ASSERT_TRUE(build_output_path(p, "/x/song.qxi", 11, 0, &out));
  EXPECT_EQ(out, in_folder("song.qxi"));
  // The extension goes from the last dot of the file name only.
  ASSERT_TRUE(build_output_path(p, "/x/my.old.song.qxprj", 1, 0, &out));
  EXPECT_EQ(out, in_folder("my.old.song.qxprj"));
  ASSERT_TRUE(build_output_path(p, "/x.y/noext", 1, 0, &out));
  EXPECT_EQ(out, in_folder("noext.qxprj"));
}

TEST_F(OutputPath, TakenNamesAreNumberedUpToNinetyNine) {
  std::string out;
  touch("out.qxprj");
  ASSERT_TRUE(build_output_path(p, "/in/out.qxtune", 7, 0, &out));
  EXPECT_EQ(out, in_folder("out_00.qxprj"));
  fs::create_directory(folder / "out_00.qxprj");  // a folder takes the name as well
  ASSERT_TRUE(build_output_path(p, "/in/out.qxtune", 7, 0, &out));
  EXPECT_EQ(out, in_folder("out_01.qxprj"));
  for (int i = 1; i <= 98; ++i) {
    char name[32];
    snprintf(name, sizeof name, "out_%02d.qxprj", i);
    touch(name);
  }
  ASSERT_TRUE(build_output_path(p, "/in/out.qxtune", 7, 0, &out));
  EXPECT_EQ(out, in_folder("out_99.qxprj"));
  touch("out_99.qxprj");
  EXPECT_FALSE(build_output_path(p, "/in/out.qxtune", 7, 0, &out));
  EXPECT_EQ(out, in_folder("out.qxprj"));
  // Another extension is free again.
  ASSERT_TRUE(build_output_path(p, "/in/out.qxtune", 10, 0, &out));
  EXPECT_EQ(out, in_folder("out.qxi"));
}

TEST_F(OutputPath, ListingNameMustBeFreeToo) {
  std::string out;
  touch("song.txt");
  ASSERT_TRUE(build_output_path(p, "/in/song.qxprj", 11, 0, &out));
  EXPECT_EQ(out, in_folder("song_00.qxi"));
  // Without a listing the text file is no obstacle.
  ASSERT_TRUE(build_output_path(p, "/in/song.qxprj", 10, 0, &out));
  EXPECT_EQ(out, in_folder("song.qxi"));
}

}  // namespace
