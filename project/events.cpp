// Event store operations: insertion in time and priority order, direct storing, linking,
// and measure arithmetic.
#include "project/events.h"

#include <algorithm>
#include <new>

#include "project/project.h"

const char* const EVENT_KIND_NAMES[EVENT_KIND_NUM] = {
    "",           "On",       "key",    "pan",  "vel",      "vol",      "portament", "beat-clock",
    "beat-tempo", "beat-num", "repeat", "last", "voice-no", "group-no", "correct",   "pan-time",
};

const int32_t KIND_PRIORITY[EVENT_KIND_NUM] = {
    0, 50, 40, 60, 70, 80, 30, 0, 0, 0, 0, 255, 10, 20, 90, 100,
};

namespace {

void clock_index_forget(Song& p) {
  p.event_clock_index.last_at.clear();
  p.event_clock_index.state = EVENT_INDEX_STALE;
  p.event_clock_index.has_finger = false;
}

}  // namespace

int events_allocate(Song& p, int32_t n) {
  if (n == 0) return 1;
  events_release(p);
  if (n < 0) return 0;
  try {
    p.event_records.assign(static_cast<size_t>(n), Event{});
  } catch (const std::bad_alloc&) {
    p.event_records.clear();
    p.event_records.shrink_to_fit();
    return 0;
  }
  p.event_max = n;
  return 1;
}

void events_release(Song& p) {
  p.event_records.clear();
  p.event_records.shrink_to_fit();
  p.event_start = nullptr;
  p.event_last_put = nullptr;
  p.event_max = 0;
  p.event_num = 0;
  events_search_reset(p);
}

void events_clear(Song& p) {
  std::fill(p.event_records.begin(), p.event_records.end(), Event{});
  p.event_start = nullptr;
  p.event_last_put = nullptr;
  p.event_num = 0;
  events_search_reset(p);
}

void events_search_reset(Song& p) {
  clock_index_forget(p);
  p.event_free_from = 0;
}

namespace {

void link_before(Song& p, Event* e, Event* at) {
  e->next = at;
  e->prev = at->prev;
  if (at->prev) {
    at->prev->next = e;
  } else {
    p.event_start = e;
  }
  at->prev = e;
}

void link_after(Event* e, Event* at) {
  e->prev = at;
  e->next = at->next;
  if (at->next) at->next->prev = e;
  at->next = e;
}

void unlink(Song& p, Event* e) {
  if (e->prev) {
    e->prev->next = e->next;
  } else {
    p.event_start = e->next;
  }
  if (e->next) e->next->prev = e->prev;
  e->prev = nullptr;
  e->next = nullptr;
}

int32_t record_index(const Song& p, const Event* e) {
  return static_cast<int32_t>(e - p.event_records.data());
}

void note_free(Song& p, const Event* e) {
  p.event_free_from = std::min(p.event_free_from, record_index(p, e));
}

// Links e at clock c, walking forward from `from`, with the replacement and priority rules
// for events of equal clock. A replaced event is unlinked and freed.
void link_sorted(Song& p, Event* e, int32_t c, uint8_t unit_no, uint8_t kind, Event* from) {
  if (!p.event_start) {
    p.event_start = e;
    e->prev = nullptr;
    e->next = nullptr;
    return;
  }
  if (c < p.event_start->clock) {
    link_before(p, e, p.event_start);
    return;
  }
  Event* cur = from ? from : p.event_start;
  while (cur->clock < c) {
    if (!cur->next) {
      link_after(e, cur);
      return;
    }
    cur = cur->next;
  }
  if (cur->clock > c) {
    link_before(p, e, cur);
    return;
  }
  for (;;) {
    if (cur->unit_no == unit_no && cur->kind == kind) {
      link_before(p, e, cur);
      unlink(p, cur);
      cur->kind = EVENT_NONE;
      note_free(p, cur);
      return;
    }
    if (KIND_PRIORITY[kind & 15] < KIND_PRIORITY[cur->kind & 15]) {
      link_before(p, e, cur);
      return;
    }
    if (!cur->next) {
      link_after(e, cur);
      return;
    }
    if (cur->next->clock != c) {
      link_before(p, e, cur->next);
      return;
    }
    cur = cur->next;
  }
}

using ClockIt = std::map<int32_t, Event*>::iterator;

void clock_index_off(EventClockIndex& x) {
  x.state = EVENT_INDEX_OFF;
  x.last_at.clear();
  x.has_finger = false;
}

// Builds the clock index from the list when it is stale; false when the list is out of
// clock order, where only the walk itself finds what the walk finds.
bool clock_index_ready(Song& p) {
  EventClockIndex& x = p.event_clock_index;
  if (x.state != EVENT_INDEX_STALE) return x.state == EVENT_INDEX_READY;
  x.state = EVENT_INDEX_READY;
  for (Event* e = p.event_start; e; e = e->next) {
    if (e->next && e->next->clock < e->clock) {
      clock_index_off(x);
      return false;
    }
    if (!e->next || e->next->clock != e->clock) {
      x.last_at.emplace_hint(x.last_at.end(), e->clock, e);
    }
  }
  return true;
}

// The first indexed clock at or after c. Runs of one unit and kind come in rising clocks,
// so the clock after the last put's is tried first.
ClockIt clock_index_find(EventClockIndex& x, int32_t c) {
  if (x.has_finger && x.finger->first < c) {
    ClockIt at = std::next(x.finger);
    for (int step = 0; step < 4 && at != x.last_at.end() && at->first < c; ++step) ++at;
    if (at == x.last_at.end() || at->first >= c) return at;
  }
  return x.last_at.lower_bound(c);
}

// Whether a walk to clock c from the hint (absent or before c) would pass events: in a list
// in clock order a walk from the first event, from the hint or from any event before c
// reaches the same first event at or after c, so the index may give where it starts.
bool walk_is_long(const Song& p, const Event* hint, int32_t c) {
  if (!p.event_start || c <= p.event_start->clock) return false;
  return !hint || (hint->next && hint->next->clock < c);
}

// Keeps the index up after e was linked at clock c, `at` being what clock_index_find gave
// for c before; or turns it off when a hint put e out of clock order.
void clock_index_note(EventClockIndex& x, Event* e, ClockIt at) {
  const int32_t c = e->clock;
  if ((e->prev && e->prev->clock > c) || (e->next && e->next->clock < c)) {
    clock_index_off(x);
    return;
  }
  if (at == x.last_at.end() || at->first != c) {
    at = x.last_at.emplace_hint(at, c, e);
  } else if (!e->next || e->next->clock != c) {
    at->second = e;  // the new last event of its clock, maybe in the place of one replaced
  }
  x.finger = at;
  x.has_finger = true;
}

}  // namespace

