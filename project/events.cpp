// Event store operations: queued puts placed in one merge, direct storing, insertion at
// clock 0, and measure arithmetic.
#include "project/events.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

#include "bytes/bytes.h"
#include "project/project.h"

const char* const EVENT_KIND_NAMES[EVENT_KIND_NUM] = {
    "",           "On",       "key",    "pan",  "vel",      "vol",      "portament", "beat-clock",
    "beat-tempo", "beat-num", "repeat", "last", "voice-no", "group-no", "correct",   "pan-time",
};

const int32_t KIND_PRIORITY[EVENT_KIND_NUM] = {
    0, 50, 40, 60, 70, 80, 30, 0, 0, 0, 0, 255, 10, 20, 90, 100,
};

int events_allocate(Song& p, int32_t n) {
  if (n == 0) return 1;
  events_release(p);
  if (n < 0) return 0;
  try {
    // Reserved, not filled: pages are only touched as events arrive.
    p.events.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    events_release(p);
    return 0;
  } catch (const std::length_error&) {
    events_release(p);
    return 0;
  }
  p.event_max = n;
  return 1;
}

void events_release(Song& p) {
  events_changed(p);
  p.events.clear();
  p.events.shrink_to_fit();
  p.event_puts.clear();
  p.event_puts.shrink_to_fit();
  p.event_max = 0;
  p.event_num = 0;
}

void events_clear(Song& p) {
  events_changed(p);
  p.events.clear();
  p.event_puts.clear();
  p.event_puts.shrink_to_fit();
  p.event_num = 0;
}

namespace {

int32_t priority(uint8_t kind) {
  return KIND_PRIORITY[kind & 15];
}

// Where a put from the first goes among the events of its clock, `run`: the index of the
// event it replaces (*replaces set) or of the one it goes before.
size_t place_in_run(const Event* run, size_t size, const Event& e, bool* replaces) {
  *replaces = false;
  for (size_t i = 0; i < size; ++i) {
    if (run[i].unit_no == e.unit_no && run[i].kind == e.kind) {
      *replaces = true;
      return i;
    }
    if (priority(e.kind) < priority(run[i].kind)) return i;
  }
  return size;
}

size_t unit_kind(const Event& e) {
  return size_t{e.unit_no} * EVENT_KIND_NUM + e.kind;
}

// apply_puts for a clock holding many events and many puts, which only a hostile file makes:
// the places are looked up in tables of where each unit and kind first stands and where each
// kind's greater priorities begin, kept up as puts are inserted, so that no put walks the run.
// False, with nothing changed, for a kind beyond the known ones.
bool apply_puts_indexed(std::vector<Event>& run, const Event* puts, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    if (puts[k].kind >= EVENT_KIND_NUM) return false;
  }
  constexpr size_t ABSENT = SIZE_MAX;
  std::vector<size_t> first(256 * EVENT_KIND_NUM, ABSENT);
  size_t greater[EVENT_KIND_NUM];
  std::fill(std::begin(greater), std::end(greater), run.size());
  for (size_t i = run.size(); i-- > 0;) {
    if (run[i].kind >= EVENT_KIND_NUM) return false;
    first[unit_kind(run[i])] = i;
    for (int kind = 0; kind < EVENT_KIND_NUM; ++kind) {
      if (KIND_PRIORITY[kind] < priority(run[i].kind)) greater[kind] = i;
    }
  }
  for (size_t k = 0; k < count; ++k) {
    const Event& e = puts[k];
    const size_t same = first[unit_kind(e)];
    const size_t at = greater[e.kind];
    if (same != ABSENT && same < at) {
      run[same] = e;
      continue;
    }
    run.insert(run.begin() + static_cast<std::ptrdiff_t>(at), e);
    for (size_t& place : first) {
      if (place != ABSENT && place >= at) ++place;
    }
    first[unit_kind(e)] = at;
    for (int kind = 0; kind < EVENT_KIND_NUM; ++kind) {
      // The put now stands first at `at` for the kinds it outranks.
      if (greater[kind] > at || (greater[kind] == at && KIND_PRIORITY[kind] >= priority(e.kind))) {
        ++greater[kind];
      }
    }
  }
  return true;
}

