// Song reading: the event pre-count over the chunks, the chunk loop, and the fix-ups that
// turn the per-woice keys and tunings of generations 1 to 3 into events.
#include "io/song_reader.h"

#include <algorithm>

#include "bytes/field_reader.h"
#include "io/chunk_reader.h"
#include "io/file_header.h"
#include "project/project.h"

namespace {

enum EntryShape { MASTER_ENTRY, UNIT_ENTRY, V5_ENTRY };

// Reads count entries of one shape; 1 when every one was read. The source stands after the
// last byte read either way: the pre-count goes on from there.
int skip_entries(ByteSource& s, uint64_t count, EntryShape shape) {
  const uint64_t most = shape == MASTER_ENTRY ? 3 * VARINT_MOST
                        : shape == UNIT_ENTRY ? 2 * VARINT_MOST
                                              : 2 * VARINT_MOST + 2;
  FieldReader r = field_reader(s, count * most);
  uint64_t i = 0;
  uint32_t v;
  uint8_t b[2];
  switch (shape) {
    case MASTER_ENTRY:
      while (i < count && field_varint(r, &v) && field_varint(r, &v) && field_varint(r, &v)) ++i;
      break;
    case UNIT_ENTRY:
      while (i < count && field_varint(r, &v) && field_varint(r, &v)) ++i;
      break;
    case V5_ENTRY:
      while (i < count && field_varint(r, &v) && field_bytes(r, b, 2) && field_varint(r, &v)) ++i;
      break;
  }
  return field_reader_done(r) && i == count;
}

struct UnitEventsHeader {
  uint32_t size;
  uint16_t unit, kind, data_kind, reserved;
  uint32_t count;
};

int read_unit_events_header(ByteSource& s, UnitEventsHeader& h) {
  return read_u32(s, &h.size) && read_u16(s, &h.unit) && read_u16(s, &h.kind) &&
         read_u16(s, &h.data_kind) && read_u16(s, &h.reserved) && read_u32(s, &h.count);
}

int read_master_events_header(ByteSource& s, uint16_t* data_kind, int32_t* count) {
  uint32_t size;
  uint16_t reserved;
  return read_u32(s, &size) && read_u16(s, data_kind) && read_u16(s, &reserved) &&
         read_i32(s, count);
}

bool is_legacy(ChunkCode c) {
  return c >= CHUNK_PROJECT_OLD && c <= CHUNK_END_OLD;
}

// Generation 1: the records the chunks hold, as far as they can be walked (the chunk loop
// finds and reports any fault itself).
int64_t count_legacy_events(ByteSource& s) {
  int64_t total = 0;
  for (;;) {
    uint8_t tag[8];
    if (!read_bytes(tag, 8, 1, s)) return total;
    const ChunkCode code = chunk_code(tag);
    switch (code) {
      case CHUNK_NONE:
      case CHUNK_END:
      case CHUNK_END_OLD:
        return total;
      case CHUNK_EVENT_OLD:
      case CHUNK_EVEN_UNIT: {
        UnitEventsHeader h;
        if (!read_unit_events_header(s, h) || h.data_kind != 2 ||
            !skip_entries(s, h.count, UNIT_ENTRY)) {
          return total;
        }
        total += h.count;
        break;
      }
      case CHUNK_EVEN_MAST: {
        uint16_t data_kind;
        int32_t count;
        if (!read_master_events_header(s, &data_kind, &count) || data_kind != 3 || count < 0 ||
            !skip_entries(s, static_cast<uint64_t>(count), MASTER_ENTRY)) {
          return total;
        }
        total += count;
        break;
      }
      case CHUNK_EVENT_V5: {
        uint32_t size;
        int32_t count;
        if (!read_u32(s, &size) || !read_i32(s, &count)) return total;
        if (count > 0) {
          if (!skip_entries(s, static_cast<uint64_t>(count), V5_ENTRY)) return total;
          total += count;
        }
        break;
      }
      default: {
        uint32_t size;
        if (!read_u32(s, &size) || !source_seek(s, size, SEEK_CUR)) return total;
        break;
      }
    }
  }
}

// Generations 2 to 5: a chunk that cannot be counted adds nothing, and the walk goes on
// from wherever it stands.
int64_t count_chunk_events(Project& p, ByteSource& s, int generation, EventsReadAhead* ahead) {
  int64_t total = 0;
  for (;;) {
    uint8_t tag[8];
    if (!read_bytes(tag, 8, 1, s)) {
      set_error_text(p, "read.");
      return 0;
    }
    const ChunkCode code = chunk_code(tag);
    if (code == CHUNK_NONE || is_legacy(code)) return 0;
    switch (code) {
      case CHUNK_END:
        if (generation <= 3) total += OLD_GENERATION_EVENT_RESERVE;
        return total;
      case CHUNK_EVEN_MAST: {
        uint16_t data_kind;
        int32_t count;
        // A negative count is refused by the chunk loop; it reserves nothing.
        if (read_master_events_header(s, &data_kind, &count) && data_kind == 3 && count > 0 &&
            skip_entries(s, static_cast<uint64_t>(count), MASTER_ENTRY)) {
          total += count;
        }
        break;
      }
      case CHUNK_EVEN_UNIT: {
        UnitEventsHeader h;
        if (read_unit_events_header(s, h) && h.data_kind == 2 &&
            skip_entries(s, h.count, UNIT_ENTRY)) {
          total += h.count;
        }
        break;
      }
      case CHUNK_MASTER_V5: {
        uint32_t size;
        uint8_t body[15];
        if (read_u32(s, &size) && size == sizeof body && read_bytes(body, sizeof body, 1, s)) {
          total += 5;
        }
        break;
      }
      case CHUNK_EVENT_V5: {
        uint32_t size;
        int32_t count;
        if (!read_u32(s, &size) || !read_i32(s, &count) || count <= 0) break;
        // The first chunk's entries are kept for the chunk loop, which then need not read
        // them again; any other's are skipped.
        const int kept = ahead && ahead->at < 0 ? read_event_v5_ahead(s, count, *ahead) : -1;
        if (kept > 0 || (kept < 0 && skip_entries(s, static_cast<uint64_t>(count), V5_ENTRY))) {
          total += count;
        }
        break;
      }
      default: {
        uint32_t size;
        if (!read_u32(s, &size)) {
          set_error_text(p, "read.");
          return 0;
        }
        if (!source_seek(s, size, SEEK_CUR)) {
          set_error_text(p, "seek.");
          return 0;
        }
        break;
      }
    }
  }
}

int fail_read(Project& p) {
  project_clear(p);
  events_clear(p);
  return 0;
}

// Units and woices go together by index in generations 1 to 3: each unit's keys are moved by
// its woice's basic key, and a woice's tuning becomes a correct event of its unit. A unit
// without keys first gets the default key, which is moved with the others.
int apply_woice_keys(Project& p) {
  const int32_t n = unit_count(p);
  if (leading_woice_count(p) < n) {
    set_error_text(p, "unit without woice.");
    return 0;
  }
  // One walk over the list for all units, not one for each; events carry 8-bit units.
  bool has_key[256] = {};
  for (const Event& e : p.events) {
    if (e.kind == EVENT_KEY) has_key[e.unit_no] = true;
  }
  for (int32_t u = 0; u < n; ++u) {
    const auto unit = static_cast<uint8_t>(u);
    if (has_key[unit]) continue;
    if (!event_add_at_zero(p, unit, EVENT_KEY, DEFAULT_KEY)) {
      set_error_text(p, "fix-up event.");
      return 0;
    }
    has_key[unit] = true;
  }
  for (Event& e : p.events) {
    if (e.kind != EVENT_KEY || e.clock < 0) continue;
    for (int32_t u = e.unit_no; u < n; u += 256) {
      const int64_t shift =
          static_cast<int64_t>(p.woices[static_cast<size_t>(u)]->x3x_basic_key) - KEY_ORIGIN;
      e.value = static_cast<int32_t>(std::clamp<int64_t>(e.value + shift, 0, KEY_MAX));
    }
  }
  for (int32_t k = 0; k < n; ++k) {
    const float tuning = p.woices[static_cast<size_t>(k)]->x3x_tuning;
    if (tuning != 0.0f && !event_add_at_zero(p, static_cast<uint8_t>(k), EVENT_CORRECT,
                                             static_cast<int32_t>(float_bits(tuning)))) {
      set_error_text(p, "fix-up event.");
      return 0;
    }
  }
  return 1;
}

}  // namespace

