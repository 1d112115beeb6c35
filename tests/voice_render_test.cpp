// qxVoice rendering: one 200-frame stereo cycle per voice, exact samples of the built-in
// triangle, a full-scale sine, pan gains, resolution and the silent or skipped cases.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "project/project.h"
#include "synth/voice_render.h"

namespace {

Voice coordinate_voice(std::vector<Point> points, int32_t volume = 32, int32_t pan = 64,
                       int32_t resolution = 200) {
  Voice v;
  v.volume = volume;
  v.pan = pan;
  v.data_flags = DATA_WAVE;
  v.wave_type = WAVE_COORDINATE;
  v.point_num = static_cast<int32_t>(points.size());
  v.points = std::move(points);
  v.resolution = resolution;
  return v;
}

Voice tria784(int32_t pan = 64, int32_t resolution = 200) {
  return coordinate_voice({{0, 0}, {50, 64}, {150, -64}}, 32, pan, resolution);
}

Voice oscillator_voice(std::vector<Point> harmonics, int32_t volume = 128, int32_t pan = 64) {
  Voice v;
  v.volume = volume;
  v.pan = pan;
  v.data_flags = DATA_WAVE;
  v.wave_type = WAVE_OSCILLATOR;
  v.point_num = static_cast<int32_t>(harmonics.size());
  v.points = std::move(harmonics);
  return v;
}

Woice woice_of(std::vector<Voice> voices) {
  Woice w;
  w.type = WOICE_QXVOICE;
  w.voice_num = static_cast<int32_t>(voices.size());
  w.instances.resize(voices.size());
  w.voices = std::move(voices);
  return w;
}

// The rendered cycle of a single-voice woice, checked for shape.
std::vector<int16_t> cycle(Voice v) {
  Woice w = woice_of({});
  w.voices.push_back(std::move(v));
  w.voice_num = 1;
  w.instances.resize(1);
  EXPECT_EQ(qxvoice_render(w), &w);
  const VoiceInstance& inst = w.instances[0];
  EXPECT_EQ(inst.head_num, 0);
  EXPECT_EQ(inst.body_num, 200);
  EXPECT_EQ(inst.tail_num, 0);
  EXPECT_EQ(inst.samples.size(), 400u);
  return inst.samples;
}

int16_t left(const std::vector<int16_t>& s, int j) {
  return s[static_cast<size_t>(j) * 2];
}
int16_t right(const std::vector<int16_t>& s, int j) {
  return s[static_cast<size_t>(j) * 2 + 1];
}

}  // namespace

TEST(VoiceRender, BuiltInTriangle) {
  const std::vector<int16_t> s = cycle(tria784());
  const int frames[] = {0, 1, 25, 50, 100, 150, 199};
  const int16_t want[] = {0, 81, 2047, 4095, 0, -4095, -81};
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(left(s, frames[k]), want[k]) << frames[k];
    EXPECT_EQ(right(s, frames[k]), want[k]) << frames[k];
  }
  for (int j = 0; j < 200; ++j) ASSERT_EQ(left(s, j), right(s, j)) << j;
}

TEST(VoiceRender, FullScaleSine) {
  const std::vector<int16_t> s = cycle(oscillator_voice({{1, 128}}));
  for (int j = 0; j < 200; ++j) {
    const int16_t want =
        static_cast<int16_t>(32767.0 * std::sin(2.0 * 3.141592653589793 * j / 200.0));
    ASSERT_EQ(left(s, j), want) << j;
    ASSERT_EQ(right(s, j), want) << j;
  }
  EXPECT_EQ(left(s, 0), 0);
  EXPECT_EQ(left(s, 50), 32767);
  EXPECT_EQ(left(s, 100), 0);
  // A harmonic numbered 0 is skipped rather than dividing by it.
  EXPECT_EQ(cycle(oscillator_voice({{0, 100}, {1, 128}, {0, -5}})), s);
}

TEST(VoiceRender, PanGains) {
  const std::vector<int16_t> centre = cycle(tria784());
  const std::vector<int16_t> hard_left = cycle(tria784(0));
  const std::vector<int16_t> right_side = cycle(tria784(96));
  for (int j = 0; j < 200; ++j) {
    ASSERT_EQ(left(hard_left, j), left(centre, j)) << j;
    ASSERT_EQ(right(hard_left, j), 0) << j;
    ASSERT_EQ(right(right_side, j), right(centre, j)) << j;
  }
  // Gain 32 against 64: half the level, then cut toward zero.
  EXPECT_EQ(left(right_side, 50), 2047);
  EXPECT_EQ(left(right_side, 150), -2047);
  EXPECT_EQ(left(right_side, 1), 40);
  const std::vector<int16_t> hard_right = cycle(tria784(128));
  EXPECT_EQ(left(hard_right, 50), 0);
  EXPECT_EQ(right(hard_right, 50), 4095);
}

