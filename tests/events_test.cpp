// Event list: ordering at equal clocks, replacement, the search hint, clock-0 insertion with
// truncation, linking of stored records, and measure arithmetic.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "project/project.h"

namespace {

struct Ev {
  int clock;
  int unit;
  int kind;
  int value;
  bool operator==(const Ev&) const = default;
};

std::vector<Ev> list_of(const Project& p) {
  std::vector<Ev> out;
  const Event* prev = nullptr;
  for (const Event* e = p.event_start; e; e = e->next) {
    EXPECT_EQ(e->prev, prev) << "prev does not mirror next";
    prev = e;
    out.push_back({e->clock, e->unit_no, e->kind, e->value});
  }
  return out;
}

Project with_store(int n) {
  Project p;
  EXPECT_TRUE(events_allocate(p, n));
  return p;
}

}  // namespace

TEST(EventPut, EqualClockOrderFollowsKindPriority) {
  Project p = with_store(8);
  event_put(p, 0, 1, EVENT_ON, 480);
  p.event_last_put = nullptr;
  event_put(p, 0, 1, EVENT_KEY, 0x6000);
  p.event_last_put = nullptr;
  event_put(p, 0, 1, EVENT_VOICE_NO, 3);
  p.event_last_put = nullptr;
  EXPECT_EQ(list_of(p),
            (std::vector<Ev>{
                {0, 1, EVENT_VOICE_NO, 3}, {0, 1, EVENT_KEY, 0x6000}, {0, 1, EVENT_ON, 480}}));
}

TEST(EventPut, HintStartsTheSearchAtTheLastPut) {
  Project p = with_store(8);
  event_put(p, 0, 1, EVENT_KEY, 1);
  event_put(p, 0, 1, EVENT_ON, 2);
  // Starting at the On, the voice-no goes before the On but cannot move back before the key.
  event_put(p, 0, 1, EVENT_VOICE_NO, 3);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{
                            {0, 1, EVENT_KEY, 1}, {0, 1, EVENT_VOICE_NO, 3}, {0, 1, EVENT_ON, 2}}));
  // A clock below the first event still becomes the first, hint or not.
  event_put(p, -5, 2, EVENT_VEL, 9);
  EXPECT_EQ(list_of(p).front(), (Ev{-5, 2, EVENT_VEL, 9}));
}

TEST(EventPut, SameUnitAndKindReplacesOthersKeepOrder) {
  Project p = with_store(8);
  event_put(p, 100, 1, EVENT_VEL, 10);
  p.event_last_put = nullptr;
  event_put(p, 100, 1, EVENT_VEL, 20);
  EXPECT_EQ(p.event_num, 2);
  EXPECT_EQ(p.event_records[0].kind, EVENT_NONE);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{100, 1, EVENT_VEL, 20}}));
  p.event_last_put = nullptr;
  event_put(p, 100, 2, EVENT_VEL, 30);
  p.event_last_put = nullptr;
  event_put(p, 100, 0, EVENT_VEL, 40);
  EXPECT_EQ(
      list_of(p),
      (std::vector<Ev>{{100, 1, EVENT_VEL, 20}, {100, 2, EVENT_VEL, 30}, {100, 0, EVENT_VEL, 40}}));
}

TEST(EventPut, RunOfOneKindInClockOrderAndRefusalWhenFull) {
  Project p = with_store(4);
  for (int c : {0, 480, 480, 960}) {
    EXPECT_TRUE(event_put(p, c, 0, EVENT_KEY, c + 1));
  }
  EXPECT_FALSE(event_put(p, 1000, 0, EVENT_KEY, 1));
  EXPECT_EQ(p.event_num, 4);
  EXPECT_EQ(
      list_of(p),
      (std::vector<Ev>{{0, 0, EVENT_KEY, 1}, {480, 0, EVENT_KEY, 481}, {960, 0, EVENT_KEY, 961}}));
}

namespace {

// The list as the rules build it with nothing but walks: from the hint (or the first event)
// forward to the clock, then among that clock's events replace the same unit and kind or go
// before the first of a greater priority. Returns the new event's position.
size_t model_put(std::vector<Ev>& list, int hint, Ev e) {
  size_t i = hint < 0 ? 0 : static_cast<size_t>(hint);
  auto insert = [&](size_t at) {
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), e);
    return at;
  };
  if (list.empty() || e.clock < list[0].clock) return insert(0);
  for (; list[i].clock < e.clock; ++i) {
    if (i + 1 == list.size()) return insert(i + 1);
  }
  if (list[i].clock > e.clock) return insert(i);
  for (;; ++i) {
    if (list[i].unit == e.unit && list[i].kind == e.kind) {
      list[i] = e;
      return i;
    }
    if (KIND_PRIORITY[e.kind] < KIND_PRIORITY[list[i].kind]) return insert(i);
    if (i + 1 == list.size() || list[i + 1].clock != e.clock) return insert(i + 1);
  }
}

}  // namespace

