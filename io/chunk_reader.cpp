// The chunk loop and the handlers of the non-material chunks of generations 2 to 5. The
// legacy records live in legacy_reader.cpp, the material chunks in material_chunks.cpp.
#include "io/chunk_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "bytes/bytes.h"
#include "bytes/field_reader.h"
#include "io/material_chunks.h"
#include "project/project.h"

namespace {

struct ChunkEntry {
  const char* tag;
  const char* failure_text;
};

// Indexed by ChunkCode.
const ChunkEntry CHUNK_TABLE[CHUNK_CODE_NUM] = {
    {"", ""},
    {"PROJECT=", "read project(old)."},
    {"UNIT====", "read unit(old)."},
    {"matePCM=", "read pcm(old)."},
    {"EVENT===", "read event(old)."},
    {"END=====", ""},
    {"qxsgUNIT", "read unit."},
    {"evenMAST", "read master."},
    {"evenUNIT", "read event."},
    {"num UNIT", "unit num."},
    {"MasterV5", "read master."},
    {"Event V5", "read event."},
    {"matePCM ", "read pcm."},
    {"mateQXV ", "read qxv."},
    {"mateQXN ", "read qxn."},
    {"mateOGGV", "read oggv."},
    {"effeDELA", "read delay."},
    {"effeOVER", "read overdrive."},
    {"effeSTRA", "read strain."},
    {"textNAME", "read name."},
    {"textCOMM", "read comment."},
    {"assiUNIT", "read assist(unit)."},
    {"assiWOIC", "read assist(voice)."},
    {"qxsongND", ""},
};

constexpr uint32_t MASTER_EVENT_DATA = 3;
constexpr uint32_t UNIT_EVENT_DATA = 2;
constexpr int32_t MASTER_V5_SIZE = 15;
constexpr uint32_t NAME_CHUNK_SIZE = 20;
constexpr uint32_t UNIT_NUM_SIZE = 4;

// Measures from a clock: truncated toward zero, 0 when negative. The divisor is never 0:
// the master handlers refuse a zero beat clock or beat num first.
int32_t clock_to_meas(int64_t clock, int32_t beat_num, int32_t beat_clock) {
  int64_t m = clock / (static_cast<int64_t>(beat_num) * beat_clock);
  if (m < 0) return 0;
  return m > INT32_MAX ? INT32_MAX : static_cast<int32_t>(m);
}

// Stores the master values; a zero beat clock or beat num would leave every measure
// undefined, so such a master is refused.
int set_master(Project& p, int32_t beat_clock, int32_t beat_num, float tempo, int64_t repeat_clock,
               int64_t last_clock) {
  if (beat_clock == 0 || beat_num == 0) return 0;
  p.beat_clock = beat_clock;
  p.beat_num = beat_num;
  p.beat_tempo = tempo;
  p.repeat_meas = clock_to_meas(repeat_clock, beat_num, beat_clock);
  p.last_meas = clock_to_meas(last_clock, beat_num, beat_clock);
  return 1;
}

// Running clocks add unsigned deltas with 32-bit wrap-around, as the files were written.
int32_t clock_add(int32_t clock, uint32_t delta) {
  return static_cast<int32_t>(static_cast<uint32_t>(clock) + delta);
}

// A record count is believable only when the source still holds its smallest entries.
bool count_fits(const ByteSource& s, uint64_t count, uint64_t min_entry_size) {
  return count * min_entry_size <= static_cast<uint64_t>(source_remaining(s));
}

int read_qxsg_unit(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  uint16_t kind, group;
  if (!read_u32(s, &size) || !read_u16(s, &kind) || !read_u16(s, &group)) return 0;
  if (kind < WOICE_PCM || kind > WOICE_QXNOISE) {
    *new_format = 1;
    return 0;
  }
  return unit_add_from_record(p, group, nullptr);
}

int read_even_mast(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  uint16_t data_kind, reserved;
  int32_t count;
  if (!read_u32(s, &size) || !read_u16(s, &data_kind) || !read_u16(s, &reserved) ||
      !read_i32(s, &count)) {
    return 0;
  }
  if (data_kind != MASTER_EVENT_DATA || reserved != 0) {
    *new_format = 1;
    return 0;
  }
  if (count < 0 || !count_fits(s, static_cast<uint64_t>(count), 3)) return 0;
  int32_t beat_clock = 480, beat_num = 4;
  float tempo = 120.0f;
  int32_t repeat_clock = 0, last_clock = 0, clock = 0;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t kind, delta, value;
    if (!read_varint(s, &kind) || !read_varint(s, &delta) || !read_varint(s, &value)) return 0;
    clock = clock_add(clock, delta);
    switch (kind) {
      case EVENT_BEAT_CLOCK:
      case EVENT_BEAT_TEMPO:
      case EVENT_BEAT_NUM:
        if (clock != 0) return 0;
        if (kind == EVENT_BEAT_CLOCK) beat_clock = static_cast<int32_t>(value);
        if (kind == EVENT_BEAT_TEMPO) tempo = bits_float(value);
        if (kind == EVENT_BEAT_NUM) beat_num = static_cast<int32_t>(value);
        break;
      case EVENT_REPEAT:
      case EVENT_LAST:
        if (value != 0) return 0;
        (kind == EVENT_REPEAT ? repeat_clock : last_clock) = clock;
        break;
      default:
        *new_format = 1;
        return 0;
    }
  }
  return set_master(p, beat_clock, beat_num, tempo, repeat_clock, last_clock);
}

