// Non-material chunk writers. Event chunk sizes come from the same body description that
// writes the chunk (run once counting, once writing), so no seek is ever needed here.
#include "io/chunk_writers.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "bytes/bytes.h"
#include "io/song_reader.h"
#include "project/events.h"
#include "project/project.h"

void out_flush(BodyOut& o) {
  if (o.file && o.ok && o.pending > 0 && std::fwrite(o.buffer, 1, o.pending, o.file) != o.pending) {
    o.ok = false;
  }
  o.pending = 0;
}

namespace {

// Bytes go to the file through the body's own buffer: a chunk of a million events is
// written in a few hundred calls rather than a few million.
void out_raw(BodyOut& o, const uint8_t* b, size_t n) {
  o.size += static_cast<int32_t>(n);
  if (!o.file) return;
  if (o.pending + n > sizeof o.buffer) out_flush(o);
  if (n > sizeof o.buffer) {
    if (o.ok && std::fwrite(b, 1, n, o.file) != n) o.ok = false;
    return;
  }
  std::memcpy(o.buffer + o.pending, b, n);
  o.pending += n;
}

void out_le(BodyOut& o, uint32_t v, size_t n) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  out_raw(o, b, n);
}

}  // namespace

void out_u8(BodyOut& o, uint8_t v) {
  out_raw(o, &v, 1);
}

void out_u16(BodyOut& o, uint16_t v) {
  out_le(o, v, 2);
}

void out_u32(BodyOut& o, uint32_t v) {
  out_le(o, v, 4);
}

void out_f32(BodyOut& o, float v) {
  out_le(o, float_bits(v), 4);
}

void out_varint(BodyOut& o, uint32_t v) {
  uint8_t b[5];
  const int n = varint_size(v);
  for (int k = 0; k < n - 1; ++k) b[k] = static_cast<uint8_t>(0x80 | ((v >> (7 * k)) & 0x7F));
  b[n - 1] = static_cast<uint8_t>((v >> (7 * (n - 1))) & 0x7F);
  out_raw(o, b, static_cast<size_t>(n));
}

void out_bytes(BodyOut& o, const void* data, size_t n) {
  if (n > 0) out_raw(o, static_cast<const uint8_t*>(data), n);
}

