// qxNoise bodies: the built-in materials, old and new layouts, the waveform downgrade with
// its messages, and hostile bodies.
#include <gtest/gtest.h>

#include "material/qxnoise.h"
#include "material_helpers.h"

using namespace material_test;

namespace {

bool read_noise(const Bytes& body, NoiseDesign& d, int* unsupported = nullptr) {
  ByteSource s = memory_source(body);
  return qxnoise_read(s, d, unsupported) == 1;
}

Bytes write_noise(CapturedProject& cp, NoiseDesign& d, int old, int* ok, int32_t* counter,
                  const char* name = "voice_04") {
  // The old layout's waveforms are replaced first, as the downgrade step does.
  return written_bytes(
      [&](FILE* f) {
        return (!old || qxnoise_downgrade_waveforms(cp.p, d, name)) &&
               qxnoise_write(f, counter, d, old);
      },
      ok);
}

Bytes qxn_head(uint32_t version, const Bytes& rest) {
  Bytes out = {'Q', 'X', 'N', 'O', 'I', 'S', 'E', '-', 0, 0, 0, 0};
  put_u32(out, 8, version);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

void expect_osc(const NoiseOsc& o, int32_t waveform, float freq, float volume, float offset) {
  EXPECT_EQ(o.waveform, waveform);
  EXPECT_EQ(o.freq, freq);
  EXPECT_EQ(o.volume, volume);
  EXPECT_EQ(o.offset, offset);
  EXPECT_EQ(o.reverse, 0);
}

void expect_env(const NoiseUnit& u, std::vector<std::pair<int32_t, int32_t>> points) {
  ASSERT_EQ(u.env_num, static_cast<int32_t>(points.size()));
  ASSERT_EQ(u.env_points.size(), points.size());
  for (size_t k = 0; k < points.size(); ++k) {
    EXPECT_EQ(u.env_points[k].time, points[k].first) << k;
    EXPECT_EQ(u.env_points[k].level, points[k].second) << k;
  }
}

NoiseDesign one_unit_design() {
  NoiseDesign d;
  d.sample_num = 100;
  d.unit_num = 1;
  d.units.resize(1);
  d.units[0].enabled = 1;
  return d;
}

}  // namespace

TEST(QxNoise, BuiltinsReadToTheirValues) {
  Bytes hatc = resource_bytes("QXN_HATC");
  ASSERT_EQ(hatc.size(), 31u);
  NoiseDesign d;
  ASSERT_TRUE(read_noise(hatc, d));
  EXPECT_EQ(d.sample_num, 4444);
  ASSERT_EQ(d.unit_num, 1);
  ASSERT_EQ(d.units.size(), 1u);
  EXPECT_EQ(d.units[0].enabled, 1);
  EXPECT_EQ(d.units[0].pan, 0);
  expect_env(d.units[0], {{1, 100}, {10, 40}, {100, 0}});
  expect_osc(d.units[0].osc_main, 4, 30000.0f, 20.0f, 0.0f);
  expect_osc(d.units[0].osc_freq, 0, 0.0f, 0.0f, 0.0f);
  expect_osc(d.units[0].osc_volu, 0, 0.0f, 0.0f, 0.0f);

  Bytes bd6 = resource_bytes("QXN_BD6");
  ASSERT_EQ(bd6.size(), 80u);
  ASSERT_TRUE(read_noise(bd6, d));
  EXPECT_EQ(d.sample_num, 1445);
  ASSERT_EQ(d.unit_num, 3);
  ASSERT_EQ(d.units.size(), 3u);
  expect_env(d.units[0], {{2, 100}, {80, 50}, {10, 0}});
  expect_osc(d.units[0].osc_main, 1, 6.0f, 40.0f, 0.0f);
  expect_osc(d.units[0].osc_freq, 2, 10.0f, 120.0f, 95.0f);
  expect_env(d.units[1], {{2, 100}, {60, 50}, {10, 0}});
  expect_osc(d.units[1].osc_main, 1, 10.0f, 30.0f, 0.0f);
  expect_osc(d.units[1].osc_freq, 2, 16.0f, 110.0f, 4.0f);
  expect_env(d.units[2], {{1, 100}, {20, 0}, {0, 0}});
  expect_osc(d.units[2].osc_main, 4, 44000.0f, 20.0f, 0.0f);
  expect_osc(d.units[2].osc_freq, 4, 100.0f, 100.0f, 0.0f);
  for (const NoiseUnit& u : d.units) {
    EXPECT_EQ(u.pan, 0);
    EXPECT_EQ(u.osc_volu.waveform, 0);
  }
}

TEST(QxNoise, BuiltinsWriteBackInBothLayouts) {
  for (const char* name : {"QXN_HATC", "QXN_BD6"}) {
    SCOPED_TRACE(name);
    Bytes body = resource_bytes(name);
    for (int old = 1; old >= 0; --old) {
      CapturedProject cp;
      NoiseDesign d;
      ASSERT_TRUE(read_noise(body, d));
      int ok = 0;
      int32_t counter = 1000;
      Bytes out = write_noise(cp, d, old, &ok, &counter);
      ASSERT_EQ(ok, 1);
      Bytes expected = body;
      if (!old) put_u32(expected, 8, QXNOISE_VERSION_NEW);  // 62 03 33 01
      EXPECT_EQ(out, expected);
      EXPECT_EQ(counter, 1000 + static_cast<int32_t>(body.size()));
      EXPECT_EQ(cp.out, "");
      // Without a counter the write is the same.
      EXPECT_EQ(write_noise(cp, d, old, &ok, nullptr), expected);
    }
  }
  const Bytes v = {0x62, 0x03, 0x33, 0x01};
  EXPECT_EQ(get_u32(v, 0), QXNOISE_VERSION_NEW);
}

TEST(QxNoise, NewLayoutRoundTripKeepsNewWaveforms) {
  NoiseDesign d = one_unit_design();
  d.units[0].osc_main = {13, 440.5f, 75.0f, 12.5f, 1};
  d.units[0].osc_volu = {7, 2.0f, 50.0f, 0.0f, 0};
  d.units[0].pan = 30;
  d.units[0].env_points = {{5, 100}, {50, 0}};
  d.units[0].env_num = 2;
  CapturedProject cp;
  int ok = 0;
  Bytes out = write_noise(cp, d, 0, &ok, nullptr);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(cp.out, "");
  NoiseDesign back;
  ASSERT_TRUE(read_noise(out, back));
  EXPECT_EQ(back.sample_num, 100);
  ASSERT_EQ(back.unit_num, 1);
  EXPECT_EQ(back.units[0].pan, 30);
  expect_env(back.units[0], {{5, 100}, {50, 0}});
  EXPECT_EQ(back.units[0].osc_main.waveform, 13);
  EXPECT_EQ(back.units[0].osc_main.freq, 440.5f);
  EXPECT_EQ(back.units[0].osc_main.offset, 12.5f);
  EXPECT_EQ(back.units[0].osc_main.reverse, 1);
  EXPECT_EQ(back.units[0].osc_freq.waveform, 0);
  EXPECT_EQ(back.units[0].osc_volu.waveform, 7);
  EXPECT_EQ(write_noise(cp, back, 0, &ok, nullptr), out);
}

TEST(QxNoise, OldLayoutDowngradesWaveformsInOrder) {
  const int32_t old_value[] = {0, 1, 2, 3, 4, 5, 6, 1, 4, 3, 3, 3, 3, 2, 2, 2, 2};
  std::string expected_lines;
  NoiseDesign d;
  d.unit_num = 18;
  d.units.resize(18);
  for (int32_t i = 0; i < 18; ++i) {
    NoiseUnit& u = d.units[static_cast<size_t>(i)];
    u.enabled = 1;
    u.osc_freq.waveform = i;
    if (i > 6) {
      const char* from = i < 17 ? NOISE_WAVEFORM_NAMES[i] : "unknown";
      const char* to = NOISE_WAVEFORM_NAMES[i < 17 ? old_value[i] : 0];
      expected_lines += std::string("\n* converted qxNoise [bd.freq] waveform from '") + from +
                        "' to '" + to + "'";
    }
  }
  CapturedProject cp;
  int ok = 0;
  write_noise(cp, d, 1, &ok, nullptr, "bd");
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(cp.out, expected_lines);
  for (int32_t i = 0; i < 18; ++i) {
    EXPECT_EQ(d.units[static_cast<size_t>(i)].osc_freq.waveform, i < 17 ? old_value[i] : 0) << i;
  }
}

TEST(QxNoise, DowngradeMessagesMainBeforeVoluAndForDisabledUnits) {
  NoiseDesign d = one_unit_design();
  d.units[0].osc_main = {7, 100.0f, 50.0f, 0.0f, 0};  // "tri"
  d.units[0].osc_volu = {16, 3.0f, 20.0f, 0.0f, 0};   // "saw8"
  d.units.push_back(NoiseUnit{});                     // disabled: reported, not written
  d.units[1].osc_main.waveform = 9;
  d.unit_num = 2;
  CapturedProject cp;
  int ok = 0;
  Bytes out = write_noise(cp, d, 1, &ok, nullptr, "voice_05");
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(cp.out,
            "\n* converted qxNoise [voice_05.main] waveform from 'tri' to 'sine'"
            "\n* converted qxNoise [voice_05.volu] waveform from 'saw8' to 'saw'"
            "\n* converted qxNoise [voice_05.main] waveform from 'rect3' to 'rect'");
  Bytes expected = qxn_head(QXNOISE_VERSION_OLD, {0x64, 0x01,  // 100, 1 unit
                                                  0x54, 0x00,  // flags, no env
                                                  0x01, 0x00, 0xE8, 0x07, 0xF4, 0x03, 0x00,  //
                                                  0x02, 0x00, 0x1E, 0xC8, 0x01, 0x00});
  EXPECT_EQ(out, expected);
  EXPECT_EQ(d.units[1].osc_main.waveform, 3);
}

TEST(QxNoise, NegativePanAndTenths) {
  NoiseDesign d = one_unit_design();
  d.units[0].pan = -100;
  d.units[0].osc_main = {1, 0.05f, 44100.0f, -2.5f, 0};
  CapturedProject cp;
  int ok = 0;
  int32_t counter = 0;
  Bytes out = write_noise(cp, d, 1, &ok, &counter);
  ASSERT_EQ(ok, 1);
  Bytes expected =
      qxn_head(QXNOISE_VERSION_OLD, concat({{0x64, 0x01, 0x1C, 0x00, 0x9C, 0x01, 0x00, 0x00},
                                            varint_bytes(441000),
                                            varint_bytes(static_cast<uint32_t>(-25))}));
  EXPECT_EQ(out, expected);
  EXPECT_EQ(counter, static_cast<int32_t>(out.size()));
  NoiseDesign back;
  ASSERT_TRUE(read_noise(out, back));
  EXPECT_EQ(back.units[0].pan, -100);
  EXPECT_EQ(back.units[0].osc_main.freq, 0.0f);
  EXPECT_EQ(back.units[0].osc_main.volume, 44100.0f);
  EXPECT_EQ(back.units[0].osc_main.offset, -2.5f);
  // Values the int32 tenths cannot hold are pinned, not overflowed.
  d.units[0].osc_main.freq = 3.0e9f;
  out = write_noise(cp, d, 1, &ok, nullptr);
  ASSERT_TRUE(read_noise(out, back));
  EXPECT_EQ(back.units[0].osc_main.freq, 2147483647.0f / 10.0f);
}

TEST(QxNoise, BodySizeFigure) {
  NoiseDesign d;
  ASSERT_TRUE(read_noise(resource_bytes("QXN_HATC"), d));
  // 12 + 2 + 1, unit 1 + 1 + 6, oscillator 1 + 1 + 3 + 2 + 1.
  EXPECT_EQ(qxnoise_body_size(d), 31);
  ASSERT_TRUE(read_noise(resource_bytes("QXN_BD6"), d));
  EXPECT_EQ(qxnoise_body_size(d), 80);
  d.units[0].pan = -1;
  EXPECT_EQ(qxnoise_body_size(d), 85);
  d.units[1].enabled = 0;
  EXPECT_EQ(qxnoise_body_size(d), 85 - 21);
}

TEST(QxNoise, UnsupportedAndBrokenBodies) {
  const Bytes unit = {0x04, 0x00};
  struct Case {
    const char* what;
    Bytes body;
    int unsupported;
  };
  const std::vector<Case> cases = {
      {"version", qxn_head(QXNOISE_VERSION_NEW + 1, concat({{0x10, 0x01}, unit})), 1},
      {"five units", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x05, 4, 0, 4, 0, 4, 0, 4, 0, 4, 0}), 1},
      {"four points", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x01, 4, 4, 1, 1, 1, 1, 1, 1, 1, 1}), 1},
      {"huge points",
       qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x01, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 1}), 1},
      {"flag 2", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x01, 0x06, 0x00}), 1},
      {"flag 128", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x01, 0x80, 0x01}), 1},
      {"negative units", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0xFF, 4, 0}), 0},
      {"magic", Bytes{'Q', 'X', 'N', 'O', 'I', 'S', 'E', '=', 0x54, 0xF4, 0x31, 0x01, 0x10, 0x00},
       0},
      {"long varint", qxn_head(QXNOISE_VERSION_NEW, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00}), 0},
      {"units missing", qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x04, 0x04}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NoiseDesign d;
    d.sample_num = 9;  // leftovers are cleared too
    int unsupported = 0;
    EXPECT_FALSE(read_noise(c.body, d, &unsupported));
    EXPECT_EQ(unsupported, c.unsupported);
    EXPECT_EQ(d.sample_num, 0);
    EXPECT_EQ(d.unit_num, 0);
    EXPECT_TRUE(d.units.empty());
    EXPECT_FALSE(read_noise(c.body, d, nullptr));
  }
  NoiseDesign empty;
  EXPECT_TRUE(read_noise(qxn_head(QXNOISE_VERSION_NEW, {0x10, 0x00}), empty));
  EXPECT_EQ(empty.sample_num, 16);
  EXPECT_EQ(empty.unit_num, 0);
}

