// Event store: ordering at equal clocks, replacement, queued puts placed at once or one by
// one, clock-0 insertion with truncation, direct storing, and measure arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "project/project.h"

namespace {

struct Ev {
  int clock;
  int unit;
  int kind;
  int value;
  bool operator==(const Ev&) const = default;
};

// The list once the queued puts are placed; every clock in order.
std::vector<Ev> list_of(Project& p) {
  events_place(p);
  std::vector<Ev> out;
  for (const Event& e : p.events) {
    if (!out.empty()) {
      EXPECT_LE(out.back().clock, e.clock) << "out of clock order";
    }
    out.push_back({e.clock, e.unit_no, e.kind, e.value});
  }
  return out;
}

Project with_store(int n) {
  Project p;
  EXPECT_TRUE(events_allocate(p, n));
  return p;
}

bool put(Project& p, const Ev& e) {
  return event_put(p, e.clock, static_cast<uint8_t>(e.unit), static_cast<uint8_t>(e.kind),
                   e.value) != 0;
}

// The list as the rules build it one put at a time, walking from the first event: to the
// clock, then among that clock's events replace the same unit and kind or go before the
// first of a greater priority. Returns the event's position.
size_t model_put(std::vector<Ev>& list, const Ev& e) {
  auto at = list.begin();
  while (at != list.end() && at->clock < e.clock) ++at;
  for (; at != list.end() && at->clock == e.clock; ++at) {
    if (at->unit == e.unit && at->kind == e.kind) {
      *at = e;
      return static_cast<size_t>(at - list.begin());
    }
    if (KIND_PRIORITY[e.kind] < KIND_PRIORITY[at->kind]) break;
  }
  return static_cast<size_t>(list.insert(at, e) - list.begin());
}

// The list from `stored`, stored in turn, then `puts`, placed after every `every`th put
// (0: once at the end).
std::vector<Ev> stored_then_put(const std::vector<Ev>& stored, const std::vector<Ev>& puts,
                                int every) {
  Project p = with_store(static_cast<int>(stored.size() + puts.size()));
  for (const Ev& e : stored) {
    EXPECT_TRUE(event_store(p, e.clock, static_cast<uint8_t>(e.unit), static_cast<uint8_t>(e.kind),
                            e.value));
  }
  for (size_t i = 0; i < puts.size(); ++i) {
    EXPECT_TRUE(put(p, puts[i]));
    if (every > 0 && i % static_cast<size_t>(every) == 0) events_place(p);
  }
  return list_of(p);
}

}  // namespace

TEST(EventPut, EqualClockOrderFollowsKindPriority) {
  Project p = with_store(8);
  put(p, {0, 1, EVENT_ON, 480});
  put(p, {0, 1, EVENT_KEY, 0x6000});
  put(p, {0, 1, EVENT_VOICE_NO, 3});
  EXPECT_EQ(list_of(p),
            (std::vector<Ev>{
                {0, 1, EVENT_VOICE_NO, 3}, {0, 1, EVENT_KEY, 0x6000}, {0, 1, EVENT_ON, 480}}));
}

TEST(EventPut, QueuedPutsArePlacedByClockInTheOrderMade) {
  Project p = with_store(8);
  // Out of clock order: a clock below the first event's still becomes the first.
  put(p, {100, 1, EVENT_VEL, 1});
  put(p, {-5, 2, EVENT_VEL, 9});
  put(p, {50, 1, EVENT_VEL, 2});
  // At one clock the later put of a unit and kind stands.
  put(p, {100, 1, EVENT_VEL, 3});
  EXPECT_TRUE(p.events.empty());
  EXPECT_EQ(list_of(p), (std::vector<Ev>{
                            {-5, 2, EVENT_VEL, 9}, {50, 1, EVENT_VEL, 2}, {100, 1, EVENT_VEL, 3}}));
  EXPECT_TRUE(p.event_puts.empty());
}

TEST(EventPut, SameUnitAndKindReplacesOthersKeepOrder) {
  Project p = with_store(8);
  put(p, {100, 1, EVENT_VEL, 10});
  events_place(p);
  put(p, {100, 1, EVENT_VEL, 20});
  EXPECT_EQ(p.event_num, 2);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{100, 1, EVENT_VEL, 20}}));
  put(p, {100, 2, EVENT_VEL, 30});
  put(p, {100, 0, EVENT_VEL, 40});
  EXPECT_EQ(
      list_of(p),
      (std::vector<Ev>{{100, 1, EVENT_VEL, 20}, {100, 2, EVENT_VEL, 30}, {100, 0, EVENT_VEL, 40}}));
}

