// Material chunks for every woice kind and target: which chunk, its header values, the
// conversions to PCM and their console lines, in the order a whole write prints them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/open_input.h"
#include "io/writer.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "project/events.h"
#include "project/project.h"
#include "synth/noise_render.h"
#include "synth/voice_render.h"
#include "tests/ogg_encode.h"
#include "tests/song_parser.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using song_parser::Chunk;
using song_parser::f32_at;
using song_parser::parse_song;
using song_parser::ParsedSong;
using song_parser::u16_at;
using song_parser::u32_at;

namespace {

// The material bodies and renderers come from their own modules; when one of them fails
// outright, say so first rather than through every chunk assertion below.
bool materials_ready() {
  Project p;
  project_setup(p);
  Woice& v = add_voice_woice(p);
  Woice& n = add_noise_woice(p, 10);
  char* data = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&data, &size);
  int32_t length = 0;
  bool ok = mem && qxvoice_write(mem, &length, v, 9) &&
            qxnoise_write(mem, &length, *n.voices[0].noise, 0);
  if (mem) std::fclose(mem);
  std::free(data);
  std::vector<int16_t> block;
  ok = ok && qxvoice_render(v) && qxnoise_render(p, *n.voices[0].noise, block) &&
       p.ogg_codec.ogg_decode && p.ogg_codec.ogg_write_body;
  return ok;
}

#define REQUIRE_MATERIALS() ASSERT_TRUE(materials_ready()) << "a material module fails"

const std::vector<uint8_t>& ogg_stream() {
  static const std::vector<uint8_t> s = ogg_encode::tone_stream(2, 22050, 1000);
  return s;
}

// One woice of each kind, one unit, an overdrive, and pan-time on units 0 and 3.
void build_all_kinds(Project& p) {
  project_setup(p);
  ASSERT_EQ(overdrive_add(p, 0, 80.0f, 1.0f), 0);
  add_every_woice_kind(p, ogg_stream(), 1000);
  put(p, 0, 0, EVENT_PAN_TIME, 10);
}

std::vector<const Chunk*> materials(const ParsedSong& s) {
  std::vector<const Chunk*> m;
  for (const Chunk& c : s.chunks) {
    if (c.tag.rfind("mate", 0) == 0) m.push_back(&c);
  }
  return m;
}

std::string kind_warning(const char* kind) {
  return std::string("\n- WARNING: this format doesn't support '") + kind +
         "' event. The output file will discard it to avoid issues! -";
}

}  // namespace