int event_put(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  Event* e = &p.event_records[static_cast<size_t>(p.event_num)];
  p.event_num++;
  Event* from = p.event_last_put;
  // A hint at or after the clock is walked from as it stands.
  const bool long_walk = (!from || from->clock < clock) && walk_is_long(p, from, clock);
  if (long_walk) clock_index_ready(p);
  EventClockIndex& x = p.event_clock_index;
  const bool indexed = x.state == EVENT_INDEX_READY;
  ClockIt at;
  if (indexed) {
    at = clock_index_find(x, clock);
    // The first event lies before the clock, so a clock below it is indexed.
    if (long_walk) from = std::prev(at)->second;
  }
  link_sorted(p, e, clock, unit_no, kind, from);
  e->clock = clock;
  e->unit_no = unit_no;
  e->kind = kind;
  e->value = value;
  if (kind == EVENT_NONE) note_free(p, e);
  if (indexed) clock_index_note(x, e, at);
  p.event_last_put = e;
  return 1;
}

int event_store(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  Event& e = p.event_records[static_cast<size_t>(p.event_num)];
  e.kind = kind;
  e.unit_no = unit_no;
  e.value = value;
  e.clock = clock;
  if (kind == EVENT_NONE) note_free(p, &e);
  p.event_num++;
  return 1;
}

int event_add_at_zero(Song& p, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_records.empty()) return 0;
  Event* e = nullptr;
  const auto from = static_cast<size_t>(std::max(p.event_free_from, 0));
  for (size_t i = from; i < p.event_records.size(); ++i) {
    if (p.event_records[i].kind == EVENT_NONE) {
      e = &p.event_records[i];
      break;
    }
  }
  if (!e) {
    p.event_free_from = static_cast<int32_t>(p.event_records.size());
    return 0;
  }
  p.event_free_from = record_index(p, e) + 1;
  // The index is not kept up through the changes below.
  clock_index_forget(p);
  link_sorted(p, e, 0, unit_no, kind, nullptr);
  e->clock = 0;
  e->unit_no = unit_no;
  e->kind = kind;
  e->value = value;

  if (kind == EVENT_ON || kind == EVENT_PORTAMENT) {
    for (Event* b = e->prev; b; b = b->prev) {
      if (b->unit_no == unit_no && b->kind == kind) {
        if (static_cast<int64_t>(b->clock) + b->value > 0) b->value = -b->clock;
        break;
      }
    }
    Event* f = e->next;
    while (f && f->clock < value) {
      Event* next = f->next;
      if (f->unit_no == unit_no && f->kind == kind) {
        unlink(p, f);
        f->kind = EVENT_NONE;
        note_free(p, f);
      }
      f = next;
    }
  }
  return 1;
}

void events_link_stored(Song& p) {
  clock_index_forget(p);
  if (p.event_records.empty() || p.event_records[0].kind == EVENT_NONE) return;
  Event* prev = &p.event_records[0];
  prev->prev = nullptr;
  prev->next = nullptr;
  p.event_start = prev;
  for (size_t i = 1; i < p.event_records.size(); ++i) {
    Event* e = &p.event_records[i];
    if (e->kind == EVENT_NONE) break;
    e->prev = prev;
    e->next = nullptr;
    prev->next = e;
    prev = e;
  }
}

int32_t events_end_clock(const Song& p) {
  int64_t end = 0;
  for (const Event* e = p.event_start; e; e = e->next) {
    int64_t t = e->clock;
    if (e->kind == EVENT_ON || e->kind == EVENT_PORTAMENT) t += e->value;
    end = std::max(end, t);
  }
  return static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
}

void meas_num_update(Song& p, int32_t clock) {
  // A zero beat clock or beat num cannot size anything; the readers refuse such masters,
  // and here the song simply keeps its measure count.
  if (p.beat_clock != 0 && p.beat_num != 0) {
    int64_t beats = (static_cast<int64_t>(clock) + p.beat_clock - 1) / p.beat_clock;
    int64_t measures = (beats + p.beat_num - 1) / p.beat_num;
    if (measures >= p.meas_num) {
      p.meas_num = static_cast<int32_t>(std::min<int64_t>(measures, INT32_MAX));
    }
  }
  if (p.repeat_meas >= p.meas_num) p.repeat_meas = 0;
  if (p.last_meas > p.meas_num) p.last_meas = p.meas_num;
}
