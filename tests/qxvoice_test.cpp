// qxVoice bodies: the built-in materials, every write layout, the unsupported cases and
// hostile bodies.
#include <gtest/gtest.h>

#include <cstring>

#include "material/qxvoice.h"
#include "material_helpers.h"
#include "project/targets.h"

using namespace material_test;

namespace {

struct BuiltinVoice {
  const char* name;
  size_t length;
  int32_t volume;
  std::vector<Point> points;
};

const std::vector<BuiltinVoice>& builtin_voices() {
  static const std::vector<BuiltinVoice> table = {
      {"QXV_TRIA784", 41, 32, {{0, 0}, {50, 64}, {150, -64}}},
      {"QXV_SAW784",
       65,
       25,
       {{0, 0},
        {9, 20},
        {17, 36},
        {25, 66},
        {31, 6},
        {41, -18},
        {59, -30},
        {110, 6},
        {148, 10},
        {162, 2},
        {168, -16},
        {176, -94},
        {186, -66},
        {192, -52},
        {199, -32}}},
      {"QXV_RECT784", 85, 64, {{0, 0},     {6, 50},    {12, 94},   {16, 108},   {22, 116},
                               {29, 116},  {35, 112},  {42, 94},   {50, 44},    {58, -16},
                               {65, -62},  {73, -88},  {86, -106}, {101, -112}, {110, -104},
                               {123, -94}, {135, -72}, {142, -46}, {152, -34},  {161, -34},
                               {163, -16}, {173, -32}, {180, -36}, {191, -28},  {195, -22}}},
  };
  return table;
}

bool read_voice(CapturedProject& cp, const Bytes& body, Woice& w, int* unsupported = nullptr) {
  ByteSource s = memory_source(body);
  return qxvoice_read(cp.p, s, w, unsupported) == 1;
}

Bytes write_voice(CapturedProject& cp, Woice& w, int target, int* ok, int32_t* length) {
  // The oldest layout's waves are converted first, as the downgrade step does.
  const bool old = target_rule(target).qxvoice_layout == QXVOICE_OLD_BODY;
  return written_bytes(
      [&](FILE* f) {
        return (!old || qxvoice_downgrade_waves(cp.p, w)) && qxvoice_write(f, length, w, target);
      },
      ok);
}

// The body with its header for a given version and the bytes after the size field.
Bytes qxv_body(uint32_t version, const Bytes& after_size) {
  Bytes out = {'Q', 'X', 'V', 'O', 'I', 'C', 'E', '-', 0, 0, 0, 0, 0, 0, 0, 0};
  put_u32(out, 8, version);
  put_u32(out, 12, static_cast<uint32_t>(after_size.size()));
  out.insert(out.end(), after_size.begin(), after_size.end());
  return out;
}

// A woice of one voice in memory, as a reader would leave it.
Woice one_voice_woice(CapturedProject& cp, int voices = 1) {
  Woice w;
  std::snprintf(w.name, sizeof w.name, "voice_07");
  woice_alloc_voices(cp.p, w, voices);
  for (Voice& v : w.voices) {
    v.basic_key = 11520;
    v.volume = 32;
    v.pan = 64;
    v.tuning = 1.0f;
    v.voice_flags = 3;
    v.data_flags = DATA_WAVE;
    v.wave_type = WAVE_COORDINATE;
    v.resolution = 200;
    v.points = {{0, 0}, {50, 64}, {150, -64}};
    v.point_num = 3;
  }
  w.type = WOICE_QXVOICE;
  return w;
}

}  // namespace

