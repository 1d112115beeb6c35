// The shipped examples are what the current program makes from the example tune: a change
// that moves their bytes shows here (remake them with scripts/make_examples.sh when meant).
#include <gtest/gtest.h>

#include "app/convert.h"
#include "project/project.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

TEST(Examples, ShippedSongsEqualWhatTheTuneConvertsTo) {
  const std::string examples = std::string(TARVENOX_SOURCE_DIR) + "/examples/";
  const struct {
    int target;
    const char* made;     // the output's name in the scratch folder
    const char* shipped;  // the file in examples/
  } cases[] = {
      {1, "demo.qxprj", "demo_x1x_pcm.qxprj"},
      {2, "demo.qxprj", "demo_x1x_voice.qxprj"},
      {3, "demo.qxprj", "demo_x2x_mid.qxprj"},
      {4, "demo.qxprj", "demo_x2x_new.qxprj"},
      {5, "demo.qxprj", "demo_x3x.qxprj"},
      {6, "demo.qxprj", "demo_x4x.qxprj"},
      {7, "demo.qxprj", "demo_x5x_no_ogg.qxprj"},
      {8, "demo.qxprj", "demo_x5x_old_noise.qxprj"},
      {9, "demo.qxprj", "demo.qxprj"},
      {11, "demo.txt", "demo_listing.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shipped);
    ScratchDir dir;
    Project p;
    const Conversion done =
        convert_into_folder(p, examples + "demo.qxi", static_cast<uint8_t>(c.target), dir.path());
    ASSERT_EQ(done.stage, CONVERT_DONE) << done.error;
    const std::vector<uint8_t> shipped = song_parser::read_file(examples + c.shipped);
    ASSERT_FALSE(shipped.empty());
    EXPECT_TRUE(song_parser::read_file(dir.file(c.made)) == shipped);
  }
}
