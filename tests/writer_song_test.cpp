// ParsedSong targets 1 to 9: chunk order, header words, the records the writer makes itself,
// event timing, overdrive layouts and created units, checked through the test parser.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "io/chunk_writers.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/song_parser.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using song_parser::Chunk;
using song_parser::Pair;
using song_parser::parse_song;
using song_parser::ParsedSong;
using song_parser::Triple;
using song_parser::V5Event;

namespace {

// Two PCM woices, one named unit, a delay, two overdrives, texts and a few event kinds.
void build_song(Project& p) {
  project_setup(p);
  p.repeat_meas = 2;
  p.last_meas = 4;
  p.name_text = "demo";
  p.comment_text = "a comment";
  p.delays[0] = {1, 1, 2, 0.5f, 0.25f};
  ASSERT_EQ(overdrive_add(p, 0, 75.0f, 2.0f), 0);
  ASSERT_EQ(overdrive_add(p, 1, 90.0f, 1.5f), 1);
  add_pcm_woice(p);
  add_pcm_woice(p, 1, 8, 22050, 5);
  add_unit(p, "lead");
  put(p, 0, 0, EVENT_KEY, 0x5000);
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 960, 0, EVENT_ON, 480);
  put(p, 480, 0, EVENT_VEL, 100);
  put(p, 1440, 0, EVENT_PAN, 32);
  put(p, 240, 1, EVENT_ON, 120);
}

std::vector<uint8_t> pcm_chunk(int index, bool mono8) {
  Bytes b;
  b.u16(static_cast<uint16_t>(index)).u16(0x4800).u32(3);
  if (mono8) {
    b.u16(1).u16(8).u32(22050).f32(1.25f).u32(5);
    for (uint8_t i = 0; i < 5; ++i) b.u8(i);
  } else {
    b.u16(2).u16(16).u32(44100).f32(1.25f).u32(12);
    for (uint8_t i = 0; i < 12; ++i) b.u8(i);
  }
  return b.b;
}

std::vector<uint8_t> name_body(int index, const char* name) {
  Bytes b;
  b.u16(static_cast<uint16_t>(index)).u16(0).str(name).zeros(16 - std::strlen(name));
  return b.b;
}

ParsedSong write_song(int target, WriteResult* out = nullptr) {
  Project p;
  build_song(p);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("out.qxprj"), target);
  EXPECT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  EXPECT_EQ(s.error, "") << "target " << target;
  if (out) *out = r;
  return s;
}

const std::vector<uint8_t> kDelayBody = Bytes().u16(1).u16(2).f32(0.5f).f32(0.25f).b;

}  // namespace