TEST(QxVoice, BuiltinsReadToTheirValues) {
  for (const BuiltinVoice& b : builtin_voices()) {
    SCOPED_TRACE(b.name);
    CapturedProject cp;
    Bytes body = resource_bytes(b.name);
    ASSERT_EQ(body.size(), b.length);
    EXPECT_EQ(get_u32(body, 8), QXVOICE_VERSION_NEW);
    EXPECT_EQ(get_u32(body, 12), b.length - 16);
    Woice w;
    ASSERT_TRUE(read_voice(cp, body, w));
    EXPECT_EQ(w.type, WOICE_QXVOICE);
    EXPECT_EQ(w.x3x_basic_key, 0);
    ASSERT_EQ(w.voice_num, 1);
    ASSERT_EQ(w.voices.size(), 1u);
    ASSERT_EQ(w.instances.size(), 1u);
    const Voice& v = w.voices[0];
    EXPECT_EQ(v.basic_key, 11520);
    EXPECT_EQ(v.volume, b.volume);
    EXPECT_EQ(v.pan, 64);
    EXPECT_EQ(v.tuning, 1.0f);
    EXPECT_EQ(v.voice_flags, 3u);
    EXPECT_EQ(v.data_flags, DATA_WAVE);
    EXPECT_EQ(v.wave_type, WAVE_COORDINATE);
    EXPECT_EQ(v.resolution, 200);
    ASSERT_EQ(v.point_num, static_cast<int32_t>(b.points.size()));
    ASSERT_EQ(v.points.size(), b.points.size());
    for (size_t k = 0; k < b.points.size(); ++k) {
      EXPECT_EQ(v.points[k].x, b.points[k].x) << k;
      EXPECT_EQ(v.points[k].y, b.points[k].y) << k;
    }
    EXPECT_TRUE(v.env_points.empty());
    EXPECT_FALSE(v.pcm || v.noise || v.ogg);  // not passed through voice_init
  }
  const Bytes tria = {0x51, 0x58, 0x56, 0x4F, 0x49, 0x43, 0x45, 0x2D, 0xCF, 0x17, 0x32,
                      0x01, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x80, 0x5A,
                      0x20, 0x40, 0x80, 0x80, 0x80, 0xFC, 0x03, 0x03, 0x01, 0x00, 0x03,
                      0xC8, 0x01, 0x00, 0x00, 0x32, 0x40, 0x96, 0xC0};
  EXPECT_EQ(resource_bytes("QXV_TRIA784"), tria);
  EXPECT_TRUE(resource_bytes("QXV_NONE").empty());
}

TEST(QxVoice, BuiltinsWriteBackPerTarget) {
  for (const BuiltinVoice& b : builtin_voices()) {
    SCOPED_TRACE(b.name);
    Bytes body = resource_bytes(b.name);
    for (int target = 4; target <= 9; ++target) {
      SCOPED_TRACE(target);
      CapturedProject cp;
      Woice w;
      ASSERT_TRUE(read_voice(cp, body, w));
      int ok = 0;
      int32_t length = -1;
      Bytes out = write_voice(cp, w, target, &ok, &length);
      ASSERT_EQ(ok, 1);
      Bytes expected = body;
      if (target < 6) {
        // Only the x3x basic key (no shift) and the size field differ.
        expected[16] = 0x80;
        expected.insert(expected.begin() + 17, {0x8A, 0x01});
        put_u32(expected, 12, get_u32(body, 12) + 2);
      }
      EXPECT_EQ(out, expected);
      EXPECT_EQ(length, static_cast<int32_t>(out.size()));
      EXPECT_EQ(cp.out, "");
    }
  }
}

TEST(QxVoice, Target3AddsDefaultEnvelopeAndKeepsCoordinates) {
  CapturedProject cp;
  Woice w;
  ASSERT_TRUE(read_voice(cp, resource_bytes("QXV_TRIA784"), w));
  int ok = 0;
  int32_t length = 0;
  Bytes out = write_voice(cp, w, 3, &ok, &length);
  ASSERT_EQ(ok, 1);
  Bytes expected =
      qxv_body(QXVOICE_VERSION_MID, {0x80, 0x8A, 0x01, 0x00, 0x00, 0x01,                          //
                                     0x80, 0x5A, 0x20, 0x40, 0x80, 0x80, 0x80, 0xFC, 0x03, 0x03,  //
                                     0x03,                                                        //
                                     0x00, 0x03, 0xC8, 0x01, 0x00, 0x00, 0x32, 0x40, 0x96, 0xC0,  //
                                     0x64, 0x01, 0x00, 0x01, 0x00, 0x80, 0x01, 0x01, 0x01});
  EXPECT_EQ(out, expected);
  EXPECT_EQ(length, static_cast<int32_t>(expected.size()));
  // The envelope is written, not given to the voice: a second write is the same.
  EXPECT_EQ(w.voices[0].data_flags, DATA_WAVE);
  EXPECT_EQ(write_voice(cp, w, 3, &ok, nullptr), expected);
  EXPECT_EQ(cp.out, "");
}

