// Instrument-file targets 10 and 11: step records, their arithmetic, the warnings and the
// exact text of the listing.
#include <gtest/gtest.h>

#include <string>
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

// Loads an instrument file through the program's reader, as the dialogue does for target
// 10, and writes it as an instrument file again.
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
  project_setup(p);
  int tune = 0;
  if (!open_input(p, in, 10, &tune)) {
    ADD_FAILURE() << name << ": " << p.report_text;
    return {};
  }
  return write_capture(p, dir.file(name + ".qxi"), 10);
}

}  // namespace

TEST(WriterQxi, InstrumentToInstrumentKeepsEveryByte) {
  // Every volume byte, a key, notes, a repeat, a wait and the last point: a file the writer
  // itself would make, which one pass must reproduce.
  Bytes file = Bytes().u8(120).u8(8).raw({0, 4, 3}).raw({0, 2, 8});
  for (int v = 0; v <= 255; ++v) file.raw({0, 3, static_cast<uint8_t>(v)});
  file.raw({0, 5, 32}).raw({0, 2, 8}).raw({0, 1, 200}).raw({1, 2, 4}).raw({0, 6, 24});
  ScratchDir dir;
  WriteResult once = convert_instrument(file.b, dir, "once");
  ASSERT_EQ(once.ok, 1) << once.error;
  EXPECT_EQ(once.bytes, file.b);
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
                         .u8(44)  // 300 in 8 bits
                         .u8(8)
                         .raw({0, 5, 0})
                         .raw({0, 4, 3})
                         .raw({0, 2, 8})
                         .raw({0, 1, 8})
                         .raw({0, 3, 104})  // velocity 127 at volume 104
                         .raw({1, 3, 52})   // volume 64 at velocity 104
                         .raw({0, 1, 8})
                         .raw({0, 1, 4})
                         .raw({0, 1, 44})  // 300 steps
                         .raw({0, 2, 1})
                         .raw({0, 6, 32})
                         .b);
  EXPECT_EQ(text_of(dir.file("song.txt")),
            "beat-tempo : 300\n"
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
            "300\n"
            "\tunit: 00, kind: On v:1\n"
            "32 last\n"
            "event num: 11\n");
  EXPECT_EQ(r.console, kind_warning("pan") + kind_warning("portament") + kind_warning("voice-no") +
                           "\n- WARNING: unit [06] 'unit_06' located beyond QXI unit num (max: "
                           "05). The output will discard it! -"
                           "\n- WARNING: unit [07] 'unit_07' located beyond QXI unit num (max: "
                           "05). The output will discard it! -");

  // Each kind is warned about once per run: a second write says only the unit lines.
  WriteResult again = write_capture(p, dir.file("again.qxi"), 10);
  ASSERT_EQ(again.ok, 1) << again.error;
  EXPECT_EQ(again.bytes, r.bytes);
  EXPECT_FALSE(exists(dir.file("again.txt")));
  EXPECT_EQ(again.console.find("doesn't support"), std::string::npos);
}

TEST(WriterQxi, NotesWaitsAndRepeatPositions) {
  Project p;
  project_setup(p);
  add_unit(p, "a");
  p.repeat_meas = 1;  // clock 1920: no event there, no repeat record
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 960, 0, EVENT_ON, 480);
  put(p, 2000, 0, EVENT_KEY, 0x4000);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("n.qxi"), 10);
  ASSERT_EQ(r.ok, 1) << r.error;
  // Tempo 120; key 0x4000 gives 64 - 66 = -2, whose low 8 bits are 254.
  EXPECT_EQ(r.bytes, Bytes()
                         .u8(120)
                         .u8(8)
                         .raw({0, 2, 8})
                         .raw({0, 1, 16})
                         .raw({0, 2, 8})
                         .raw({0, 1, 17})
                         .raw({0, 4, 254})
                         .b);
  EXPECT_EQ(r.console, "");
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