TEST(WriterSong, X1xLayoutAndRecords) {
  for (int target : {1, 2}) {
    WriteResult r;
    ParsedSong s = write_song(target, &r);
    EXPECT_EQ(s.magic, "QXMOSAIKA-050227");
    EXPECT_EQ(s.exe_version, -1);
    EXPECT_EQ(s.end_tag, "END=====");
    EXPECT_EQ(
        s.tags(),
        (std::vector<std::string>{
            "PROJECT=", "effeDELA", "effeOVER", "effeOVER", "UNIT====", "UNIT====", "matePCM ",
            "matePCM ", "EVENT===", "EVENT===", "EVENT===", "EVENT===", "EVENT===", "EVENT==="}));
    EXPECT_EQ(s.chunks[0].body, Bytes()
                                    .str("demo")
                                    .zeros(12)
                                    .f32(120.0f)
                                    .u16(480)
                                    .u16(4)
                                    .u16(8)
                                    .u16(4)
                                    .u16(2)
                                    .u16(16)
                                    .u32(44100)
                                    .b);
    EXPECT_EQ(s.chunks[1].body, kDelayBody);
    // Old overdrive: group, 0, strength 100 / (100 - cut).
    EXPECT_EQ(s.chunks[2].body, Bytes().u16(0).u16(0).f32(overdrive_old_strength(75.0f)).b);
    EXPECT_EQ(s.chunks[3].body, Bytes().u16(1).u16(0).f32(overdrive_old_strength(90.0f)).b);
    EXPECT_FLOAT_EQ(overdrive_old_strength(75.0f), 4.0f);
    EXPECT_EQ(s.chunks[4].body, Bytes().str("lead").zeros(12).u16(1).u16(0).b);
    EXPECT_EQ(s.chunks[5].body, Bytes().str("u-voice_01").zeros(6).u16(1).u16(0).b);
    EXPECT_EQ(s.chunks[6].body, pcm_chunk(0, false));
    EXPECT_EQ(s.chunks[7].body, pcm_chunk(1, true));
    // Unit 0, On: the second note counts from the end of the first.
    EXPECT_EQ(s.chunks[8].body,
              Bytes().u16(0).u16(1).u32(2).u32(2).var(0).var(480).var(480).var(480).b);
    // Keys less the 0x300 that the reader adds for a basic key of 0x4800; unit 1 has none
    // and gets the one that reads back as the default key 0x6000.
    EXPECT_EQ(s.chunks[9].body, Bytes().u16(0).u16(2).u32(2).u32(1).var(0).var(0x4D00).b);
    EXPECT_EQ(s.chunks[10].body, Bytes().u16(0).u16(3).u32(2).u32(1).var(1440).var(32).b);
    EXPECT_EQ(s.chunks[11].body, Bytes().u16(0).u16(4).u32(2).u32(1).var(480).var(100).b);
    EXPECT_EQ(s.chunks[12].body, Bytes().u16(1).u16(1).u32(2).u32(1).var(240).var(120).b);
    EXPECT_EQ(s.chunks[13].body, Bytes().u16(1).u16(2).u32(2).u32(1).var(0).var(0x5D00).b);
    EXPECT_EQ(r.console,
              "\n* x1x: comment not written"
              "\n* x1x: repeat and last measures not written (repeat 2, last 4)"
              "\n* x1x: amp of 2 overdrives not written, the old layout plays 1"
              "\n* converted overdrive[0] to OLD format -"
              "\n* converted overdrive[1] to OLD format -"
              "\n* created unit 'u-voice_01' for woice [voice_01]");
  }
}

TEST(WriterSong, X2xX3xLayoutAndRecords) {
  for (int target : {3, 4, 5}) {
    WriteResult r;
    ParsedSong s = write_song(target, &r);
    EXPECT_EQ(s.magic, target == 5 ? "QXMOSAIKA-060115" : "QXMOSAIKA-050608");
    EXPECT_EQ(s.exe_version, target == 5 ? 719 : -1);
    EXPECT_EQ(s.dummy, target == 5 ? 0 : -1);
    EXPECT_EQ(s.end_tag, "qxsongND");
    EXPECT_EQ(s.tags(),
              (std::vector<std::string>{"evenMAST", "textNAME", "textCOMM", "effeDELA", "effeSTRA",
                                        "effeSTRA", "qxsgUNIT", "assiUNIT", "matePCM ", "evenUNIT",
                                        "evenUNIT", "evenUNIT", "evenUNIT", "qxsgUNIT", "assiUNIT",
                                        "matePCM ", "evenUNIT", "evenUNIT"}));
    // beat-clock 480, tempo, beat-num 4, repeat at 3840, last 3840 after it; size 30.
    EXPECT_EQ(s.chunks[0].body, Bytes()
                                    .u32(3)
                                    .u32(5)
                                    .var(7)
                                    .var(0)
                                    .var(480)
                                    .var(8)
                                    .var(0)
                                    .var(0x42F00000)
                                    .var(9)
                                    .var(0)
                                    .var(4)
                                    .var(10)
                                    .var(3840)
                                    .var(0)
                                    .var(11)
                                    .var(3840)
                                    .var(0)
                                    .b);
    EXPECT_EQ(s.chunks[0].size, 30u);
    EXPECT_EQ(s.chunks[1].body, Bytes().str("demo").b);
    EXPECT_EQ(s.chunks[2].body, Bytes().str("a comment").b);
    EXPECT_EQ(s.chunks[3].body, kDelayBody);
    EXPECT_EQ(s.chunks[4].body, Bytes().u16(0).u16(0).f32(75.0f).f32(75.0f).f32(2.0f).b);
    EXPECT_EQ(s.chunks[5].body, Bytes().u16(1).u16(0).f32(90.0f).f32(90.0f).f32(1.5f).b);
    EXPECT_EQ(s.chunks[6].body, Bytes().u16(1).u16(0).b);
    EXPECT_EQ(s.chunks[7].body, name_body(0, "lead"));
    EXPECT_EQ(s.chunks[8].body, pcm_chunk(0, false));
    EXPECT_EQ(s.chunks[9].body,
              Bytes().u16(0).u16(1).u32(2).u32(2).var(0).var(480).var(960).var(480).b);
    EXPECT_EQ(s.chunks[14].body, name_body(1, "u-voice_01"));
    EXPECT_EQ(s.chunks[15].body, pcm_chunk(1, true));
    EXPECT_EQ(s.chunks[10].body, Bytes().u16(0).u16(2).u32(2).u32(1).var(0).var(0x4D00).b);
    EXPECT_EQ(s.chunks[16].body, Bytes().u16(1).u16(1).u32(2).u32(1).var(240).var(120).b);
    EXPECT_EQ(s.chunks[17].body, Bytes().u16(1).u16(2).u32(2).u32(1).var(0).var(0x5D00).b);
    EXPECT_EQ(r.console,
              "\n* converted overdrive[0] to STRAIN format -"
              "\n* converted overdrive[1] to STRAIN format -"
              "\n* created unit 'u-voice_01' for woice [voice_01]");
  }
}

