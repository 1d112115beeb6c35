// The chunk loop through whole files: every handler's failure text, the new-format
// replacement, and the values each chunk stores at the edges of its rules.
#include <gtest/gtest.h>

#include <cmath>

#include "bytes/bytes.h"
#include "song_builder.h"
#include "tests/pcm_bytes.h"

namespace {

Bytes g1(const Bytes& middle) {
  Bytes f = song_header(1);
  return f.add(middle).add(end_chunk(1));
}

Bytes g3(const Bytes& middle) {
  Bytes f = song_header(3);
  return f.add(middle).add(end_chunk(3));
}

Bytes g5(const Bytes& middle) {
  Bytes f = song_header(5);
  return f.add(master_v5(480, 4, 120.0f, 0, 0)).add(middle).add(end_chunk(5));
}

// The chunk without its last byte, at the end of a generation-1 file.
Bytes cut_last_byte(const Bytes& chunk) {
  Bytes f = song_header(1);
  f.add(chunk);
  f.b.pop_back();
  return f;
}

Bytes repeat(const Bytes& chunk, int n) {
  Bytes out;
  for (int i = 0; i < n; ++i) out.add(chunk);
  return out;
}

struct TextCase {
  const char* what;
  Bytes file;
  const char* text;
};

}  // namespace

class ChunkTest : public ReaderTest {
 protected:
  void expect_failures(const std::vector<TextCase>& cases) {
    for (const TextCase& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_FALSE(open(c.file));
      EXPECT_EQ(p.report_text, c.text);
      EXPECT_TRUE(project_empty());
    }
  }
};

TEST_F(ChunkTest, ShortChunksFailWithTheirOwnText) {
  // Generation 1 has no pre-count that could refuse the file first, so each chunk's own text
  // reaches the user; in later generations the pre-count refuses the same files.
  const Bytes qxv_header = Bytes().u16(0).u16(0).f32(1.0f).u32(8).text("QXVOICE-");
  const Bytes qxn_header = Bytes().u16(0).u16(0x4500).u32(0).f32(1.0f).u32(0).text("QXNOISE-");
  const std::vector<TextCase> cases = {
      {"PROJECT=", cut_last_byte(project_old("p", 120.0f, 480, 4)), "read project(old)."},
      {"UNIT====", cut_last_byte(unit_old("u")), "read unit(old)."},
      {"matePCM=", cut_last_byte(pcm_chunk("matePCM=", 0, 0, 1, 8, 1, 1.0f, {1})),
       "read pcm(old)."},
      {"EVENT===", cut_last_byte(unit_events("EVENT===", 0, EVENT_ON, {{0, 480}})),
       "read event(old)."},
      {"qxsgUNIT", cut_last_byte(qxsg_unit(1, 0)), "read unit."},
      {"evenMAST", cut_last_byte(even_mast({{EVENT_BEAT_NUM, 0, 3}})), "read master."},
      {"MasterV5", cut_last_byte(master_v5(480, 4, 120.0f, 0, 0)), "read master."},
      {"evenUNIT", cut_last_byte(unit_events("evenUNIT", 0, EVENT_ON, {{0, 480}})), "read event."},
      {"Event V5", cut_last_byte(event_v5({{0, 0, EVENT_ON, 480}})), "read event."},
      {"num UNIT", cut_last_byte(num_unit(1)), "unit num."},
      {"matePCM ", cut_last_byte(pcm_chunk("matePCM ", 0, 0, 1, 8, 1, 1.0f, {1})), "read pcm."},
      {"mateQXV ", cut_last_byte(Bytes().chunk("mateQXV ", qxv_header)), "read qxv."},
      {"mateQXN ", cut_last_byte(Bytes().chunk("mateQXN ", qxn_header)), "read qxn."},
      {"mateOGGV", cut_last_byte(Bytes().chunk("mateOGGV", Bytes().u16(0).u16(0).u32(0).f32(1))),
       "read oggv."},
      {"effeDELA", cut_last_byte(delay_chunk(0, 0, 1.0f, 1.0f)), "read delay."},
      {"effeOVER", cut_last_byte(overdrive_old(0, 2.0f)), "read overdrive."},
      {"effeSTRA",
       cut_last_byte(Bytes().chunk("effeSTRA", Bytes().u16(0).u16(0).f32(1).f32(1).f32(1))),
       "read strain."},
      {"textNAME", cut_last_byte(text_chunk("textNAME", "name")), "read name."},
      {"textCOMM", cut_last_byte(text_chunk("textCOMM", "comment")), "read comment."},
      {"assiUNIT", cut_last_byte(assist("assiUNIT", 0, "u")), "read assist(unit)."},
      {"assiWOIC", cut_last_byte(assist("assiWOIC", 0, "w")), "read assist(voice)."},
      {"no end chunk", song_header(1).add(num_unit(1)), "read file."},
      {"unknown tag", g1(Bytes().text("abcdefgh").u32(0)), "unknown [abcdefgh]"},
      {"tag in other case", g1(Bytes().chunk("NUM UNIT", Bytes().u16(1).u16(0))),
       "unknown [NUM UNIT]"},
  };
  expect_failures(cases);
}