// Songs read back unit by unit and kind by kind put runs that interleave with all earlier
// ones: the clock index must place every event where the walk does, whatever the hint.
TEST(EventPut, IndexedPutsLandWhereTheWalkPutsThem) {
  for (unsigned seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    Project p = with_store(700);
    std::vector<Ev> model;
    if (seed % 2) {  // a list stored first, as the newest generation loads; once out of order
      for (int i = 0; i < 20; ++i) {
        const int c = seed % 4 == 3 ? i * 7 % 60 : i * 3;
        ASSERT_TRUE(event_store(p, c, static_cast<uint8_t>(i % 4), EVENT_VEL, i));
        model.push_back({c, i % 4, EVENT_VEL, i});
      }
      events_link_stored(p);
    }
    int hint = -1;
    for (int i = 0; i < 600; ++i) {
      const Ev e{pick(60) - 2, pick(8) == 0 ? 200 : pick(4), 1 + pick(15), i};
      // Hints as the readers keep them; some runs keep one after the clock, which takes the
      // list out of clock order.
      const bool keep_late_hint = seed % 4 == 3 && pick(10) == 0;
      if (pick(5) == 0 || (!keep_late_hint && hint >= 0 && e.clock < model[hint].clock)) {
        hint = -1;
        p.event_last_put = nullptr;
      }
      ASSERT_TRUE(event_put(p, e.clock, static_cast<uint8_t>(e.unit), static_cast<uint8_t>(e.kind),
                            e.value));
      hint = static_cast<int>(model_put(model, hint, e));
    }
    EXPECT_EQ(list_of(p), model);
  }
}

TEST(EventAddAtZero, TakesTheLowestFreeRecordAfterRecordsWereFreed) {
  Project p = with_store(6);
  event_put(p, 10, 0, EVENT_VEL, 1);  // record 0
  p.event_last_put = nullptr;
  event_put(p, 40, 2, EVENT_ON, 10);                    // record 1
  ASSERT_TRUE(event_add_at_zero(p, 1, EVENT_KEY, 1));   // record 2
  ASSERT_TRUE(event_add_at_zero(p, 1, EVENT_KEY, 2));   // record 3, frees record 2
  ASSERT_TRUE(event_add_at_zero(p, 2, EVENT_ON, 100));  // record 2, frees record 1
  ASSERT_TRUE(event_add_at_zero(p, 3, EVENT_KEY, 3));
  ASSERT_TRUE(event_add_at_zero(p, 4, EVENT_KEY, 4));
  const std::vector<int> units = {0, 3, 2, 1, 4, 0};
  for (size_t i = 0; i < units.size(); ++i) EXPECT_EQ(p.event_records[i].unit_no, units[i]) << i;
  ASSERT_TRUE(event_add_at_zero(p, 5, EVENT_KEY, 5));
  EXPECT_FALSE(event_add_at_zero(p, 6, EVENT_KEY, 6));
}

TEST(EventAddAtZero, TruncatesEarlierAndRemovesOverlappedNotes) {
  Project p = with_store(8);
  event_put(p, -100, 2, EVENT_ON, 300);  // ends at 200: shortened to end at 0
  p.event_last_put = nullptr;
  event_put(p, 40, 2, EVENT_ON, 10);  // starts inside the new note: removed
  p.event_last_put = nullptr;
  event_put(p, 50, 3, EVENT_ON, 10);  // other unit: kept
  p.event_last_put = nullptr;
  event_put(p, 100, 2, EVENT_ON, 10);  // starts at the new note's end: kept
  p.event_last_put = nullptr;
  int num = p.event_num;
  ASSERT_TRUE(event_add_at_zero(p, 2, EVENT_ON, 100));
  EXPECT_EQ(p.event_num, num);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{-100, 2, EVENT_ON, 100},
                                         {0, 2, EVENT_ON, 100},
                                         {50, 3, EVENT_ON, 10},
                                         {100, 2, EVENT_ON, 10}}));
}

TEST(EventAddAtZero, UsesFirstFreeRecordAndFailsWhenFullOrAbsent) {
  Project none;
  EXPECT_FALSE(event_add_at_zero(none, 0, EVENT_KEY, 1));
  Project p = with_store(2);
  event_put(p, 10, 0, EVENT_VEL, 1);
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 0x6000));
  EXPECT_EQ(p.event_records[1].kind, EVENT_KEY);
  EXPECT_FALSE(event_add_at_zero(p, 1, EVENT_KEY, 0x6000));
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 0, EVENT_KEY, 0x6000}, {10, 0, EVENT_VEL, 1}}));
  // Among events at clock 0 the replacement rule applies too.
  EXPECT_TRUE(events_allocate(p, 3));
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 1));
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 2));
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 0, EVENT_KEY, 2}}));
}

