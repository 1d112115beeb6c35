// Whole-file conversion of synthesised woices for the oldest song target: the rendered
// blocks land in "matePCM=" chunks with their PCM headers and exactly the renderers' samples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/writer.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "project/project.h"
#include "synth/noise_render.h"
#include "synth/voice_render.h"
#include "tests/song_parser.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using song_parser::Chunk;
using song_parser::parse_song;
using song_parser::ParsedSong;

namespace {

// Built-in "QXN_BD6".
void set_bd6(NoiseDesign& d, int32_t sample_num) {
  d.sample_num = sample_num;
  d.unit_num = 3;
  d.units.assign(3, NoiseUnit{});
  const NoisePoint envs[3][3] = {
      {{2, 100}, {80, 50}, {10, 0}}, {{2, 100}, {60, 50}, {10, 0}}, {{1, 100}, {20, 0}, {0, 0}}};
  for (int u = 0; u < 3; ++u) {
    d.units[u].enabled = 1;
    d.units[u].env_num = 3;
    d.units[u].env_points.assign(envs[u], envs[u] + 3);
  }
  d.units[0].osc_main = {1, 6.0f, 40.0f, 0.0f, 0};
  d.units[0].osc_freq = {2, 10.0f, 120.0f, 95.0f, 0};
  d.units[1].osc_main = {1, 10.0f, 30.0f, 0.0f, 0};
  d.units[1].osc_freq = {2, 16.0f, 110.0f, 4.0f, 0};
  d.units[2].osc_main = {4, 44000.0f, 20.0f, 0.0f, 0};
  d.units[2].osc_freq = {4, 100.0f, 100.0f, 0.0f, 0};
}

// Built-in "QXV_TRIA784".
void set_tria784(Voice& v) {
  v.basic_key = 11520;
  v.volume = 32;
  v.pan = 64;
  v.tuning = 1.0f;
  v.voice_flags = 3;
  v.data_flags = DATA_WAVE;
  v.wave_type = WAVE_COORDINATE;
  v.point_num = 3;
  v.resolution = 200;
  v.points = {{0, 0}, {50, 64}, {150, -64}};
}

std::vector<uint8_t> header(uint16_t index, uint16_t key, uint32_t flags, float tuning,
                            uint32_t bytes) {
  return Bytes().u16(index).u16(key).u32(flags).u16(2).u16(16).u32(44100).f32(tuning).u32(bytes).b;
}

std::vector<uint8_t> little_endian(const std::vector<int16_t>& samples) {
  Bytes b;
  for (int16_t s : samples) b.u16(static_cast<uint16_t>(s));
  return b.b;
}

}  // namespace

TEST(SynthConvert, TargetOneHoldsRenderedNoiseAndVoice) {
  Project p;
  project_setup(p);
  Woice& noise = add_noise_woice(p);
  set_bd6(*noise.voices[0].noise, 1445);
  Woice* voice = woice_add(p);
  ASSERT_NE(voice, nullptr);
  ASSERT_TRUE(woice_alloc_voices(p, *voice, 1));
  voice->type = WOICE_QXVOICE;
  set_tria784(voice->voices[0]);

  // What the renderers make of the same materials, apart from the song.
  NoiseDesign design;
  set_bd6(design, 1445);
  std::vector<int16_t> noise_pcm;
  ASSERT_EQ(qxnoise_render(p, design, noise_pcm), 1);
  ASSERT_EQ(noise_pcm.size(), 2890u);
  Woice cycle;
  cycle.voice_num = 1;
  cycle.voices.resize(1);
  cycle.instances.resize(1);
  set_tria784(cycle.voices[0]);
  ASSERT_EQ(qxvoice_render(cycle), &cycle);
  const int32_t voice_size = qxvoice_body_size(*voice);

  ScratchDir dir;
  WriteResult r = write_capture(p, dir.file("synth.qxprj"), TARGET_X1X_PCM);
  ASSERT_EQ(r.ok, 1) << r.error;
  ParsedSong s = parse_song(r.bytes);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.magic, "QXMOSAIKA-050227");

  const Chunk* n = s.find("matePCM=", 0);
  const Chunk* v = s.find("matePCM=", 1);
  ASSERT_NE(n, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(n->size, 24u + 5780u);
  EXPECT_EQ(std::vector<uint8_t>(n->body.begin(), n->body.begin() + 24),
            header(0, 0x4600, 1, 0.5f, 5780));
  EXPECT_EQ(std::vector<uint8_t>(n->body.begin() + 24, n->body.end()), little_endian(noise_pcm));
  EXPECT_EQ(v->size, 24u + 800u);
  EXPECT_EQ(std::vector<uint8_t>(v->body.begin(), v->body.begin() + 24),
            header(1, 0x3900, 3, 1.0f, 800));
  EXPECT_EQ(std::vector<uint8_t>(v->body.begin() + 24, v->body.end()),
            little_endian(cycle.instances[0].samples));

  // The lines report the material sizes against the PCM bytes.
  const std::string noise_line = "\n* converted qxNoise [voice_00] to PCM (" +
                                 std::to_string(qxnoise_body_size(design)) + " -> 5780 bytes)";
  const std::string voice_line =
      "\n* converted qxVoice [voice_01] to PCM (" + std::to_string(voice_size) + " -> 800 bytes)";
  const size_t noise_at = r.console.find(noise_line);
  ASSERT_NE(noise_at, std::string::npos) << r.console;
  EXPECT_NE(r.console.find(voice_line, noise_at), std::string::npos) << r.console;
}
