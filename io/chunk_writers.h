// Writers of the non-material chunks of song files: texts, effects, master data, events,
// unit count, assist names and the end chunk, in each generation's layout (overdrive
// layouts, the event kinds it holds, divided tune clocks, x1x timing).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "platform/memory.h"
#include "project/events.h"
#include "project/targets.h"

struct Run;
struct Song;
struct Unit;
struct Woice;

// Tune clocks are divided where they stand and the deltas taken between divided clocks, so
// that truncation never adds up: every event reads back at its own clock / 10.
constexpr int TUNE_CLOCK_DIVISOR = 10;
// The beat clock of tunes made by the older editors: such tunes are not divided.
constexpr int TUNE_OLD_BEAT_CLOCK = 480;

// A chunk body described once and run twice: first with no file to count its bytes (the
// chunk size), then with the file to write them. Size and body cannot disagree.
struct BodyOut {
  FILE* file = nullptr;  // nullptr: count only
  int32_t size = 0;
  bool ok = true;
  uint8_t buffer[4096];  // not yet in the file; out_flush puts it there
  size_t pending = 0;
};
void out_flush(BodyOut& o);
void out_u8(BodyOut& o, uint8_t v);
void out_u16(BodyOut& o, uint16_t v);
void out_u32(BodyOut& o, uint32_t v);
void out_f32(BodyOut& o, float v);
void out_varint(BodyOut& o, uint32_t v);
void out_bytes(BodyOut& o, const void* data, size_t n);

// The strength stored in an old-layout overdrive record: the reader turns it back into
// cut = 100 - 100 / strength.
float overdrive_old_strength(float cut);

// Each returns 1 on success, 0 on failure (with the ErrorText set where a text is named).
int write_texts(Run& run, const Song& song, FILE* out);
int write_effects(Run& run, const Song& song, FILE* out, int layout);
int write_master_events(const Song& song, FILE* out, int clock_divisor);
// `head`: events the target's copy puts before the song's own (see io/downgrade.h).
int write_events_v5(const Song& song, FILE* out, int clock_divisor,
                    std::span<const Event> head = {});

// How many events of each kind every unit has, from one walk over the list. The warnings ask
// about every unit and kind; walking the list for each would cost events x units x kinds.
struct EventTally {
  std::vector<uint32_t> count;  // indexed by unit (the 8-bit number events carry) x kind
};
constexpr int EVENT_TALLY_SIZE = 256 * EVENT_KIND_NUM;
EventTally tally_events(const Song& song, std::span<const Event> head = {});
// A tally of no events, and one event counted in (kinds outside the table are not), for
// tallies of some of the events.
EventTally tally_new();
inline void tally_add(EventTally& t, const Event& e) {
  if (e.kind < EVENT_KIND_NUM) ++t.count[static_cast<size_t>(e.unit_no * EVENT_KIND_NUM + e.kind)];
}
bool unit_uses_kind(const EventTally& tally, int unit_no, int kind);

// How a target writes its event chunks: the kinds below `kind_limit` (kind 0 never), the
// units below `units`, x1x timing, the divisor of a tune's clocks, and for each unit the
// shift the reader of x1x to x3x will add to its keys (none where `key_shift` is short).
struct EventChunkRule {
  int kind_limit = EVENT_KIND_NUM;
  int32_t units = 0;
  int legacy_timing = 0;
  int clock_divisor = 1;
  std::vector<int32_t> key_shift;
};
// The entries of every event chunk a target writes, encoded as the chunks hold them in one
// walk over the list (the head's events first), each chunk's into blocks taken as it grows:
// built after the last change to the events.
constexpr size_t EVENT_BLOCK_BYTES = 1008;
struct EventBlock {
  EventBlock() {}  // the bytes are written before they are read: not zeroed first
  uint8_t bytes[EVENT_BLOCK_BYTES];
  EventBlock* next = nullptr;
  uint32_t used = 0;
};
struct EventChunk {
  uint32_t count = 0;
  int64_t bytes = 0;
  EventBlock* first = nullptr;
  EventBlock* last = nullptr;  // while encoding: blocks stay where they are as more are taken
};
struct EventChunks {
  EventChunkRule rule;
  std::vector<EventChunk> chunks;  // by unit x kind, for the units written
  // The blocks are taken in turn from slabs that never move, the first sized for the song and
  // each after it twice the one before: a million entries take a few allocations, large
  // enough for large pages.
  std::vector<std::unique_ptr<std::byte[], LargeArrayFree>> slabs;
  size_t slab_blocks = 0;       // in the last slab
  size_t slab_taken = 0;        // of those
  size_t next_slab_blocks = 0;  // in the slab taken when that one is full
};
EventChunks encode_event_chunks(const Song& song, std::span<const Event> head, EventChunkRule rule);

// Warns once a conversion of each kind from `kind_limit` up to `kind_end` that the unit uses.
void warn_unsupported_kinds(Run& run, const EventTally& tally, int unit_no, int kind_limit,
                            int kind_end = EVENT_KIND_NUM);
// The unit's event chunks, one for each kind below the rule's limit that it has. The rule's
// key shift of the unit is what the reader of an x1x to x3x target will add to every key of
// the unit (its woice's basic key minus KEY_ORIGIN): the keys were encoded less that shift,
// and a unit without keys gets the one key event that reads back as DEFAULT_KEY, so the song
// plays at its own pitch there.
int write_unit_events(Run& run, FILE* out, const EventChunks& chunks, int unit_no);
// The body of one chunk holding `events`, all of that unit and kind, in list order.
int write_event_chunk(FILE* out, std::span<const Event> events, int unit_no, int kind,
                      int legacy_timing, int clock_divisor, int32_t key_shift = 0);
int write_unit_num(FILE* out, int32_t unit_count);
int write_woice_name(Run& run, FILE* out, int tune_input, const Woice& woice, int index);
int write_unit_name(Run& run, FILE* out, int tune_input, const Unit& unit, int index);
int write_end(Run& run, FILE* out, int legacy);