TEST(WriterSong, X4xLayoutAndRecords) {
  WriteResult r;
  ParsedSong s = write_song(6, &r);
  EXPECT_EQ(s.magic, "QXMOSAIKA-060930");
  EXPECT_EQ(s.exe_version, 834);
  EXPECT_EQ(s.tags(), (std::vector<std::string>{"evenMAST", "textNAME", "textCOMM", "effeDELA",
                                                "effeSTRA", "effeSTRA", "matePCM ", "assiWOIC",
                                                "matePCM ", "assiWOIC", "num UNIT", "assiUNIT",
                                                "evenUNIT", "evenUNIT", "evenUNIT", "evenUNIT"}));
  // Material index 0 for every woice; names in assiWOIC; no unit created; unit 1's events
  // (beyond the unit count) are not written.
  EXPECT_EQ(s.chunks[6].body, pcm_chunk(0, false));
  EXPECT_EQ(s.chunks[7].body, name_body(0, "voice_00"));
  EXPECT_EQ(s.chunks[8].body, pcm_chunk(0, true));
  EXPECT_EQ(s.chunks[9].body, name_body(1, "voice_01"));
  EXPECT_EQ(s.chunks[10].body, Bytes().u16(1).u16(0).b);
  EXPECT_EQ(s.chunks[11].body, name_body(0, "lead"));
  EXPECT_EQ(r.console,
            "\n* x4x: 1 event not written, of 1 unit the song does not have"
            "\n* converted overdrive[0] to STRAIN format -"
            "\n* converted overdrive[1] to STRAIN format -");
}

TEST(WriterSong, X4xDropsPanTimeWithOneWarning) {
  Project p;
  project_setup(p);
  add_pcm_woice(p);
  add_unit(p, "a");
  add_unit(p, "b");
  put(p, 0, 0, EVENT_PAN_TIME, 1);
  put(p, 0, 1, EVENT_PAN_TIME, 2);
  put(p, 480, 1, EVENT_PAN_TIME, 3);
  put(p, 480, 1, EVENT_CORRECT, 4);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("pt.qxprj"), 6);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.console,
            "\n- WARNING: this format doesn't support 'pan-time' event. The output file will "
            "discard it to avoid issues! -");
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  std::vector<std::vector<uint8_t>> events;
  for (const Chunk& c : s.chunks) {
    if (c.tag == "evenUNIT") events.push_back(c.body);
  }
  EXPECT_EQ(
      events,
      (std::vector<std::vector<uint8_t>>{Bytes().u16(1).u16(14).u32(2).u32(1).var(480).var(4).b}));
}