// A whole material chunk is no proof of a whole file: the missing end chunk must show.
TEST_F(ChunkTest, MaterialChunkAtTheEndOfTheFileWithoutEndChunk) {
  auto last = [](const Bytes& chunk) { return song_header(1).add(chunk); };
  const Bytes qxv = builtin_body("QXV_SAW784");
  const Bytes qxv_head = Bytes().u16(0).u16(0).f32(1.0f).u32(static_cast<uint32_t>(qxv.b.size()));
  const Bytes qxn_head = Bytes().u16(0).u16(0x4500).u32(0).f32(1.0f).u32(1);
  const std::vector<TextCase> cases = {
      {"matePCM=", last(pcm_chunk("matePCM=", 0, 0, 1, 8, 1, 1.0f, {1})), "read file."},
      {"matePCM ", last(pcm_chunk("matePCM ", 0, 0, 1, 8, 1, 1.0f, {1})), "read file."},
      {"mateQXV ", last(Bytes().chunk("mateQXV ", Bytes(qxv_head).add(qxv))), "read file."},
      {"mateQXN ", last(Bytes().chunk("mateQXN ", Bytes(qxn_head).add(builtin_body("QXN_HATC")))),
       "read file."},
  };
  expect_failures(cases);
}

TEST_F(ChunkTest, NewerChunksSayItsNewFormat) {
  Bytes master16 = Bytes().chunk("MasterV5", Bytes().u16(480).u8(4).f32(1).u32(0).u32(0).u8(0));
  Bytes mast_reserved;
  mast_reserved.chunk("evenMAST", Bytes().u16(3).u16(1).u32(0));
  Bytes over3 = repeat(overdrive_new(0, 60.0f, 1.0f), 3);
  Bytes stra = Bytes().chunk("effeSTRA", Bytes().u16(0).u16(0).f32(60).f32(60).f32(1));
  Bytes stra_reserved = Bytes().chunk("effeSTRA", Bytes().u16(0).u16(1).f32(60).f32(60).f32(1));
  Bytes assi24 = Bytes().chunk("assiUNIT", Bytes().u16(0).u16(0).field("u", 16).u32(0));
  Bytes assi_reserved = Bytes().chunk("assiWOIC", Bytes().u16(0).u16(1).field("w", 16));
  Bytes num6 = Bytes().chunk("num UNIT", Bytes().u16(1).u16(0).u16(0));
  const std::vector<TextCase> cases = {
      {"MasterV5 of size 16", g1(master16), "it's new format [MasterV5]"},
      {"evenMAST kind 12", g3(even_mast({{EVENT_VOICE_NO, 0, 0}})), "it's new format [evenMAST]"},
      {"evenMAST reserved", g3(mast_reserved), "it's new format [evenMAST]"},
      {"evenUNIT kind 16", g5(unit_events("evenUNIT", 0, 16, {{0, 1}})),
       "it's new format [evenUNIT]"},
      {"evenUNIT data kind 3", g5(unit_events("evenUNIT", 0, EVENT_ON, {}, 3)),
       "it's new format [evenUNIT]"},
      {"evenUNIT reserved", g5(unit_events("evenUNIT", 0, EVENT_ON, {{0, 1}}, 2, 1)),
       "it's new format [evenUNIT]"},
      {"EVENT=== data kind 3", g1(unit_events("EVENT===", 0, EVENT_ON, {{0, 1}}, 3)),
       "it's new format [EVENT===]"},
      {"Event V5 kind 16", g5(event_v5({{0, 0, 16, 1}})), "it's new format [Event V5]"},
      {"num UNIT of 51", g5(num_unit(51)), "it's new format [num UNIT]"},
      {"num UNIT reserved", g5(num_unit(1, 1)), "it's new format [num UNIT]"},
      {"num UNIT of size 6", g5(num6), "it's new format [num UNIT]"},
      {"qxsgUNIT kind 4", g3(qxsg_unit(4, 0)), "it's new format [qxsgUNIT]"},
      {"fifth effeDELA", g5(repeat(delay_chunk(0, 0, 1, 1), 5)), "it's new format [effeDELA]"},
      {"effeDELA unit 3", g5(delay_chunk(3, 0, 1, 1)), "it's new format [effeDELA]"},
      {"third effeOVER", g5(over3), "it's new format [effeOVER]"},
      {"third effeSTRA", g5(repeat(stra, 3)), "it's new format [effeSTRA]"},
      {"effeSTRA reserved", g5(stra_reserved), "it's new format [effeSTRA]"},
      {"assiUNIT of size 24", g5(Bytes().add(num_unit(1)).add(assi24)),
       "it's new format [assiUNIT]"},
      {"assiWOIC reserved", g5(assi_reserved), "it's new format [assiWOIC]"},
      {"matePCM  flags 8", g5(pcm_chunk("matePCM ", 0, 8, 1, 16, 1, 1, {})),
       "it's new format [matePCM ]"},
      {"matePCM= flags 9", g1(pcm_chunk("matePCM=", 0, 9, 1, 16, 1, 1, {})),
       "it's new format [matePCM=]"},
      {"mateQXV  reserved", g5(Bytes().chunk("mateQXV ", Bytes().u16(0).u16(1).f32(1).u32(0))),
       "it's new format [mateQXV ]"},
      {"mateQXN  layout 2",
       g5(Bytes().chunk("mateQXN ", Bytes().u16(0).u16(0).u32(0).f32(1).u32(2))),
       "it's new format [mateQXN ]"},
      {"mateOGGV flags 8", g5(Bytes().chunk("mateOGGV", Bytes().u16(0).u16(0).u32(8).f32(1))),
       "it's new format [mateOGGV]"},
  };
  expect_failures(cases);
}

