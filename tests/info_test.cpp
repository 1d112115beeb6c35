// The inspection report: what it finds in songs of every generation, tunes, instrument
// files and damaged files, in both its forms; the losses as records beside the notes; the
// run as one JSON document; folders as arguments.
#include "app/info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/convert.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/ogg_encode.h"
#include "tests/program_run.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using nlohmann::json;

namespace {

struct InfoRun {
  int status = -1;
  std::string text;
  std::vector<json> docs;  // the files of the JSON document
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
  if (!as_json) return r;
  // The whole output is one document.
  const json doc = json::parse(r.text);
  EXPECT_EQ(doc["version"], 1);
  EXPECT_EQ(doc.size(), 2u);
  for (const json& file : doc["files"]) r.docs.push_back(file);
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

// Every loss a note says has its record: a dropped kind's warning the kind's entries, a
// material's line an entry of its own, and every other loss line at least one entry.
void expect_records_for_notes(const json& target) {
  size_t materials = 0, losses = 0;
  for (const std::string note : target["notes"]) {
    const std::string dropped = "this format doesn't support '";
    if (note.starts_with(dropped)) {
      const std::string kind =
          note.substr(dropped.size(), note.find('\'', dropped.size()) - dropped.size());
      bool found = false;
      for (const json& k : target["dropped_kinds"]) found = found || k["kind"] == kind;
      EXPECT_TRUE(found) << note;
      continue;
    }
    if (note.find("] to PCM (") != std::string::npos) {
      ++materials;
      continue;
    }
    bool loss = note.starts_with("clamped ") || note.starts_with("replaced tempo") ||
                note.starts_with("unit [") || note.find("] waveform from") != std::string::npos ||
                note.find("] wave from") != std::string::npos;
    for (int t = 1; t <= TARGET_COUNT; ++t) {
      loss = loss || note.starts_with(std::string(target_rule(t).family) + ": ");
    }
    losses += loss ? 1 : 0;
  }
  EXPECT_EQ(target["materials"].size(), materials);
  const size_t records =
      target["clamps"].size() + target["not_written"].size() + target["units_dropped"].size();
  EXPECT_LE(losses, records) << target["notes"];
  EXPECT_EQ(losses == 0, records == 0) << target["notes"];
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
    expect_records_for_notes(target);
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
      expect_records_for_notes(target);
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

namespace {

// Units 0 "lead" and 1 "bass" and a PCM, a qxVoice and a qxNoise woice (1000 frames).
// Unit 0 has 3 pan-time events, unit 1 2 voice-no events naming woice 2 (not its own), and
// unit 9, which the song does not have, 2 key events; a comment and an overdrive of amp 2.
void write_loss_song(const std::string& path) {
  Project p;
  project_setup(p);
  p.comment_text = "two\nlines";
  add_pcm_woice(p);
  add_voice_woice(p);
  add_noise_woice(p, 1000);
  add_unit(p, "lead");
  add_unit(p, "bass");
  overdrive_add(p, 1, 90.0f, 2.0f);
  for (int32_t clock : {0, 480}) {
    put(p, clock, 0, EVENT_ON, 240);
    put(p, clock, 1, EVENT_VOICE_NO, 2);
    put(p, clock, 9, EVENT_KEY, 0x5000);
  }
  put(p, 0, 1, EVENT_ON, 480);
  for (int32_t clock : {0, 480, 960}) put(p, clock, 0, EVENT_PAN_TIME, 10);
  ASSERT_EQ(write_capture(p, path, TARGET_X5X_NO_OGG).ok, 1);
}

struct LossCase {
  int target;
  json dropped_kinds;
  std::vector<int> rendered;  // woices turned to PCM
  bool unit_9_dropped;
  json not_written;  // some of the entries
};

const json PAN_TIME = {{"kind", "pan-time"}, {"unit", 0}, {"count", 3}};
const json VOICE_NO = {{"kind", "voice-no"}, {"unit", 1}, {"count", 2}};
const json COMMENT = {{"what", "comment"}, {"count", 1}};
const json OVERDRIVE = {{"what", "overdrives"}, {"count", 1}};

}  // namespace

class InfoLosses : public ::testing::TestWithParam<LossCase> {};

TEST_P(InfoLosses, RecordedAsTheTargetLosesThem) {
  const LossCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.file("losses.qxprj");
  write_loss_song(path);
  const json doc = info({path}, true).docs.at(0);
  const json& target = doc["targets"][c.target - 1];
  ASSERT_EQ(target["ok"], true) << target;
  EXPECT_EQ(target["dropped_kinds"], c.dropped_kinds);

  ASSERT_EQ(target["materials"].size(), c.rendered.size());
  for (size_t i = 0; i < c.rendered.size(); ++i) {
    const json& m = target["materials"][i];
    const json& woice = doc["woices"][c.rendered[i]];
    EXPECT_EQ(m["woice"], c.rendered[i]);
    EXPECT_EQ(m["name"], woice["name"]);
    EXPECT_EQ(m["from"], woice["kind"]);
    EXPECT_EQ(m["to"], "PCM");
    EXPECT_EQ(m["from_bytes"], woice["material_bytes"]);
    // Rendered as stereo 16-bit frames: the qxNoise woice's 1000 of them.
    EXPECT_EQ(m["to_bytes"].get<int>() % 4, 0);
    if (woice["kind"] == "qxNoise") {
      EXPECT_EQ(m["to_bytes"], 4000);
    }
  }

  const json unit_9 = {{"unit", 9}, {"name", nullptr}, {"events", 2}};
  EXPECT_EQ(target["units_dropped"], c.unit_9_dropped ? json::array({unit_9}) : json::array());
  for (const json& entry : c.not_written) {
    EXPECT_NE(std::find(target["not_written"].begin(), target["not_written"].end(), entry),
              target["not_written"].end())
        << entry << " in " << target["not_written"];
  }
  expect_records_for_notes(target);
}

INSTANTIATE_TEST_SUITE_P(
    EveryTarget, InfoLosses,
    ::testing::Values(
        LossCase{1,
                 {PAN_TIME, VOICE_NO},
                 {1, 2},
                 true,
                 {COMMENT, {{"what", "overdrive-amps"}, {"count", 1}}}},
        LossCase{2, {PAN_TIME, VOICE_NO}, {2}, true, {COMMENT}},
        LossCase{3, {PAN_TIME, VOICE_NO}, {}, true, json::array()},
        LossCase{6, {PAN_TIME}, {}, true, json::array()},
        LossCase{7, json::array(), {}, false, json::array()},
        LossCase{10,
                 {PAN_TIME, VOICE_NO},
                 {},
                 true,
                 {COMMENT, OVERDRIVE, {{"what", "woices"}, {"count", 3}}}},
        LossCase{12, {PAN_TIME}, {}, false, {OVERDRIVE, {{"what", "woices"}, {"count", 3}}}},
        LossCase{
            13,
            json::array(),
            {1, 2},
            false,
            {COMMENT, {{"what", "events"}, {"count", 10}}, {{"what", "units"}, {"count", 2}}}}),
    [](const ::testing::TestParamInfo<LossCase>& info) {
      return "Target" + std::to_string(info.param.target);
    });

// The run's one document, as a script outside this program reads it, with the loaded file's
// targets and their materials and the missing file's error; the page's document of a file is
// the run's.
TEST(InfoJson, OneDocumentForTheRunThatPythonReads) {
  ScratchDir dir;
  const std::string song = dir.file("a song.qxprj");
  write_loss_song(song);
  const std::string script =
      "import json, sys; d = json.load(sys.stdin); print(d[\"version\"], len(d[\"files\"]))\n"
      "for f in d[\"files\"]:\n"
      "  t = f.get(\"targets\", []); print(f[\"loaded\"], len(t), "
      "sum(len(x[\"materials\"]) for x in t))";
  const std::string command = std::string("'") + TARVENOX_EXE + "' --info --json '" + song + "' '" +
                              dir.file("missing.qxprj") + "' | /usr/bin/python3 -c '" + script +
                              "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[256];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(out, "1 2\nTrue 13 5\nFalse 0 0\n");

  EXPECT_EQ(json::parse(info_file_document(song)), info({song}, true).docs.at(0));
}

struct FolderCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> files;  // as the document names them, or what the output says
};

class InfoFolders : public ::testing::TestWithParam<FolderCase> {};

// A folder stands for the song, tune, instrument and MIDI files directly inside it, sorted.
TEST_P(InfoFolders, StandForTheFilesInside) {
  const FolderCase& c = GetParam();
  ScratchDir dir;
  std::filesystem::create_directories(dir.file("songs/inner"));
  std::filesystem::create_directories(dir.file("empty"));
  write_loss_song(dir.file("songs/b.qxprj"));
  std::filesystem::copy_file(std::string(TARVENOX_SOURCE_DIR) + "/examples/demo.qxi",
                             dir.file("songs/a.qxi"));
  std::filesystem::copy_file(dir.file("songs/b.qxprj"), dir.file("songs/inner/c.qxprj"));
  std::filesystem::copy_file(dir.file("songs/b.qxprj"), dir.file("songs/notes.txt"));
  const ProgramRun run = run_tarvenox(dir.path(), c.args);
  ASSERT_EQ(run.status, c.status) << run.out;
  if (c.status != 0 || c.args[1] != "--json") {
    // The plain report's heading lines, or the usage error.
    size_t at = 0;
    for (const std::string& line : c.files) {
      at = run.out.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << " in " << run.out;
    }
    return;
  }
  const json doc = json::parse(run.out);
  std::vector<std::string> files;
  for (const json& f : doc["files"]) files.push_back(f["file"]);
  EXPECT_EQ(files, c.files);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, InfoFolders,
    ::testing::Values(
        FolderCase{"Json", {"--info", "--json", "songs"}, 0, {"songs/a.qxi", "songs/b.qxprj"}},
        FolderCase{"AfterAFile",
                   {"--info", "--json", "songs/b.qxprj", "songs/"},
                   0,
                   {"songs/b.qxprj", "songs/a.qxi", "songs/b.qxprj"}},
        FolderCase{
            "Text", {"--info", "songs"}, 0, {"songs/a.qxi\n  kind", "\nsongs/b.qxprj\n  kind"}},
        FolderCase{"EmptyIsAUsageError",
                   {"--info", "--json", "empty"},
                   2,
                   {"tarvenox: no song, tune, instrument or MIDI file to inspect (see --help)\n"}},
        FolderCase{
            "EmptyBesideAFile", {"--info", "empty", "songs/b.qxprj"}, 0, {"songs/b.qxprj\n"}}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return info.param.name; });