// The puts of one clock, in the order they were made, applied to that clock's events.
void apply_puts(std::vector<Event>& run, const Event* puts, size_t count) {
  // Walking the run for each put costs its length: only long runs with many puts are indexed.
  constexpr size_t INDEXED_WORK = size_t{1} << 16;
  if (count > 1 && run.size() > 1 && run.size() > INDEXED_WORK / count &&
      apply_puts_indexed(run, puts, count)) {
    return;
  }
  for (size_t k = 0; k < count; ++k) {
    bool replaces = false;
    const size_t at = place_in_run(run.data(), run.size(), puts[k], &replaces);
    if (replaces) {
      run[at] = puts[k];
    } else {
      run.insert(run.begin() + static_cast<std::ptrdiff_t>(at), puts[k]);
    }
  }
}

bool by_clock(const Event& a, const Event& b) {
  return a.clock < b.clock;
}

}  // namespace

int event_put(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value) {
  if (p.event_num < 0 || p.event_num >= p.event_max) return 0;
  events_changed(p);
  if (p.event_puts.empty()) {
    // Room for every record left, reserved only: the queue never moves as it grows.
    p.event_puts.reserve(static_cast<size_t>(p.event_max - p.event_num));
  }
  p.event_puts.push_back({clock, value, unit_no, kind});
  p.event_num++;
  return 1;
}

// The list is merged with the queue from its end into its own array, grown to hold both:
// every event is moved at most twice, and besides the two arrays only the events of one clock
// are held apart while the puts of that clock are applied.
void events_place(Song& p) {
  EventArray& puts = p.event_puts;
  if (puts.empty()) return;
  if (!std::is_sorted(puts.begin(), puts.end(), by_clock)) {
    std::stable_sort(puts.begin(), puts.end(), by_clock);
  }
  EventArray& list = p.events;
  const size_t n = list.size();
  list.resize(n + puts.size());
  size_t write = list.size();  // list[write, end) is done
  size_t read = n;             // list[0, read) is not yet merged
  size_t left = puts.size();   // puts[0, left) neither
  std::vector<Event> run;
  while (left > 0) {
    const int32_t c = puts[left - 1].clock;
    const auto list_begin = list.begin();
    const auto later = std::upper_bound(list_begin, list_begin + static_cast<std::ptrdiff_t>(read),
                                        c, [](int32_t v, const Event& e) { return v < e.clock; });
    const size_t at = static_cast<size_t>(later - list_begin);
    std::copy_backward(later, list_begin + static_cast<std::ptrdiff_t>(read),
                       list_begin + static_cast<std::ptrdiff_t>(write));
    write -= read - at;
    read = at;
    const auto same = std::lower_bound(list_begin, later, c,
                                       [](const Event& e, int32_t v) { return e.clock < v; });
    size_t first_put = left - 1;
    while (first_put > 0 && puts[first_put - 1].clock == c) --first_put;
    run.assign(same, later);
    apply_puts(run, puts.data() + first_put, left - first_put);
    write -= run.size();
    std::copy(run.begin(), run.end(), list_begin + static_cast<std::ptrdiff_t>(write));
    read = static_cast<size_t>(same - list_begin);
    left = first_put;
  }
  // The earlier events, then the whole moved down over what replacements left free.
  if (write != read) {
    std::copy_backward(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(read),
                       list.begin() + static_cast<std::ptrdiff_t>(write));
    write -= read;
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(write));
  }
  puts.clear();
  puts.shrink_to_fit();
}