int read_num_unit(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  if (!read_u32(s, &size)) return 0;
  if (size != UNIT_NUM_SIZE) {
    *new_format = 1;
    return 0;
  }
  int16_t count;
  uint16_t reserved;
  if (!read_i16(s, &count) || !read_u16(s, &reserved)) return 0;
  if (reserved != 0 || count > p.unit_max) {
    *new_format = 1;
    return 0;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (!unit_add(p)) return 0;
  }
  return 1;
}

int read_master_v5(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  if (!read_u32(s, &size)) return 0;
  if (size != MASTER_V5_SIZE) {
    *new_format = 1;
    return 0;
  }
  int16_t beat_clock;
  int8_t beat_num;
  float tempo;
  int32_t repeat_clock, last_clock;
  if (!read_i16(s, &beat_clock) || !read_i8(s, &beat_num) || !read_f32(s, &tempo) ||
      !read_i32(s, &repeat_clock) || !read_i32(s, &last_clock)) {
    return 0;
  }
  return set_master(p, beat_clock, beat_num, tempo, repeat_clock, last_clock);
}

// The most bytes an event entry takes: its two VarInts, its unit and its kind.
constexpr uint64_t ENTRY_MOST = 2 * VARINT_MOST + 2;

// The events of the whole song, in time order. Into an empty store they go straight into
// the list as the file orders them; should earlier chunks have put events already, they are
// put among those instead, so that neither kind of event is lost.
// The entries the pre-count read, checked and stored or put as they would have been read.
int take_event_v5_ahead(Project& p, ByteSource& s, int* new_format, EventsReadAhead& ahead) {
  const EventArray& events = ahead.events;
  if (p.event_num == 0) {
    // Checked as the entries were read; the first refusal or the first entry past the store's
    // room ends it, whichever comes first, as one by one.
    const int64_t room = std::max<int64_t>(0, int64_t{p.event_max} - p.event_num);
    const int64_t n = static_cast<int64_t>(events.size());
    if (ahead.refused >= 0 && ahead.refused <= room) {
      if (ahead.unknown_kind) *new_format = 1;
      return 0;
    }
    if (room < n) return 0;
    events_changed(p);
    p.events = std::move(ahead.events);
    p.event_num += static_cast<int32_t>(n);
  } else {
    for (size_t i = 0; i < events.size(); ++i) {
      const Event& e = events[i];
      if ((i > 0 && e.clock < events[i - 1].clock) || e.kind == EVENT_NONE) return 0;
      if (e.kind >= EVENT_KIND_NUM) {
        *new_format = 1;
        return 0;
      }
      if (!event_put(p, e.clock, e.unit_no, e.kind, e.value)) return 0;
    }
  }
  const int64_t end = ahead.end;
  ahead = EventsReadAhead{};
  return source_seek(s, end, SEEK_SET);
}

