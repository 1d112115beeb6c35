// qxNoise renderer against a plain frame-by-frame renderer written straight from the
// algorithm (own tables, one frame and one channel at a time, double precision, same order):
// the block renderer must give the same samples bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bytes/bytes.h"
#include "material/qxnoise.h"
#include "platform/resources.h"
#include "project/project.h"
#include "synth/noise_render.h"
#include "tests/noise_designs.h"

using namespace noise_designs;

namespace {

constexpr double REF_PI = 3.141592653589793;

int16_t ref_s(double x) {
  if (x > 1.0) x = 1.0;
  if (x < -1.0) x = -1.0;
  return static_cast<int16_t>(std::trunc(x * 32767.0));
}

void ref_steps(std::vector<int16_t>& t, std::vector<std::pair<int, int>> steps) {
  for (auto [count, value] : steps) t.insert(t.end(), static_cast<size_t>(count), value);
}

struct RefTables {
  std::vector<int16_t> t[17];
  std::vector<int16_t> random;
};

RefTables ref_tables() {
  RefTables r;
  uint16_t a = 0x4444, b = 0x8888;
  for (int i = 0; i < 44100; ++i) {
    const uint16_t s = static_cast<uint16_t>((a + b) % 65536);
    const uint16_t e = static_cast<uint16_t>(((s & 0xFF) << 8) | (s >> 8));
    r.random.push_back(static_cast<int16_t>(e));
    b = a;
    a = e;
  }
  const int tx[4] = {0, 110, 330, 441}, ty[4] = {0, 128, -128, 0};
  for (int i = 0; i < 441; ++i) {
    r.t[0].push_back(0);
    r.t[1].push_back(ref_s(std::sin(i * 2 * REF_PI / 441)));
    r.t[2].push_back(static_cast<int16_t>(std::trunc(32767.0 - i * 65534.0 / 441.0)));
    r.t[3].push_back(i < 220 ? 32767 : -32767);
    double saw2 = 0.0, rect2 = 0.0;
    for (int h = 1; h <= 16; ++h) saw2 += std::sin(h * 2 * REF_PI * i / 441) * 128 / h / 128;
    for (int h = 1; h <= 15; h += 2) rect2 += std::sin(h * 2 * REF_PI * i / 441) * 128 / h / 128;
    r.t[5].push_back(ref_s(saw2));
    r.t[6].push_back(ref_s(rect2));
    int k = 0;
    while (tx[k + 1] <= i) ++k;
    const double y = i == tx[k] ? ty[k]
                                : ty[k] + static_cast<double>(ty[k + 1] - ty[k]) * (i - tx[k]) /
                                              (tx[k + 1] - tx[k]);
    r.t[7].push_back(ref_s(y / 128));
  }
  ref_steps(r.t[9], {{147, 32767}, {294, -32767}});
  ref_steps(r.t[10], {{110, 32767}, {331, -32767}});
  ref_steps(r.t[11], {{55, 32767}, {386, -32767}});
  ref_steps(r.t[12], {{27, 32767}, {414, -32767}});
  ref_steps(r.t[13], {{147, 32767}, {147, 0}, {147, -32767}});
  ref_steps(r.t[14], {{110, 32767}, {110, 10922}, {110, -10922}, {111, -32767}});
  ref_steps(r.t[15],
            {{73, 32767}, {74, 19661}, {73, 6553}, {74, -6553}, {73, -19661}, {74, -32767}});
  ref_steps(r.t[16], {{55, 32767},
                      {55, 23405},
                      {55, 14043},
                      {55, 4681},
                      {55, -4681},
                      {55, -14043},
                      {55, -23405},
                      {56, -32767}});
  return r;
}

struct RefOsc {
  double increment, phase, gain;
  int waveform, reverse, mode, level, step, position;
};

struct RefUnit {
  int enabled;
  double left, right;
  std::vector<int32_t> length;
  std::vector<double> env_level;
  int index, counter;
  double start, delta;
  RefOsc osc[3];  // main, freq, volu
};

RefOsc ref_osc(const NoiseOsc& o, const RefTables& r) {
  RefOsc s{};
  s.waveform = o.waveform;
  s.mode = o.waveform == 4 ? 1 : o.waveform == 8 ? 2 : 0;
  s.increment = o.freq / 100.0 * (44100.0 / 44100);
  s.phase = s.mode != 0 ? 0.0 : static_cast<double>(o.offset / 100.0f) * 441.0;
  s.gain = o.volume / 100.0f;
  s.reverse = o.reverse;
  s.level = 0;
  s.position = static_cast<int>(static_cast<double>(o.offset / 100.0f) * 44100.0);
  s.step = r.random[static_cast<size_t>(s.position)];
  return s;
}

// The three value cases; `test_negative` only for the sounding oscillator. A modulator whose
// phase has run below 0 (negative frequency) reads position 0: this program's choice.
int ref_value(const RefOsc& s, const RefTables& r, bool test_negative) {
  int ip = static_cast<int>(s.phase);
  if (!test_negative && ip < 0) ip = 0;
  if (s.mode == 0) return test_negative && ip < 0 ? 0 : r.t[s.waveform][static_cast<size_t>(ip)];
  if (test_negative && s.phase < 0) return 0;
  return s.mode == 1 ? s.level + ip * s.step / 441 : s.level;
}

void ref_advance(RefOsc& s, double by, const RefTables& r) {
  s.phase += by;
  if (s.phase >= 441) {
    s.phase -= 441;
    if (s.phase >= 441) s.phase = 0;
    if (s.mode == 1 || s.mode == 2) {
      s.level = r.random[static_cast<size_t>(s.position)];
      s.position += 1;
      if (s.position == 44100) s.position = 0;
      s.step = r.random[static_cast<size_t>(s.position)] - s.level;
    }
  }
}

void ref_settle(RefUnit& u) {
  for (; u.index < static_cast<int>(u.length.size()); ++u.index) {
    u.delta = u.env_level[static_cast<size_t>(u.index)] - u.start;
    if (u.length[static_cast<size_t>(u.index)] != 0) break;
    u.start = u.env_level[static_cast<size_t>(u.index)];
  }
}

std::vector<int16_t> ref_render(const Project& p, NoiseDesign d) {
  if (d.sample_num > 480000) d.sample_num = 480000;
  for (NoiseUnit& u : d.units) {
    if (!u.enabled) continue;
    for (NoisePoint& pt : u.env_points) {
      if (pt.time > 10000) pt.time = 10000;
      if (pt.level > 100) pt.level = 100;
    }
    if (u.pan < -100) u.pan = -100;
    if (u.pan > 100) u.pan = 100;
    for (NoiseOsc* o : {&u.osc_main, &u.osc_freq, &u.osc_volu}) {
      if (o->waveform >= 17) o->waveform = 0;
      if (o->freq > 44100.0f) o->freq = 44100.0f;
      if (o->volume > 200.0f) o->volume = 200.0f;
      if (o->offset > 100.0f) o->offset = 100.0f;
    }
  }
  const RefTables r = ref_tables();
  std::vector<RefUnit> units;
  for (const NoiseUnit& nu : d.units) {
    RefUnit u{};
    u.enabled = nu.enabled;
    u.left = u.right = 1.0;
    if (nu.pan < 0) u.right = static_cast<double>(nu.pan + 100.0f) / 100;
    if (nu.pan > 0) u.left = static_cast<double>(100.0f - nu.pan) / 100;
    for (int k = 0; k < nu.env_num; ++k) {
      u.length.push_back(nu.env_points[static_cast<size_t>(k)].time * 44100 / 1000);
      u.env_level.push_back(nu.env_points[static_cast<size_t>(k)].level / 100.0);
    }
    ref_settle(u);
    u.osc[0] = ref_osc(nu.osc_main, r);
    u.osc[1] = ref_osc(nu.osc_freq, r);
    u.osc[2] = ref_osc(nu.osc_volu, r);
    units.push_back(u);
  }
  std::vector<int16_t> pcm;
  for (int f = 0; f < d.sample_num; ++f) {
    for (int ch = 0; ch < 2; ++ch) {
      double sum = 0.0;
      for (RefUnit& u : units) {
        if (!u.enabled) continue;
        int m = ref_value(u.osc[0], r, true);
        if (u.osc[0].reverse) m = -m;
        const double main = m * u.osc[0].gain;
        int v = ref_value(u.osc[2], r, false);
        if (u.osc[2].reverse) v = -v;
        const double volu = v * u.osc[2].gain;
        const double sample = (volu + 32767.0) * main / 65534.0 * (ch == 0 ? u.left : u.right);
        const double env =
            u.index < static_cast<int>(u.length.size())
                ? u.start + u.counter * u.delta / u.length[static_cast<size_t>(u.index)]
                : u.start;
        sum += env * sample;
      }
      int64_t out = static_cast<int64_t>(std::trunc(sum));
      if (out > 32767) out = 32767;
      if (out < -32767) out = -32767;
      pcm.push_back(static_cast<int16_t>(out));
    }
    for (RefUnit& u : units) {
      if (!u.enabled) continue;
      RefOsc& fo = u.osc[1];
      int fv = fo.mode == 0 ? ref_value(fo, r, false) * 12800 / 32767 : ref_value(fo, r, false);
      if (fo.reverse) fv = -fv;
      const double freq = fv * fo.gain;
      int index = (static_cast<int>(freq) + 24576) / 16;
      if (index < 0) index = 0;
      if (index > 3071) index = 3071;
      const double factor = p.freq_table.empty() ? 0.0 : p.freq_table[static_cast<size_t>(index)];
      ref_advance(u.osc[0], factor * u.osc[0].increment, r);
      ref_advance(u.osc[1], u.osc[1].increment, r);
      ref_advance(u.osc[2], u.osc[2].increment, r);
      if (u.index < static_cast<int>(u.length.size())) {
        u.counter += 1;
        if (u.counter == u.length[static_cast<size_t>(u.index)]) {
          u.counter = 0;
          u.start = u.env_level[static_cast<size_t>(u.index)];
          u.delta = 0.0;
          u.index += 1;
          ref_settle(u);
        }
      }
    }
  }
  return pcm;
}

NoiseDesign builtin(const char* name) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  NoiseDesign d;
  EXPECT_TRUE(find_resource(name, &data, &size)) << name;
  ByteSource s = source_from_memory(data, size);
  EXPECT_EQ(qxnoise_read(s, d, nullptr), 1) << name;
  return d;
}

