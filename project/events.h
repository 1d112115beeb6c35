// The event store: the song's events as one array of small records in time order, with the
// puts that wait to be placed among them by the same rules a put one at a time follows,
// direct storing for readers whose files are already in time order, and the clock-to-measure
// arithmetic that sizes a song.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/memory.h"

struct Song;

enum EventKind : uint8_t {
  EVENT_NONE = 0,  // no event: never stored by the readers
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
// The order of kinds at one clock: a put goes before the first event of a greater priority.
extern const int32_t KIND_PRIORITY[EVENT_KIND_NUM];

// One event. `Song::events` holds them in time order: by clock, and at one clock in the
// order the puts left them (see event_put) or the file gave them (see event_store).
struct Event {
  int32_t clock = 0;
  int32_t value = 0;
  uint8_t unit_no = 0;
  uint8_t kind = 0;
};
static_assert(sizeof(Event) == 12, "an event record is 12 bytes");
// The arrays events are kept in: a million take 12 MB.
using EventArray = std::vector<Event, LargeArrayAllocator<Event>>;

// A store for n records (the readers' pre-count). The memory is only reserved: it is used
// as events arrive. n = 0 succeeds and changes nothing; 0 when the room cannot be had.
int events_allocate(Song& p, int32_t n);
void events_release(Song& p);
// Empties the store; keeps its capacity.
void events_clear(Song& p);

// Takes a record and queues the event, to be placed by events_place as if each put had been
// placed in turn: among the events of its clock, in place of the first of the same unit and
// kind, or else before the first of a greater kind priority, or else after the last.
// Returns 0 (and queues nothing) when every record has been taken.
int event_put(Song& p, int32_t clock, uint8_t unit_no, uint8_t kind, int32_t value);
// Places the queued puts among the events: sorted once by clock (keeping their order within
// a clock), then merged, clock by clock, by the rule above. Walks read `Song::events` only
// after it.
void events_place(Song& p);
// event_store, which appends to the list as it stands, is defined with Song in
// project/project.h: the readers call it for every event of a file.

// Puts an event at clock 0 (placed at once, as a put from the first) into a free record:
// one that no event in the list holds. Notes and portaments also shorten the unit's last
// one before clock 0 to end there and remove the unit's later ones that start before this
// one ends. Returns 0 when no record is free.
int event_add_at_zero(Song& p, uint8_t unit_no, uint8_t kind, int32_t value);

int32_t events_end_clock(const Song& p);

// The readers of x1x to x3x hold every key within 0 to KEY_MAX.
constexpr int32_t KEY_MAX = 0xBFFF;

// What one walk over the events finds, made once a song is loaded (events_summarise) so that
// the loss report and warnings of every target take it without a walk of their own. Changes
// through the functions here drop it; code that changes `Song::events` itself must call
// events_changed.
struct EventSummary {
  size_t events = 0;              // the list's length when it was made
  std::vector<uint32_t> count;    // by unit (the 8-bit number events carry) x kind
  int64_t keys_out_of_range = 0;  // keys of clock 0 or later outside 0 to KEY_MAX
  int32_t end_clock = 0;          // the latest clock, notes and portaments to their ends
  // By unit, what a target tying units to woices plays otherwise: voice numbers naming their
  // own unit, group 0, and correct events at clock 0 carrying the x3x tuning of the unit's
  // qxVoice woice.
  uint32_t own_voice[256] = {};
  uint32_t group_zero[256] = {};
  uint32_t woice_tuning[256] = {};
};
EventSummary events_summary(const Song& p);
// Makes the song's summary, kept with it, and gives it.
const EventSummary& events_summarise(Song& p);
// The song's summary while its events are those it was made from; nullptr otherwise.
const EventSummary* events_summary_kept(const Song& p);
// The song's summary where it keeps one, else one made into `made`.
const EventSummary& events_summary_of(const Song& p, EventSummary& made);
void events_changed(Song& p);

void meas_num_update(Song& p, int32_t clock);