TEST(WriterSong, X5xLayoutAndRecords) {
  for (int target : {7, 8, 9}) {
    WriteResult r;
    ParsedSong s = write_song(target, &r);
    EXPECT_EQ(s.magic, "QXMOSAIKA-071119");
    EXPECT_EQ(s.exe_version, target == 7 ? 891 : target == 8 ? 923 : 925);
    EXPECT_EQ(s.dummy, 0);
    EXPECT_EQ(s.tags(),
              (std::vector<std::string>{"MasterV5", "Event V5", "textNAME", "textCOMM", "effeDELA",
                                        "effeOVER", "effeOVER", "matePCM ", "assiWOIC", "matePCM ",
                                        "assiWOIC", "num UNIT", "assiUNIT"}));
    EXPECT_EQ(s.chunks[0].body, Bytes().u16(480).u8(4).f32(120.0f).u32(3840).u32(7680).b);
    EXPECT_EQ(song_parser::v5_events(s.chunks[1]), (std::vector<V5Event>{{0, 0, 2, 0x5000},
                                                                         {0, 0, 1, 480},
                                                                         {240, 1, 1, 120},
                                                                         {240, 0, 4, 100},
                                                                         {480, 0, 1, 480},
                                                                         {480, 0, 3, 32}}));
    EXPECT_EQ(s.chunks[5].body, Bytes().u16(0).u16(0).f32(75.0f).f32(2.0f).u32(0).b);
    EXPECT_EQ(s.chunks[6].body, Bytes().u16(0).u16(1).f32(90.0f).f32(1.5f).u32(0).b);
    EXPECT_EQ(s.chunks[7].body, pcm_chunk(0, false));
    EXPECT_EQ(s.chunks[12].body, name_body(0, "lead"));
    EXPECT_EQ(r.console, "");
  }
}

TEST(WriterSong, MasterTriplesAndX1xNameRules) {
  Project p;
  project_setup(p);
  add_pcm_woice(p);
  ScratchDir dir;
  // No repeat, no last: three triples; no name: "no name".
  WriteResult r = write_capture(p, dir.file("a.qxprj"), 3);
  ASSERT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(song_parser::master_triples(s.chunks[0]),
            (std::vector<Triple>{{7, 0, 480}, {8, 0, 0x42F00000}, {9, 0, 4}}));
  // A last measure without a repeat: (11, E, 0).
  p.last_meas = 3;
  r = write_capture(p, dir.file("b.qxprj"), 4);
  s = parse_song(r.bytes);
  EXPECT_EQ(song_parser::master_triples(s.chunks[0]).back(), (Triple{11, 5760, 0}));

  r = write_capture(p, dir.file("c.qxprj"), 1);
  s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(std::vector<uint8_t>(s.chunks[0].body.begin(), s.chunks[0].body.begin() + 16),
            Bytes().str("no name").zeros(9).b);
  p.name_text = "twenty characters...";
  r = write_capture(p, dir.file("d.qxprj"), 1);
  s = parse_song(r.bytes);
  EXPECT_EQ(std::vector<uint8_t>(s.chunks[0].body.begin(), s.chunks[0].body.begin() + 16),
            Bytes().str("twenty character").b);
  // No texts chunk for x1x, and no assiUNIT for a unit without a name.
  for (const Chunk& c : s.chunks) EXPECT_NE(c.tag, "textNAME");
}