void expect_same_as_reference(const Project& p, const NoiseDesign& d, const char* what) {
  NoiseDesign copy = d;
  std::vector<int16_t> pcm;
  ASSERT_EQ(qxnoise_render(p, copy, pcm), 1) << what;
  const std::vector<int16_t> want = ref_render(p, d);
  ASSERT_EQ(pcm.size(), want.size()) << what;
  EXPECT_GT(want.size() - static_cast<size_t>(std::count(want.begin(), want.end(), int16_t{0})),
            want.size() / 2)
      << what;
  for (size_t k = 0; k < want.size(); ++k) {
    ASSERT_EQ(pcm[k], want[k]) << what << ": frame " << k / 2 << (k % 2 ? " right" : " left");
  }
}

}  // namespace

TEST(NoiseRenderReference, BuiltInBodies) {
  Project p;
  build_freq_table(p);
  expect_same_as_reference(p, builtin("QXN_HATC"), "QXN_HATC");
  expect_same_as_reference(p, builtin("QXN_BD6"), "QXN_BD6");
}

TEST(NoiseRenderReference, EveryOscillatorKindWithModulationPanAndEnvelopes) {
  Project p;
  build_freq_table(p);
  // Envelopes with points of no length first, in the middle and last.
  NoiseUnit a = unit({{0, 30}, {5, 100}, {0, 70}}, -40, osc(5, 220.0f, 80.0f, 10.0f, 1),
                     osc(7, 3.0f, 40.0f, 25.0f), osc(4, 30.0f, 50.0f, 50.0f, 1));
  NoiseUnit b = unit({{3, 100}, {0, 40}, {20, 0}}, 70, osc(8, 2000.0f, 60.0f),
                     osc(4, 8.0f, 60.0f, 12.5f), osc(13, 5.0f, 90.0f, 33.0f));
  NoiseUnit c = unit({{0, 0}, {0, 80}, {10, 100}}, 100, osc(4, 150.0f, 120.0f, 0.0f, 1),
                     osc(6, 1.5f, 150.0f, 0.0f, 1), osc(9, 12.0f, 100.0f));
  NoiseUnit d = unit({{40, 100}, {100, 20}}, -100, osc(16, 55.0f, 100.0f, 75.0f),
                     osc(8, 0.7f, 200.0f, 0.0f, 1), osc(1, 40.0f, 30.0f, 0.0f, 1));
  expect_same_as_reference(p, design({a, b, c, d}, 12000), "four units");
  // The remaining waveforms as modulators and sounds, one unit left out.
  NoiseUnit e = unit({{1, 100}}, 25, osc(2, 330.0f, 100.0f, 99.9f), osc(10, 44.0f, 70.0f),
                     osc(12, 7.0f, 100.0f, 0.0f, 1));
  NoiseUnit f = unit({{2, 90}, {30, 10}}, -75, osc(11, 90.0f, 200.0f), osc(14, 2.0f, 200.0f),
                     osc(15, 3.0f, 200.0f));
  NoiseUnit g = unit({{0, 100}}, 0, osc(3, 100.0f, 100.0f));
  g.enabled = 0;
  expect_same_as_reference(p, design({e, g, f}, 6000), "other waveforms");
  // Values the clamping limits, and a render without frequency table.
  NoiseUnit h = unit({{20000, 150}, {0, 100}}, 300, osc(2, 50000.0f, 250.0f, 50.0f),
                     osc(20, 5.0f, 100.0f), osc(1, 60000.0f, 300.0f));
  expect_same_as_reference(p, design({h, a}, 3000), "clamped");
  expect_same_as_reference(Project{}, design({a, b, c, d}, 3000), "no frequency table");
}

