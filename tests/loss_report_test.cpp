// What each target loses gets its line, at that target and no other; what a target plays by
// other means (its unit-woice tie, group 0, a carried tuning) gets none.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "io/qxi_reader.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

// A song every target holds whole: unit 0 plays the instrument file's first built-in woice at
// a whole semitone on the step grid, told so by a voice-no and a group-no event.
void base_song(Project& p) {
  project_setup(p);
  set_magic(p, "QXMOSAIKA-071119");
  ASSERT_TRUE(load_builtin_voice(p, "QXV_TRIA784"));
  add_unit(p, "unit_00");
  put(p, 0, 0, EVENT_VOICE_NO, 0);
  put(p, 0, 0, EVENT_GROUP_NO, 0);
  put(p, 0, 0, EVENT_KEY, 0x4500);
  put(p, 0, 0, EVENT_ON, 480);
}

// The loss lines and warnings of a conversion, one entry each.
std::vector<std::string> loss_lines(const std::string& console) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = console.find('\n', at)) != std::string::npos) {
    const size_t end = console.find('\n', at + 1);
    const std::string line = console.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    at = at + 1;
    const bool loss = line.rfind("- WARNING", 0) == 0 ||
                      (line.rfind("* ", 0) == 0 && line.find(": ") != std::string::npos &&
                       line.find("converted") == std::string::npos &&
                       line.find("created unit") == std::string::npos);
    if (loss) lines.push_back(line);
  }
  return lines;
}

const std::set<int> X1X{1, 2}, OLD{1, 2, 3, 4, 5}, QXI{10, 11};

std::set<int> join(std::set<int> a, const std::set<int>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

struct LossCase {
  const char* line;  // the end of the line that reports it
  std::set<int> targets;
  std::function<void(Project&)> change;
};

}  // namespace

