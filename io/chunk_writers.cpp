// Non-material chunk writers. Event chunk sizes come from the same body description that
// writes the chunk (run once counting, once writing), so no seek is ever needed here.
#include "io/chunk_writers.h"

#include <algorithm>
#include <cstring>
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

void tally_add(EventTally& t, const Event& e) {
  if (in_table(e.kind)) ++t.count[tally_index(e.unit_no, e.kind)];
}

EventTally tally_events(const Song& p, std::span<const Event> head) {
  EventTally t = tally_new();
  for (const Event& e : head) tally_add(t, e);
  for (const Event& e : p.events) tally_add(t, e);
  return t;
}

bool unit_uses_kind(const EventTally& tally, int unit_no, int kind) {
  return in_table(kind) && !tally.count.empty() && tally.count[tally_index(unit_no, kind)] > 0;
}

EventGroups group_events(const Song& p, const EventTally& tally, std::span<const Event> head) {
  EventGroups g;
  g.head = head;
  g.events = p.events;
  g.start.assign(EVENT_TALLY_SIZE + 1, 0);
  for (size_t i = 0; i < EVENT_TALLY_SIZE; ++i) {
    g.start[i + 1] = g.start[i] + (i < tally.count.size() ? tally.count[i] : 0);
  }
  g.order.resize(g.start.back());
  // Taken in list order, so every group keeps it; a tally of another list cannot overrun.
  std::vector<uint32_t> next(g.start.begin(), g.start.end() - 1);
  uint32_t index = 0;
  const auto take = [&](const Event& e) {
    if (in_table(e.kind)) {
      const size_t i = tally_index(e.unit_no, e.kind);
      if (next[i] < g.start[i + 1]) g.order[next[i]++] = index;
    }
    ++index;
  };
  for (const Event& e : head) take(e);
  for (const Event& e : p.events) take(e);
  return g;
}

EventRun events_of(const EventGroups& groups, int unit_no, int kind) {
  if (!in_table(kind) || groups.start.empty()) return {};
  const size_t i = tally_index(unit_no, kind);
  return {std::span<const uint32_t>(groups.order)
              .subspan(groups.start[i], groups.start[i + 1] - groups.start[i]),
          groups.head, groups.events};
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
    int64_t prev = 0;
    const auto put = [&](const Event& e) {
      const int32_t delta = wrap32(e.clock / d - prev / d);
      int32_t value = e.value;
      if (e.kind == EVENT_ON || e.kind == EVENT_PORTAMENT) value = wrap32(value / d);
      out_varint(o, static_cast<uint32_t>(delta));
      out_u8(o, e.unit_no);
      out_u8(o, e.kind);
      out_varint(o, static_cast<uint32_t>(value));
      prev = e.clock;
    };
    for (const Event& e : head) put(e);
    for (const Event& e : p.events) put(e);
  });
}

void warn_unsupported_kinds(Run& run, const EventTally& tally, int unit_no, int kind_limit,
                            int kind_end) {
  for (int k = std::max(1, kind_limit); k < std::min(kind_end, EVENT_KIND_NUM); ++k) {
    if (run.kind_warned[k] || !unit_uses_kind(tally, unit_no, k)) continue;
    run.kind_warned[k] = true;
    print_text(run,
               "\n- WARNING: this format doesn't support '%s' event. The output file will discard "
               "it to avoid issues! -",
               EVENT_KIND_NAMES[k]);
  }
}

int write_unit_events(Run& run, FILE* out, const EventGroups& groups, int unit_no, int kind_limit,
                      int legacy_timing, int clock_divisor, int32_t key_shift) {
  for (int k = 1; k < std::min(kind_limit, EVENT_KIND_NUM); ++k) {
    const EventRun events = events_of(groups, unit_no, k);
    const bool added_key = k == EVENT_KEY && key_shift != 0;
    if (!added_key && events.empty()) continue;
    if (!write_tag(out, legacy_timing ? "EVENT===" : "evenUNIT")) {
      set_error_text(run, "write code");
      return 0;
    }
    if (!write_event_chunk(out, events, unit_no, k, legacy_timing, clock_divisor, key_shift)) {
      set_error_text(run, "write event");
      return 0;
    }
  }
  return 1;
}

namespace {

// The key stored so that adding the reader's shift gives `key` back.
int32_t unshifted_key(int64_t key, int32_t key_shift) {
  return static_cast<int32_t>(std::clamp<int64_t>(key - key_shift, INT32_MIN, INT32_MAX));
}

}  // namespace

int write_event_chunk(FILE* out, const EventRun& events, int unit_no, int kind, int legacy_timing,
                      int clock_divisor, int32_t key_shift) {
  const bool has_length = kind == EVENT_ON || kind == EVENT_PORTAMENT;
  const bool shift_keys = kind == EVENT_KEY && key_shift != 0;
  const auto count = static_cast<uint32_t>(events.size());
  return write_sized_body(out, [&](BodyOut& o) {
    out_u16(o, static_cast<uint16_t>(unit_no));
    out_u16(o, static_cast<uint16_t>(kind));
    out_u32(o, 2);
    if (count == 0 && shift_keys) {
      out_u32(o, 1);
      out_varint(o, 0);
      out_varint(o, static_cast<uint32_t>(unshifted_key(DEFAULT_KEY, key_shift)));
      return;
    }
    out_u32(o, count);
    const int64_t d = clock_divisor > 1 ? clock_divisor : 1;
    // Where the reader stands, in divided clocks.
    int64_t at = 0;
    for (size_t k = 0; k < count; ++k) {
      const Event& e = events[k];
      const int64_t clock = e.clock / d;
      int64_t value = has_length ? e.value / d : e.value;
      const int64_t delta = clock - at;
      at = clock;
      // x1x counts the next note from the end of this one, as its length was written.
      if (legacy_timing && has_length) at = clock + value;
      // The reader leaves keys before clock 0 as they stand.
      if (shift_keys && e.clock >= 0) value = unshifted_key(value, key_shift);
      out_varint(o, static_cast<uint32_t>(wrap32(delta)));
      out_varint(o, static_cast<uint32_t>(wrap32(value)));
    }
  });
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
