// Instrument-file targets 10 and 11: step records, their arithmetic, the warnings and the
// exact text of the listing.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "io/open_input.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/song_parser.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

const char* const kKindWarning =
    "\n- WARNING: this format doesn't support '%s' event. The output file will discard it to "
    "avoid issues! -";

std::string kind_warning(const char* kind) {
  char buf[200];
  std::snprintf(buf, sizeof buf, kKindWarning, kind);
  return buf;
}

std::string text_of(const std::string& path) {
  std::vector<uint8_t> b = song_parser::read_file(path);
  return std::string(b.begin(), b.end());
}

// Eight units, tempo 300.5, repeat at clock 0, a wait of 300 steps, unchanged values,
// kinds the format lacks, and a unit beyond the sixth.
void build_instrument_song(Project& p) {
  project_setup(p);
  p.beat_tempo = 300.5f;
  p.last_meas = 11;
  for (int i = 0; i < 8; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "unit_%02d", i);
    add_unit(p, name);
  }
  put(p, 0, 0, EVENT_VOICE_NO, 0);
  put(p, 0, 0, EVENT_KEY, 0x4500);
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 0, 1, EVENT_KEY, 0x6A00);  // the starting key: nothing written
  put(p, 480, 0, EVENT_VEL, 127);
  put(p, 480, 1, EVENT_VOL, 64);
  put(p, 960, 0, EVENT_PAN, 10);
  put(p, 1200, 7, EVENT_ON, 480);
  put(p, 1230, 0, EVENT_PORTAMENT, 30);
  put(p, 19200, 0, EVENT_ON, 60);
  put(p, 19200, 0, EVENT_VEL, 127);  // unchanged: nothing written
}

// Loads a file through the program's own reader, as the dialogue does for target 10.
::testing::AssertionResult load(Project& p, const std::string& path) {
  project_setup(p);
  int tune = 0;
  if (open_input(p, path, &tune)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << ": " << p.report_text;
}

// Loads an instrument file and writes it as an instrument file again.
WriteResult convert_instrument(const std::vector<uint8_t>& file, const ScratchDir& dir,
                               const std::string& name) {
  const std::string in = dir.file(name + "_in.qxi");
  FILE* f = std::fopen(in.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f) {
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
  Project p;
  EXPECT_TRUE(load(p, in));
  return write_capture(p, dir.file(name + ".qxi"), 10);
}

std::vector<std::tuple<int32_t, int, int32_t>> notes_of(const Project& p) {
  std::vector<std::tuple<int32_t, int, int32_t>> notes;
  for (const Event& e : p.events) {
    if (e.kind == EVENT_ON) notes.emplace_back(e.clock, e.unit_no, e.value);
  }
  return notes;
}

}  // namespace

TEST(WriterQxi, InstrumentToInstrumentKeepsEveryByte) {
  // Every volume byte, a key, notes, a repeat, a wait longer than one record holds and the
  // last point: a file the writer itself would make, which one pass must reproduce.
  Bytes file = Bytes().u8(120).u8(8).raw({0, 4, 3}).raw({0, 2, 8});
  for (int v = 0; v <= 255; ++v) file.raw({0, 3, static_cast<uint8_t>(v)});
  file.raw({0, 5, 32}).raw({0, 2, 8}).raw({0, 1, 255}).raw({0, 1, 45}).raw({1, 2, 4});
  file.raw({0, 6, 20});
  ScratchDir dir;
  WriteResult once = convert_instrument(file.b, dir, "once");
  ASSERT_EQ(once.ok, 1) << once.error;
  EXPECT_EQ(once.bytes, file.b);
  EXPECT_EQ(once.console, "");  // nothing the file held is lost
  WriteResult twice = convert_instrument(once.bytes, dir, "twice");
  ASSERT_EQ(twice.ok, 1) << twice.error;
  EXPECT_EQ(twice.bytes, once.bytes);
}

TEST(WriterQxi, VolumeBytesRoundToTheNearest) {
  // Chosen where truncating, or dividing by 128, gives one less.
  Project p;
  project_setup(p);
  for (const char* name : {"a", "b", "c"}) add_unit(p, name);
  put(p, 0, 0, EVENT_VEL, 100);  // 100 x 104 / 127 = 81.9
  put(p, 0, 1, EVENT_VOL, 200);  // 200 x 104 / 127 = 163.8
  put(p, 0, 2, EVENT_VEL, 127);  // 127 x 104 / 127 = 104
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("v.qxi"), 10);
  ASSERT_EQ(r.ok, 1) << r.error;
  // The repeat at measure 0 comes first; vel events stand before vol events of one clock.
  EXPECT_EQ(
      r.bytes,
      Bytes().u8(120).u8(8).raw({0, 5, 0}).raw({0, 3, 82}).raw({2, 3, 104}).raw({1, 3, 164}).b);
}