int read_event_v5(Project& p, ByteSource& s, int* new_format, EventsReadAhead* ahead) {
  uint32_t size;
  int32_t count;
  if (!read_u32(s, &size) || !read_i32(s, &count)) return 0;
  if (count <= 0) return 1;
  if (!count_fits(s, static_cast<uint64_t>(count), 4)) return 0;
  if (ahead && ahead->at >= 0 && ahead->at == source_tell(s) && ahead->count == count) {
    return take_event_v5_ahead(p, s, new_format, *ahead);
  }
  const bool direct = p.event_num == 0;
  FieldReader r = field_reader(s, static_cast<uint64_t>(count) * ENTRY_MOST);
  int32_t clock = 0;
  int ok = 1;
  for (int32_t i = 0; ok && i < count; ++i) {
    uint32_t delta, value;
    uint8_t unit_kind[2];
    if (!field_varint(r, &delta) || !field_bytes(r, unit_kind, 2) || !field_varint(r, &value)) {
      ok = 0;
      break;
    }
    const uint8_t unit_no = unit_kind[0], kind = unit_kind[1];
    int32_t next = clock_add(clock, delta);
    // A clock running backwards would break the list's order; kind 0 is no event.
    if ((i > 0 && next < clock) || kind == EVENT_NONE) {
      ok = 0;
    } else if (kind >= EVENT_KIND_NUM) {
      *new_format = 1;
      ok = 0;
    } else {
      clock = next;
      const auto v = static_cast<int32_t>(value);
      ok = direct ? event_store(p, clock, unit_no, kind, v) : event_put(p, clock, unit_no, kind, v);
    }
  }
  return field_reader_done(r) && ok;
}

int read_delay(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  uint16_t unit, group;
  float a, b;
  if (!read_u32(s, &size) || !read_u16(s, &unit) || !read_u16(s, &group) || !read_f32(s, &a) ||
      !read_f32(s, &b)) {
    return 0;
  }
  if (unit >= 3) {
    *new_format = 1;
    return 0;
  }
  for (int32_t i = 0; i < p.delay_max && static_cast<size_t>(i) < p.delays.size(); ++i) {
    Delay& d = p.delays[static_cast<size_t>(i)];
    if (d.in_use) continue;
    d.in_use = 1;
    d.delay_unit = unit;
    d.group = group >= p.group_max ? 0 : group;
    d.delay_value_a = a;
    d.delay_value_b = b;
    return 1;
  }
  *new_format = 1;
  return 0;
}

int read_strain(Project& p, ByteSource& s, int* new_format) {
  uint32_t size;
  uint16_t group, reserved;
  float cut_a, cut_b, amp;
  if (!read_u32(s, &size) || !read_u16(s, &group) || !read_u16(s, &reserved) ||
      !read_f32(s, &cut_a) || !read_f32(s, &cut_b) || !read_f32(s, &amp)) {
    return 0;
  }
  if (reserved != 0 || overdrive_add(p, group, (cut_a + cut_b) * 0.5f, amp) < 0) {
    *new_format = 1;
    return 0;
  }
  return 1;
}

int read_text(ByteSource& s, std::optional<std::string>& target) {
  std::optional<std::string> text = read_text_chunk(s);
  if (!text) return 0;
  target.reset();
  try {
    target = std::string(text->c_str());
  } catch (const std::bad_alloc&) {
    target.reset();  // the text is lost, the song is not
  }
  return 1;
}

