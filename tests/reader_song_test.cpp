// Songs of every generation through open_input: each generation's header and chunk set, the
// event pre-count, the key and tuning fix-ups, tune_flag, the measure count, and clean
// failure at every truncation.
#include <gtest/gtest.h>

#include <cstring>

#include "bytes/bytes.h"
#include "io/song_reader.h"
#include "song_builder.h"
#include "tests/pcm_bytes.h"

namespace {

std::vector<uint8_t> pcm16(std::initializer_list<int16_t> samples) {
  std::vector<uint8_t> out;
  for (int16_t v : samples) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
  }
  return out;
}

std::string name_of(const char (&name)[NAME_FIELD_SIZE]) {
  return name_field_text(name);
}

// A complete generation-5 project as the newest writer lays it out.
Bytes generation5_song() {
  Bytes f = song_header(5);
  f.add(master_v5(480, 4, 130.0f, 1 * 4 * 480, 3 * 4 * 480));
  f.add(event_v5({{0, 0, EVENT_ON, 480},
                  {0, 1, EVENT_KEY, 0x5000},
                  {480, 0, EVENT_VEL, 100},
                  {480, 1, EVENT_ON, 240}}));
  f.add(text_chunk("textNAME", "song"));
  f.add(text_chunk("textCOMM", "a comment"));
  f.add(delay_chunk(1, 2, 0.5f, 0.25f));
  f.add(overdrive_new(3, 80.0f, 2.0f));
  f.add(pcm_chunk("matePCM ", 0x4800, 2, 1, 16, 22050, 1.5f, pcm16({1, -1})));
  f.add(assist("assiWOIC", 0, "lead"));
  f.add(num_unit(2));
  f.add(assist("assiUNIT", 0, "bass"));
  f.add(assist("assiUNIT", 1, "drums-and-more-x"));
  f.add(end_chunk(5));
  return f;
}

Bytes generation1_song() {
  Bytes f = song_header(1);
  f.add(project_old("cut", 120.0f, 480, 4));
  f.add(overdrive_old(0, 2.0f));
  f.add(unit_old("u"));
  f.add(pcm_chunk("matePCM=", 0x4500, 2, 1, 16, 8000, 1.0f, pcm16({5, 6})));
  f.add(unit_events("EVENT===", 0, EVENT_ON, {{0, 480}, {0, 300}}));
  f.add(end_chunk(1));
  return f;
}

// A generation-5 song with a material of each kind, the built-in bodies standing in for
// synthesised ones.
Bytes material_song() {
  const Bytes qxv = builtin_body("QXV_RECT784");
  Bytes f = song_header(5);
  f.add(master_v5(480, 4, 120.0f, 0, 0));
  f.add(event_v5({{0, 0, EVENT_ON, 480}, {10, 1, EVENT_VEL, 3}}));
  f.add(Bytes().chunk("mateQXV ", Bytes().u16(0).u16(0).f32(1.0f).u32(qxv.size()).add(qxv)));
  f.add(Bytes().chunk("mateQXN ",
                      Bytes().u16(0).u16(0).u32(0).f32(1.0f).u32(0).add(builtin_body("QXN_BD6"))));
  f.add(Bytes().chunk(
      "mateOGGV", Bytes().u16(0).u16(0).u32(0).f32(1.0f).u32(0).u32(0).u32(0).u32(4).text("OggS")));
  f.add(pcm_chunk("matePCM ", 0x4500, 2, 2, 8, 8000, 1.0f, {1, 2, 3, 4}));
  f.add(num_unit(2));
  f.add(assist("assiUNIT", 1, "one"));
  f.add(end_chunk(5));
  return f;
}

int32_t precount(Project& p, const Bytes& b) {
  ByteSource s = source_from_memory(b.b.data(), static_cast<int32_t>(b.size()));
  return count_events(p, s);
}

}  // namespace