TEST(WriterQxi, RecordsListingAndWarnings) {
  Project p;
  build_instrument_song(p);
  ScratchDir dir;
  const std::string out = dir.file("song.qxi");
  WriteResult r = write_capture(p, out, 11);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.bytes, Bytes()
                         .u8(255)  // 300.5 held within a byte
                         .u8(8)
                         .raw({0, 5, 0})
                         .raw({0, 4, 3})
                         .raw({0, 2, 8})
                         .raw({0, 1, 8})
                         .raw({0, 3, 104})  // velocity 127 at volume 104
                         .raw({1, 3, 52})   // volume 64 at velocity 104
                         .raw({0, 1, 8})
                         .raw({0, 1, 4})
                         .raw({0, 1, 255})  // 300 steps
                         .raw({0, 1, 45})
                         .raw({0, 2, 1})
                         .raw({0, 6, 32})
                         .b);
  EXPECT_EQ(text_of(dir.file("song.txt")),
            "beat-tempo : 255\n"
            "beat-divide: 8\n"
            "div-clock  : 60\n"
            "00 repeat\n"
            "\tunit: 00, kind: key v:3\n"
            "\tunit: 00, kind: On v:8\n"
            "08\n"
            "\tunit: 00, kind: vel v:104\n"
            "\tunit: 01, kind: vol v:52\n"
            "08\n"
            "04\n"
            "255\n"
            "45\n"
            "\tunit: 00, kind: On v:1\n"
            "32 last\n"
            "event num: 12\n");
  // Unit 0's voice-no says it plays woice 0, as the file's unit 0 does: no loss to warn of.
  EXPECT_EQ(r.console, kind_warning("pan") + kind_warning("portament") +
                           "\n- WARNING: unit [06] 'unit_06' located beyond QXI unit num (max: "
                           "05). The output will discard it! -"
                           "\n- WARNING: unit [07] 'unit_07' located beyond QXI unit num (max: "
                           "05). The output will discard it! -"
                           "\n* clamped tempo 300.5 to 255");

  // Each conversion says what it loses, the song's first or not: a second write of the same
  // song says it all again.
  WriteResult again = write_capture(p, dir.file("again.qxi"), 10);
  ASSERT_EQ(again.ok, 1) << again.error;
  EXPECT_EQ(again.bytes, r.bytes);
  EXPECT_FALSE(exists(dir.file("again.txt")));
  EXPECT_EQ(again.console, r.console);
}

TEST(WriterQxi, RepeatAndLastStandAtTheirOwnClocks) {
  // Notes at 0 and 960 and a key at 2000 (64 - 66 = -2, written as 254); steps of 60 clocks.
  const std::vector<uint8_t> note0{0, 2, 8}, note960{0, 1, 16, 0, 2, 8}, key{0, 4, 254};
  const struct {
    const char* what;
    int32_t repeat_meas, last_meas;  // measures of 1920 clocks
    std::vector<std::vector<uint8_t>> records;
  } cases[] = {
      // No event at the repeat: it goes before the first event past it, 16 steps after the
      // second note, and the key follows one step (80 clocks) later.
      {"repeat between events", 1, 0, {note0, note960, {0, 5, 16, 0, 1, 1}, key}},
      // A last point before the final event comes in its place; earlier it wrapped. (The
      // repeat at measure 0 stands first, as an event lies at clock 0.)
      {"last before the final event", 0, 1, {{0, 5, 0}, note0, note960, {0, 6, 16, 0, 1, 1}, key}},
      // Both after every event: the repeat 30 steps after the key, the last 32 after that.
      {"both past the end", 2, 3, {note0, note960, {0, 1, 17}, key, {0, 5, 30, 0, 6, 32}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Project p;
    project_setup(p);
    add_unit(p, "unit_00");
    p.repeat_meas = c.repeat_meas;
    p.last_meas = c.last_meas;
    put(p, 0, 0, EVENT_ON, 480);
    put(p, 960, 0, EVENT_ON, 480);
    put(p, 2000, 0, EVENT_KEY, 0x4000);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("n.qxi"), 10);
    ASSERT_EQ(r.ok, 1) << r.error;
    Bytes want = Bytes().u8(120).u8(8);
    for (const auto& rec : c.records) want.raw(rec);
    EXPECT_EQ(r.bytes, want.b);
    EXPECT_EQ(r.console,
              "\n* instrument file: 1 event not on an eighth of a beat moved to the eighth before");
    Project back;
    ASSERT_TRUE(load(back, dir.file("n.qxi")));
    EXPECT_EQ(back.repeat_meas, c.repeat_meas);
    EXPECT_EQ(back.last_meas, c.last_meas);
    EXPECT_EQ(notes_of(back),
              (std::vector<std::tuple<int32_t, int, int32_t>>{{0, 0, 480}, {960, 0, 480}}));
  }
}

TEST(WriterQxi, RepeatBeforeLaterEventAndBeatClockTooSmall) {
  Project p;
  project_setup(p);
  add_unit(p, "a");
  p.repeat_meas = 1;  // 1920
  put(p, 1920, 0, EVENT_ON, 240);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("r.qxi"), 11);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.bytes, Bytes().u8(120).u8(8).raw({0, 5, 32}).raw({0, 2, 4}).b);
  EXPECT_EQ(text_of(dir.file("r.txt")),
            "beat-tempo : 120\nbeat-divide: 8\ndiv-clock  : 60\n32 repeat\n"
            "\tunit: 00, kind: On v:4\nevent num: 2\n");

  // A beat clock below 8 has no step length: refused instead of dividing by zero.
  p.beat_clock = 7;
  r = write_capture(p, dir.file("z.qxi"), 10);
  EXPECT_EQ(r.ok, 0);
  EXPECT_STREQ(p.error_text, "beat clock too small for qxi");
  EXPECT_FALSE(exists(dir.file("z.qxi")));
}