int read_name(Project& p, ByteSource& s, bool unit, int* new_format) {
  uint32_t size;
  if (!read_u32(s, &size)) return 0;
  if (size != NAME_CHUNK_SIZE) {
    *new_format = 1;
    return 0;
  }
  uint16_t index, reserved;
  char name[NAME_FIELD_SIZE];
  if (!read_u16(s, &index) || !read_u16(s, &reserved) || !read_bytes(name, sizeof name, 1, s)) {
    return 0;
  }
  if (reserved != 0) {
    *new_format = 1;
    return 0;
  }
  if (unit) {
    if (index >= p.unit_max || index >= p.units.size() || !p.units[index]) return 0;
    std::memcpy(p.units[index]->name, name, sizeof name);
    p.units[index]->name_len = NAME_FIELD_SIZE;
  } else {
    if (index >= p.woice_max || index >= p.woices.size() || !p.woices[index]) return 0;
    std::memcpy(p.woices[index]->name, name, sizeof name);
  }
  return 1;
}

int run_handler(Project& p, ByteSource& s, ChunkCode code, int* new_format,
                EventsReadAhead* ahead) {
  switch (code) {
    case CHUNK_PROJECT_OLD:
      return read_project_old_chunk(p, s);
    case CHUNK_UNIT_OLD:
      return read_unit_old_chunk(p, s);
    case CHUNK_PCM_OLD:
    case CHUNK_MATE_PCM:
      return read_pcm_chunk(p, s, new_format);
    case CHUNK_EVENT_OLD:
      return read_unit_events(p, s, true, false, new_format);
    case CHUNK_QXSG_UNIT:
      return read_qxsg_unit(p, s, new_format);
    case CHUNK_EVEN_MAST:
      return read_even_mast(p, s, new_format);
    case CHUNK_EVEN_UNIT:
      return read_unit_events(p, s, false, true, new_format);
    case CHUNK_NUM_UNIT:
      return read_num_unit(p, s, new_format);
    case CHUNK_MASTER_V5:
      return read_master_v5(p, s, new_format);
    case CHUNK_EVENT_V5:
      return read_event_v5(p, s, new_format, ahead);
    case CHUNK_MATE_QXV:
      return read_qxvoice_chunk(p, s, new_format);
    case CHUNK_MATE_QXN:
      return read_qxnoise_chunk(p, s, new_format);
    case CHUNK_MATE_OGGV:
      return read_ogg_chunk(p, s, new_format);
    case CHUNK_EFFE_DELA:
      return read_delay(p, s, new_format);
    case CHUNK_EFFE_OVER:
      return read_overdrive_chunk(p, s, new_format);
    case CHUNK_EFFE_STRA:
      return read_strain(p, s, new_format);
    case CHUNK_TEXT_NAME:
      return read_text(s, p.name_text);
    case CHUNK_TEXT_COMM:
      return read_text(s, p.comment_text);
    case CHUNK_ASSI_UNIT:
      return read_name(p, s, true, new_format);
    case CHUNK_ASSI_WOIC:
      return read_name(p, s, false, new_format);
    case CHUNK_NONE:
    case CHUNK_END_OLD:
    case CHUNK_END:
      break;
  }
  return 0;
}

}  // namespace

int unit_add_from_record(Project& p, uint16_t group, const char* name) {
  if (!unit_add(p)) return 0;
  int32_t index = unit_count(p) - 1;
  if (index < 0 || index >= p.unit_max || static_cast<size_t>(index) >= p.units.size() ||
      !p.units[static_cast<size_t>(index)]) {
    return 0;
  }
  if (name) {
    std::memcpy(p.units[static_cast<size_t>(index)]->name, name, NAME_FIELD_SIZE);
    p.units[static_cast<size_t>(index)]->name_len = NAME_FIELD_SIZE;
  }
  int32_t g = group >= p.group_max ? p.group_max - 1 : group;
  auto u = static_cast<uint8_t>(index);
  if (!event_put(p, 0, u, EVENT_GROUP_NO, g)) return 0;
  if (!event_put(p, 0, u, EVENT_VOICE_NO, index)) return 0;
  return 1;
}

