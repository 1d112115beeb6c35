// Project tables, ErrorText and frequency table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "project/project.h"

TEST(Project, ClearKeepsCapacitiesAndResetsMaster) {
  Project p;
  const char* failed = nullptr;
  ASSERT_TRUE(project_create_tables(p, &failed));
  p.group_max = 7;
  p.beat_clock = 96;
  p.meas_num = 9;
  p.name_text = "x";
  ASSERT_TRUE(unit_add(p));
  ASSERT_NE(woice_add(p), nullptr);
  project_clear(p);
  EXPECT_EQ(p.beat_clock, 480);
  EXPECT_EQ(p.beat_num, 4);
  EXPECT_EQ(p.beat_tempo, 120.0f);
  EXPECT_EQ(p.meas_num, 1);
  EXPECT_FALSE(p.name_text.has_value());
  EXPECT_EQ(unit_count(p), 0);
  EXPECT_EQ(p.unit_max, 50);
  EXPECT_EQ(p.woice_max, 100);
  EXPECT_EQ(p.delay_max, 4);
  EXPECT_EQ(p.overdrive_max, 2);
  EXPECT_EQ(p.group_max, 7);
}

TEST(Project, ErrorTextKeepsFirst31Characters) {
  Project p;
  set_error_text(p, "it's new format [%s]", "MasterV5");
  EXPECT_STREQ(p.error_text, "it's new format [MasterV5]");
  set_error_text(p, "%s", "0123456789012345678901234567890123456789");
  EXPECT_EQ(std::strlen(p.error_text), 31u);
  EXPECT_STREQ(p.error_text, "0123456789012345678901234567890");
}

TEST(Project, FreqTable) {
  Project p;
  build_freq_table(p);
  ASSERT_EQ(p.freq_table.size(), 3072u);
  EXPECT_EQ(p.freq_table[1536], 1.0f);
  EXPECT_EQ(p.freq_table[0], 0.00390625f);
  EXPECT_NEAR(p.freq_table[1728], 2.0f, 2.0f * 1.2e-7f);
  EXPECT_LT(p.freq_table[3071], 256.0f);
  for (int i = 0; i < 3072; i += 7) {
    float want = static_cast<float>(std::pow(2.0, (i - 1536) / 192.0));
    EXPECT_NEAR(p.freq_table[i], want, std::fabs(want) * 1.2e-7f) << i;
  }
}

TEST(Project, SlotSearchesNamesAndLimits) {
  Project p;
  const char* failed = nullptr;
  ASSERT_TRUE(project_create_tables(p, &failed));
  p.group_max = 7;
  ASSERT_NE(woice_add(p), nullptr);
  ASSERT_NE(woice_add(p), nullptr);
  Woice* w2 = woice_add(p);
  ASSERT_NE(w2, nullptr);
  EXPECT_EQ(name_field_text(w2->name), "voice_02");
  EXPECT_EQ(w2->name_len, 16);
  ASSERT_TRUE(woice_remove(p, 1));
  EXPECT_EQ(leading_woice_count(p), 1);
  Woice* again = woice_add(p);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(name_field_text(again->name), "voice_01");
  EXPECT_FALSE(woice_remove(p, 100));
  EXPECT_FALSE(woice_remove(p, -1));
  while (woice_add(p)) {
  }
  EXPECT_EQ(leading_woice_count(p), 100);

  EXPECT_EQ(overdrive_add(p, 7, 60.0f, 1.0f), 0);
  EXPECT_EQ(p.overdrives[0].group, 0);
  EXPECT_EQ(overdrive_add(p, 6, 70.0f, 2.0f), 1);
  EXPECT_EQ(p.overdrives[1].group, 6);
  EXPECT_EQ(overdrive_add(p, 1, 70.0f, 2.0f), -1);

  for (int i = 0; i < 50; ++i) ASSERT_TRUE(unit_add(p));
  EXPECT_FALSE(unit_add(p));
  p.units[3].reset();
  EXPECT_EQ(unit_count(p), 49);
  ASSERT_TRUE(unit_add(p));
  EXPECT_NE(p.units[3], nullptr);
}

TEST(Project, WoiceVoicesAndRelease) {
  Project p;
  const char* failed = nullptr;
  ASSERT_TRUE(project_create_tables(p, &failed));
  Woice* w = woice_add(p);
  ASSERT_TRUE(woice_alloc_voices(p, *w, 2));
  ASSERT_TRUE(voice_init(w->voices[0], WAVE_PCM));
  EXPECT_EQ(w->voices[0].basic_key, 0x4500);
  EXPECT_EQ(w->voices[0].volume, 128);
  EXPECT_EQ(w->voices[0].pan, 64);
  EXPECT_EQ(w->voices[0].tuning, 1.0f);
  EXPECT_EQ(w->voices[0].voice_flags, 2u);
  EXPECT_EQ(w->voices[0].data_flags, 1u);
  EXPECT_NE(w->voices[0].ogg, nullptr);
  EXPECT_EQ(w->voice_num, 2);
  woice_free_voices(p, w);
  EXPECT_EQ(w->voice_num, 0);
  EXPECT_TRUE(w->voices.empty());
  woice_free_voices(p, nullptr);

  build_freq_table(p);
  ASSERT_TRUE(events_allocate(p, 4));
  project_release(p);
  EXPECT_EQ(p.woice_max, 0);
  EXPECT_EQ(p.unit_max, 0);
  EXPECT_EQ(p.delay_max, 0);
  EXPECT_EQ(p.overdrive_max, 0);
  EXPECT_EQ(p.event_max, 0);
  EXPECT_TRUE(p.freq_table.empty());
}