TEST_F(ReaderTest, Generation5ProjectLoadsEveryChunk) {
  int tune = -1;
  ASSERT_TRUE(open(generation5_song(), "song.qxprj", &tune)) << p.report_text;
  EXPECT_EQ(tune, 0);
  EXPECT_EQ(p.beat_clock, 480);
  EXPECT_EQ(p.beat_num, 4);
  EXPECT_EQ(p.beat_tempo, 130.0f);
  EXPECT_EQ(p.repeat_meas, 1);
  EXPECT_EQ(p.last_meas, 3);
  EXPECT_EQ(p.meas_num, 3);
  EXPECT_EQ(p.event_max, 4 + 5);
  const std::vector<Ev> want = {{0, 0, EVENT_ON, 480},
                                {0, 1, EVENT_KEY, 0x5000},
                                {480, 0, EVENT_VEL, 100},
                                {960, 1, EVENT_ON, 240}};
  EXPECT_EQ(events(), want);
  EXPECT_EQ(p.name_text, "song");
  EXPECT_EQ(p.comment_text, "a comment");
  EXPECT_EQ(p.delays[0].in_use, 1);
  EXPECT_EQ(p.delays[0].delay_unit, 1);
  EXPECT_EQ(p.delays[0].group, 2);
  EXPECT_EQ(p.delays[0].delay_value_a, 0.5f);
  EXPECT_EQ(p.delays[0].delay_value_b, 0.25f);
  EXPECT_EQ(p.overdrives[0].in_use, 1);
  EXPECT_EQ(p.overdrives[0].group, 3);
  EXPECT_EQ(p.overdrives[0].cut, 80.0f);
  EXPECT_EQ(p.overdrives[0].amp, 2.0f);
  ASSERT_EQ(leading_woice_count(p), 1);
  const Woice& w = *p.woices[0];
  EXPECT_EQ(name_of(w.name), "lead");
  EXPECT_EQ(w.type, WOICE_PCM);
  EXPECT_EQ(w.x3x_basic_key, 0x4800);
  EXPECT_EQ(w.voices[0].tuning, 1.5f);
  EXPECT_EQ(w.voices[0].pcm->sample_num, 2);
  ASSERT_EQ(unit_count(p), 2);
  EXPECT_EQ(name_of(p.units[0]->name), "bass");
  EXPECT_EQ(name_of(p.units[1]->name), "drums-and-more-x");
  EXPECT_EQ(p.units[1]->name_len, 16);
}

TEST_F(ReaderTest, Generation4ProjectReadsMasterEventsAndStrain) {
  Bytes f = song_header(4);
  f.add(even_mast({{EVENT_BEAT_CLOCK, 0, 480},
                   {EVENT_BEAT_NUM, 0, 3},
                   {EVENT_BEAT_TEMPO, 0, float_bits(90.0f)},
                   {EVENT_REPEAT, 1440, 0},
                   {EVENT_LAST, 2880, 0}}));
  f.add(text_chunk("textNAME", "four"));
  f.add(Bytes().chunk("effeSTRA", Bytes().u16(1).u16(0).f32(60.0f).f32(70.0f).f32(1.5f)));
  f.add(pcm_chunk("matePCM ", 0x4500, 2, 1, 8, 11025, 1.0f, {0x80, 0x81, 0x82}));
  f.add(assist("assiWOIC", 0, "w0"));
  f.add(num_unit(1));
  f.add(assist("assiUNIT", 0, "u0"));
  f.add(unit_events("evenUNIT", 0, EVENT_ON, {{0, 480}, {480, 480}}));
  f.add(unit_events("evenUNIT", 0, EVENT_VEL, {{0, 90}}));
  f.add(end_chunk(4));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(p.beat_num, 3);
  EXPECT_EQ(p.beat_tempo, 90.0f);
  EXPECT_EQ(p.repeat_meas, 1);
  EXPECT_EQ(p.last_meas, 3);
  EXPECT_EQ(p.overdrives[0].cut, 65.0f);
  EXPECT_EQ(p.overdrives[0].amp, 1.5f);
  EXPECT_EQ(p.overdrives[0].group, 1);
  EXPECT_EQ(p.woices[0]->voices[0].pcm->sample_num, 3);
  // No key fix-up in generation 4.
  const std::vector<Ev> want = {
      {0, 0, EVENT_ON, 480}, {0, 0, EVENT_VEL, 90}, {480, 0, EVENT_ON, 480}};
  EXPECT_EQ(events(), want);
}

