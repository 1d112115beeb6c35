// Coordinate-to-oscillator conversion: limits, refusals and messages (the exact amplitudes
// of the built-in waves are checked through the qxVoice writer).
#include <gtest/gtest.h>

#include "material_helpers.h"

using namespace material_test;
#include "synth/wave_convert.h"

namespace {

Voice coordinate_voice(int32_t resolution, std::vector<Point> points) {
  Voice v;
  v.data_flags = DATA_WAVE;
  v.wave_type = WAVE_COORDINATE;
  v.resolution = resolution;
  v.point_num = static_cast<int32_t>(points.size());
  v.points = std::move(points);
  return v;
}

std::vector<int32_t> amplitudes(const Voice& v) {
  std::vector<int32_t> out;
  for (const Point& pt : v.points) out.push_back(pt.y);
  return out;
}

}  // namespace

TEST(WaveConvert, ConstantAndLimitedWaves) {
  CapturedProject cp;
  // One point: a constant level, no harmonic at all.
  Voice flat = coordinate_voice(200, {{30, 100}});
  ASSERT_EQ(coordinate_to_oscillator(cp.p, flat, "flat", 1), 1);
  EXPECT_EQ(amplitudes(flat), std::vector<int32_t>(31, 0));
  EXPECT_EQ(cp.out, "\n* converted qxVoice [flat-B] wave from 'Coordinate' to 'Oscillator'");

  // A full-scale square: the fundamental is stronger than 128 allows.
  Voice square = coordinate_voice(200, {{0, 127}, {99, 127}, {100, -128}, {199, -128}});
  ASSERT_EQ(coordinate_to_oscillator(cp.p, square, "sq", 0), 1);
  std::vector<int32_t> a = amplitudes(square);
  EXPECT_EQ(a[0], 128);
  for (int32_t x : a) {
    EXPECT_GE(x, 0);
    EXPECT_LE(x, 128);
  }

  // Points out of order and beyond the period still give amplitudes within range.
  Voice odd = coordinate_voice(10, {{11, 100}, {1, -100}, {255, 5}, {0, 0}});
  ASSERT_EQ(coordinate_to_oscillator(cp.p, odd, "odd", 0), 1);
  for (int32_t x : amplitudes(odd)) {
    EXPECT_GE(x, 0);
    EXPECT_LE(x, 128);
  }
}

TEST(WaveConvert, RefusesWavesWithoutPeriodOrPoints) {
  struct Case {
    int32_t resolution;
    std::vector<Point> points;
    int32_t point_num;
  };
  const std::vector<Case> cases = {
      {0, {{0, 0}, {50, 64}}, 2},
      {-200, {{0, 0}, {50, 64}}, 2},
      {200, {}, 0},
      {200, {{0, 0}}, 2},  // claims more points than it holds
      {INT32_MAX, {{0, 0}, {50, 64}}, 2},
  };
  for (const Case& c : cases) {
    CapturedProject cp;
    Voice v = coordinate_voice(c.resolution, c.points);
    v.point_num = c.point_num;
    EXPECT_EQ(coordinate_to_oscillator(cp.p, v, "bad", 0), 0);
    EXPECT_EQ(v.wave_type, WAVE_COORDINATE);
    EXPECT_EQ(v.point_num, c.point_num);
    EXPECT_EQ(v.points.size(), c.points.size());
    EXPECT_EQ(cp.out, "");
  }
}

// Two points at one x make a vertical edge: from there on the wave is at the later point's
// level, just as the same wave drawn with the edge one sample earlier.
TEST(WaveConvert, VerticalEdgeTakesTheLaterPoint) {
  CapturedProject cp;
  Voice edge = coordinate_voice(100, {{0, 0}, {20, 100}, {20, -100}, {60, 0}});
  Voice slope = coordinate_voice(100, {{0, 0}, {19, 95}, {20, -100}, {60, 0}});
  ASSERT_EQ(coordinate_to_oscillator(cp.p, edge, "e", 0), 1);
  ASSERT_EQ(coordinate_to_oscillator(cp.p, slope, "s", 0), 1);
  EXPECT_EQ(amplitudes(edge), amplitudes(slope));
}