TEST_F(ChunkTest, DamagedChunksFailWithTheirText) {
  Bytes backwards = g5(event_v5({{480, 0, EVENT_ON, 1}, {0xFFFFFFFF, 0, EVENT_ON, 1}}));
  // Generation 4 reserves nothing for the events a unit record adds, so the store counted
  // from the event chunk is full before its last entry.
  Bytes overflow = song_header(4);
  overflow.add(qxsg_unit(1, 0)).add(unit_events("evenUNIT", 0, EVENT_ON, {{0, 1}, {1, 1}, {1, 1}}));
  overflow.add(end_chunk(4));
  Bytes over_both = Bytes().chunk("effeOVER", Bytes().u16(0).u16(5).f32(10).f32(1).f32(0));
  const std::vector<TextCase> cases = {
      {"beat clock 0", g3(master_v5(0, 4, 120.0f, 0, 0)), "read master."},
      {"beat num 0", g3(master_v5(480, 0, 120.0f, 0, 0)), "read master."},
      {"evenMAST beat clock 0", g3(even_mast({{EVENT_BEAT_CLOCK, 0, 0}})), "read master."},
      {"beat clock away from clock 0", g3(even_mast({{EVENT_BEAT_CLOCK, 480, 480}})),
       "read master."},
      {"repeat with a value", g3(even_mast({{EVENT_REPEAT, 0, 1}})), "read master."},
      {"negative master event count", g3(Bytes().chunk("evenMAST", Bytes().u16(3).u16(0).u32(-1))),
       "read master."},
      {"Event V5 kind 0", g5(event_v5({{0, 0, 0, 1}})), "read event."},
      {"Event V5 clock running backwards", backwards, "read event."},
      {"evenUNIT kind 0", g5(unit_events("evenUNIT", 0, 0, {{0, 1}})), "read event."},
      {"more events than counted", overflow, "read event."},
      {"51 unit records", g3(repeat(qxsg_unit(1, 0), 51)), "read unit."},
      {"units beyond the table", g5(Bytes().add(num_unit(30)).add(num_unit(30))), "unit num."},
      {"assiUNIT of a missing unit", g5(Bytes().add(num_unit(3)).add(assist("assiUNIT", 3, "x"))),
       "read assist(unit)."},
      {"assiWOIC of a missing woice", g5(assist("assiWOIC", 0, "x")), "read assist(voice)."},
      {"effeOVER in neither layout", g5(over_both), "read overdrive."},
      {"PCM of 24 bits", g5(pcm_chunk("matePCM ", 0, 0, 1, 24, 1, 1, {0, 0, 0})), "read pcm."},
      {"PCM of no channel", g5(pcm_chunk("matePCM ", 0, 0, 0, 16, 1, 1, {0, 0})), "read pcm."},
      {"101st material", g5(repeat(pcm_chunk("matePCM ", 0, 0, 1, 8, 1, 1, {}), 101)), "read pcm."},
      {"UNIT==== of kind 2", g1(unit_old("u", 2)), "read unit(old)."},
      {"PROJECT= of beat clock 0", g1(project_old("p", 120.0f, 0, 4)), "read project(old)."},
  };
  expect_failures(cases);

  // A data size beyond the file fails at once, whatever the chunk size says.
  Bytes lying = g5(pcm_chunk("matePCM ", 0, 0, 1, 8, 1, 1, {1, 2}));
  lying.b[lying.size() - 12 - 2 - 1] = 0x7F;  // the data size's top byte
  EXPECT_FALSE(open(lying));
  EXPECT_EQ(p.report_text, "read pcm.");

  // Without the OGG operations no OGG woice can be read, and none is left half made.
  Bytes ogg = g5(Bytes().chunk("mateOGGV", Bytes().u16(0).u16(0).u32(0).f32(1)));
  p.ogg_codec = OggCodec{};
  EXPECT_FALSE(open(ogg));
  EXPECT_EQ(p.report_text, "read oggv.");
  EXPECT_TRUE(project_empty());
}