TEST_F(ReaderTest, Generations2And3ReadUnitRecordsAndFixKeys) {
  for (int generation : {2, 3}) {
    for (bool tune : {false, true}) {
      SCOPED_TRACE(generation * 10 + tune);
      Bytes f = song_header(generation, tune);
      f.add(even_mast({{EVENT_BEAT_CLOCK, 0, tune ? 96u : 480u}}));
      f.add(text_chunk("textNAME", "old"));
      f.add(Bytes().chunk("effeSTRA", Bytes().u16(0).u16(0).f32(60.0f).f32(60.0f).f32(1.0f)));
      f.add(qxsg_unit(1, 9));
      f.add(assist("assiUNIT", 0, "one"));
      f.add(pcm_chunk("matePCM ", 0x4500 - 0x900, 2, 1, 8, 8000, 1.0f, {}));
      f.add(unit_events("evenUNIT", 0, EVENT_KEY, {{480, 0x4000}}));
      f.add(qxsg_unit(3, 2));
      f.add(pcm_chunk("matePCM ", 0x4500 - 0x900, 2, 1, 8, 8000, 1.0f, {}));
      f.add(end_chunk(generation));
      int flag = -1;
      ASSERT_TRUE(open(f, "old.qxprj", &flag)) << p.report_text;
      EXPECT_EQ(flag, tune ? 1 : 0);
      EXPECT_EQ(p.event_max, 2 + OLD_GENERATION_EVENT_RESERVE);
      EXPECT_EQ(name_of(p.units[0]->name), "one");
      // Group 9 is clamped to 6; unit 1, without key events, is given the default key; the
      // keys of both move by their woice's basic key.
      const std::vector<Ev> want = {
          {0, 0, EVENT_VOICE_NO, 0},         {0, 1, EVENT_VOICE_NO, 1},
          {0, 0, EVENT_GROUP_NO, 6},         {0, 1, EVENT_GROUP_NO, 2},
          {0, 1, EVENT_KEY, 0x6000 - 0x900}, {480, 0, EVENT_KEY, 0x4000 - 0x900}};
      EXPECT_EQ(events(), want);
    }
  }
}

TEST_F(ReaderTest, Generation1LegacySongLoads) {
  Bytes f = song_header(1);
  f.add(project_old("sixteen-letters!", 140.0f, 480, 3));
  f.add(delay_chunk(0, 0, 1.0f, 2.0f));
  f.add(overdrive_old(0, 2.0f));
  f.add(unit_old("first", 1, 9));
  f.add(unit_old("second"));
  f.add(pcm_chunk("matePCM=", 0x4500 + 0x100, 2, 2, 16, 44100, 1.0f, pcm16({1, 2, 3, 4})));
  f.add(pcm_chunk("matePCM ", 0x4500, 2, 1, 8, 44100, 1.0f, {0x80}));
  f.add(unit_events("EVENT===", 1, EVENT_ON, {{0, 480}, {480, 480}, {960, 240}}, 2, 5));
  f.add(end_chunk(1));
  f.add(Bytes().text("garbage after the end"));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(p.event_max, LEGACY_EVENT_CAPACITY);
  EXPECT_EQ(p.name_text, "sixteen-letters!");
  EXPECT_EQ(p.beat_tempo, 140.0f);
  EXPECT_EQ(p.beat_num, 3);
  EXPECT_EQ(p.overdrives[0].cut, 50.0f);
  EXPECT_EQ(p.overdrives[0].amp, 1.0f);
  EXPECT_EQ(p.delays[0].delay_value_b, 2.0f);
  EXPECT_EQ(name_of(p.units[0]->name), "first");
  EXPECT_EQ(p.woices[0]->voices[0].pcm->sample_num, 2);
  EXPECT_EQ(pcm_bytes(*p.woices[1]->voices[0].pcm), std::vector<uint8_t>{0x80});
  // Legacy timing: each delta counts from the end of the previous note.
  const std::vector<Ev> on = {
      {0, 1, EVENT_ON, 480}, {960, 1, EVENT_ON, 480}, {2400, 1, EVENT_ON, 240}};
  EXPECT_EQ(events_of(EVENT_ON), on);
  const std::vector<Ev> keys = {{0, 0, EVENT_KEY, 0x6100}, {0, 1, EVENT_KEY, 0x6000}};
  EXPECT_EQ(events_of(EVENT_KEY), keys);
  EXPECT_EQ(events_of(EVENT_GROUP_NO)[0].value, 6);
  EXPECT_EQ(p.meas_num, 2);  // the last note ends at 2640: 5.5 beats of 3
}