TEST(QxVoice, Target2ConvertsEveryBuiltinWave) {
  const std::vector<int32_t> tria = {51, 0, 17, 0, 10, 0, 7, 0, 6, 0, 5, 0, 4, 0, 3, 0,
                                     3,  0, 3,  0, 3,  0, 2, 0, 2, 0, 2, 0, 2, 0, 2};
  const std::vector<std::vector<int32_t>> starts = {
      tria, {7, 60, 72, 44, 11, 29}, {90, 94, 61, 7, 21, 29}};
  for (size_t i = 0; i < builtin_voices().size(); ++i) {
    const BuiltinVoice& b = builtin_voices()[i];
    SCOPED_TRACE(b.name);
    CapturedProject cp;
    Woice w;
    std::snprintf(w.name, sizeof w.name, "voice_03");
    ASSERT_TRUE(read_voice(cp, resource_bytes(b.name), w));
    int ok = 0;
    int32_t length = 0;
    Bytes out = write_voice(cp, w, 2, &ok, &length);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(cp.out, "\n* converted qxVoice [voice_03-A] wave from 'Coordinate' to 'Oscillator'");
    const Voice& v = w.voices[0];
    EXPECT_EQ(v.wave_type, WAVE_OSCILLATOR);
    EXPECT_EQ(v.resolution, 200);
    ASSERT_EQ(v.point_num, 31);
    ASSERT_EQ(v.points.size(), 31u);
    for (size_t k = 0; k < 31; ++k) {
      EXPECT_EQ(v.points[k].x, static_cast<int32_t>(k + 1));
      if (k < starts[i].size()) {
        EXPECT_EQ(v.points[k].y, starts[i][k]) << "harmonic " << k + 1;
      }
      EXPECT_GE(v.points[k].y, 0);
    }
    // The whole body: oldest version, oscillator wave, default envelope.
    Bytes after = {0x80, 0x8A, 0x01, 0x00, 0x00, 0x01, 0x80, 0x5A};
    after = concat({after,
                    varint_bytes(static_cast<uint32_t>(b.volume)),
                    {0x40, 0x80, 0x80, 0x80, 0xFC, 0x03, 0x03, 0x03, 0x01, 0x1F}});
    for (const Point& pt : v.points) {
      after = concat({after, varint_bytes(static_cast<uint32_t>(pt.x)),
                      varint_bytes(static_cast<uint32_t>(pt.y))});
    }
    after = concat({after, {0x64, 0x01, 0x00, 0x01, 0x00, 0x80, 0x01, 0x01, 0x01}});
    EXPECT_EQ(out, qxv_body(QXVOICE_VERSION_OLD, after));
    EXPECT_EQ(length, static_cast<int32_t>(out.size()));
  }
}

TEST(QxVoice, Target2NamesLaterVoicesBAndSkipsVoicesWithoutWave) {
  CapturedProject cp;
  Woice w = one_voice_woice(cp, 3);
  w.voices[2].data_flags = 0;  // no wave: nothing to convert
  w.voices[2].points.clear();
  w.voices[2].point_num = 0;
  int ok = 0;
  write_voice(cp, w, 2, &ok, nullptr);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(cp.out,
            "\n* converted qxVoice [voice_07-A] wave from 'Coordinate' to 'Oscillator'"
            "\n* converted qxVoice [voice_07-B] wave from 'Coordinate' to 'Oscillator'");
  EXPECT_EQ(w.voices[2].data_flags, 0u);
}

TEST(QxVoice, FailedConversionFailsTheWrite) {
  for (int bad = 0; bad < 3; ++bad) {
    CapturedProject cp;
    Woice w = one_voice_woice(cp, bad == 2 ? 20 : 1);
    if (bad == 0) w.voices[0].resolution = 0;
    if (bad == 1) {
      w.voices[0].points.clear();
      w.voices[0].point_num = 0;
    }
    // Waves that would take too long to analyse together, though each alone would not.
    if (bad == 2) {
      for (Voice& v : w.voices) v.resolution = 1000;
    }
    int ok = 1;
    write_voice(cp, w, 2, &ok, nullptr);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(w.voices[0].wave_type, WAVE_COORDINATE);
    EXPECT_EQ(cp.out, "");
  }
}

