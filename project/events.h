// The event store: a fixed array of event records threaded into one time-ordered
// doubly linked list, with sorted insertion, direct storing for readers whose files are
// already in time order, and the clock-to-measure arithmetic that sizes a song.
#pragma once

#include <cstdint>
#include <map>

struct Song;

enum EventKind : uint8_t {
  EVENT_NONE = 0,  // free record
  EVENT_ON = 1,
  EVENT_KEY = 2,
  EVENT_PAN = 3,
  EVENT_VEL = 4,
  EVENT_VOL = 5,
  EVENT_PORTAMENT = 6,
  EVENT_BEAT_CLOCK = 7,
  EVENT_BEAT_TEMPO = 8,
  EVENT_BEAT_NUM = 9,
  EVENT_REPEAT = 10,
  EVENT_LAST = 11,
  EVENT_VOICE_NO = 12,
  EVENT_GROUP_NO = 13,
  EVENT_CORRECT = 14,
  EVENT_PAN_TIME = 15,
};
constexpr int EVENT_KIND_NUM = 16;

extern const char* const EVENT_KIND_NAMES[EVENT_KIND_NUM];
extern const int32_t KIND_PRIORITY[EVENT_KIND_NUM];

struct Event {
  uint8_t kind = 0;
  uint8_t unit_no = 0;
  int32_t value = 0;
  int32_t clock = 0;
  Event* prev = nullptr;
  Event* next = nullptr;
};

// What spares event_put a walk along the list: the last event of every clock, kept while the
// list is in clock order. Built from the list when first needed, kept up by event_put, and
// dropped by anything else that relinks or frees events.
enum EventIndexState : uint8_t {
  EVENT_INDEX_STALE = 0,  // to be built from the list
  EVENT_INDEX_READY = 1,
  EVENT_INDEX_OFF = 2,  // the list is out of clock order: event_put walks as without it
};
struct EventClockIndex {
  std::map<int32_t, Event*> last_at;
  EventIndexState state = EVENT_INDEX_STALE;
  std::map<int32_t, Event*>::iterator finger;  // the entry of the last put's clock
  bool has_finger = false;
};

// Creates n zeroed records (n = 0 succeeds and changes nothing).
int events_allocate(Song& p, int32_t n);
void events_release(Song& p);
// Zeroes every record and empties the list; keeps the capacity.
void events_clear(Song& p);

// Sorted insertion into the record at index event_num. Returns 0 (and stores nothing)
// when the store is full.
int event_put(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value);
// Stores a record at index event_num without linking it (readers whose files list events
// in time order); returns 0 when the store is full.
int event_store(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value);
int event_add_at_zero(Song& p, uint8_t unit_no, uint8_t kind, int32_t value);
void events_link_stored(Song& p);
// Forgets the clock index and where event_add_at_zero may start looking for a free record;
// for whoever zeroes or relinks records wholesale, and to free the index after loading.
void events_search_reset(Song& p);
int32_t events_end_clock(const Song& p);
void meas_num_update(Song& p, int32_t clock);
