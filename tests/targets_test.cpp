// The man page's table of targets is the target table's: a row added or changed shows here
// until the page says the same.
#include "project/targets.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/song_parser.h"

TEST(Targets, ManPageTableIsTheTargetTable) {
  const std::vector<uint8_t> bytes =
      song_parser::read_file(std::string(TARVENOX_SOURCE_DIR) + "/app/tarvenox.1");
  const std::string page(bytes.begin(), bytes.end());
  const size_t from = page.find(".TS\nl l lx.\n");
  const size_t to = page.find(".TE\n", from);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  std::string want;
  for (int target = 1; target <= TARGET_COUNT; ++target) {
    const TargetRow& row = target_rule(target);
    EXPECT_EQ(row.number, target);
    want += std::to_string(target) + "\t" + row.name + "\tT{\n" + row.summary + "\nT}\n";
  }
  EXPECT_EQ(page.substr(from + 12, to - from - 12), want);
}

// Names on the command line: a generation's tag is its newest editor, in any case.
TEST(Targets, NamesStandForTheNewestOfTheirGeneration) {
  const std::pair<const char*, int> cases[] = {
      {"x1x", 2},  {"X2X", 4},  {"x3x", 5},   {"x4x", 6},     {"x5x", 9},
      {"qxi", 10}, {"mid", 12}, {"midi", 12}, {"MIDI", 12},   {"wav", 13},
      {"x6x", 0},  {"", 0},     {"6", 0},     {"qxi, txt", 0}};
  for (const auto& [name, target] : cases) EXPECT_EQ(target_by_name(name), target) << name;
}
