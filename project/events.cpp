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

int events_allocate(Project& p, int32_t n) {
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

void events_release(Project& p) {
  p.event_records.clear();
  p.event_records.shrink_to_fit();
  p.event_clock_marks.clear();
  p.event_start = nullptr;
  p.event_last_put = nullptr;
  p.event_max = 0;
  p.event_num = 0;
}

void events_clear(Project& p) {
  std::fill(p.event_records.begin(), p.event_records.end(), Event{});
  p.event_clock_marks.clear();
  p.event_start = nullptr;
  p.event_last_put = nullptr;
  p.event_num = 0;
}

namespace {

void link_before(Project& p, Event* e, Event* at) {
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

void unlink(Project& p, Event* e) {
  if (e->prev) {
    e->prev->next = e->next;
  } else {
    p.event_start = e->next;
  }
  if (e->next) e->next->prev = e->prev;
  e->prev = nullptr;
  e->next = nullptr;
}

// The linked event of the latest marked clock below c, or nullptr. Any linked event before
// c's place leads there as the list's start does, since the list is in clock order; marks
// of events since unlinked (freed, or taken again at another clock) are dropped on the way.
Event* mark_before(Project& p, int32_t c) {
  auto it = p.event_clock_marks.lower_bound(c);
  while (it != p.event_clock_marks.begin()) {
    --it;
    Event* e = it->second;
    if (e->kind != EVENT_NONE && e->clock == it->first) return e;
    it = p.event_clock_marks.erase(it);
  }
  return nullptr;
}

// Marks e's clock with e when e ends its run of equal clocks.
void mark_clock(Project& p, Event* e, int32_t c) {
  if (!e->next || e->next->clock != c) p.event_clock_marks[c] = e;
}

// The walk itself: from `from` (or the list's start) to c's place.
void link_sorted_from(Project& p, Event* e, int32_t c, uint8_t unit_no, uint8_t kind, Event* from) {
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

// Links e at clock c, walking forward from `from` (or from the mark nearest below c, when
// that is further on), with the replacement and priority rules for events of equal clock.
// A replaced event is unlinked and freed. e takes clock c.
void link_sorted(Project& p, Event* e, int32_t c, uint8_t unit_no, uint8_t kind, Event* from) {
  if (p.event_start && c > p.event_start->clock && (!from || from->clock < c)) {
    Event* mark = mark_before(p, c);
    if (mark && (!from || mark->clock > from->clock)) from = mark;
  }
  link_sorted_from(p, e, c, unit_no, kind, from);
  e->clock = c;
  mark_clock(p, e, c);
}

}  // namespace

int event_put(Project& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  Event* e = &p.event_records[static_cast<size_t>(p.event_num)];
  p.event_num++;
  link_sorted(p, e, clock, unit_no, kind, p.event_last_put);
  e->clock = clock;
  e->unit_no = unit_no;
  e->kind = kind;
  e->value = value;
  p.event_last_put = e;
  return 1;
}

int event_store(Project& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  Event& e = p.event_records[static_cast<size_t>(p.event_num)];
  e.kind = kind;
  e.unit_no = unit_no;
  e.value = value;
  e.clock = clock;
  p.event_num++;
  return 1;
}

int event_add_at_zero(Project& p, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_records.empty()) return 0;
  Event* e = nullptr;
  for (Event& r : p.event_records) {
    if (r.kind == EVENT_NONE) {
      e = &r;
      break;
    }
  }
  if (!e) return 0;
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
      }
      f = next;
    }
  }
  return 1;
}

void events_link_stored(Project& p) {
  if (p.event_records.empty() || p.event_records[0].kind == EVENT_NONE) return;
  Event* prev = &p.event_records[0];
  prev->prev = nullptr;
  prev->next = nullptr;
  p.event_start = prev;
  p.event_clock_marks.clear();
  // Marks hold only while the stored clocks keep their order, as every reader stores them.
  bool ordered = true;
  for (size_t i = 1; i < p.event_records.size(); ++i) {
    Event* e = &p.event_records[i];
    if (e->kind == EVENT_NONE) break;
    ordered = ordered && e->clock >= prev->clock;
    if (ordered && e->clock != prev->clock) p.event_clock_marks[prev->clock] = prev;
    e->prev = prev;
    e->next = nullptr;
    prev->next = e;
    prev = e;
  }
  if (ordered) {
    p.event_clock_marks[prev->clock] = prev;
  } else {
    p.event_clock_marks.clear();
  }
}

int32_t events_end_clock(const Project& p) {
  int64_t end = 0;
  for (const Event* e = p.event_start; e; e = e->next) {
    int64_t t = e->clock;
    if (e->kind == EVENT_ON || e->kind == EVENT_PORTAMENT) t += e->value;
    end = std::max(end, t);
  }
  return static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
}

void meas_num_update(Project& p, int32_t clock) {
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