TEST(WriterMaterial, EveryKindForEveryTarget) {
  REQUIRE_MATERIALS();
  ASSERT_FALSE(ogg_stream().empty());
  for (int target = 1; target <= 9; ++target) {
    SCOPED_TRACE(target);
    Project p;
    build_all_kinds(p);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("all.qxprj"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    ParsedSong s = parse_song(r.bytes);
    ASSERT_EQ(s.error, "");
    const std::vector<const Chunk*> m = materials(s);
    ASSERT_EQ(m.size(), 4u);
    const bool tied = target <= 5;
    const auto index = [&](int slot) { return tied ? slot : 0; };

    // PCM: the same chunk for every target.
    EXPECT_EQ(m[0]->tag, "matePCM ");
    EXPECT_EQ(m[0]->body, Bytes()
                              .u16(0)
                              .u16(0x4800)
                              .u32(3)
                              .u16(2)
                              .u16(16)
                              .u32(44100)
                              .f32(1.25f)
                              .u32(12)
                              .raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})
                              .b);

    // qxVoice: rendered to one 200-frame cycle of voice A for target 1, a body otherwise.
    if (target == 1) {
      EXPECT_EQ(m[1]->tag, "matePCM=");
      EXPECT_EQ(std::vector<uint8_t>(m[1]->body.begin(), m[1]->body.begin() + 24),
                Bytes().u16(1).u16(0x3900).u32(3).u16(2).u16(16).u32(44100).f32(1.0f).u32(800).b);
      EXPECT_EQ(m[1]->body.size(), 24u + 800u);
    } else {
      EXPECT_EQ(m[1]->tag, "mateQXV ");
      EXPECT_EQ(u16_at(m[1]->body, 0), index(1));
      EXPECT_EQ(u16_at(m[1]->body, 2), 0);
      EXPECT_EQ(f32_at(m[1]->body, 4), target <= 5 ? 1.0f : 0.0f);
      EXPECT_EQ(u32_at(m[1]->body, 8), m[1]->size - 12);
      EXPECT_EQ(std::string(m[1]->body.begin() + 12, m[1]->body.begin() + 20), "QXVOICE-");
      const uint32_t version = target == 2 ? 20050826 : target == 3 ? 20051101 : 20060111;
      EXPECT_EQ(u32_at(m[1]->body, 20), version);
    }

    // qxNoise: rendered for targets 1 and 2, a body in the old or new layout otherwise.
    if (target <= 2) {
      EXPECT_EQ(m[2]->tag, "matePCM=");
      EXPECT_EQ(std::vector<uint8_t>(m[2]->body.begin(), m[2]->body.begin() + 24),
                Bytes().u16(2).u16(0x4600).u32(1).u16(2).u16(16).u32(44100).f32(0.5f).u32(4000).b);
      EXPECT_EQ(m[2]->body.size(), 24u + 4000u);
    } else {
      EXPECT_EQ(m[2]->tag, "mateQXN ");
      const bool new_layout = target == 7 || target == 9;
      EXPECT_EQ(std::vector<uint8_t>(m[2]->body.begin(), m[2]->body.begin() + 24),
                Bytes()
                    .u16(static_cast<uint16_t>(index(2)))
                    .u16(0x4600)
                    .u32(1)
                    .f32(0.5f)
                    .u32(new_layout ? 1 : 0)
                    .str("QXNOISE-")
                    .b);
      EXPECT_EQ(u32_at(m[2]->body, 24), new_layout ? 20120418u : 20051028u);
    }

    // OGG: kept for targets 8 and 9, decoded otherwise.
    if (target >= 8) {
      EXPECT_EQ(m[3]->tag, "mateOGGV");
      EXPECT_EQ(m[3]->body, Bytes()
                                .u16(0)
                                .u16(0x4700)
                                .u32(2)
                                .f32(1.0f)
                                .u32(1)
                                .u32(2)
                                .u32(3)
                                .u32(static_cast<uint32_t>(ogg_stream().size()))
                                .raw(ogg_stream())
                                .b);
    } else {
      EXPECT_EQ(m[3]->tag, "matePCM ");
      EXPECT_EQ(std::vector<uint8_t>(m[3]->body.begin(), m[3]->body.begin() + 20),
                Bytes()
                    .u16(static_cast<uint16_t>(index(3)))
                    .u16(0x4700)
                    .u32(2)
                    .u16(2)
                    .u16(16)
                    .u32(22050)
                    .f32(1.0f)
                    .b);
      EXPECT_EQ(u32_at(m[3]->body, 20), 1000u * 4u);
    }

    if (target >= 3 && target <= 5) {
      // Unit records carry the woice kinds; the OGG woice arrives as PCM.
      std::vector<uint16_t> kinds;
      for (const Chunk& c : s.chunks) {
        if (c.tag == "qxsgUNIT") kinds.push_back(u16_at(c.body, 0));
      }
      EXPECT_EQ(kinds, (std::vector<uint16_t>{1, 2, 3, 1}));
    }
  }
}