TEST(EventPut, RunOfOneKindInClockOrderAndRefusalWhenFull) {
  Project p = with_store(4);
  for (int c : {0, 480, 480, 960}) {
    EXPECT_TRUE(put(p, {c, 0, EVENT_KEY, c + 1}));
  }
  EXPECT_FALSE(put(p, {1000, 0, EVENT_KEY, 1}));
  EXPECT_EQ(p.event_num, 4);
  EXPECT_EQ(
      list_of(p),
      (std::vector<Ev>{{0, 0, EVENT_KEY, 1}, {480, 0, EVENT_KEY, 481}, {960, 0, EVENT_KEY, 961}}));
}

// Stored events keep the file's order at one clock, whatever the priorities say; puts among
// them walk that order from the first.
TEST(EventPut, PutsAmongStoredEventsWalkTheirOrder) {
  Project p = with_store(8);
  ASSERT_TRUE(event_store(p, 0, 0, EVENT_VEL, 1));
  ASSERT_TRUE(event_store(p, 0, 0, EVENT_KEY, 2));
  ASSERT_TRUE(event_store(p, 0, 0, EVENT_VEL, 3));  // a second of the same unit and kind
  put(p, {0, 0, EVENT_VEL, 4});                     // in place of the first
  put(p, {0, 1, EVENT_VOL, 5});                     // no greater priority anywhere: last
  put(p, {0, 1, EVENT_PAN, 6});                     // before the first greater: the first vel
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 1, EVENT_PAN, 6},
                                         {0, 0, EVENT_VEL, 4},
                                         {0, 0, EVENT_KEY, 2},
                                         {0, 0, EVENT_VEL, 3},
                                         {0, 1, EVENT_VOL, 5}}));
}

// Songs read back unit by unit and kind by kind put runs that interleave with all earlier
// ones, clocks going back where a run starts or wraps: placed once at the end, after every
// put, or now and then, the list must be the one the walk from the first builds.
TEST(EventPut, PlacedOnceOrOneByOneGivesTheWalksList) {
  for (unsigned seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<Ev> stored, puts;
    if (seed % 2) {  // a list stored first, as the newest generation loads
      for (int i = 0; i < 20; ++i) stored.push_back({i * 3, i % 4, 1 + pick(15), i});
    }
    for (int run = 0; run < 12; ++run) {
      const Ev first{pick(60) - 2, pick(8) == 0 ? 200 : pick(4), 1 + pick(15), 0};
      int clock = first.clock;
      for (int i = 0; i < 50; ++i) {
        puts.push_back({clock, first.unit, first.kind, run * 100 + i});
        clock += pick(3) == 0 ? 0 : pick(6);
      }
    }
    std::shuffle(puts.begin() + 300, puts.end(), rng);  // the last runs in no order at all
    std::vector<Ev> model = stored;
    for (const Ev& e : puts) model_put(model, e);
    for (int every : {0, 1, 7}) {  // placed at the end, after each put, after every seventh
      SCOPED_TRACE(every);
      EXPECT_EQ(stored_then_put(stored, puts, every), model);
    }
  }
}

// A clock holding hundreds of stored events in any order, some of one unit and kind twice,
// and hundreds of puts at it: placed at once (looked up in tables) or a few at a time (walked),
// the list is the walk's.
TEST(EventPut, ManyPutsAmongManyEventsOfOneClock) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<Ev> stored = {{0, 0, EVENT_ON, 1}}, puts;
    for (int i = 0; i < 300; ++i) stored.push_back({5, pick(8), 1 + pick(15), i});
    for (int i = 0; i < 400; ++i) puts.push_back({5, pick(seed % 2 ? 3 : 12), 1 + pick(15), -i});
    std::vector<Ev> model = stored;
    for (const Ev& e : puts) model_put(model, e);
    for (int every : {0, 3}) {
      SCOPED_TRACE(every);
      EXPECT_EQ(stored_then_put(stored, puts, every), model);
    }
  }
}