TEST(NoiseRenderReference, NegativeFrequencies) {
  Project p;
  build_freq_table(p);
  // Sounding oscillators running backwards fall silent once below 0; a table main first
  // plays position 0 while its phase is between -1 and 0.
  NoiseUnit a = unit({{0, 100}}, 0, osc(3, -0.5f, 100.0f), osc(1, 5.0f, 50.0f));
  NoiseUnit b = unit({{2, 100}, {30, 50}}, -20, osc(4, -40.0f, 100.0f, 20.0f), osc(0, 0.0f, 0.0f),
                     osc(2, 15.0f, 80.0f, 10.0f));
  // Modulators running backwards, beside a unit running forwards.
  NoiseUnit c = unit({{1, 100}}, 60, osc(5, 300.0f, 100.0f), osc(2, -7.0f, 100.0f, 60.0f),
                     osc(4, -20.0f, 70.0f, 30.0f, 1));
  NoiseUnit d = unit({{5, 80}}, 0, osc(1, 200.0f, 100.0f), osc(4, -3.0f, 90.0f, 50.0f),
                     osc(7, -9.0f, 60.0f, 40.0f));
  NoiseUnit e = unit({{0, 100}}, 0, osc(6, 130.0f, 90.0f), osc(8, 25.0f, 150.0f));
  expect_same_as_reference(p, design({a, b, c, d}, 3000), "backwards");
  expect_same_as_reference(p, design({e, c, a}, 3000), "mixed");
}

TEST(NoiseRenderReference, TablesEntryForEntry) {
  const RefTables want = ref_tables();
  NoiseTables t;
  ASSERT_EQ(noise_build_tables(t), 1);
  EXPECT_EQ(t.wave[4], want.random);
  for (int w = 0; w < 17; ++w) {
    if (w == 4) continue;
    EXPECT_EQ(t.wave[w], want.t[w]) << w;
  }
}