TEST_F(ChunkTest, MasterChunks) {
  ASSERT_TRUE(open(g1(master_v5(480, -1, 120.0f, 0, 0)))) << p.report_text;
  EXPECT_EQ(p.beat_num, -1);
  ASSERT_TRUE(open(g3(even_mast({})))) << p.report_text;
  EXPECT_EQ(p.beat_clock, 480);
  EXPECT_EQ(p.beat_num, 4);
  EXPECT_EQ(p.beat_tempo, 120.0f);
  ASSERT_TRUE(open(g3(even_mast({{EVENT_BEAT_CLOCK, 0, 480},
                                 {EVENT_BEAT_NUM, 0, 4},
                                 {EVENT_REPEAT, 3840, 0},
                                 {EVENT_LAST, 2000, 0}}))))
      << p.report_text;
  EXPECT_EQ(p.repeat_meas, 2);
  EXPECT_EQ(p.last_meas, 3);  // 5840 clocks: 3.04 measures, truncated
  ASSERT_TRUE(open(g1(project_old("no name", 120.0f, 0xFFFF, 4)))) << p.report_text;
  EXPECT_EQ(p.beat_clock, 65535);
  EXPECT_EQ(p.name_text, "no name");
}

TEST_F(ChunkTest, UnitsEffectsAndTexts) {
  Bytes f = g5(Bytes()
                   .add(num_unit(0))
                   .add(num_unit(-3))
                   .add(num_unit(2))
                   .add(delay_chunk(2, 9, 1.0f, 3.0f))
                   .add(overdrive_new(1, 99.9f, 8.0f))
                   .add(overdrive_old(8, 4.0f))
                   .add(text_chunk("textNAME", ""))
                   .add(Bytes().chunk("textCOMM", Bytes().text("ab").u8(0).text("c"))));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(unit_count(p), 2);
  EXPECT_EQ(p.delays[0].group, 0);
  EXPECT_EQ(p.delays[0].delay_unit, 2);
  EXPECT_EQ(p.overdrives[0].cut, 99.9f);
  EXPECT_EQ(p.overdrives[0].amp, 8.0f);
  EXPECT_EQ(p.overdrives[0].group, 1);
  EXPECT_EQ(p.overdrives[1].cut, 75.0f);
  EXPECT_EQ(p.overdrives[1].amp, 1.0f);
  EXPECT_EQ(p.overdrives[1].group, 0);
  EXPECT_EQ(p.name_text, "");
  EXPECT_EQ(p.comment_text, "ab");
}