TEST(QxVoice, OddVoicesRoundTrip) {
  // A voice without wave or envelope, and one with an oscillator wave holding a negative
  // amplitude and an envelope.
  Bytes after = {0x00, 0x00, 0x00, 0x02,                    // key, reserved, two voices
                 0x01, 0x02, 0x03, 0x04, 0x05, 0x00,        // bare voice
                 0x80, 0x5A, 0x10, 0x40, 0x00, 0x07, 0x03,  // flags 7, wave and envelope
                 0x01, 0x02, 0x01, 0x7F,                    // oscillator, (1, 127)
                 0x03, 0xFB, 0xFF, 0xFF, 0xFF, 0x0F,        // (3, -5)
                 0x2C, 0x02, 0x00, 0x01,                    // 44 fps, 2 head, 0 body, 1 tail
                 0x00, 0x80, 0x01, 0x0A, 0x40, 0x14, 0x00};
  Bytes body = qxv_body(QXVOICE_VERSION_NEW, after);
  CapturedProject cp;
  Woice w;
  ASSERT_TRUE(read_voice(cp, body, w));
  ASSERT_EQ(w.voice_num, 2);
  EXPECT_EQ(w.voices[0].data_flags, 0u);
  EXPECT_EQ(w.voices[0].basic_key, 1);
  EXPECT_EQ(w.voices[0].tuning, bits_float(4));
  EXPECT_TRUE(w.voices[0].points.empty());
  const Voice& v = w.voices[1];
  EXPECT_EQ(v.wave_type, WAVE_OSCILLATOR);
  ASSERT_EQ(v.point_num, 2);
  EXPECT_EQ(v.points[1].y, -5);
  EXPECT_EQ(v.env_fps, 44);
  ASSERT_EQ(v.env_points.size(), 3u);
  EXPECT_EQ(v.env_points[2].x, 20);
  int ok = 0;
  EXPECT_EQ(write_voice(cp, w, 6, &ok, nullptr), body);
  EXPECT_EQ(ok, 1);
  // The mid version is read like the new one.
  Woice mid;
  EXPECT_TRUE(read_voice(cp, qxv_body(QXVOICE_VERSION_MID, after), mid));
  EXPECT_EQ(mid.voice_num, 2);
}

TEST(QxVoice, BodySizeFigure) {
  CapturedProject cp;
  Woice w;
  ASSERT_TRUE(read_voice(cp, resource_bytes("QXV_TRIA784"), w));
  // 19 + key 1 + count 1 + voice 11 + wave (1 + 1 + 2 + 6).
  EXPECT_EQ(qxvoice_body_size(w), 42);
  w.voices[0].data_flags |= DATA_ENVELOPE;
  w.voices[0].env_fps = 100;
  w.voices[0].env_head_num = 1;
  w.voices[0].env_tail_num = 1;
  w.voices[0].env_points = {{0, 128}, {1, 1}};
  EXPECT_EQ(qxvoice_body_size(w), 42 + 4 + 5);
}

TEST(QxVoice, NewerBodiesAreReportedUnsupported) {
  const Bytes voice = {0x80, 0x5A, 0x20, 0x40, 0x00, 0x03, 0x00};
  struct Case {
    const char* what;
    Bytes body;
    int unsupported;
  };
  const std::vector<Case> cases = {
      {"version", qxv_body(20060112, concat({{0, 0, 0, 1}, voice})), 1},
      {"reserved", qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 1, 1}, voice})), 1},
      {"reserved 2", qxv_body(QXVOICE_VERSION_NEW, concat({{0, 1, 0, 1}, voice})), 1},
      {"voice flag", qxv_body(QXVOICE_VERSION_NEW, {0, 0, 0, 1, 0x80, 0x5A, 0x20, 0x40, 0, 8, 0}),
       1},
      {"data flag", qxv_body(QXVOICE_VERSION_NEW, {0, 0, 0, 1, 0x80, 0x5A, 0x20, 0x40, 0, 3, 4}),
       1},
      {"wave type", qxv_body(QXVOICE_VERSION_NEW, {0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 2, 0}), 0},
      {"env body",
       qxv_body(QXVOICE_VERSION_NEW, {0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 1, 0, 1, 1, 0, 0, 0, 0}), 0},
      {"env tail", qxv_body(QXVOICE_VERSION_NEW, {0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 1, 0, 0, 2, 0, 0}),
       0},
      {"magic", Bytes{'Q',  'X',  'V', 'O', 'I', 'C', 'E', '_', 0x4F, 0x17,
                      0x32, 0x01, 0,   0,   0,   0,   0,   0,   0,    0},
       0},
      {"long varint", qxv_body(QXVOICE_VERSION_NEW, {0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0, 0, 0}),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CapturedProject cp;
    Woice w;
    int unsupported = 0;
    EXPECT_FALSE(read_voice(cp, c.body, w, &unsupported));
    EXPECT_EQ(unsupported, c.unsupported);
    EXPECT_EQ(w.voice_num, 0);
    EXPECT_TRUE(w.voices.empty());
    // Without a flag the reader only fails.
    Woice w2;
    EXPECT_FALSE(read_voice(cp, c.body, w2, nullptr));
  }
  // The control: a valid body of the same shape reads.
  CapturedProject cp;
  Woice w;
  EXPECT_TRUE(read_voice(cp, qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0, 1}, voice})), w));
}