TEST(WriterQxi, TempoIsHeldWithinAByte) {
  const struct {
    float tempo;
    uint8_t byte;
    const char* line;
  } cases[] = {
      {255.9f, 255, "\n* instrument file: tempo 255.9 written as 255"},
      {1.0f, 1, ""},
      {300.5f, 255, "\n* clamped tempo 300.5 to 255"},
      {256.0f, 255, "\n* clamped tempo 256 to 255"},
      {INFINITY, 255, "\n* clamped tempo inf to 255"},
      {0.0f, 1, "\n* clamped tempo 0 to 1"},
      {0.5f, 1, "\n* clamped tempo 0.5 to 1"},
      {-3.0f, 1, "\n* clamped tempo -3 to 1"},
      {NAN, 120, "\n* replaced tempo nan with 120"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tempo);
    Project p;
    project_setup(p);
    add_unit(p, "unit_00");
    p.beat_tempo = c.tempo;
    put(p, 0, 0, EVENT_ON, 480);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("t.qxi"), 10);
    ASSERT_EQ(r.ok, 1) << r.error;
    EXPECT_EQ(r.bytes, Bytes().u8(c.byte).u8(8).raw({0, 5, 0}).raw({0, 2, 8}).b);
    EXPECT_EQ(r.console, c.line);
    Project back;
    ASSERT_TRUE(load(back, dir.file("t.qxi")));
    EXPECT_EQ(back.beat_tempo, c.byte);
  }
}

// A gap that whole records hold takes no wait of 0 after them.
TEST(WriterQxi, GapsOfWholeRecordsTakeNoEmptyWait) {
  const struct {
    int32_t steps;
    std::vector<uint8_t> waits;
  } cases[] = {{255, {0, 1, 255}}, {510, {0, 1, 255, 0, 1, 255}}};
  for (const auto& c : cases) {
    Project p;
    project_setup(p);
    add_unit(p, "a");
    put(p, 0, 0, EVENT_ON, 60);
    put(p, c.steps * 60, 0, EVENT_ON, 60);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("w.qxi"), 10);
    ASSERT_EQ(r.ok, 1) << r.error;
    // Tempo, divide, the repeat at clock 0, a note, the waits, a note.
    EXPECT_EQ(r.bytes, Bytes().raw({120, 8, 0, 5, 0, 0, 2, 1}).raw(c.waits).raw({0, 2, 1}).b)
        << c.steps;
  }
}

TEST(WriterQxi, LongGapsKeepTheirClockAndLongValuesAreHeld) {
  Project p;
  project_setup(p);
  for (const char* name : {"unit_00", "unit_01", "unit_02"}) add_unit(p, name);
  p.repeat_meas = 20;  // clock 38400, 340 steps after the second note
  p.last_meas = 40;    // clock 76800, 640 steps after the repeat
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 18000, 0, EVENT_ON, 20000);  // 300 steps later, 333 steps long
  put(p, 18000, 2, EVENT_ON, 20000);
  put(p, 18000, 1, EVENT_VOL, 400);  // 327.6
  put(p, 18000, 2, EVENT_VOL, 500);
  put(p, 38400, 0, EVENT_KEY, 0x4500);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("g.qxi"), 10);
  ASSERT_EQ(r.ok, 1) << r.error;
  // By clock: 0; 18000 (300 steps); the repeat at 38400; the last point.
  EXPECT_EQ(r.bytes, Bytes()
                         .u8(120)
                         .u8(8)
                         .raw({0, 2, 8})
                         .raw({0, 1, 255, 0, 1, 45, 0, 2, 255, 2, 2, 255, 1, 3, 255, 2, 3, 255})
                         .raw({0, 1, 255, 0, 5, 85, 0, 4, 3})
                         .raw({0, 1, 255, 0, 1, 255, 0, 6, 130})
                         .b);
  // One line per kind, however many values were held.
  EXPECT_EQ(r.console,
            "\n* instrument file: 2 notes shortened to whole eighths of a beat"
            "\n* clamped note lengths above 255 steps to 255\n* clamped volumes above 255 to 255");

  Project back;
  ASSERT_TRUE(load(back, dir.file("g.qxi")));
  EXPECT_EQ(notes_of(back), (std::vector<std::tuple<int32_t, int, int32_t>>{
                                {0, 0, 480}, {18000, 0, 15300}, {18000, 2, 15300}}));
  EXPECT_EQ(back.repeat_meas, 20);
  EXPECT_EQ(back.last_meas, 40);
}