TEST_F(ReaderTest, UnitEventsTimingDiffersFromLegacy) {
  Bytes f = song_header(4);
  f.add(num_unit(1));
  f.add(unit_events("evenUNIT", 0, EVENT_ON, {{0, 480}, {480, 480}, {960, 240}}));
  f.add(end_chunk(4));
  ASSERT_TRUE(open(f)) << p.report_text;
  const std::vector<Ev> on = {
      {0, 0, EVENT_ON, 480}, {480, 0, EVENT_ON, 480}, {1440, 0, EVENT_ON, 240}};
  EXPECT_EQ(events(), on);
}

TEST_F(ReaderTest, PrecountSizesTheEventStore) {
  Bytes g3 = song_header(3);
  g3.add(even_mast({{EVENT_BEAT_CLOCK, 0, 480}, {EVENT_BEAT_NUM, 0, 4}, {EVENT_REPEAT, 0, 0}}));
  std::vector<Entry> ten(10, Entry{1, 2});
  g3.add(unit_events("evenUNIT", 0, EVENT_ON, ten));
  g3.add(unit_events("evenUNIT", 1, EVENT_KEY, {{0, 1}, {1, 2}, {1, 3}, {1, 4}}));
  g3.add(text_chunk("textNAME", "skipped by its size"));
  g3.add(end_chunk(3));
  EXPECT_EQ(precount(p, g3), 3 + 10 + 4 + 200);

  Bytes g5 = song_header(5);
  g5.add(master_v5(480, 4, 120.0f, 0, 0));
  Bytes body;
  body.u32(100);
  for (int i = 0; i < 100; ++i) body.var(i).u8(0).u8(EVENT_VEL).var(200);
  g5.add(Bytes().chunk("Event V5", body));
  g5.add(end_chunk(5));
  EXPECT_EQ(precount(p, g5), 105);

  Bytes g1 = song_header(1);
  g1.add(end_chunk(1));
  EXPECT_EQ(precount(p, g1), LEGACY_EVENT_CAPACITY);
  // A generation-1 file whose chunks cannot be walked keeps the old capacity and lets the
  // chunk loop report the fault.
  EXPECT_EQ(precount(p, song_header(1)), LEGACY_EVENT_CAPACITY);
}

TEST_F(ReaderTest, Generation1SongBeyondTheOldCapacityLoadsWhole) {
  constexpr int kNotes = 12000;
  Bytes f = song_header(1);
  f.add(project_old("big", 120.0f, 480, 4));
  f.add(unit_old("u"));
  f.add(pcm_chunk("matePCM=", 0x4500, 2, 1, 8, 8000, 1.0f, {}));
  std::vector<Entry> notes(kNotes, Entry{0, 10});
  f.add(unit_events("EVENT===", 0, EVENT_ON, notes));
  f.add(end_chunk(1));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_GE(p.event_max, kNotes + 4);
  const std::vector<Ev> on = events_of(EVENT_ON);
  ASSERT_EQ(on.size(), static_cast<size_t>(kNotes));
  EXPECT_EQ(on.back().clock, (kNotes - 1) * 10);

  // Damage after the events is reported as itself, not as a store too small for them.
  f.b.resize(f.size() - 12);
  f.add(Bytes().text("damaged!").u32(0));
  EXPECT_FALSE(open(f));
  EXPECT_EQ(p.report_text, "unknown [damaged!]");
}

