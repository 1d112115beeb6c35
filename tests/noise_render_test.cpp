// qxNoise rendering: tables, exact samples of simple units, clamping, clipping, and pinned
// checksums of whole renders so that speed work cannot change a single bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "project/project.h"
#include "synth/noise_render.h"
#include "tests/noise_designs.h"

using namespace noise_designs;

namespace {

NoiseUnit unit_of(NoiseOsc main, std::vector<NoisePoint> env = {{0, 100}}, int32_t pan = 0) {
  return unit(std::move(env), pan, main);
}

Project project_with_freq_table() {
  Project p;
  build_freq_table(p);
  return p;
}

std::vector<int16_t> render(NoiseDesign d, bool freq_table = true) {
  Project p = freq_table ? project_with_freq_table() : Project{};
  std::vector<int16_t> pcm;
  EXPECT_EQ(qxnoise_render(p, d, pcm), 1);
  EXPECT_EQ(pcm.size(), static_cast<size_t>(d.sample_num) * 2);
  return pcm;
}

uint64_t fnv1a(const std::vector<int16_t>& pcm) {
  uint64_t h = 14695981039346656037ull;
  for (int16_t s : pcm) {
    const uint16_t u = static_cast<uint16_t>(s);
    for (uint8_t byte : {static_cast<uint8_t>(u & 0xFF), static_cast<uint8_t>(u >> 8)}) {
      h ^= byte;
      h *= 1099511628211ull;
    }
  }
  return h;
}

constexpr int32_t RECT = 3;
constexpr int32_t RANDOM = 4;
constexpr int32_t RANDOM2 = 8;

// Built-in "QXN_BD6": three units with envelopes, sine and random mains, saw and random freq.
NoiseDesign bd6() {
  NoiseUnit u0 = unit_of(osc(1, 6.0f, 40.0f), {{2, 100}, {80, 50}, {10, 0}});
  u0.osc_freq = osc(2, 10.0f, 120.0f, 95.0f);
  NoiseUnit u1 = unit_of(osc(1, 10.0f, 30.0f), {{2, 100}, {60, 50}, {10, 0}});
  u1.osc_freq = osc(2, 16.0f, 110.0f, 4.0f);
  NoiseUnit u2 = unit_of(osc(RANDOM, 44000.0f, 20.0f), {{1, 100}, {20, 0}, {0, 0}});
  u2.osc_freq = osc(RANDOM, 100.0f, 100.0f);
  return design({u0, u1, u2}, 1445);
}

// Every waveform, reverse, pan, offsets and both random modes in four units.
NoiseDesign mixed_design(int32_t frames) {
  NoiseUnit a = unit_of(osc(5, 220.0f, 80.0f, 10.0f), {{5, 100}, {200, 60}, {300, 0}}, -30);
  a.osc_freq = osc(7, 3.0f, 40.0f, 25.0f);
  a.osc_volu = osc(RANDOM, 30.0f, 50.0f, 50.0f, 1);
  NoiseUnit b = unit_of(osc(6, 110.0f, 120.0f, 0.0f, 1), {{0, 80}, {1000, 100}}, 70);
  b.osc_freq = osc(RANDOM2, 8.0f, 60.0f);
  b.osc_volu = osc(13, 5.0f, 90.0f, 33.0f);
  NoiseUnit c = unit_of(osc(RANDOM2, 2000.0f, 60.0f), {{50, 100}, {0, 20}, {400, 0}});
  c.osc_freq = osc(15, 1.5f, 150.0f, 0.0f, 1);
  c.osc_volu = osc(9, 12.0f, 100.0f);
  NoiseUnit d = unit_of(osc(16, 55.0f, 100.0f, 75.0f), {{3000, 100}}, 100);
  d.osc_freq = osc(11, 0.7f, 200.0f);
  d.osc_volu = osc(14, 40.0f, 30.0f, 0.0f, 1);
  return design({a, b, c, d}, frames);
}

// Designs drawn from a fixed pseudo-random sequence, reaching every waveform (and some outside
// the table), both signs of frequency and offset, reverse, pan and envelope shapes.
std::vector<NoiseDesign> drawn_designs() {
  uint32_t seed = 12345;
  auto next = [&](int32_t lo, int32_t hi) {
    seed = seed * 1103515245u + 12345u;
    return lo + static_cast<int32_t>((seed >> 8) % static_cast<uint32_t>(hi - lo + 1));
  };
  auto draw_osc = [&]() {
    return osc(next(-1, 18), static_cast<float>(next(-500, 30000)) / 10.0f,
               static_cast<float>(next(-100, 2200)) / 10.0f,
               static_cast<float>(next(-100, 1100)) / 10.0f, next(0, 1));
  };
  std::vector<NoiseDesign> out;
  for (int k = 0; k < 24; ++k) {
    std::vector<NoiseUnit> units;
    const int32_t unit_num = next(1, 4);
    for (int32_t u = 0; u < unit_num; ++u) {
      std::vector<NoisePoint> env;
      const int32_t env_num = next(0, 3);
      for (int32_t e = 0; e < env_num; ++e) env.push_back({next(-5, 60), next(-20, 120)});
      NoiseUnit unit = unit_of(draw_osc(), env, next(-120, 120));
      unit.osc_freq = draw_osc();
      unit.osc_volu = draw_osc();
      unit.enabled = next(0, 7) != 0;
      units.push_back(unit);
    }
    out.push_back(design(units, next(0, 4000)));
  }
  return out;
}

}  // namespace