TEST_F(ChunkTest, EventChunks) {
  // Unit number 0x0105 is unit 5; a generation-1 file reads later chunks too; the reserved
  // word of a legacy event chunk is not looked at.
  Bytes f = g1(Bytes()
                   .add(unit_events("evenUNIT", 0x0105, EVENT_VEL, {{10, 100}}))
                   .add(unit_events("EVENT===", 2, EVENT_PAN, {{20, 64}}, 2, 5))
                   .add(event_v5({})));
  ASSERT_TRUE(open(f)) << p.report_text;
  EXPECT_EQ(events(), (std::vector<Ev>{{10, 5, EVENT_VEL, 100}, {20, 2, EVENT_PAN, 64}}));

  ASSERT_TRUE(open(g5(event_v5({{0, 0, EVENT_VEL, 1}, {480, 1, EVENT_VEL, 2}}))));
  EXPECT_EQ(events(), (std::vector<Ev>{{0, 0, EVENT_VEL, 1}, {480, 1, EVENT_VEL, 2}}));

  // A delta that wraps the clock below the previous event still keeps the list in order.
  ASSERT_TRUE(open(g5(unit_events("evenUNIT", 0, EVENT_VEL, {{960, 1}, {0xFFFFFE20, 2}}))));
  EXPECT_EQ(events(), (std::vector<Ev>{{480, 0, EVENT_VEL, 2}, {960, 0, EVENT_VEL, 1}}));

  // Events put by earlier chunks and a later "Event V5" end up in one ordered list.
  Bytes mixed = song_header(5);
  mixed.add(unit_events("evenUNIT", 0, EVENT_VEL, {{100, 1}}));
  mixed.add(event_v5({{0, 1, EVENT_VEL, 2}, {200, 1, EVENT_VEL, 3}}));
  mixed.add(end_chunk(5));
  ASSERT_TRUE(open(mixed)) << p.report_text;
  EXPECT_EQ(events(), (std::vector<Ev>{
                          {0, 1, EVENT_VEL, 2}, {100, 0, EVENT_VEL, 1}, {200, 1, EVENT_VEL, 3}}));

  // A legacy note of negative length takes the running clock back before the note; the next
  // note still goes to its place among the events of other chunks.
  Bytes back = g1(Bytes()
                      .add(unit_events("evenUNIT", 1, EVENT_VEL, {{0, 1}, {50, 2}}))
                      .add(unit_events("EVENT===", 0, EVENT_ON, {{100, 0xFFFFFF9C}, {10, 5}})));
  ASSERT_TRUE(open(back)) << p.report_text;
  EXPECT_EQ(events(), (std::vector<Ev>{{0, 1, EVENT_VEL, 1},
                                       {10, 0, EVENT_ON, 5},
                                       {50, 1, EVENT_VEL, 2},
                                       {100, 0, EVENT_ON, -100}}));

  // "Event V5" after a unit record: its events of the record's clock are compared with every
  // event of that clock, so the unit's voice is replaced and kept in front.
  Bytes after_unit = song_header(5);
  after_unit.add(master_v5(480, 4, 120.0f, 0, 0)).add(qxsg_unit(1, 2));
  after_unit.add(event_v5({{0, 0, EVENT_ON, 480}, {0, 0, EVENT_VOICE_NO, 3}}));
  after_unit.add(end_chunk(5));
  ASSERT_TRUE(open(after_unit)) << p.report_text;
  EXPECT_EQ(events(),
            (std::vector<Ev>{
                {0, 0, EVENT_VOICE_NO, 3}, {0, 0, EVENT_GROUP_NO, 2}, {0, 0, EVENT_ON, 480}}));
}