TEST(EventAddAtZero, TakesRecordsThatReplacementsFreed) {
  Project p = with_store(6);
  put(p, {10, 0, EVENT_VEL, 1});
  put(p, {40, 2, EVENT_ON, 10});
  ASSERT_TRUE(event_add_at_zero(p, 1, EVENT_KEY, 1));
  ASSERT_TRUE(event_add_at_zero(p, 1, EVENT_KEY, 2));   // replaces the key before
  ASSERT_TRUE(event_add_at_zero(p, 2, EVENT_ON, 100));  // removes the note at 40
  ASSERT_TRUE(event_add_at_zero(p, 3, EVENT_KEY, 3));
  ASSERT_TRUE(event_add_at_zero(p, 4, EVENT_KEY, 4));
  ASSERT_TRUE(event_add_at_zero(p, 5, EVENT_KEY, 5));
  EXPECT_FALSE(event_add_at_zero(p, 6, EVENT_KEY, 6));
  EXPECT_EQ(p.event_num, 2);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 1, EVENT_KEY, 2},
                                         {0, 3, EVENT_KEY, 3},
                                         {0, 4, EVENT_KEY, 4},
                                         {0, 5, EVENT_KEY, 5},
                                         {0, 2, EVENT_ON, 100},
                                         {10, 0, EVENT_VEL, 1}}));
}

TEST(EventAddAtZero, TruncatesEarlierAndRemovesOverlappedNotes) {
  Project p = with_store(8);
  put(p, {-100, 2, EVENT_ON, 300});  // ends at 200: shortened to end at 0
  put(p, {40, 2, EVENT_ON, 10});     // starts inside the new note: removed
  put(p, {50, 3, EVENT_ON, 10});     // other unit: kept
  put(p, {100, 2, EVENT_ON, 10});    // starts at the new note's end: kept
  int num = p.event_num;
  ASSERT_TRUE(event_add_at_zero(p, 2, EVENT_ON, 100));
  EXPECT_EQ(p.event_num, num);
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{-100, 2, EVENT_ON, 100},
                                         {0, 2, EVENT_ON, 100},
                                         {50, 3, EVENT_ON, 10},
                                         {100, 2, EVENT_ON, 10}}));
}

TEST(EventAddAtZero, FailsWhenFullOrAbsent) {
  Project none;
  EXPECT_FALSE(event_add_at_zero(none, 0, EVENT_KEY, 1));
  Project p = with_store(2);
  put(p, {10, 0, EVENT_VEL, 1});
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 0x6000));
  EXPECT_FALSE(event_add_at_zero(p, 1, EVENT_KEY, 0x6000));
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 0, EVENT_KEY, 0x6000}, {10, 0, EVENT_VEL, 1}}));
  // Among events at clock 0 the replacement rule applies too.
  EXPECT_TRUE(events_allocate(p, 3));
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 1));
  EXPECT_TRUE(event_add_at_zero(p, 0, EVENT_KEY, 2));
  EXPECT_EQ(list_of(p), (std::vector<Ev>{{0, 0, EVENT_KEY, 2}}));
}

TEST(EventStore, AppendsInTheOrderGivenUntilFull) {
  Project p = with_store(4);
  ASSERT_TRUE(event_store(p, 0, 0, EVENT_ON, 480));
  ASSERT_TRUE(event_store(p, 10, 0, EVENT_KEY, 5));
  ASSERT_TRUE(event_store(p, 10, 1, EVENT_VOICE_NO, 1));
  EXPECT_EQ(
      list_of(p),
      (std::vector<Ev>{{0, 0, EVENT_ON, 480}, {10, 0, EVENT_KEY, 5}, {10, 1, EVENT_VOICE_NO, 1}}));

  Project full = with_store(1);
  EXPECT_TRUE(event_store(full, 0, 0, EVENT_ON, 1));
  EXPECT_FALSE(event_store(full, 0, 0, EVENT_ON, 1));
  EXPECT_FALSE(put(full, {0, 1, EVENT_ON, 1}));
  EXPECT_EQ(full.events.size(), 1u);
}