TEST_F(ReaderTest, PrecountTurnsDamageIntoCantReadEvent) {
  struct Case {
    const char* what;
    Bytes file;
  };
  auto g5 = [](const Bytes& middle) {
    Bytes f = song_header(5);
    f.add(master_v5(480, 4, 120.0f, 0, 0)).add(middle).add(end_chunk(5));
    return f;
  };
  Bytes no_end = song_header(5);
  no_end.add(master_v5(480, 4, 120.0f, 0, 0));
  Bytes no_events = song_header(4);
  no_events.add(num_unit(1)).add(end_chunk(4));
  Bytes legacy_tag = g5(project_old("x", 120.0f, 480, 4));
  Bytes master_size = song_header(5);
  master_size.add(
      Bytes().chunk("MasterV5", Bytes().u16(480).u8(4).f32(120.0f).u32(0).u32(0).u8(0)));
  master_size.add(end_chunk(5));
  Bytes mast_kind = song_header(3);
  mast_kind.add(even_mast({{EVENT_BEAT_CLOCK, 0, 480}}, 4)).add(end_chunk(3));
  Bytes unit_kind = g5(unit_events("evenUNIT", 0, EVENT_ON, {{0, 1}}, 3));
  Bytes size_lies = g5(Bytes().text("textNAME").u32(1000).text("short"));
  Bytes cut_events = song_header(5);
  cut_events.add(master_v5(480, 4, 120.0f, 0, 0)).text("Event V5").u32(9).u32(3).var(0).u8(0);
  const Case cases[] = {
      {"missing end chunk", no_end},
      {"unknown tag", g5(Bytes().text("whatever").u32(0))},
      {"tag differing in case", g5(Bytes().chunk("num unit", Bytes().u16(1).u16(0)))},
      {"legacy tag", legacy_tag},
      {"no event at all", no_events},
      {"master of another size", master_size},
      {"master events of another data kind", mast_kind},
      {"unit events of another data kind", unit_kind},
      {"size beyond the file", size_lies},
      {"events cut short", cut_events},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(open(c.file));
    EXPECT_EQ(p.report_text, "Can't read event");
    EXPECT_TRUE(project_empty());
  }
}

TEST_F(ReaderTest, KeyFixupClampsAndTheWoiceShortfallFails) {
  auto song = [](uint16_t basic_key, int32_t key) {
    Bytes f = song_header(2);
    f.add(num_unit(1));
    f.add(pcm_chunk("matePCM ", basic_key, 2, 1, 8, 8000, 1.0f, {}));
    f.add(unit_events("evenUNIT", 0, EVENT_KEY, {{0, static_cast<uint32_t>(key)}}));
    f.add(end_chunk(2));
    return f;
  };
  ASSERT_TRUE(open(song(KEY_ORIGIN + 0x1000, KEY_MAX - 0xFFF))) << p.report_text;
  EXPECT_EQ(events_of(EVENT_KEY), (std::vector<Ev>{{0, 0, EVENT_KEY, KEY_MAX}}));
  ASSERT_TRUE(open(song(KEY_ORIGIN - 0x1500, 0x100))) << p.report_text;
  EXPECT_EQ(events_of(EVENT_KEY), (std::vector<Ev>{{0, 0, EVENT_KEY, 0}}));

  // Three units and two woices: units and woices cannot be paired.
  Bytes f = song_header(3);
  f.add(num_unit(3));
  f.add(pcm_chunk("matePCM ", 0x4500, 2, 1, 8, 8000, 1.0f, {}));
  f.add(pcm_chunk("matePCM ", 0x4500, 2, 1, 8, 8000, 1.0f, {}));
  f.add(end_chunk(3));
  EXPECT_FALSE(open(f));
  EXPECT_EQ(p.report_text, "unit without woice.");
  EXPECT_TRUE(project_empty());
}