// An "Event V5" chunk longer than the reader's first block, with VarInts of every length, and
// damaged entries deep in it: the entries past a block's end and the first damage decide as
// they do in a short chunk.
TEST_F(ChunkTest, LongEventChunks) {
  constexpr uint32_t N = 20000;  // about 140 KB of entries
  struct Damage {
    uint32_t at;
    int kind;  // -1: a clock running back; -2: a VarInt of five continued bytes
  };
  const auto file = [](std::vector<Damage> damage) {
    Bytes body;
    body.u32(N);
    for (uint32_t i = 0; i < N; ++i) {
      uint32_t delta = i % 3;
      int kind = EVENT_VEL;
      for (const Damage& d : damage) {
        if (d.at != i) continue;
        if (d.kind == -1) delta = 0xFFFFFFFF;
        if (d.kind >= 0) kind = d.kind;
        if (d.kind == -2) body.u8(0x80).u8(0x80).u8(0x80).u8(0x80).u8(0x80);
      }
      body.var(delta).u8(static_cast<uint8_t>(i % 50)).u8(static_cast<uint8_t>(kind));
      body.var((1u << (7 * (i % 5))) - 1);
    }
    return g5(Bytes().chunk("Event V5", body));
  };
  ASSERT_TRUE(open(file({}))) << p.report_text;
  std::vector<Ev> want;
  int32_t clock = 0;
  for (uint32_t i = 0; i < N; ++i) {
    clock += static_cast<int32_t>(i % 3);
    want.push_back({clock, static_cast<uint8_t>(i % 50), EVENT_VEL,
                    static_cast<int32_t>((1u << (7 * (i % 5))) - 1)});
  }
  EXPECT_EQ(events(), want);

  expect_failures({
      {"kind 0 deep in", file({{15000, EVENT_NONE}}), "read event."},
      {"kind 16 deep in", file({{15000, 16}}), "it's new format [Event V5]"},
      {"clock running back deep in", file({{15000, -1}}), "read event."},
      // The count before reading already finds it.
      {"a VarInt too long deep in", file({{15000, -2}}), "Can't read event"},
      {"kind 16, then kind 0", file({{9000, 16}, {15000, EVENT_NONE}}),
       "it's new format [Event V5]"},
      {"kind 0, then kind 16", file({{9000, EVENT_NONE}, {15000, 16}}), "read event."},
      {"clock back, then kind 16", file({{9000, -1}, {15000, 16}}), "read event."},
  });
}

TEST_F(ChunkTest, PcmChunks) {
  Bytes f =
      g5(Bytes()
             .add(pcm_chunk("matePCM ", 0x4400, 3, 2, 16, 44100, 0.5f, {1, 2, 3, 4, 5, 6, 7, 8, 9}))
             .add(pcm_chunk("matePCM ", 0x4500, 0, 1, 8, 8000, 1.0f, {})));
  ASSERT_TRUE(open(f)) << p.report_text;
  ASSERT_EQ(leading_woice_count(p), 2);
  const Woice& w = *p.woices[0];
  const PcmBuffer& pcm = *w.voices[0].pcm;
  EXPECT_EQ(w.type, WOICE_PCM);
  EXPECT_EQ(std::string(w.name, 8), "voice_00");
  EXPECT_EQ(w.voices[0].wave_type, WAVE_PCM);
  EXPECT_EQ(w.voices[0].basic_key, 0x4400);
  EXPECT_EQ(w.voices[0].voice_flags, 3u);
  EXPECT_EQ(w.voices[0].tuning, 0.5f);
  EXPECT_EQ(w.x3x_basic_key, 0x4400);
  EXPECT_EQ(w.x3x_tuning, 0.0f);
  EXPECT_EQ(pcm.channels, 2);
  EXPECT_EQ(pcm.bits, 16);
  EXPECT_EQ(pcm.sample_rate, 44100);
  // Two whole frames; the ninth byte is passed over and the next chunk read in place.
  EXPECT_EQ(pcm.sample_num, 2);
  EXPECT_EQ(pcm_bytes(pcm), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(p.woices[1]->voices[0].pcm->sample_num, 0);
  EXPECT_TRUE(pcm_bytes(*p.woices[1]->voices[0].pcm).empty());
}