TEST(WriterSong, TuneDividesEveryClockAndWritesNoNames) {
  Project p;
  project_setup(p);
  set_magic(p, "QXTUNE--20060930");
  p.beat_clock = 4800;
  p.repeat_meas = 1;
  add_pcm_woice(p);
  add_unit(p, "named");
  put(p, 0, 0, EVENT_ON, 965);
  for (int32_t clock : {5, 10, 15}) put(p, clock, 0, EVENT_VEL, 70 + clock);
  put(p, 25, 0, EVENT_PORTAMENT, 25);
  ScratchDir dir;

  WriteResult r = write_capture(p, dir.file("t.qxtune"), 6);
  ASSERT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.magic, "QXTUNE--20060930");
  EXPECT_EQ(song_parser::master_triples(s.chunks[0]),
            (std::vector<Triple>{{7, 0, 480}, {8, 0, 0x42F00000}, {9, 0, 4}, {10, 1920, 0}}));
  for (const Chunk& c : s.chunks) {
    EXPECT_NE(c.tag, "assiUNIT");
    EXPECT_NE(c.tag, "assiWOIC");
  }
  EXPECT_EQ(s.find("evenUNIT", 0)->body, Bytes().u16(0).u16(1).u32(2).u32(1).var(0).var(96).b);
  // Deltas between divided clocks: 5, 10 and 15 give 0, 1 and 0, so no rounding adds up.
  EXPECT_EQ(s.find("evenUNIT", 1)->body,
            Bytes().u16(0).u16(4).u32(2).u32(3).var(0).var(75).var(1).var(80).var(0).var(85).b);
  EXPECT_EQ(s.find("evenUNIT", 2)->body, Bytes().u16(0).u16(6).u32(2).u32(1).var(2).var(2).b);

  r = write_capture(p, dir.file("t5.qxtune"), 8);
  ASSERT_EQ(r.ok, 1) << r.error;
  s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.magic, "QXTUNE--20071119");
  EXPECT_EQ(s.chunks[0].body, Bytes().u16(480).u8(4).f32(120.0f).u32(1920).u32(0).b);
  EXPECT_EQ(s.chunks[1].body, Bytes()
                                  .u32(5)
                                  .raw({0, 0, 1})
                                  .var(96)
                                  .raw({0, 0, 4, 75, 1, 0, 4, 80, 0, 0, 4, 85, 1, 0, 6, 2})
                                  .b);
}

// x1x counts a note's successor from its end as written: its divided clock plus its divided
// length, so the next note reads back at its own divided clock.
TEST(WriterSong, DividedLegacyTimingCountsFromTheWrittenEnd) {
  const Event notes[] = {{5, 5, 0, EVENT_ON}, {20, 5, 0, EVENT_ON}, {47, 13, 0, EVENT_ON}};
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write_event_chunk(f, notes, 0, EVENT_ON, 1, TUNE_CLOCK_DIVISOR), 1);
  std::vector<uint8_t> b(64);
  std::rewind(f);
  b.resize(std::fread(b.data(), 1, b.size(), f));
  std::fclose(f);
  EXPECT_EQ(b, Bytes().u32(18).u16(0).u16(1).u32(2).u32(3).raw({0, 0, 2, 0, 2, 1}).b);
}

TEST(WriterSong, TuneMasterPositions) {
  // A beat clock that 10 does not divide: the old master's repeat and last positions come
  // from the undivided clock, each divided where it stands (last at 28830 / 10, 1442 after
  // the repeat at 1441); the x5x record multiplies the divided one.
  Project p;
  project_setup(p);
  set_magic(p, "QXTUNE--20071119");
  p.beat_clock = 4805;
  p.beat_num = 3;
  p.repeat_meas = 1;
  p.last_meas = 2;
  add_pcm_woice(p);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("m.qxtune"), 5);
  ASSERT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(song_parser::master_triples(s.chunks[0]),
            (std::vector<Triple>{
                {7, 0, 480}, {8, 0, 0x42F00000}, {9, 0, 3}, {10, 1441, 0}, {11, 1442, 0}}));
  r = write_capture(p, dir.file("m5.qxtune"), 7);
  ASSERT_EQ(r.ok, 1) << r.error;
  s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.chunks[0].body, Bytes().u16(480).u8(3).f32(120.0f).u32(1440).u32(2880).b);
}

