// The inspection report: what it finds in songs of every generation, tunes, instrument
// files and damaged files, in both its forms.
#include "app/info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/convert.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/ogg_encode.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using nlohmann::json;

namespace {

struct InfoRun {
  int status = -1;
  std::string text;
  std::vector<json> docs;  // one per line of JSON output
};

InfoRun info(const std::vector<std::string>& files, bool as_json) {
  InfoRun r;
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  if (!out) return r;
  r.status = run_info(files, as_json, out);
  std::fclose(out);
  r.text.assign(buffer, size);
  std::free(buffer);
  std::istringstream lines(r.text);
  for (std::string line; as_json && std::getline(lines, line);) r.docs.push_back(json::parse(line));
  return r;
}

bool has_note(const json& target, const std::string& part) {
  for (const json& note : target["notes"]) {
    if (note.get<std::string>().find(part) != std::string::npos) return true;
  }
  return false;
}

// A PCM, a qxVoice and a qxNoise woice, one unit, texts (the name not UTF-8, as old files
// have it), an overdrive and a pan-time event, written as `target`.
WriteResult write_song(const std::string& path, int target, bool tune = false) {
  Project p;
  project_setup(p);
  p.name_text = "caf\xE9";
  p.comment_text = "two\nlines";
  add_pcm_woice(p);
  add_voice_woice(p);
  add_noise_woice(p);
  add_unit(p, "lead");
  overdrive_add(p, 1, 90.0f, 2.0f);
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 480, 0, EVENT_ON, 480);
  put(p, 0, 0, EVENT_PAN_TIME, 10);
  if (tune) {
    set_magic(p, "QXTUNE--20071119");
    p.beat_clock = 4800;
  }
  return write_capture(p, path, target);
}

}  // namespace

struct GenerationCase {
  int written_as;
  int generation;
  std::vector<std::string> woice_kinds;
};

class InfoOfGeneration : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(InfoOfGeneration, ReportsTheSongAndEveryTarget) {
  const GenerationCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.file("song.qxprj");
  ASSERT_EQ(write_song(path, c.written_as).ok, 1);
  const InfoRun run = info({path}, true);
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.docs.size(), 1u);
  const json& doc = run.docs[0];
  EXPECT_EQ(doc["kind"], "project");
  EXPECT_EQ(doc["generation"], c.generation);
  std::vector<std::string> kinds;
  for (const json& w : doc["woices"]) kinds.push_back(w["kind"]);
  EXPECT_EQ(kinds, c.woice_kinds);
  EXPECT_EQ(doc["woices"][0]["material_bytes"], 12);  // three stereo 16-bit frames
  EXPECT_EQ(doc["events"]["On"], 2);
  EXPECT_EQ(doc["events"]["pan-time"], c.generation == 5 ? 1 : 0);

  ASSERT_EQ(doc["targets"].size(), static_cast<size_t>(TARGET_COUNT));
  for (int t = 1; t <= TARGET_COUNT; ++t) {
    const json& target = doc["targets"][t - 1];
    EXPECT_EQ(target["target"], t);
    EXPECT_EQ(target["ok"], true) << t << ": " << target.value("error", "");
    for (const std::string note : target["notes"]) {
      EXPECT_TRUE(note.find_first_of("\n*") != 0 && note.rfind("- WARNING", 0) != 0 &&
                  note.substr(note.size() - 2) != " -")
          << "marks left in: " << note;
    }
  }
  EXPECT_EQ(has_note(doc["targets"][5], "'pan-time'"), c.generation == 5);
  EXPECT_EQ(has_note(doc["targets"][0], "converted qxNoise"), c.generation > 1);
}

INSTANTIATE_TEST_SUITE_P(
    Songs, InfoOfGeneration,
    ::testing::Values(GenerationCase{TARGET_X1X_PCM, 1, {"PCM", "PCM", "PCM"}},
                      GenerationCase{TARGET_X2X_MID_VOICE, 2, {"PCM", "qxVoice", "qxNoise"}},
                      GenerationCase{TARGET_X3X, 3, {"PCM", "qxVoice", "qxNoise"}},
                      GenerationCase{TARGET_X4X, 4, {"PCM", "qxVoice", "qxNoise"}},
                      GenerationCase{TARGET_X5X_NO_OGG, 5, {"PCM", "qxVoice", "qxNoise"}}),
    [](const ::testing::TestParamInfo<GenerationCase>& info) {
      return "Generation" + std::to_string(info.param.generation);
    });

TEST(Info, TuneIsRetargetedForTheOldestAndRefusedForTheNewest) {
  ScratchDir dir;
  const std::string path = dir.file("song.qxtune");
  ASSERT_EQ(write_song(path, TARGET_X5X_NO_OGG, true).ok, 1);
  const json doc = info({path}, true).docs.at(0);
  EXPECT_EQ(doc["kind"], "tune");
  for (int t : {1, 2}) {
    EXPECT_EQ(doc["targets"][t - 1]["ok"], true);
    EXPECT_TRUE(has_note(doc["targets"][t - 1], "Converting to x2x format instead.")) << t;
  }
  for (int t : {9, 10, 11}) EXPECT_EQ(doc["targets"][t - 1]["error"], "deny beatclock") << t;
}