TEST(QxNoise, EveryTruncationFailsCleanly) {
  NoiseDesign rich = one_unit_design();
  rich.units[0].pan = -7;
  rich.units[0].env_points = {{1, 2}, {3, 4}, {5, 6}};
  rich.units[0].env_num = 3;
  rich.units[0].osc_main = {1, 1.0f, 2.0f, 3.0f, 1};
  rich.units[0].osc_freq = {2, 1.0f, 2.0f, 3.0f, 0};
  rich.units[0].osc_volu = {16, -1.0f, 2.0f, 3.0f, 0};
  CapturedProject cp;
  int ok = 0;
  Bytes rich_body = write_noise(cp, rich, 0, &ok, nullptr);
  ASSERT_EQ(ok, 1);
  for (const Bytes& full : {resource_bytes("QXN_HATC"), resource_bytes("QXN_BD6"), rich_body}) {
    NoiseDesign whole;
    ASSERT_TRUE(read_noise(full, whole));
    for (size_t cut = 0; cut < full.size(); ++cut) {
      Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
      NoiseDesign d;
      int unsupported = 0;
      EXPECT_FALSE(read_noise(part, d, &unsupported)) << cut;
      EXPECT_EQ(unsupported, 0);
      EXPECT_TRUE(d.units.empty());
    }
  }
}