TEST(WriterSong, TuneForX1xBecomesX2x) {
  for (int target : {0, 1, 2, 3}) {
    Project p;
    project_setup(p);
    set_magic(p, "QXTUNE--20050608");
    add_pcm_woice(p);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("t.qxtune"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    ParsedSong s = parse_song(r.bytes);
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(s.magic, "QXTUNE--20050608");
    EXPECT_EQ(s.tags(), (std::vector<std::string>{"evenMAST", "qxsgUNIT", "matePCM ", "evenUNIT"}));
    EXPECT_EQ(r.console, std::string(target < 3 ? "\n* x1x format doesn't support QXTUNE. "
                                                  "Converting to x2x format instead.\n"
                                                : "") +
                             "\n* created unit 'u-voice_00' for woice [voice_00]");
  }
}

TEST(WriterSong, LegacyTimingWithOverlapAndNegativeValues) {
  Project p;
  project_setup(p);
  add_pcm_woice(p);
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 240, 0, EVENT_ON, 100);  // starts before the first note ends
  put(p, 0, 0, EVENT_CORRECT, -1);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("o.qxprj"), 1);
  ASSERT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.find("EVENT===")->body, Bytes()
                                          .u16(0)
                                          .u16(1)
                                          .u32(2)
                                          .u32(2)
                                          .var(0)
                                          .var(480)
                                          .raw({0x90, 0xFE, 0xFF, 0xFF, 0x0F})
                                          .var(100)
                                          .b);
  // The correct event is dropped for x1x (the second chunk holds the unit's key); in x5x
  // its negative value takes five bytes.
  EXPECT_EQ(s.find("EVENT===", 1)->body.at(2), EVENT_KEY);
  EXPECT_EQ(s.find("EVENT===", 2), nullptr);
  r = write_capture(p, dir.file("o5.qxprj"), 9);
  s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(song_parser::v5_events(s.chunks[1]).at(1), (V5Event{0, 0, 14, 0xFFFFFFFFu}));
}