int event_add_at_zero(Song& p, uint8_t unit_no, uint8_t kind, int32_t value) {
  events_place(p);
  events_changed(p);
  EventArray& list = p.events;
  if (p.event_max <= 0 || list.size() >= static_cast<size_t>(p.event_max)) return 0;
  const Event e{0, value, unit_no, kind};
  const auto first = std::lower_bound(list.begin(), list.end(), e, by_clock);
  const auto end = std::upper_bound(first, list.end(), e, by_clock);
  bool replaces = false;
  const auto begin = static_cast<size_t>(first - list.begin());
  const auto at = first + static_cast<std::ptrdiff_t>(place_in_run(
                              list.data() + begin, static_cast<size_t>(end - first), e, &replaces));
  size_t i = static_cast<size_t>(at - list.begin());
  if (replaces) {
    *at = e;
  } else {
    list.insert(at, e);
  }
  if (kind == EVENT_ON || kind == EVENT_PORTAMENT) {
    for (size_t b = i; b-- > 0;) {
      Event& before = list[b];
      if (before.unit_no == unit_no && before.kind == kind) {
        if (static_cast<int64_t>(before.clock) + before.value > 0) before.value = -before.clock;
        break;
      }
    }
    const auto from = list.begin() + static_cast<std::ptrdiff_t>(i + 1);
    auto to = from;
    while (to != list.end() && to->clock < value) ++to;
    list.erase(
        std::remove_if(from, to,
                       [&](const Event& f) { return f.unit_no == unit_no && f.kind == kind; }),
        to);
  }
  return 1;
}

int32_t events_end_clock(const Song& p) {
  return events_summary(p).end_clock;
}

EventSummary events_summary(const Song& p) {
  EventSummary s;
  s.events = p.events.size();
  s.count.assign(256 * EVENT_KIND_NUM, 0);
  // The x3x tuning of each unit's woice, where it is a qxVoice woice that has one.
  bool tuned[256] = {};
  uint32_t tuning_bits[256] = {};
  for (size_t u = 0; u < 256 && u < p.woices.size(); ++u) {
    const Woice* w = p.woices[u].get();
    tuned[u] = w && w->type == WOICE_QXVOICE && w->x3x_tuning != 0.0f;
    tuning_bits[u] = tuned[u] ? float_bits(w->x3x_tuning) : 0;
  }
  int64_t end = 0;
  uint32_t* count = s.count.data();
  int64_t keys = 0;
  for (const Event& e : p.events) {
    // Without a branch on the kinds that most events have: songs interleave them.
    const bool length = e.kind == EVENT_ON || e.kind == EVENT_PORTAMENT;
    end = std::max(end, int64_t{e.clock} + (length ? e.value : 0));
    if (e.kind >= EVENT_KIND_NUM) continue;
    const uint8_t u = e.unit_no;
    ++count[u * EVENT_KIND_NUM + e.kind];
    keys += e.kind == EVENT_KEY && e.clock >= 0 && (e.value < 0 || e.value > KEY_MAX) ? 1 : 0;
    if (e.kind < EVENT_VOICE_NO) continue;
    if (e.kind == EVENT_VOICE_NO) {
      s.own_voice[u] += e.value == u ? 1 : 0;
    } else if (e.kind == EVENT_GROUP_NO) {
      s.group_zero[u] += e.value == 0 ? 1 : 0;
    } else if (e.kind == EVENT_CORRECT) {
      s.woice_tuning[u] +=
          e.clock == 0 && tuned[u] && static_cast<uint32_t>(e.value) == tuning_bits[u] ? 1 : 0;
    }
  }
  s.keys_out_of_range = keys;
  s.end_clock = static_cast<int32_t>(std::min<int64_t>(end, INT32_MAX));
  return s;
}

const EventSummary& events_summarise(Song& p) {
  p.event_summary = std::make_unique<EventSummary>(events_summary(p));
  return *p.event_summary;
}

const EventSummary* events_summary_kept(const Song& p) {
  const EventSummary* s = p.event_summary.get();
  return s && s->events == p.events.size() && p.event_puts.empty() ? s : nullptr;
}

const EventSummary& events_summary_of(const Song& p, EventSummary& made) {
  if (const EventSummary* kept = events_summary_kept(p)) return *kept;
  made = events_summary(p);
  return made;
}

void events_changed(Song& p) {
  p.event_summary.reset();
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