TEST_F(ReaderTest, KeyFixupMovesEachUnitsKeysByItsOwnWoiceOnly) {
  Bytes f = song_header(2);
  f.add(num_unit(2));
  f.add(pcm_chunk("matePCM ", KEY_ORIGIN - 0x900, 2, 1, 8, 8000, 1.0f, {}));
  f.add(pcm_chunk("matePCM ", KEY_ORIGIN + 0x100, 2, 1, 8, 8000, 1.0f, {}));
  f.add(unit_events("evenUNIT", 1, EVENT_KEY, {{240, 0x4000}}));
  f.add(unit_events("evenUNIT", 5, EVENT_KEY, {{120, 0x4000}}));  // a unit without a slot
  f.add(end_chunk(2));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(events_of(EVENT_KEY), (std::vector<Ev>{{0, 0, EVENT_KEY, 0x6000 - 0x900},
                                                   {120, 5, EVENT_KEY, 0x4000},
                                                   {240, 1, EVENT_KEY, 0x4000 + 0x100}}));
}

TEST_F(ReaderTest, TuneFlagAndMeasureCount) {
  struct Case {
    int16_t beat_clock;
    bool tune;
    int flag;
  };
  for (const Case& c : {Case{480, false, 0}, Case{96, true, 1}, Case{960, false, 1}}) {
    Bytes f = song_header(5, c.tune);
    f.add(master_v5(c.beat_clock, 4, 120.0f, 0, 0)).add(end_chunk(5));
    int flag = -1;
    ASSERT_TRUE(open(f, "t.qxtune", &flag)) << p.report_text;
    EXPECT_EQ(flag, c.flag) << c.beat_clock;
  }
  Bytes f = song_header(5);
  f.add(master_v5(480, 4, 120.0f, 0, 0));
  f.add(event_v5({{19000, 0, EVENT_ON, 1000}}));
  f.add(end_chunk(5));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(p.meas_num, 11);
}

TEST_F(ReaderTest, EveryTruncationFailsCleanly) {
  for (int generation : {1, 5}) {
    const Bytes whole = generation == 5 ? generation5_song() : generation1_song();
    ASSERT_TRUE(open(whole)) << p.report_text;
    // Cutting off the end chunk's size still leaves a whole song; any shorter cut fails. The
    // file is cut shorter in place, byte by byte.
    const std::string path = write_file(whole.b, "cut.qxprj");
    for (size_t n = whole.size() - 5; n + 1 > 0; --n) {
      ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(n)), 0);
      int flag = 0;
      ASSERT_FALSE(open_input(p, path, &flag)) << generation << " cut at " << n;
      ASSERT_FALSE(p.report_text.empty());
      ASSERT_TRUE(project_empty()) << generation << " cut at " << n;
    }
  }
}

TEST_F(ReaderTest, EveryDamagedByteLoadsOrFailsCleanly) {
  for (const Bytes& whole : {generation1_song(), material_song()}) {
    ASSERT_TRUE(open(whole)) << p.report_text;
    const std::string path = write_file(whole.b, "damaged.qxprj");
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    for (size_t i = 0; i < whole.size(); ++i) {
      for (uint8_t v : {static_cast<uint8_t>(whole.b[i] ^ 0xFF), uint8_t{0}}) {
        std::fseek(f, static_cast<long>(i), SEEK_SET);
        std::fputc(v, f);
        std::fflush(f);
        int flag = 0;
        if (!open_input(p, path, &flag)) {
          ASSERT_FALSE(p.report_text.empty());
          ASSERT_TRUE(project_empty()) << "byte " << i << " = " << int{v};
        }
      }
      std::fseek(f, static_cast<long>(i), SEEK_SET);
      std::fputc(whole.b[i], f);
    }
    std::fclose(f);
  }
}