int32_t count_events(Project& p, ByteSource& s, EventsReadAhead* ahead) {
  int generation = 0;
  if (!read_file_header(p, s, &generation, nullptr)) return 0;
  int64_t total;
  if (generation == 1) {
    // Sized from what the file holds, with room for the records the unit chunks and the
    // fix-ups add (at most four a unit); never below the old fixed capacity.
    total = std::max<int64_t>(LEGACY_EVENT_CAPACITY,
                              count_legacy_events(s) + OLD_GENERATION_EVENT_RESERVE);
  } else {
    total = count_chunk_events(p, s, generation, ahead);
  }
  if (total <= 0 || total > INT32_MAX) return 0;
  return static_cast<int32_t>(total);
}

int read_song(Project& p, ByteSource& s, int* tune_flag, EventsReadAhead* ahead) {
  project_clear(p);
  int generation = 0;
  if (!read_file_header(p, s, &generation, nullptr)) return fail_read(p);
  events_clear(p);
  if (!read_chunks(p, s, ahead)) return fail_read(p);
  // The chunks of unit events put theirs one unit and kind at a time: placed here at once.
  events_place(p);
  if (generation <= 3 && !apply_woice_keys(p)) return fail_read(p);
  if (p.beat_clock != 480 && tune_flag) *tune_flag = 1;
  const int64_t master_end =
      static_cast<int64_t>(p.beat_num) * p.last_meas * static_cast<int64_t>(p.beat_clock);
  const int64_t end = std::max<int64_t>(events_summarise(p).end_clock, master_end);
  meas_num_update(p, static_cast<int32_t>(std::clamp<int64_t>(end, INT32_MIN, INT32_MAX)));
  return 1;
}