TEST(NoiseTables, RandomTableFromFixedSeed) {
  std::vector<int16_t> t;
  ASSERT_EQ(noise_build_random_table(t), 1);
  ASSERT_EQ(t.size(), 44100u);
  const std::vector<int16_t> first(t.begin(), t.begin() + 8);
  EXPECT_EQ(first,
            (std::vector<int16_t>{-13108, 4113, -8740, -4627, -13877, -18249, -32126, 14651}));
  EXPECT_EQ(t.back(), -10341);
}

TEST(NoiseTables, WaveformShapes) {
  NoiseTables t;
  ASSERT_EQ(noise_build_tables(t), 1);
  for (int w = 0; w < NOISE_WAVEFORM_NUM; ++w) {
    const size_t want = w == 4 ? 44100u : w == 8 ? 0u : 441u;
    EXPECT_EQ(t.wave[w].size(), want) << w;
  }
  EXPECT_EQ(t.wave[0], std::vector<int16_t>(441, 0));
  EXPECT_EQ(t.wave[1][0], 0);
  EXPECT_EQ(t.wave[2][0], 32767);
  EXPECT_EQ(t.wave[2][440], -32618);
  EXPECT_EQ(t.wave[3][219], 32767);
  EXPECT_EQ(t.wave[3][220], -32767);
  EXPECT_EQ(t.wave[7][0], 0);
  EXPECT_EQ(t.wave[7][110], 32767);
  EXPECT_EQ(t.wave[7][220], 0);
  EXPECT_EQ(t.wave[7][330], -32767);
  EXPECT_EQ(t.wave[7][55], 16383);
  // Step tables: the count of each level.
  auto count = [&](int w, int16_t v) { return std::count(t.wave[w].begin(), t.wave[w].end(), v); };
  EXPECT_EQ(count(9, 32767), 147);
  EXPECT_EQ(count(10, 32767), 110);
  EXPECT_EQ(count(11, 32767), 55);
  EXPECT_EQ(count(12, 32767), 27);
  EXPECT_EQ(count(13, 0), 147);
  EXPECT_EQ(count(14, -32767), 111);
  EXPECT_EQ(count(15, 19661), 74);
  EXPECT_EQ(count(16, -32767), 56);
  EXPECT_EQ(t.wave[16][384], -23405);
  EXPECT_EQ(t.wave[16][440], -32767);
}

TEST(NoiseRender, RectAt100HzRepeatsEvery441Frames) {
  const std::vector<int16_t> pcm = render(design({unit_of(osc(RECT, 100.0f, 100.0f))}, 441 * 3));
  for (size_t f = 0; f < 441 * 3; ++f) {
    const int16_t want = f % 441 < 220 ? 16383 : -16383;
    ASSERT_EQ(pcm[f * 2], want) << f;
    ASSERT_EQ(pcm[f * 2 + 1], want) << f;
  }
}

TEST(NoiseRender, PanGains) {
  const std::vector<int16_t> left_only =
      render(design({unit_of(osc(RECT, 100.0f, 100.0f), {{0, 100}}, -100)}, 441));
  const std::vector<int16_t> half_left =
      render(design({unit_of(osc(RECT, 100.0f, 100.0f), {{0, 100}}, 50)}, 441));
  for (size_t f = 0; f < 441; ++f) {
    const int16_t full = f < 220 ? 16383 : -16383;
    ASSERT_EQ(left_only[f * 2], full) << f;
    ASSERT_EQ(left_only[f * 2 + 1], 0) << f;
    ASSERT_EQ(half_left[f * 2], f < 220 ? 8191 : -8191) << f;
    ASSERT_EQ(half_left[f * 2 + 1], full) << f;
  }
}