// Per-unit targets take each unit's events kind by kind from one grouping of the list: every
// chunk holds exactly its unit's events of one kind in list order (deltas counted back to
// clocks), and dropped kinds are warned about in the order the units meet them.
TEST(WriterSong, UnitChunksHoldTheirUnitsEventsOfOneKindInListOrder) {
  for (const auto& [target, limit] : {std::pair{1, 11}, {3, 12}, {6, 15}}) {
    SCOPED_TRACE(target);
    Project p;
    project_setup(p, 300);
    for (const char* name : {"a", "b", "c"}) {
      add_pcm_woice(p).voices[0].basic_key = 0x4500;  // no key shift
      add_unit(p, name);
    }
    // Stored straight into list order: units and kinds interleave at equal clocks, a unit and
    // kind may have two events at one clock, and units 7 and 200 have no slot.
    std::mt19937 rng(5);
    const int units[] = {0, 1, 2, 2, 7, 200};
    for (int i = 0; i < 300; ++i) {
      const auto kind = static_cast<uint8_t>(1 + rng() % 15);
      const auto unit = static_cast<uint8_t>(units[rng() % 6]);
      ASSERT_TRUE(event_store(p, i / 8 * 60, unit, kind, kind == EVENT_ON ? 30 : i));
    }
    // (unit, kind), then clock and value of each event
    using Chunked = std::pair<std::vector<int>, std::vector<int32_t>>;
    std::vector<Chunked> want, got;
    // Units 7 and 200 have no slot: their events are lost, in one line.
    int lost = 0;
    for (const Event& e : p.events) lost += e.unit_no >= 3 ? 1 : 0;
    std::string warnings = "\n* " +
                           std::string(target == 1   ? "x1x"
                                       : target == 6 ? "x4x"
                                                     : "x2x") +
                           ": " + std::to_string(lost) +
                           " events not written, of 2 units the song does not have";
    bool warned[EVENT_KIND_NUM] = {};
    for (int u = 0; u < 3; ++u) {
      for (int k = 1; k < EVENT_KIND_NUM; ++k) {
        Chunked c{{u, k}, {}};
        for (const Event& e : p.events) {
          if (e.unit_no == u && e.kind == k) c.second.insert(c.second.end(), {e.clock, e.value});
        }
        if (!c.second.empty() && k < limit) want.push_back(c);
        if (c.second.empty() || k < limit || std::exchange(warned[k], true)) continue;
        warnings += std::string("\n- WARNING: this format doesn't support '") +
                    EVENT_KIND_NAMES[k] +
                    "' event. The output file will discard it to avoid issues! -";
      }
    }
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("u.qxprj"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    EXPECT_EQ(r.console, warnings);
    ParsedSong s = parse_song(r.bytes);
    ASSERT_EQ(s.error, "");
    for (const Chunk& c : s.chunks) {
      if (c.tag != "EVENT===" && c.tag != "evenUNIT") continue;
      const int kind = song_parser::u16_at(c.body, 2);
      got.push_back({{song_parser::u16_at(c.body, 0), kind}, {}});
      uint32_t at = 0;
      for (const Pair& x : song_parser::unit_pairs(c)) {
        got.back().second.insert(got.back().second.end(), {static_cast<int32_t>(at += x.delta),
                                                           static_cast<int32_t>(x.value)});
        if (target == 1 && (kind == EVENT_ON || kind == EVENT_PORTAMENT)) at += x.value;
      }
    }
    EXPECT_EQ(got, want);
  }
}

TEST(WriterSong, OldOverdriveStrengthRoundTripsTheCut) {
  for (float cut : {50.0f, 62.5f, 75.3f, 90.0f, 99.9f}) {
    const float v = overdrive_old_strength(cut);
    const float back = 100.0f - 100.0f / v;  // what the reader of the old record computes
    EXPECT_FLOAT_EQ(back, cut) << cut;
  }
}

TEST(WriterSong, CreatedUnitsTakeFourteenCharactersOfTheWoiceName) {
  Project p;
  project_setup(p);
  Woice& w0 = add_pcm_woice(p);
  std::memcpy(w0.name, "0123456789abcdef", 16);  // all 16 bytes used, no terminator
  add_pcm_woice(p);
  add_pcm_woice(p);
  add_unit(p, "only");
  ScratchDir dir;
  // Unit 0 exists; units 1 and 2 are created, unit 0 keeps its name.
  WriteResult r = write_capture(p, dir.file("n.qxprj"), 3);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.console,
            "\n* x2x: 1 woice name not written"
            "\n* created unit 'u-voice_01' for woice [voice_01]"
            "\n* created unit 'u-voice_02' for woice [voice_02]");
  Project q;
  project_setup(q);
  std::memcpy(add_pcm_woice(q).name, "0123456789abcdef", 16);
  r = write_capture(q, dir.file("m.qxprj"), 5);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.console,
            "\n* x3x: 1 woice name not written"
            "\n* created unit 'u-0123456789abcd' for woice [0123456789abcdef]");
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.find("assiUNIT")->body, Bytes().u16(0).u16(0).str("u-0123456789abcd").b);
  // The field's bytes are taken as they stand, those after a zero byte too; the console
  // shows the name up to the zero.
  Project o;
  project_setup(o);
  std::memcpy(add_pcm_woice(o).name, "ab\0cdefghijklmn", 16);
  r = write_capture(o, dir.file("o.qxprj"), 1);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(r.console, "\n* x1x: 1 woice name not written\n* created unit 'u-ab' for woice [ab]");
  s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.find("UNIT====")->body, Bytes().str("u-ab").u8(0).str("cdefghijklm").u16(1).u16(0).b);
}

TEST(WriterSong, ParserCatchesSizeAndEndFaults) {
  ParsedSong good = write_song(9);
  ASSERT_EQ(good.error, "");
  Project p;
  build_song(p);
  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("x.qxprj"), 4);
  ASSERT_EQ(r.ok, 1);
  std::vector<uint8_t> bad = r.bytes;
  bad[16 + 8] += 1;  // the evenMAST size
  EXPECT_NE(parse_song(bad).error, "");
  bad = r.bytes;
  bad.back() = 1;  // the end chunk's u32 0
  EXPECT_NE(parse_song(bad).error, "");
  bad = r.bytes;
  bad.push_back(0);
  EXPECT_NE(parse_song(bad).error, "");
}