TEST(VoiceRender, ResolutionSetsTheXStep) {
  const std::vector<int16_t> s = cycle(tria784(64, 400));
  EXPECT_EQ(left(s, 25), 4095);    // x = 50
  EXPECT_EQ(left(s, 37), 2129);    // x = 74, on the way down
  EXPECT_EQ(left(s, 50), 0);       // x = 100, halfway between 64 and -64
  EXPECT_EQ(left(s, 75), -4095);   // x = 150
  EXPECT_EQ(left(s, 100), -3276);  // x = 200, on the closing segment (150,-64) to (400,0)
  const Point pts[] = {{0, 0}, {50, 64}, {150, -64}};
  for (int j = 0; j < 200; ++j) {
    EXPECT_EQ(coordinate_level(pts, 3, 400, 32, 200, j),
              coordinate_level(pts, 3, 400, 32, 400, 2 * j))
        << j;
  }
}

TEST(VoiceRender, CoordinateLevelSegments) {
  const Point pts[] = {{20, 100}, {60, -100}};
  // Before the first point the level is flat at its y; after the last it closes on the first.
  EXPECT_DOUBLE_EQ(coordinate_level(pts, 2, 100, 128, 100, 10), 100.0 / 128.0);
  EXPECT_DOUBLE_EQ(coordinate_level(pts, 2, 100, 128, 100, 40), 0.0);
  EXPECT_DOUBLE_EQ(coordinate_level(pts, 2, 100, 128, 100, 80), 0.0);
  EXPECT_DOUBLE_EQ(coordinate_level(pts, 2, 100, 128, 100, 60), -100.0 / 128.0);
  // A vertical edge: at its x the level is the later point's.
  const Point edge[] = {{0, 0}, {20, 100}, {20, -100}, {60, 0}};
  EXPECT_DOUBLE_EQ(coordinate_level(edge, 4, 100, 128, 100, 20), -100.0 / 128.0);
  EXPECT_DOUBLE_EQ(coordinate_level(edge, 4, 100, 128, 100, 40), -50.0 / 128.0);
  EXPECT_EQ(coordinate_level(pts, 0, 100, 128, 100, 40), 0.0);
  EXPECT_EQ(coordinate_level(nullptr, 2, 100, 128, 100, 40), 0.0);
  EXPECT_EQ(coordinate_level(pts, 2, 100, 128, 0, 40), 0.0);
}

TEST(VoiceRender, LevelsBeyondFullScaleAreLimited) {
  const std::vector<int16_t> s = cycle(oscillator_voice({{1, 127}, {3, 127}}, 100000));
  EXPECT_EQ(left(s, 50), 32767);
  EXPECT_EQ(left(s, 150), -32767);
  const std::vector<int16_t> wild =
      cycle(coordinate_voice({{0, 127}, {255, -128}}, INT_MAX, INT_MIN, INT_MAX));
  for (int16_t v : wild) ASSERT_NE(v, -32768);
}

TEST(VoiceRender, SilentAndUntouchedVoices) {
  Voice no_points = coordinate_voice({});
  Voice no_harmonics = oscillator_voice({});
  Voice noise;
  noise.wave_type = WAVE_NOISE;
  Voice claims_more = tria784();
  claims_more.point_num = 50;  // more than it holds: only the held points count
  Woice w = woice_of({});
  w.voices.push_back(std::move(no_points));
  w.voices.push_back(std::move(no_harmonics));
  w.voices.push_back(std::move(noise));
  w.voices.push_back(std::move(claims_more));
  w.voice_num = 4;
  w.instances.resize(4);
  ASSERT_EQ(qxvoice_render(w), &w);
  EXPECT_EQ(w.instances[0].samples, std::vector<int16_t>(400, 0));
  EXPECT_EQ(w.instances[0].body_num, 200);
  EXPECT_EQ(w.instances[1].samples, std::vector<int16_t>(400, 0));
  EXPECT_EQ(w.instances[2].body_num, 0);
  EXPECT_TRUE(w.instances[2].samples.empty());
  EXPECT_EQ(w.instances[3].samples, cycle(tria784()));
}