TEST(WriterMaterial, ConsoleLinesInOrderEachKindWarnedOnce) {
  REQUIRE_MATERIALS();
  Project p;
  build_all_kinds(p);
  p.overdrives[1] = {1, 3, 60.0f, 1.0f};
  ScratchDir dir;
  const int32_t voice_size = qxvoice_body_size(*p.woices[1]);
  WriteResult r = write_capture(p, dir.file("lines.qxprj"), 1);
  ASSERT_EQ(r.ok, 1) << r.error;
  const int32_t noise_size = qxnoise_body_size(*p.woices[2]->voices[0].noise);
  char conv[300];
  std::string want =
      "\n* x1x: 1 qxVoice voice beyond the first of a woice not rendered"
      "\n* converted overdrive[0] to OLD format -"
      "\n* converted overdrive[1] to OLD format -"
      "\n* created unit 'u-voice_01' for woice [voice_01]"
      "\n* created unit 'u-voice_02' for woice [voice_02]"
      "\n* created unit 'u-voice_03' for woice [voice_03]";
  std::snprintf(conv, sizeof conv, "\n* converted qxVoice [voice_01] to PCM (%d -> 800 bytes)",
                voice_size);
  want += conv;
  std::snprintf(conv, sizeof conv, "\n* converted qxNoise [voice_02] to PCM (%d -> 4000 bytes)",
                noise_size);
  want += conv;
  std::snprintf(conv, sizeof conv, "\n* converted OGG [voice_03] to PCM (%d -> 4000 bytes)",
                static_cast<int>(ogg_stream().size()));
  want += conv;
  // Unit 0 uses last and pan-time, unit 2 group-no, unit 3 correct and pan-time again: each
  // kind once, by unit and then by kind. Unit 1's voice-no says it plays woice 1, as x1x ties
  // it: no loss.
  want += kind_warning("last") + kind_warning("pan-time") + kind_warning("group-no") +
          kind_warning("correct");
  EXPECT_EQ(r.console, want);

  // Rendering released voice A's cycle after writing it.
  EXPECT_TRUE(p.woices[1]->instances[0].samples.empty());
}

TEST(WriterMaterial, InstrumentTargetsIgnoreEveryWoiceKind) {
  for (int target : {10, 11}) {
    Project p;
    build_all_kinds(p);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("all.qxi"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    // Units 1 to 3 have no unit record but their events still play (units below 6).
    EXPECT_EQ(r.bytes, Bytes()
                           .u8(120)
                           .u8(8)
                           .raw({0, 5, 0})
                           .raw({1, 4, 14})
                           .raw({0, 2, 8})
                           .raw({0, 1, 8})
                           .raw({2, 3, 74})  // volume 90 at velocity 104: 73.7
                           .raw({0, 1, 8})
                           .raw({3, 2, 4})
                           .b);
    EXPECT_EQ(r.console,
              "\n* instrument file: 4 woices not written, units play the built-in instruments"
              "\n* instrument file: 1 overdrive not written"
              "\n* instrument file: 1 unit name not written" +
                  kind_warning("last") + kind_warning("pan-time"));
    EXPECT_EQ(exists(dir.file("all.txt")), target == 11);
  }
}

TEST(WriterMaterial, RenderedNoiseLengthsAndOldTuning) {
  REQUIRE_MATERIALS();
  // 22050 frames give 88200 data bytes; 600000 frames are clamped by the renderer.
  for (auto [frames, bytes] : {std::pair{22050, 88200u}, std::pair{600000, 1920000u}}) {
    Project p;
    project_setup(p);
    add_noise_woice(p, frames);
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("n.qxprj"), 2);
    ASSERT_EQ(r.ok, 1) << r.error;
    ParsedSong s = parse_song(r.bytes);
    ASSERT_EQ(s.error, "");
    const Chunk* c = s.find("matePCM=");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(u32_at(c->body, 20), bytes);
    EXPECT_EQ(c->size, 24 + bytes);
  }
  // Flags beyond the three a PCM chunk holds, which a qxNoise chunk may carry, are not
  // written into the rendered chunk: its reader would take it for a newer format.
  {
    Project p;
    project_setup(p);
    add_noise_woice(p).voices[0].voice_flags = 0x5D0002;
    add_unit(p, "n");
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("f.qxprj"), 1);
    ASSERT_EQ(r.ok, 1) << r.error;
    EXPECT_EQ(u32_at(parse_song(r.bytes).find("matePCM=")->body, 4), 2u);
    Project q;
    project_setup(q);
    int tune_flag = 0;
    EXPECT_EQ(open_input(q, dir.file("f.qxprj"), &tune_flag), 1) << q.report_text;
  }
  // The old tuning of a qxVoice chunk: the woice's own for targets 2 to 5, else 0.
  for (int target : {2, 5, 6}) {
    Project p;
    project_setup(p);
    add_voice_woice(p).x3x_tuning = 1.5f;
    ScratchDir dir;
    WriteResult r = write_capture(p, dir.file("v.qxprj"), target);
    ASSERT_EQ(r.ok, 1) << r.error;
    ParsedSong s = parse_song(r.bytes);
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(f32_at(s.find("mateQXV ")->body, 4), target <= 5 ? 1.5f : 0.0f);
  }
}