ChunkCode chunk_code(const uint8_t tag[8]) {
  for (int c = CHUNK_NONE + 1; c < CHUNK_CODE_NUM; ++c) {
    if (std::memcmp(tag, CHUNK_TABLE[c].tag, 8) == 0) return static_cast<ChunkCode>(c);
  }
  return CHUNK_NONE;
}

const char* chunk_tag(ChunkCode code) {
  return code > CHUNK_NONE && code < CHUNK_CODE_NUM ? CHUNK_TABLE[code].tag : "";
}

int read_event_v5_ahead(ByteSource& s, int32_t count, EventsReadAhead& ahead) {
  ahead = EventsReadAhead{};
  const int64_t at = source_tell(s);
  if (count <= 0 || at < 0 || !count_fits(s, static_cast<uint64_t>(count), 4)) return -1;
  try {
    // Filled first, so that the loop below writes records into memory at hand; stores into
    // memory never touched cost more than the zeroing.
    ahead.events.resize(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    ahead = EventsReadAhead{};
    return -1;
  }
  FieldReader r = field_reader(s, static_cast<uint64_t>(count) * ENTRY_MOST);
  Event* const out = ahead.events.data();
  int32_t clock = 0;
  int32_t i = 0;
  // The first refusal as the chunk's reader sees it: a clock running back, kind 0, or a kind
  // past the table.
  int32_t refused = -1;
  bool unknown_kind = false;
  const auto take = [&](uint32_t delta, uint8_t unit_no, uint8_t kind, uint32_t value) {
    const int32_t next = clock_add(clock, delta);
    const bool back = i > 0 && next < clock;
    if ((back || kind == EVENT_NONE || kind >= EVENT_KIND_NUM) && refused < 0) {
      refused = i;
      unknown_kind = !back && kind != EVENT_NONE;
    }
    clock = next;
    out[i] = {clock, static_cast<int32_t>(value), unit_no, kind};
  };
  while (i < count) {
    // Entries whole in the block at hand are decoded with the place held in a local, where
    // the reader's own fields would be stored and loaded again for every byte.
    const uint8_t* at = r.at;
    const uint8_t* const end = r.end;
    for (; i < count && end - at >= static_cast<ptrdiff_t>(ENTRY_MOST); ++i) {
      uint32_t delta, value;
      const size_t d = decode_varint(at, &delta);
      if (d == 0) break;
      const uint8_t unit_no = at[d], kind = at[d + 1];
      const size_t v = decode_varint(at + d + 2, &value);
      if (v == 0) break;
      at += d + 2 + v;
      take(delta, unit_no, kind, value);
    }
    r.at = at;
    if (i == count) break;
    // Near the block's end, or a VarInt too long: one entry through the reader, which refills
    // the block or takes the bytes as a failed field does.
    uint32_t delta, value;
    uint8_t unit_kind[2];
    if (!field_varint(r, &delta) || !field_bytes(r, unit_kind, 2) || !field_varint(r, &value)) {
      break;
    }
    take(delta, unit_kind[0], unit_kind[1], value);
    ++i;
  }
  ahead.refused = refused;
  ahead.unknown_kind = unknown_kind;
  const bool read = field_reader_done(r) && i == count;
  ahead.end = source_tell(s);
  if (!read || ahead.end < 0) {
    ahead = EventsReadAhead{};
    return 0;
  }
  ahead.at = at;
  ahead.count = count;
  return 1;
}

int read_chunks(Project& p, ByteSource& s, EventsReadAhead* ahead) {
  for (;;) {
    uint8_t tag[8];
    if (!read_bytes(tag, 8, 1, s)) {
      set_error_text(p, "read file.");
      return 0;
    }
    ChunkCode code = chunk_code(tag);
    if (code == CHUNK_NONE) {
      char text[9] = {};
      std::memcpy(text, tag, 8);
      set_error_text(p, "unknown [%s]", text);
      return 0;
    }
    if (code == CHUNK_END || code == CHUNK_END_OLD) return 1;
    int new_format = 0;
    int ok = 0;
    try {
      ok = run_handler(p, s, code, &new_format, ahead);
    } catch (const std::bad_alloc&) {
      ok = 0;
    }
    if (!ok) {
      if (new_format) {
        set_error_text(p, "it's new format [%s]", CHUNK_TABLE[code].tag);
      } else {
        set_error_text(p, "%s", CHUNK_TABLE[code].failure_text);
      }
      return 0;
    }
  }
}

int read_unit_events(Project& p, ByteSource& s, bool add_length, bool check_reserved,
                     int* new_format) {
  uint32_t size, count;
  uint16_t unit, kind, data_kind, reserved;
  if (!read_u32(s, &size) || !read_u16(s, &unit) || !read_u16(s, &kind) ||
      !read_u16(s, &data_kind) || !read_u16(s, &reserved) || !read_u32(s, &count)) {
    return 0;
  }
  if (data_kind != UNIT_EVENT_DATA || kind >= EVENT_KIND_NUM || (check_reserved && reserved != 0)) {
    *new_format = 1;
    return 0;
  }
  // Kind 0 marks a free record: such entries cannot be events.
  if (kind == EVENT_NONE) return 0;
  if (!count_fits(s, count, 2)) return 0;
  const auto unit_no = static_cast<uint8_t>(unit & 0xFF);
  const bool length = add_length && (kind == EVENT_ON || kind == EVENT_PORTAMENT);
  FieldReader r = field_reader(s, static_cast<uint64_t>(count) * 2 * VARINT_MOST);
  int32_t clock = 0;
  int ok = 1;
  for (uint32_t i = 0; ok && i < count; ++i) {
    uint32_t delta, value;
    if (!field_varint(r, &delta) || !field_varint(r, &value)) {
      ok = 0;
      break;
    }
    // A wrapped delta or a negative legacy length can take the clock back: the puts are
    // placed by clock whatever order they come in.
    clock = clock_add(clock, delta);
    ok = event_put(p, clock, unit_no, static_cast<uint8_t>(kind), static_cast<int32_t>(value));
    if (length) clock = clock_add(clock, value);
  }
  return field_reader_done(r) && ok;
}

int read_overdrive_chunk(Project& p, ByteSource& s, int* new_format) {
  const int64_t start = source_tell(s);
  uint32_t size;
  uint16_t reserved, group;
  float cut, amp, reserved_f;
  if (read_u32(s, &size) && read_u16(s, &reserved) && read_u16(s, &group) && read_f32(s, &cut) &&
      read_f32(s, &amp) && read_f32(s, &reserved_f)) {
    if (reserved == 0 && reserved_f == 0.0f && cut >= 50.0f && cut <= 99.9f && amp >= 0.1f &&
        amp <= 8.0f) {
      if (overdrive_add(p, group, cut, amp) >= 0) return 1;
      *new_format = 1;
    }
  }
  // Not the new layout (or no room for it): the same bytes in the old layout.
  if (start < 0 || !source_seek(s, start, SEEK_SET)) return 0;
  float strength;
  if (!read_u32(s, &size) || !read_u16(s, &group) || !read_u16(s, &reserved) ||
      !read_f32(s, &strength)) {
    return 0;
  }
  if (reserved != 0) return 0;
  return overdrive_add(p, group, 100.0f - 100.0f / strength, 1.0f) >= 0 ? 1 : 0;
}

std::optional<std::string> read_text_chunk(ByteSource& s) {
  uint32_t length;
  if (!read_u32(s, &length)) return std::nullopt;
  if (length > static_cast<uint64_t>(source_remaining(s))) return std::nullopt;
  try {
    std::string text(length, '\0');
    if (length > 0 && !read_bytes(text.data(), length, 1, s)) return std::nullopt;
    return text;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}
