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