TEST(Info, InstrumentFile) {
  const std::string path = std::string(TARVENOX_SOURCE_DIR) + "/examples/demo.qxi";
  const json doc = info({path}, true).docs.at(0);
  EXPECT_EQ(doc["kind"], "instrument");
  EXPECT_TRUE(doc["generation"].is_null());
  EXPECT_EQ(doc["woices"].size(), 6u);
  // The events of the file, without those that loading adds for the newer targets.
  EXPECT_EQ(doc["events"]["voice-no"], 0);
  for (const json& target : doc["targets"]) EXPECT_EQ(target["ok"], true) << target["target"];
  EXPECT_NE(info({path}, false).text.find("kind        instrument file\n"), std::string::npos);
}

// The report says what a conversion loses, as the conversion does, and no loss where the
// target plays the same: x1x PCM woices to x1x keep their unit-woice tie, and the instrument
// file to itself keeps everything.
TEST(Info, LossesAsTheConversionSaysThem) {
  const std::string examples = std::string(TARVENOX_SOURCE_DIR) + "/examples/";
  const json pcm = info({examples + "demo_x1x_pcm.qxprj"}, true).docs.at(0);
  EXPECT_TRUE(has_note(pcm["targets"][9],
                       "instrument file: 6 woices not written, units play the built-in "
                       "instruments"));
  EXPECT_EQ(pcm["targets"][0]["notes"], json::array());
  const json qxi = info({examples + "demo.qxi"}, true).docs.at(0);
  EXPECT_EQ(qxi["targets"][9]["notes"], json::array());
}

// From one load, every target's notes and outcome are those of its own conversion: materials
// measured once for all the targets that render or decode them, the instrument file's units
// told their woices only where a target needs it.
TEST(Info, EveryTargetAsItsConversionFromOneLoad) {
  ScratchDir dir;
  const std::string kinds = dir.file("kinds.qxprj");
  {
    Project p;
    project_setup(p);
    add_every_woice_kind(p, ogg_encode::tone_stream(1, 22050, 300), 400);
    ASSERT_EQ(write_capture(p, kinds, TARGET_X5X_NEW_NOISE).ok, 1);
  }
  int written = 0;
  for (const std::string& path : {kinds, std::string(TARVENOX_SOURCE_DIR) + "/examples/demo.qxi"}) {
    const json doc = info({path}, true).docs.at(0);
    for (int t = 1; t <= TARGET_COUNT; ++t) {
      SCOPED_TRACE(path + " to " + std::to_string(t));
      Project p;
      int tune_flag = 0;
      ASSERT_EQ(load_input(p, path, &tune_flag), 1);
      const WriteResult c = write_capture(p, dir.file("out" + std::to_string(++written)), t);
      const json& target = doc["targets"][t - 1];
      EXPECT_EQ(target["ok"], c.ok == 1);
      EXPECT_EQ(target.value("error", ""), c.ok == 1 ? "" : c.error);
      size_t lines = 0;
      for (size_t at = c.console.find('\n'); at != std::string::npos;
           at = c.console.find('\n', at + 1)) {
        lines += c.console.compare(at, 3, "\n* ") == 0 || c.console.compare(at, 3, "\n- ") == 0;
      }
      EXPECT_EQ(target["notes"].size(), lines) << c.console;
      for (const std::string note : target["notes"]) {
        EXPECT_NE(c.console.find(note), std::string::npos) << note;
      }
    }
  }
}

TEST(Info, DamagedFileFailsWithTheDialoguesTextAndStatusOne) {
  ScratchDir dir;
  const std::string good = dir.file("good.qxprj");
  const std::string cut = dir.file("cut.qxprj");
  const WriteResult written = write_song(good, TARGET_X5X_NO_OGG);
  ASSERT_EQ(written.ok, 1);
  std::filesystem::copy_file(good, cut);
  std::filesystem::resize_file(cut, written.bytes.size() / 2);

  const InfoRun run = info({good, cut}, true);
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.docs.size(), 2u);
  EXPECT_EQ(run.docs[0]["loaded"], true);
  EXPECT_EQ(run.docs[1]["loaded"], false);
  const std::string error = run.docs[1]["error"];
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(run.docs[1].contains("targets"));

  EXPECT_NE(info({cut}, false).text.find("<< Error reading file: " + error + " >>"),
            std::string::npos);
  // A text of the file keeps the report's lines whole.
  const InfoRun plain = info({good}, false);
  EXPECT_EQ(plain.status, 0);
  EXPECT_NE(plain.text.find("comment     two\\nlines\n"), std::string::npos);
}