namespace {

// Runs `body` once to count, then writes the u32 size and the body.
template <typename Body>
int write_sized_body(FILE* out, Body&& body) {
  BodyOut count;
  body(count);
  if (!write_u32(out, static_cast<uint32_t>(count.size))) return 0;
  BodyOut w;
  w.file = out;
  body(w);
  out_flush(w);
  return w.ok && w.size == count.size ? 1 : 0;
}

// 32-bit wrapping arithmetic, as the file fields hold it.
int32_t wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// A clock or length over the divisor of a tune's clocks. Most songs are not divided, and
// their events are walked without a division anywhere: one for every field of a million
// events would cost more than writing them.
template <bool DIVIDED>
struct Divisor {
  int64_t d;
  int64_t operator()(int64_t v) const {
    if constexpr (DIVIDED) {
      return v / d;
    } else {
      return v;
    }
  }
};

// Runs walk(divisor) with the divisor that fits d.
template <typename Walk>
void with_divisor(int64_t d, Walk&& walk) {
  if (d == 1) {
    walk(Divisor<false>{1});
  } else {
    walk(Divisor<true>{d});
  }
}

// The VarInt fields of the event chunks, written in place in the body's buffer; wherever
// one goes, five bytes must be free.
constexpr size_t VARINT_ROOM = 5;

int varint_length(uint32_t v) {
  return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : v < (1u << 28) ? 4 : 5;
}

uint8_t* put_varint(uint8_t* b, uint32_t v) {
  while (v >= 0x80) {
    *b++ = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  *b++ = static_cast<uint8_t>(v);
  return b;
}

// Room for `n` bytes at the end of the body's buffer (a file body only), and the bytes put
// there taken into the body.
uint8_t* out_room(BodyOut& o, size_t n) {
  if (o.pending + n > sizeof o.buffer) out_flush(o);
  return o.buffer + o.pending;
}

void out_took(BodyOut& o, std::ptrdiff_t n) {
  o.pending += static_cast<size_t>(n);
  o.size += static_cast<int32_t>(n);
}

void write_name_field(BodyOut& o, const char (&name)[NAME_FIELD_SIZE], int32_t name_len) {
  char field[NAME_FIELD_SIZE] = {};
  size_t n = static_cast<size_t>(std::clamp(name_len, 0, NAME_FIELD_SIZE));
  std::memcpy(field, name, n);
  out_bytes(o, field, sizeof field);
}

int write_text_chunk(Run& run, FILE* out, const char* tag, const std::string& text,
                     const char* failure) {
  if (!write_tag(out, tag)) {
    set_error_text(run, "write code");
    return 0;
  }
  if (!write_sized_body(out, [&](BodyOut& o) { out_bytes(o, text.data(), text.size()); })) {
    set_error_text(run, "%s", failure);
    return 0;
  }
  return 1;
}

}  // namespace

namespace {

// Kinds outside the table have no place.
bool in_table(int kind) {
  return kind >= 0 && kind < EVENT_KIND_NUM;
}

size_t tally_index(int unit_no, int kind) {
  return static_cast<size_t>(static_cast<uint8_t>(unit_no) * EVENT_KIND_NUM + kind);
}

}  // namespace

EventTally tally_new() {
  EventTally t;
  t.count.assign(EVENT_TALLY_SIZE, 0);
  return t;
}

EventTally tally_events(const Song& p, std::span<const Event> head) {
  // A loaded song's summary has the list's tally already.
  EventSummary made;
  EventTally t{events_summary_of(p, made).count};
  for (const Event& e : head) tally_add(t, e);
  return t;
}

bool unit_uses_kind(const EventTally& tally, int unit_no, int kind) {
  return in_table(kind) && !tally.count.empty() && tally.count[tally_index(unit_no, kind)] > 0;
}

float overdrive_old_strength(float cut) {
  return static_cast<float>(100.0 / (100.0 - static_cast<double>(cut)));
}

int write_texts(Run& run, const Song& p, FILE* out) {
  if (p.name_text && !write_text_chunk(run, out, "textNAME", *p.name_text, "write name")) {
    return 0;
  }
  if (p.comment_text && !write_text_chunk(run, out, "textCOMM", *p.comment_text, "write comment")) {
    return 0;
  }
  return 1;
}

int write_effects(Run& run, const Song& p, FILE* out, int layout) {
  for (const Delay& d : p.delays) {
    if (!d.in_use) break;
    if (!write_tag(out, "effeDELA")) {
      set_error_text(run, "write code");
      return 0;
    }
    if (!write_sized_body(out, [&](BodyOut& o) {
          out_u16(o, static_cast<uint16_t>(d.delay_unit));
          out_u16(o, static_cast<uint16_t>(d.group));
          out_f32(o, d.delay_value_a);
          out_f32(o, d.delay_value_b);
        })) {
      set_error_text(run, "write delay");
      return 0;
    }
  }
  for (size_t i = 0; i < p.overdrives.size(); ++i) {
    const Overdrive& od = p.overdrives[i];
    if (!od.in_use) break;
    const char* tag = layout == OVERDRIVE_STRAIN ? "effeSTRA" : "effeOVER";
    if (!write_tag(out, tag)) {
      set_error_text(run, "write code");
      return 0;
    }
    const auto group = static_cast<uint16_t>(od.group);
    if (layout == OVERDRIVE_OLD) {
      if (!write_sized_body(out, [&](BodyOut& o) {
            out_u16(o, group);
            out_u16(o, 0);
            out_f32(o, overdrive_old_strength(od.cut));
          })) {
        set_error_text(run, "write overdrive(old)");
        return 0;
      }
    } else if (layout == OVERDRIVE_STRAIN) {
      if (!write_sized_body(out, [&](BodyOut& o) {
            out_u16(o, group);
            out_u16(o, 0);
            out_f32(o, od.cut);
            out_f32(o, od.cut);
            out_f32(o, od.amp);
          })) {
        set_error_text(run, "write strain");
        return 0;
      }
    } else {
      if (!write_sized_body(out, [&](BodyOut& o) {
            out_u16(o, 0);
            out_u16(o, group);
            out_f32(o, od.cut);
            out_f32(o, od.amp);
            out_u32(o, 0);
          })) {
        set_error_text(run, "write overdrive");
        return 0;
      }
    }
  }
  return 1;
}

int write_master_events(const Song& p, FILE* out, int clock_divisor) {
  const int64_t d = clock_divisor > 0 ? clock_divisor : 1;
  const int32_t c = wrap32(p.beat_clock / d);
  const uint32_t tempo_bits = float_bits(p.beat_tempo);
  const int32_t n = p.beat_num;
  const int32_t r = wrap32(static_cast<int64_t>(p.beat_num) * p.repeat_meas * p.beat_clock);
  const int32_t e = wrap32(static_cast<int64_t>(p.beat_num) * p.last_meas * p.beat_clock);
  struct Triple {
    uint32_t kind, delta, value;
  };
  Triple triples[5];
  uint32_t count = 0;
  triples[count++] = {EVENT_BEAT_CLOCK, 0, static_cast<uint32_t>(c)};
  triples[count++] = {EVENT_BEAT_TEMPO, 0, tempo_bits};
  triples[count++] = {EVENT_BEAT_NUM, 0, static_cast<uint32_t>(n)};
  if (r != 0) triples[count++] = {EVENT_REPEAT, static_cast<uint32_t>(wrap32(r / d)), 0};
  if (e != 0) {
    // From the divided repeat position, so that the last one reads back as e / d.
    const int64_t last_delta = r > 0 ? e / d - r / d : e / d;
    triples[count++] = {EVENT_LAST, static_cast<uint32_t>(wrap32(last_delta)), 0};
  }
  return write_sized_body(out, [&](BodyOut& o) {
    out_u32(o, 3);
    out_u32(o, count);
    for (uint32_t i = 0; i < count; ++i) {
      out_varint(o, triples[i].kind);
      out_varint(o, triples[i].delta);
      out_varint(o, triples[i].value);
    }
  });
}

int write_events_v5(const Song& p, FILE* out, int clock_divisor, std::span<const Event> head) {
  const int64_t d = clock_divisor > 0 ? clock_divisor : 1;
  const auto count = static_cast<uint32_t>(head.size() + p.events.size());
  return write_sized_body(out, [&](BodyOut& o) {
    out_u32(o, count);
    with_divisor(d, [&](auto div) {
      int64_t prev = 0;
      uint32_t delta, value;
      // The two VarInt fields of an event after the one at clock `prev`.
      const auto fields = [&](const Event& e) {
        delta = static_cast<uint32_t>(wrap32(div(e.clock) - div(prev)));
        const bool length = e.kind == EVENT_ON || e.kind == EVENT_PORTAMENT;
        value = static_cast<uint32_t>(length ? wrap32(div(e.value)) : e.value);
        prev = e.clock;
      };
      if (!o.file) {  // the size alone
        int64_t size = 0;
        const auto count_one = [&](const Event& e) {
          fields(e);
          size += 2 + varint_length(delta) + varint_length(value);
        };
        for (const Event& e : head) count_one(e);
        for (const Event& e : p.events) count_one(e);
        o.size = wrap32(o.size + size);
        return;
      }
      const auto put = [&](const Event& e) {
        fields(e);
        uint8_t* b = out_room(o, 5 + 2 + VARINT_ROOM);
        uint8_t* at = put_varint(b, delta);
        *at++ = e.unit_no;
        *at++ = e.kind;
        out_took(o, put_varint(at, value) - b);
      };
      for (const Event& e : head) put(e);
      for (const Event& e : p.events) put(e);
    });
  });
}

void warn_unsupported_kinds(Run& run, const EventTally& tally, int unit_no, int kind_limit,
                            int kind_end) {
  for (int k = std::max(1, kind_limit); k < std::min(kind_end, EVENT_KIND_NUM); ++k) {
    if (!unit_uses_kind(tally, unit_no, k)) continue;
    // The line is said once a kind; the record counts every unit's events.
    record_loss_of(run, LOSS_DROPPED_KIND, EVENT_KIND_NAMES[k], static_cast<uint8_t>(unit_no),
                   std::nullopt, tally.count[tally_index(unit_no, k)]);
    if (run.kind_warned[k]) continue;
    run.kind_warned[k] = true;
    print_text(run,
               "\n- WARNING: this format doesn't support '%s' event. The output file will discard "
               "it to avoid issues! -",
               EVENT_KIND_NAMES[k]);
  }
}

namespace {

// The key stored so that adding the reader's shift gives `key` back.
int32_t unshifted_key(int64_t key, int32_t key_shift) {
  return static_cast<int32_t>(std::clamp<int64_t>(key - key_shift, INT32_MIN, INT32_MAX));
}

int32_t key_shift_of(const EventChunkRule& rule, int unit_no) {
  const auto u = static_cast<size_t>(unit_no);
  return unit_no >= 0 && u < rule.key_shift.size() ? rule.key_shift[u] : 0;
}

// Where the entries of one chunk go while the walk encodes them: kept apart from the chunks
// in half a cache line each, as the walk goes from chunk to chunk at every event.
struct EntryPlace {
  uint8_t* put = nullptr;  // where the next entry goes
  uint8_t* room_end = nullptr;
  uint32_t at = 0;  // the clock the reader stands at after the entries so far (divided),
                    // as the 32 bits a delta is counted in
  uint32_t count = 0;
  int32_t key_shift = 0;
  bool written = false;  // whether the target writes the chunk
  bool lengths = false;  // values are lengths: divided as clocks, and x1x counts from their end
};

// The bytes put into the chunk's last block counted in, as the block is left.
void close_block(EventChunk& c, const EntryPlace& place) {
  if (!c.last) return;
  c.last->used = static_cast<uint32_t>(place.put - c.last->bytes);
  c.bytes += c.last->used;
}

// Room for a first slab that holds, at a few bytes an entry, every entry of most songs.
size_t first_slab_blocks(size_t events, size_t chunks) {
  return std::max<size_t>(64, events * 4 / EVENT_BLOCK_BYTES + chunks);
}

void take_block(EventChunks& out, EventChunk& c, EntryPlace& place) {
  close_block(c, place);
  if (out.slab_taken == out.slab_blocks) {
    const size_t blocks = std::max<size_t>(out.next_slab_blocks, 1);
    const size_t bytes = blocks * sizeof(EventBlock);
    std::unique_ptr<std::byte[], LargeArrayFree> slab(
        static_cast<std::byte*>(large_array_allocate(bytes)), LargeArrayFree{bytes});
    out.slabs.push_back(std::move(slab));
    out.slab_blocks = blocks;
    out.slab_taken = 0;
    out.next_slab_blocks = 2 * blocks;
  }
  auto* b = new (out.slabs.back().get() + out.slab_taken++ * sizeof(EventBlock)) EventBlock;
  if (c.last) {
    c.last->next = b;
  } else {
    c.first = b;
  }
  c.last = b;
  place.put = b->bytes;
  place.room_end = b->bytes + EVENT_BLOCK_BYTES;
}

// Appends the entry of event e to its chunk; `legacy` for x1x timing.
template <typename Div>
inline void encode_entry(EventChunks& out, EventChunk& c, EntryPlace& place, const Event& e,
                         bool legacy, Div div) {
  const int64_t clock = div(e.clock);
  int64_t value = place.lengths ? div(e.value) : e.value;
  const uint32_t delta = static_cast<uint32_t>(clock) - place.at;
  // x1x counts the next note from the end of this one, as its length was written.
  place.at = static_cast<uint32_t>(legacy && place.lengths ? clock + value : clock);
  // The reader leaves keys before clock 0 as they stand.
  if (place.key_shift != 0 && e.clock >= 0) value = unshifted_key(value, place.key_shift);
  if (place.room_end - place.put < static_cast<std::ptrdiff_t>(5 + VARINT_ROOM)) {
    take_block(out, c, place);
  }
  place.put = put_varint(put_varint(place.put, delta), static_cast<uint32_t>(wrap32(value)));
  ++place.count;
}

}  // namespace

EventChunks encode_event_chunks(const Song& p, std::span<const Event> head, EventChunkRule rule) {
  EventChunks out;
  out.rule = std::move(rule);
  // Units written only: the unit numbers events carry go up to 255, the units rarely past 50.
  const int32_t units = std::clamp<int32_t>(out.rule.units, 0, 256);
  out.chunks.resize(static_cast<size_t>(units) * EVENT_KIND_NUM);
  out.next_slab_blocks = first_slab_blocks(head.size() + p.events.size(), out.chunks.size());
  const int kind_end = std::min(out.rule.kind_limit, EVENT_KIND_NUM);
  std::vector<EntryPlace> places(out.chunks.size());
  for (int u = 0; u < units; ++u) {
    for (int k = EVENT_ON; k < kind_end; ++k) {
      EntryPlace& place = places[tally_index(u, k)];
      place.written = true;
      place.lengths = k == EVENT_ON || k == EVENT_PORTAMENT;
      place.key_shift = k == EVENT_KEY ? key_shift_of(out.rule, u) : 0;
    }
  }
  // Held apart from the chunks, which the entries' bytes could otherwise be taken to change.
  const bool legacy = out.rule.legacy_timing != 0;
  EventChunk* chunks = out.chunks.data();
  EntryPlace* at = places.data();
  with_divisor(std::max(out.rule.clock_divisor, 1), [&](auto div) {
    const auto take = [&](const Event& e) {
      if (e.kind >= EVENT_KIND_NUM || e.unit_no >= units) return;
      const size_t i = tally_index(e.unit_no, e.kind);
      if (at[i].written) encode_entry(out, chunks[i], at[i], e, legacy, div);
    };
    for (const Event& e : head) take(e);
    for (const Event& e : p.events) take(e);
  });
  for (size_t i = 0; i < out.chunks.size(); ++i) {
    close_block(out.chunks[i], places[i]);
    out.chunks[i].count = places[i].count;
  }
  return out;
}

namespace {

int write_chunk_body(FILE* out, const EventChunks& chunks, const EventChunk& c, int unit_no,
                     int kind) {
  const int32_t key_shift = key_shift_of(chunks.rule, unit_no);
  return write_sized_body(out, [&](BodyOut& o) {
    out_u16(o, static_cast<uint16_t>(unit_no));
    out_u16(o, static_cast<uint16_t>(kind));
    out_u32(o, 2);
    if (c.count == 0 && kind == EVENT_KEY && key_shift != 0) {
      out_u32(o, 1);
      out_varint(o, 0);
      out_varint(o, static_cast<uint32_t>(unshifted_key(DEFAULT_KEY, key_shift)));
      return;
    }
    out_u32(o, c.count);
    if (!o.file) {
      o.size = wrap32(o.size + c.bytes);
      return;
    }
    for (const EventBlock* b = c.first; b; b = b->next) out_bytes(o, b->bytes, b->used);
  });
}

}  // namespace

int write_unit_events(Run& run, FILE* out, const EventChunks& chunks, int unit_no) {
  const EventChunkRule& rule = chunks.rule;
  const int32_t key_shift = key_shift_of(rule, unit_no);
  for (int k = 1; k < std::min(rule.kind_limit, EVENT_KIND_NUM); ++k) {
    const size_t at = tally_index(unit_no, k);
    const EventChunk* c = at < chunks.chunks.size() ? &chunks.chunks[at] : nullptr;
    const bool added_key = k == EVENT_KEY && key_shift != 0;
    if (!added_key && (!c || c->count == 0)) continue;
    if (!write_tag(out, rule.legacy_timing ? "EVENT===" : "evenUNIT")) {
      set_error_text(run, "write code");
      return 0;
    }
    const EventChunk none;
    if (!write_chunk_body(out, chunks, c ? *c : none, unit_no, k)) {
      set_error_text(run, "write event");
      return 0;
    }
  }
  return 1;
}

int write_event_chunk(FILE* out, std::span<const Event> events, int unit_no, int kind,
                      int legacy_timing, int clock_divisor, int32_t key_shift) {
  EventChunks chunks;
  chunks.rule.legacy_timing = legacy_timing;
  chunks.rule.clock_divisor = clock_divisor;
  const auto u = static_cast<size_t>(std::max(unit_no, 0));
  chunks.rule.key_shift.assign(u + 1, 0);
  chunks.rule.key_shift[u] = key_shift;
  chunks.next_slab_blocks = first_slab_blocks(events.size(), 1);
  EventChunk c;
  EntryPlace place;
  place.lengths = kind == EVENT_ON || kind == EVENT_PORTAMENT;
  place.key_shift = kind == EVENT_KEY ? key_shift : 0;
  with_divisor(std::max(clock_divisor, 1), [&](auto div) {
    for (const Event& e : events) encode_entry(chunks, c, place, e, legacy_timing != 0, div);
  });
  close_block(c, place);
  c.count = place.count;
  return write_chunk_body(out, chunks, c, unit_no, kind);
}

int write_unit_num(FILE* out, int32_t unit_count) {
  return write_sized_body(out, [&](BodyOut& o) {
    out_u16(o, static_cast<uint16_t>(unit_count));
    out_u16(o, 0);
  });
}

namespace {

int write_assist(Run& run, FILE* out, const char* tag, const char (&name)[NAME_FIELD_SIZE],
                 int32_t name_len, int index, const char* failure) {
  if (!write_tag(out, tag)) {
    set_error_text(run, "write code");
    return 0;
  }
  if (!write_sized_body(out, [&](BodyOut& o) {
        out_u16(o, static_cast<uint16_t>(index));
        out_u16(o, 0);
        write_name_field(o, name, name_len);
      })) {
    set_error_text(run, "%s", failure);
    return 0;
  }
  return 1;
}

}  // namespace

int write_woice_name(Run& run, FILE* out, int tune_input, const Woice& woice, int index) {
  if (tune_input || woice.name_len <= 0) return 1;
  return write_assist(run, out, "assiWOIC", woice.name, woice.name_len, index, "write voice name");
}

int write_unit_name(Run& run, FILE* out, int tune_input, const Unit& unit, int index) {
  if (tune_input || unit.name_len <= 0) return 1;
  return write_assist(run, out, "assiUNIT", unit.name, unit.name_len, index, "write unit name");
}

int write_end(Run& run, FILE* out, int legacy) {
  if (!write_tag(out, legacy ? "END=====" : "qxsongND")) {
    set_error_text(run, "write end");
    return 0;
  }
  if (!write_u32(out, 0)) {
    set_error_text(run, "write end size");
    return 0;
  }
  return 1;
}