TEST(QxVoice, HugeCountsFailAtOnce) {
  const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F};  // 4294967295
  const Bytes big = {0xFF, 0xFF, 0xFF, 0xFF, 0x07};   // 2147483647
  const Bytes voice = {0x00, 0x00, 0x00, 0x00, 0x00};
  const std::vector<Bytes> bodies = {
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0}, huge, voice})),
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0}, big, voice})),
      qxv_body(QXVOICE_VERSION_NEW,
               concat({{0, 0, 0, 1}, voice, {0x01, 0x00}, huge, {0xC8, 0x01}})),
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0, 1}, voice, {0x01, 0x00}, big, {0xC8, 0x01}})),
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0, 1}, voice, {0x01, 0x01}, big, {1, 1}})),
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0, 1}, voice, {0x02, 100}, big, {0, 1, 0, 0}})),
      qxv_body(QXVOICE_VERSION_NEW, concat({{0, 0, 0, 1}, voice, {0x02, 100}, huge, {0, 1, 0, 0}})),
  };
  for (size_t i = 0; i < bodies.size(); ++i) {
    SCOPED_TRACE(i);
    CapturedProject cp;
    Woice w;
    int unsupported = 0;
    EXPECT_FALSE(read_voice(cp, bodies[i], w, &unsupported));
    EXPECT_EQ(unsupported, 0);
    EXPECT_EQ(w.voice_num, 0);
    EXPECT_TRUE(w.voices.empty());
  }
}

TEST(QxVoice, EveryTruncationFailsCleanly) {
  Bytes env_body =
      qxv_body(QXVOICE_VERSION_NEW, {0,    0,    0,    2,    1, 2, 3, 4, 5,    0, 0x80, 0x5A,
                                     0x10, 0x40, 0,    3,    3, 1, 2, 1, 0x7F, 3, 0xFB, 0xFF,
                                     0xFF, 0xFF, 0x0F, 0x2C, 1, 0, 1, 0, 0x80, 1, 0x0A, 0x40});
  std::vector<Bytes> bodies = {resource_bytes("QXV_TRIA784"), resource_bytes("QXV_SAW784"),
                               resource_bytes("QXV_RECT784"), env_body};
  for (const Bytes& full : bodies) {
    CapturedProject cp;
    Woice whole;
    ASSERT_TRUE(read_voice(cp, full, whole));
    for (size_t cut = 0; cut < full.size(); ++cut) {
      Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
      Woice w;
      int unsupported = 0;
      EXPECT_FALSE(read_voice(cp, part, w, &unsupported)) << cut;
      EXPECT_EQ(unsupported, 0);
      EXPECT_TRUE(w.voices.empty()) << cut;
    }
  }
}

TEST(QxVoice, ReadsFromAFileSource) {
  Bytes body = resource_bytes("QXV_RECT784");
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(body.data(), 1, body.size() - 1, f), body.size() - 1);
  std::rewind(f);
  CapturedProject cp;
  Woice w;
  ByteSource s = source_from_file(f);
  EXPECT_FALSE(qxvoice_read(cp.p, s, w, nullptr));  // one byte short
  std::fseek(f, 0, SEEK_END);
  std::fputc(body.back(), f);
  std::rewind(f);
  s = source_from_file(f);
  EXPECT_TRUE(qxvoice_read(cp.p, s, w, nullptr));
  EXPECT_EQ(w.voices[0].point_num, 25);
  std::fclose(f);
}
