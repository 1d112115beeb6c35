// qxVoice, qxNoise and OGG material chunks in songs, with the built-in material bodies as
// sample bodies, and the tuning fix-up they feed in the older generations.
#include <gtest/gtest.h>

#include "bytes/bytes.h"
#include "platform/resources.h"
#include "song_builder.h"

namespace {

std::vector<uint8_t> body_of(const char* resource) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  EXPECT_TRUE(find_resource(resource, &data, &size)) << resource;
  return std::vector<uint8_t>(data, data + size);
}

Bytes qxv_chunk(float old_tuning, std::vector<uint8_t> body = body_of("QXV_SAW784")) {
  Bytes h;
  h.u16(0).u16(0).f32(old_tuning).u32(static_cast<uint32_t>(body.size()));
  h.b.insert(h.b.end(), body.begin(), body.end());
  return Bytes().chunk("mateQXV ", h);
}

Bytes qxn_chunk(uint32_t layout, std::vector<uint8_t> body = body_of("QXN_BD6")) {
  Bytes h;
  h.u16(0).u16(0x4400).u32(1).f32(2.0f).u32(layout);
  h.b.insert(h.b.end(), body.begin(), body.end());
  return Bytes().chunk("mateQXN ", h);
}

Bytes ogg_chunk(const std::string& stream) {
  Bytes h;
  h.u16(0).u16(0x4300).u32(3).f32(0.5f);
  h.u32(7).u32(8).u32(9).u32(static_cast<uint32_t>(stream.size())).text(stream);
  return Bytes().chunk("mateOGGV", h);
}

Bytes g5(const Bytes& middle) {
  Bytes f = song_header(5);
  return f.add(master_v5(480, 4, 120.0f, 0, 0)).add(middle).add(end_chunk(5));
}

// A newer body: its version word raised.
std::vector<uint8_t> newer(std::vector<uint8_t> body) {
  body[11] = 0x7F;
  return body;
}

}  // namespace

TEST_F(ReaderTest, SynthesisedAndOggMaterials) {
  Bytes f = g5(Bytes()
                   .add(qxv_chunk(1.0f))
                   .add(qxv_chunk(1.5f))
                   .add(qxn_chunk(0))
                   .add(qxn_chunk(1))
                   .add(ogg_chunk("OggS-data")));
  ASSERT_TRUE(open(f)) << p.report_text;
  ASSERT_EQ(leading_woice_count(p), 5);
  EXPECT_EQ(p.woices[0]->type, WOICE_QXVOICE);
  EXPECT_EQ(p.woices[0]->x3x_tuning, 0.0f);  // 1.0 means no tuning
  EXPECT_EQ(p.woices[1]->x3x_tuning, 1.5f);
  EXPECT_GT(p.woices[0]->voice_num, 0);

  // Both qxNoise layout flags read the same body the same way.
  for (int i : {2, 3}) {
    const Woice& w = *p.woices[i];
    EXPECT_EQ(w.type, WOICE_QXNOISE);
    EXPECT_EQ(w.voices[0].wave_type, WAVE_NOISE);
    EXPECT_EQ(w.voices[0].basic_key, 0x4400);
    EXPECT_EQ(w.voices[0].voice_flags, 1u);
    EXPECT_EQ(w.voices[0].tuning, 2.0f);
    EXPECT_EQ(w.x3x_basic_key, 0x4400);
  }
  EXPECT_EQ(p.woices[2]->voices[0].noise->unit_num, 3);
  EXPECT_EQ(p.woices[3]->voices[0].noise->unit_num, 3);

  const Woice& ogg = *p.woices[4];
  EXPECT_EQ(ogg.type, WOICE_OGG);
  EXPECT_EQ(ogg.voices[0].wave_type, WAVE_OGG);
  EXPECT_EQ(ogg.voices[0].basic_key, 0x4300);
  EXPECT_EQ(ogg.voices[0].voice_flags, 3u);
  EXPECT_EQ(ogg.voices[0].tuning, 0.5f);
  EXPECT_EQ(ogg.voices[0].ogg->size, 9);
  EXPECT_EQ(std::string(ogg.voices[0].ogg->data.begin(), ogg.voices[0].ogg->data.end()),
            "OggS-data");
}

TEST_F(ReaderTest, MaterialBodyFailures) {
  struct Case {
    const char* what;
    Bytes file;
    const char* text;
  };
  std::vector<uint8_t> bad_qxv = body_of("QXV_RECT784");
  bad_qxv[7] = '?';
  std::vector<uint8_t> bad_qxn = body_of("QXN_HATC");
  bad_qxn[0] = 'q';
  Bytes lying_ogg = g5(ogg_chunk("abc"));
  lying_ogg.b[lying_ogg.size() - 12 - 3 - 2] = 0x10;  // the stream size's third byte
  const Case cases[] = {
      {"newer qxVoice body", g5(qxv_chunk(1.0f, newer(body_of("QXV_SAW784")))),
       "it's new format [mateQXV ]"},
      {"newer qxNoise body", g5(qxn_chunk(0, newer(body_of("QXN_HATC")))),
       "it's new format [mateQXN ]"},
      {"qxVoice body without its magic", g5(qxv_chunk(1.0f, bad_qxv)), "read qxv."},
      {"qxNoise body without its magic", g5(qxn_chunk(0, bad_qxn)), "read qxn."},
      {"qxVoice body size beyond the file",
       g5(Bytes().chunk(
           "mateQXV ",
           Bytes().u16(0).u16(0).f32(1).u32(0x7FFFFFFF).add(Bytes{body_of("QXV_SAW784")}))),
       "read qxv."},
      {"OGG stream longer than the file", lying_ogg, "read oggv."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(open(c.file));
    EXPECT_EQ(p.report_text, c.text);
    EXPECT_TRUE(project_empty());
  }
}

TEST_F(ReaderTest, WoiceTuningBecomesCorrectEvent) {
  Bytes f = song_header(3);
  f.add(qxsg_unit(2, 0)).add(qxv_chunk(1.0f));
  f.add(qxsg_unit(2, 0)).add(qxv_chunk(1.5f));
  f.add(end_chunk(3));
  ASSERT_TRUE(open(f)) << p.report_text;
  const std::vector<Ev> correct = {{0, 1, EVENT_CORRECT, static_cast<int32_t>(float_bits(1.5f))}};
  EXPECT_EQ(events_of(EVENT_CORRECT), correct);
  // Generation 4 and 5 songs keep their tunings in the woices.
  Bytes g4 = song_header(4);
  g4.add(qxv_chunk(1.5f)).add(num_unit(1)).add(event_v5({{0, 0, EVENT_VEL, 1}})).add(end_chunk(4));
  ASSERT_TRUE(open(g4)) << p.report_text;
  EXPECT_TRUE(events_of(EVENT_CORRECT).empty());
  EXPECT_TRUE(events_of(EVENT_KEY).empty());
}