TEST(NoiseRender, EnvelopeRampsAndPointsWithoutLengthTakeEffectAtOnce) {
  // 10 ms = 441 samples from 0 to 100 %.
  const std::vector<int16_t> ramp =
      render(design({unit_of(osc(RECT, 100.0f, 100.0f), {{10, 100}})}, 442));
  EXPECT_EQ(ramp[0], 0);
  EXPECT_EQ(ramp[2], 37);       // 16383.5 / 441
  EXPECT_EQ(ramp[440], -8173);  // 16383.5 x 220 / 441, second half of the period
  EXPECT_EQ(ramp[882], 16383);  // envelope done, period restarted
  // Without points the unit is silent; a unit that is not enabled is never heard.
  EXPECT_EQ(render(design({unit_of(osc(RECT, 100.0f, 100.0f), {})}, 500)),
            std::vector<int16_t>(1000, 0));
  NoiseUnit off = unit_of(osc(RECT, 100.0f, 100.0f));
  off.enabled = 0;
  EXPECT_EQ(render(design({off}, 500)), std::vector<int16_t>(1000, 0));
}

TEST(NoiseRender, RandomModesGlideOrHold) {
  // "random" glides from the level to the next table entry over one period; "random2" holds.
  const std::vector<int16_t> glide = render(design({unit_of(osc(RANDOM, 100.0f, 100.0f))}, 883));
  const std::vector<int16_t> hold = render(design({unit_of(osc(RANDOM2, 100.0f, 100.0f))}, 883));
  EXPECT_EQ(glide[0], 0);
  EXPECT_EQ(glide[2], -14);  // (0 + 1 x -13108 / 441) / 2
  EXPECT_EQ(glide[441 * 2], -6554);
  EXPECT_EQ(glide[882 * 2], 2056);
  for (size_t f = 1; f < 441; ++f) EXPECT_LE(glide[f * 2], glide[f * 2 - 2]) << f;
  EXPECT_EQ(hold[440 * 2], 0);
  EXPECT_EQ(hold[441 * 2], -6554);
  EXPECT_EQ(hold[881 * 2], -6554);
  EXPECT_EQ(hold[882 * 2], 2056);
}

TEST(NoiseRender, WithoutFrequencyTableTheMainOscillatorStands) {
  const std::vector<int16_t> pcm =
      render(design({unit_of(osc(RECT, 100.0f, 100.0f))}, 1000), false);
  EXPECT_EQ(pcm, std::vector<int16_t>(2000, 16383));
}

TEST(NoiseRender, LengthZeroAndClampedLength) {
  NoiseDesign empty = design({unit_of(osc(RECT, 100.0f, 100.0f))}, 0);
  std::vector<int16_t> pcm(10, 7);  // a previous block is released
  Project p = project_with_freq_table();
  ASSERT_EQ(qxnoise_render(p, empty, pcm), 1);
  EXPECT_TRUE(pcm.empty());

  NoiseDesign long_one = design({unit_of(osc(RECT, 100.0f, 100.0f))}, 600000);
  ASSERT_EQ(qxnoise_render(p, long_one, pcm), 1);
  EXPECT_EQ(long_one.sample_num, 600000);  // a clamped copy is rendered
  EXPECT_EQ(pcm.size(), 960000u);
  EXPECT_EQ(pcm[959998], 16383);  // frame 479999 is 191 into its period

  // A negative length gives no block: the render fails and the old block is gone.
  NoiseDesign negative = design({unit_of(osc(RECT, 100.0f, 100.0f))}, -1);
  ASSERT_EQ(qxnoise_render(p, negative, pcm), 0);
  EXPECT_EQ(negative.sample_num, -1);
  EXPECT_TRUE(pcm.empty());
}

TEST(NoiseRender, ClampLimitsOnlyEnabledUnits) {
  NoiseUnit on = unit_of(osc(17, 50000.0f, 250.0f, 120.0f), {{20000, 150}, {-5, -20}}, -300);
  on.osc_volu = osc(-3, -10.0f, -50.0f, -10.0f);
  NoiseUnit off = on;
  off.enabled = 0;
  NoiseDesign d = design({on, off}, -5);
  noise_clamp_design(d);
  const NoiseUnit& c = d.units[0];
  EXPECT_EQ(d.sample_num, -5);  // no lower limit
  EXPECT_EQ(c.env_points[0].time, 10000);
  EXPECT_EQ(c.env_points[0].level, 100);
  EXPECT_EQ(c.env_points[1].time, -5);
  EXPECT_EQ(c.env_points[1].level, -20);
  EXPECT_EQ(c.pan, -100);
  EXPECT_EQ(c.osc_main.waveform, 0);
  EXPECT_EQ(c.osc_main.freq, 44100.0f);
  EXPECT_EQ(c.osc_main.volume, 200.0f);
  EXPECT_EQ(c.osc_main.offset, 100.0f);
  EXPECT_EQ(c.osc_volu.waveform, -3);
  EXPECT_EQ(c.osc_volu.freq, -10.0f);
  EXPECT_EQ(d.units[1].pan, -300);
  EXPECT_EQ(d.units[1].osc_main.waveform, 17);
}

