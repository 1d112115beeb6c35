// One load written as several targets: the same files and the same lines as a load for
// each, so that nothing a conversion changes in its target's copy reaches the next.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/convert.h"
#include "tests/ogg_encode.h"
#include "tests/writer_fixture.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::vector<uint8_t>> files_in(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_directory()) continue;
    files[fs::relative(e.path(), dir).string()] = song_parser::read_file(e.path().string());
  }
  return files;
}

}  // namespace

TEST(Pipeline, SeveralTargetsFromOneLoadAreEachAsAlone) {
  const std::string examples = std::string(TARVENOX_SOURCE_DIR) + "/examples/";
  std::vector<uint8_t> targets;
  for (int t = 1; t <= TARGET_COUNT; ++t) targets.push_back(static_cast<uint8_t>(t));
  writer_fixture::ScratchDir inputs;
  {
    // Every material kind and kinds of events most targets drop.
    Project p;
    writer_fixture::project_setup(p);
    writer_fixture::add_every_woice_kind(p, ogg_encode::tone_stream(1, 22050, 300), 400);
    p.console = [](std::string_view) {};
    ASSERT_EQ(write_output(p, p, inputs.file("kinds.qxprj"), 9), 1) << p.error_text;
  }
  // And the examples: a song, and an instrument file whose units some targets are told
  // which woice they play.
  for (const std::string& input :
       {inputs.file("kinds.qxprj"), examples + "demo.qxprj", examples + "demo.qxi"}) {
    SCOPED_TRACE(input);
    writer_fixture::ScratchDir dir;
    const std::string together = dir.file("together"), alone = dir.file("alone");
    fs::create_directories(together);
    fs::create_directories(alone);

    Project p;
    std::string lines_together;
    p.console = [&](std::string_view s) { lines_together += s; };
    const std::vector<Conversion> done = convert_into_folder(p, input, targets, together);
    ASSERT_EQ(done.size(), targets.size());

    std::string lines_alone;
    for (size_t i = 0; i < targets.size(); ++i) {
      Project q;
      q.console = [&](std::string_view s) { lines_alone += s; };
      const Conversion c = convert_into_folder(q, input, targets[i], alone);
      EXPECT_EQ(done[i].stage, c.stage) << int(targets[i]);
      EXPECT_EQ(done[i].error, c.error) << int(targets[i]);
      EXPECT_EQ(fs::path(done[i].output_path).filename(), fs::path(c.output_path).filename());
    }
    EXPECT_EQ(lines_together, lines_alone);
    EXPECT_EQ(files_in(together), files_in(alone));
    EXPECT_FALSE(files_in(together).empty());
  }
}

TEST(Pipeline, AnInputThatDoesNotLoadGivesOneFailure) {
  writer_fixture::ScratchDir dir;
  Project p;
  p.console = [](std::string_view) {};
  const std::vector<Conversion> done =
      convert_into_folder(p, dir.file("absent.qxprj"), {1, 5, 9}, dir.file(""));
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].stage, CONVERT_READ_FAILED);
  EXPECT_FALSE(done[0].error.empty());
}

TEST(Pipeline, WhatWasLoadedIsCountedInWords) {
  struct Case {
    int count;
    int32_t beat_clock;
    const char* loaded;
  };
  const Case cases[] = {{1, 1, "1 unit, 1 woice, 1 event, 1 clock a beat"},
                        {2, 480, "2 units, 2 woices, 2 events, 480 clocks a beat"}};
  for (const Case& c : cases) {
    writer_fixture::ScratchDir dir;
    Project p;
    writer_fixture::project_setup(p);
    p.console = [](std::string_view) {};
    p.beat_clock = c.beat_clock;
    for (int i = 0; i < c.count; ++i) {
      writer_fixture::add_pcm_woice(p);
      writer_fixture::add_unit(p, "u");
      writer_fixture::put(p, 0, i, EVENT_VOL, 90);
    }
    ASSERT_EQ(write_output(p, p, dir.file("in.qxprj"), 9), 1) << p.error_text;
    Project q;
    q.console = [](std::string_view) {};
    const Conversion done = convert_into_folder(q, dir.file("in.qxprj"), 9, dir.file(""));
    EXPECT_EQ(done.loaded, c.loaded);
  }
}