TEST(LossReport, EveryLossHasItsLineAtTheTargetsThatLoseIt) {
  const LossCase cases[] = {
      {"song name cut to 16 characters", X1X,
       [](Project& p) { p.name_text = "a name of twenty ch"; }},
      {"song name not written", QXI, [](Project& p) { p.name_text = "a name of twenty ch"; }},
      {"comment not written", join(X1X, QXI), [](Project& p) { p.comment_text = "c"; }},
      {"repeat and last measures not written (repeat 1, last 2)", X1X,
       [](Project& p) {
         p.repeat_meas = 1;
         p.last_meas = 2;
       }},
      {"amp of 1 overdrive not written, the old layout plays 1", X1X,
       [](Project& p) { overdrive_add(p, 0, 80.0f, 2.0f); }},
      {"1 overdrive not written", QXI, [](Project& p) { overdrive_add(p, 0, 80.0f, 1.0f); }},
      {"1 delay not written", QXI,
       [](Project& p) {
         p.delays[0] = {1, 1, 0, 1.0f, 30.0f};
       }},
      {"1 qxVoice voice beyond the first of a woice not rendered",
       {1},
       [](Project& p) { add_voice_woice(p, 2); }},
      {"1 woice name not written", join(OLD, QXI),
       [](Project& p) { std::memcpy(p.woices[0]->name, "lead", 5); }},
      {"1 unit name not written", QXI,
       [](Project& p) { std::memcpy(p.units[0]->name, "bass", 5); }},
      {"1 event not written, of 1 unit the song does not have", join(join(OLD, {6}), QXI),
       [](Project& p) { put(p, 0, 9, EVENT_ON, 480); }},
      {"1 woice not written, units play the built-in instruments", QXI,
       [](Project& p) { add_pcm_woice(p); }},
      {"tempo 120.5 written as 120", QXI, [](Project& p) { p.beat_tempo = 120.5f; }},
      {"3 beats a measure not written, the file counts 4 (repeat and last measures move)", QXI,
       [](Project& p) { p.beat_num = 3; }},
      {"1 beat a measure not written, the file counts 4 (repeat and last measures move)", QXI,
       [](Project& p) { p.beat_num = 1; }},
      {"beat clock 484 is not a multiple of 8, events drift from the beat", QXI,
       [](Project& p) { p.beat_clock = 484; }},
      {"1 event not on an eighth of a beat moved to the eighth before", QXI,
       [](Project& p) { put(p, 30, 0, EVENT_VOL, 90); }},
      {"1 note shortened to whole eighths of a beat", QXI,
       [](Project& p) { put(p, 960, 0, EVENT_ON, 50); }},
      {"1 key moved to a semitone the file can hold", QXI,
       [](Project& p) { put(p, 960, 0, EVENT_KEY, 0x4580); }},
      {"1 key out of the old generations' range held at its ends", OLD,
       [](Project& p) { put(p, 960, 0, EVENT_KEY, 0xC000); }},
      {"'voice-no' event", join(OLD, QXI),
       [](Project& p) {
         ASSERT_TRUE(load_builtin_voice(p, "QXV_TRIA784"));
         put(p, 480, 0, EVENT_VOICE_NO, 1);
       }},
      {"'group-no' event", join(OLD, QXI), [](Project& p) { put(p, 480, 0, EVENT_GROUP_NO, 2); }},
      {"'correct' event", join(OLD, QXI),
       [](Project& p) { put(p, 0, 0, EVENT_CORRECT, 0x3FC00000); }},
      {"1 event time rounded down to 1/480 of a beat",
       {1, 2, 3, 4, 5, 6, 7, 8},
       [](Project& p) {
         set_magic(p, "QXTUNE--20071119");
         p.beat_clock = 4800;
         put(p, 4805, 0, EVENT_VOL, 90);
       }},
  };
  for (int target = 1; target <= 11; ++target) {
    Project base;
    base_song(base);
    ScratchDir dir;
    const WriteResult r = write_capture(base, dir.file("base"), target);
    ASSERT_EQ(r.ok, 1) << target << ": " << r.error;
    EXPECT_EQ(loss_lines(r.console), std::vector<std::string>{}) << target;
  }
  for (const LossCase& c : cases) {
    for (int target = 1; target <= 11; ++target) {
      SCOPED_TRACE(std::string(c.line) + ", target " + std::to_string(target));
      Project p;
      base_song(p);
      c.change(p);
      ScratchDir dir;
      const WriteResult r = write_capture(p, dir.file("song"), target);
      if (!r.ok) {
        EXPECT_EQ(r.error, "deny beatclock");  // a tune at the newest targets
        continue;
      }
      int found = 0;
      for (const std::string& line : loss_lines(r.console)) {
        found += line.find(c.line) != std::string::npos ? 1 : 0;
      }
      EXPECT_EQ(found, c.targets.count(target)) << r.console;
    }
  }
}

// A correct event at clock 0 that repeats the x3x tuning of its unit's qxVoice woice is what
// the old qxVoice bodies carry; the rendered one of x1x carries none.
TEST(LossReport, CarriedTuningIsNoLoss) {
  for (int target = 1; target <= 5; ++target) {
    Project p;
    base_song(p);
    p.woices[0]->x3x_tuning = 1.5f;
    put(p, 0, 0, EVENT_CORRECT, 0x3FC00000);
    ScratchDir dir;
    const WriteResult r = write_capture(p, dir.file("song"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    EXPECT_EQ(r.console.find("'correct'") != std::string::npos, target == 1) << target;
  }
}

// WAV files keep each woice's sound and root key: the rest of the song is said, once each.
TEST(LossReport, WavSaysAllButTheWoices) {
  Project p;
  base_song(p);
  ScratchDir dir;
  const std::vector<std::string> base = {
      "* wav: 4 events of 1 unit not written, WAV files hold the woices only",
      "* wav: the flags of 1 woice not written"};
  EXPECT_EQ(loss_lines(write_capture(p, dir.file("a.woices"), TARGET_WAV).console), base);
  p.name_text = "song";
  p.comment_text = "words";
  p.delays[0] = {1, 1, 0, 1.0f, 30.0f};
  p.woices[0]->voices[0].tuning = 1.5f;
  p.woices[0]->voices[0].voice_flags = 0;
  EXPECT_EQ(loss_lines(write_capture(p, dir.file("b.woices"), TARGET_WAV).console),
            (std::vector<std::string>{
                "* wav: 4 events of 1 unit not written, WAV files hold the woices only",
                "* wav: 1 delay not written", "* wav: song name not written",
                "* wav: comment not written", "* wav: 1 woice tuning not written"}));
}