TEST(NoiseRender, ClipsToPlusMinus32767) {
  NoiseUnit loud = unit_of(osc(RECT, 100.0f, 200.0f));
  const std::vector<int16_t> pcm = render(design({loud, loud, loud, loud}, 441));
  for (size_t f = 0; f < 441; ++f) {
    ASSERT_EQ(pcm[f * 2], f < 220 ? 32767 : -32767) << f;
    ASSERT_EQ(pcm[f * 2 + 1], pcm[f * 2]) << f;
  }
  const std::vector<int16_t> mixed = render(mixed_design(44100));
  EXPECT_EQ(std::count(mixed.begin(), mixed.end(), int16_t{-32768}), 0);
}

TEST(NoiseRender, OutOfRangeStartsReadPositionZero) {
  // An offset of exactly 100 % or below 0 and a negative waveform map into the tables.
  auto with = [](NoiseOsc main, NoiseOsc volu) {
    NoiseUnit u = unit_of(main);
    u.osc_volu = volu;
    u.osc_freq = volu;
    return render(design({u}, 2000));
  };
  const auto base = with(osc(2, 150.0f, 100.0f), osc(1, 30.0f, 50.0f));
  EXPECT_EQ(with(osc(2, 150.0f, 100.0f, 100.0f), osc(1, 30.0f, 50.0f, 100.0f)), base);
  EXPECT_EQ(with(osc(2, 150.0f, 100.0f, -40.0f), osc(1, 30.0f, 50.0f, -1e30f)), base);
  const auto random_base = with(osc(RANDOM, 150.0f, 100.0f), osc(RANDOM, 30.0f, 50.0f));
  EXPECT_EQ(with(osc(RANDOM, 150.0f, 100.0f, 100.0f), osc(RANDOM, 30.0f, 50.0f, -7.0f)),
            random_base);
  EXPECT_EQ(with(osc(-2, 150.0f, 100.0f), osc(0, 30.0f, 50.0f)), std::vector<int16_t>(4000, 0));
}

TEST(NoiseRender, HostileFieldsRenderWithoutFault) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  NoiseUnit a = unit_of(osc(RECT, -3e38f, -3e38f, nan), {{-2000000000, -2000000000}, {7, 5}});
  a.osc_freq = osc(2, nan, -inf, -inf);
  a.osc_volu = osc(RANDOM, -inf, nan, 50.0f, 1);
  NoiseUnit b = unit_of(osc(RANDOM, -500.0f, 100.0f), {{1, 100}});
  b.osc_freq = osc(1, -1e6f, -3e38f);
  b.osc_volu = osc(2, -77.0f, 200.0f);
  NoiseDesign d = design({a, b}, 5000);
  d.units[0].env_num = 9;  // more than it holds
  d.unit_num = 7;          // likewise
  const std::vector<int16_t> pcm = render(d);
  EXPECT_EQ(std::count(pcm.begin(), pcm.end(), int16_t{-32768}), 0);
}

TEST(NoiseRender, SameDesignSameBytes) {
  EXPECT_EQ(render(mixed_design(20000)), render(mixed_design(20000)));
  EXPECT_EQ(render(bd6()), render(bd6()));
}

// Checksums of renders taken from the plain frame-by-frame form of the renderer.
TEST(NoiseRender, PinnedChecksums) {
  NoiseDesign hatc =
      design({unit_of(osc(RANDOM, 30000.0f, 20.0f), {{1, 100}, {10, 40}, {100, 0}})}, 4444);
  EXPECT_EQ(fnv1a(render(hatc)), 110361969445756921ull);
  EXPECT_EQ(fnv1a(render(bd6())), 9558900630623073737ull);
  EXPECT_EQ(fnv1a(render(mixed_design(100000))), 2644278557800527732ull);
  EXPECT_EQ(fnv1a(render(mixed_design(30000), false)), 17044673142161151984ull);
  std::vector<int16_t> all;
  for (NoiseDesign& d : drawn_designs()) {
    const std::vector<int16_t> pcm = render(d);
    all.insert(all.end(), pcm.begin(), pcm.end());
  }
  EXPECT_EQ(all.size(), 90752u);
  EXPECT_GT(all.size() - static_cast<size_t>(std::count(all.begin(), all.end(), int16_t{0})),
            30000u);
  EXPECT_EQ(fnv1a(all), 3062012521370473031ull);
}