TEST(EventsLinkStored, LinksUpToTheFirstFreeRecord) {
  Project p = with_store(4);
  ASSERT_TRUE(event_store(p, 0, 0, EVENT_ON, 480));
  ASSERT_TRUE(event_store(p, 10, 0, EVENT_KEY, 5));
  events_link_stored(p);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 0, EVENT_ON, 480}, {10, 0, EVENT_KEY, 5}}));

  Project q = with_store(2);
  q.event_records[1].kind = EVENT_ON;
  events_link_stored(q);
  EXPECT_EQ(q.event_start, nullptr);

  Project full = with_store(1);
  EXPECT_TRUE(event_store(full, 0, 0, EVENT_ON, 1));
  EXPECT_FALSE(event_store(full, 0, 0, EVENT_ON, 1));
}

TEST(Events, EndClockAndMeasures) {
  Project p = with_store(4);
  EXPECT_EQ(events_end_clock(p), 0);
  event_put(p, 960, 0, EVENT_ON, 480);
  p.event_last_put = nullptr;
  event_put(p, 1200, 0, EVENT_KEY, 1);
  EXPECT_EQ(events_end_clock(p), 1440);

  meas_num_update(p, 0);
  EXPECT_EQ(p.meas_num, 1);
  meas_num_update(p, 1920);
  EXPECT_EQ(p.meas_num, 1);
  meas_num_update(p, 1921);
  EXPECT_EQ(p.meas_num, 2);
  meas_num_update(p, 0);  // never shrinks
  EXPECT_EQ(p.meas_num, 2);

  Project q;
  q.repeat_meas = 3;
  q.last_meas = 5;
  meas_num_update(q, 3 * 1920);
  EXPECT_EQ(q.meas_num, 3);
  EXPECT_EQ(q.repeat_meas, 0);
  EXPECT_EQ(q.last_meas, 3);

  Project z;  // a zero beat clock must not divide by zero
  z.beat_clock = 0;
  meas_num_update(z, 5000);
  EXPECT_EQ(z.meas_num, 1);
}

TEST(Events, AllocateZeroAndRelease) {
  Project p;
  EXPECT_TRUE(events_allocate(p, 0));
  EXPECT_TRUE(p.event_records.empty());
  EXPECT_EQ(p.event_max, 0);
  EXPECT_TRUE(events_allocate(p, 3));
  event_put(p, 0, 0, EVENT_ON, 1);
  events_release(p);
  EXPECT_EQ(p.event_max, 0);
  EXPECT_EQ(p.event_num, 0);
  EXPECT_EQ(p.event_start, nullptr);
  EXPECT_FALSE(event_put(p, 0, 0, EVENT_ON, 1));
}

// Insertions find their place from the nearest earlier clock instead of walking from the
// start; the list must come out as if every search had walked from the start: in clock
// order, equal clocks by kind priority, the same unit and kind replacing its event. The
// list starts from stored records, and freed records are taken again at clock 0.
TEST(EventPut, ScatteredInsertionsMatchAWalkFromTheStart) {
  Project p = with_store(4000);
  std::vector<Ev> model;
  // Returns the event's index.
  auto model_put = [&](const Ev& e) {
    auto at = model.begin();
    while (at != model.end() && at->clock < e.clock) ++at;
    for (; at != model.end() && at->clock == e.clock; ++at) {
      if (at->unit == e.unit && at->kind == e.kind) {
        *at = e;
        return at - model.begin();
      }
      if (KIND_PRIORITY[e.kind] < KIND_PRIORITY[at->kind]) break;
    }
    return model.insert(at, e) - model.begin();
  };
  for (int i = 0; i < 100; ++i) {
    event_store(p, i * 7, 0, EVENT_ON, i);
    model.push_back({i * 7, 0, EVENT_ON, i});
  }
  events_link_stored(p);
  const int kinds[] = {EVENT_ON, EVENT_KEY, EVENT_VEL, EVENT_VOICE_NO};
  uint32_t seed = 12345;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const int clock = static_cast<int>((seed >> 8) % (i % 2 ? 60 : 1200));
    const Ev e{clock, static_cast<int>((seed >> 20) % 3), kinds[(seed >> 24) % 4], i};
    p.event_last_put = nullptr;
    ASSERT_EQ(
        event_put(p, e.clock, static_cast<uint8_t>(e.unit), static_cast<uint8_t>(e.kind), e.value),
        1);
    model_put(e);
    if (i % 300 == 299) {
      // A note at 0 removes the unit's later notes it overlaps, leaving their marks stale.
      ASSERT_EQ(event_add_at_zero(p, 1, EVENT_ON, 500), 1);
      const auto at = model.begin() + model_put({0, 1, EVENT_ON, 500});
      std::erase_if(model, [&](const Ev& m) {
        return &m > &*at && m.unit == 1 && m.kind == EVENT_ON && m.clock < 500;
      });
    }
  }
  EXPECT_EQ(list_of(p), model);
}