TEST(Events, EndClockAndMeasures) {
  Project p = with_store(4);
  EXPECT_EQ(events_end_clock(p), 0);
  put(p, {960, 0, EVENT_ON, 480});
  put(p, {1200, 0, EVENT_KEY, 1});
  events_place(p);
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

// The summary a load makes counts what a walk finds, and any change to the events drops it.
TEST(Events, SummaryOfTheEventsAndItsEnd) {
  Project p = with_store(16);
  for (int u = 0; u < 3; ++u) p.woices.push_back(std::make_unique<Woice>());
  p.woices[1]->type = WOICE_QXVOICE;
  p.woices[1]->x3x_tuning = 1.5f;
  const auto tuning = static_cast<int>(float_bits(1.5f));
  for (const Ev& e : std::vector<Ev>{{0, 1, EVENT_VOICE_NO, 1},      // its own unit
                                     {0, 2, EVENT_VOICE_NO, 1},      // another's
                                     {0, 1, EVENT_GROUP_NO, 0},      // group 0
                                     {0, 2, EVENT_GROUP_NO, 3},      // another group
                                     {0, 1, EVENT_CORRECT, tuning},  // the woice's tuning
                                     {480, 1, EVENT_CORRECT, tuning},
                                     {0, 2, EVENT_CORRECT, tuning},  // a woice without one
                                     {-5, 0, EVENT_KEY, -1},         // before clock 0
                                     {10, 0, EVENT_KEY, KEY_MAX + 1},
                                     {20, 0, EVENT_KEY, KEY_MAX},
                                     {960, 2, EVENT_ON, 700},
                                     {0, 0, EVENT_PAN, 5}}) {
    put(p, e);
  }
  events_place(p);
  const EventSummary& s = events_summarise(p);
  EXPECT_EQ(s.events, 12u);
  EXPECT_EQ(s.end_clock, 1660);
  EXPECT_EQ(s.keys_out_of_range, 1);
  EXPECT_EQ(s.count[0 * EVENT_KIND_NUM + EVENT_KEY], 3u);
  EXPECT_EQ(s.count[1 * EVENT_KIND_NUM + EVENT_CORRECT], 2u);
  EXPECT_EQ(std::vector<uint32_t>(s.own_voice, s.own_voice + 3), (std::vector<uint32_t>{0, 1, 0}));
  EXPECT_EQ(std::vector<uint32_t>(s.group_zero, s.group_zero + 3),
            (std::vector<uint32_t>{0, 1, 0}));
  EXPECT_EQ(std::vector<uint32_t>(s.woice_tuning, s.woice_tuning + 3),
            (std::vector<uint32_t>{0, 1, 0}));

  EXPECT_EQ(events_summary_kept(p), &s);
  event_store(p, 2000, 0, EVENT_VEL, 1);
  EXPECT_EQ(events_summary_kept(p), nullptr);
  events_summarise(p);
  put(p, {0, 0, EVENT_VEL, 1});
  EXPECT_EQ(events_summary_kept(p), nullptr);
  events_place(p);
  events_summarise(p);
  const size_t n = p.events.size();
  event_add_at_zero(p, 2, EVENT_ON, 2000);  // takes the place of the note it overlaps
  EXPECT_EQ(p.events.size(), n);
  EXPECT_EQ(events_summary_kept(p), nullptr);
}

TEST(Events, AllocateZeroAndRelease) {
  Project p;
  EXPECT_TRUE(events_allocate(p, 0));
  EXPECT_EQ(p.events.capacity(), 0u);
  EXPECT_EQ(p.event_max, 0);
  EXPECT_TRUE(events_allocate(p, 3));
  put(p, {0, 0, EVENT_ON, 1});
  events_release(p);
  EXPECT_EQ(p.event_max, 0);
  EXPECT_EQ(p.event_num, 0);
  EXPECT_TRUE(p.events.empty() && p.event_puts.empty());
  EXPECT_FALSE(put(p, {0, 0, EVENT_ON, 1}));
}

// Puts scattered over a long list, placed one by one or a few at a time, and notes added at
// clock 0 between them: the list must come out as if every put had walked from the start,
// in clock order, equal clocks by kind priority, the same unit and kind replacing its event.
TEST(EventPut, ScatteredInsertionsMatchAWalkFromTheStart) {
  Project p = with_store(4000);
  std::vector<Ev> model;
  for (int i = 0; i < 100; ++i) {
    event_store(p, i * 7, 0, EVENT_ON, i);
    model.push_back({i * 7, 0, EVENT_ON, i});
  }
  const int kinds[] = {EVENT_ON, EVENT_KEY, EVENT_VEL, EVENT_VOICE_NO};
  uint32_t seed = 12345;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const int clock = static_cast<int>((seed >> 8) % (i % 2 ? 60 : 1200));
    const Ev e{clock, static_cast<int>((seed >> 20) % 3), kinds[(seed >> 24) % 4], i};
    ASSERT_TRUE(put(p, e));
    if (i % 3 == 0) events_place(p);
    model_put(model, e);
    if (i % 300 == 299) {
      // A note at 0 removes the unit's later notes it overlaps.
      ASSERT_EQ(event_add_at_zero(p, 1, EVENT_ON, 500), 1);
      const auto at =
          model.begin() + static_cast<std::ptrdiff_t>(model_put(model, {0, 1, EVENT_ON, 500}));
      std::erase_if(model, [&](const Ev& m) {
        return &m > &*at && m.unit == 1 && m.kind == EVENT_ON && m.clock < 500;
      });
    }
  }
  EXPECT_EQ(list_of(p), model);
}
