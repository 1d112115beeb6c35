// Standard MIDI File reader. The tracks are parsed into notes (a note-off ends the oldest note
// of its track, channel and key still sounding), channel controls and the tempo and time
// signature metas, all at their absolute ticks; then the notes of each track and channel are
// dealt out to units that play one key at a time, and the units' events are stored clock by
// clock in the order the event store keeps them.
#include "io/midi_reader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <queue>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "io/qxi_reader.h"
#include "io/song_reader.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "project/events.h"
#include "project/project.h"

namespace {

constexpr uint32_t HEADER_SIZE = 6;
constexpr size_t CHUNK_HEAD_SIZE = 8;
constexpr int CHANNEL_NUM = 16;
constexpr int KEY_NUM = 128;
constexpr int DRUM_CHANNEL = 9;  // channel 10, counted from 1
constexpr int NOTE_AT_KEY_ORIGIN = 69;
constexpr int32_t KEY_STEP = 256;  // a semitone
// What a unit plays with until an event says otherwise.
constexpr int32_t DEFAULT_VELOCITY = 104;
constexpr int32_t DEFAULT_VOLUME = 104;
constexpr int32_t CENTRE_PAN = 64;
constexpr uint8_t CONTROL_VOLUME = 7;
constexpr uint8_t CONTROL_PAN = 10;
constexpr int32_t MICROSECONDS_A_MINUTE = 60000000;
// No tick past this gives a clock, whatever the division; below it the rescaling cannot
// overflow.
constexpr int64_t TICK_LIMIT = int64_t{INT32_MAX} * 0x7FFF;
constexpr int32_t BEAT_NUM_MAX = 127;  // what the newest master's byte holds

constexpr const char* NOT_MIDI = "not a MIDI file";
constexpr const char* HEADER_SHORT = "MIDI header cut short";
constexpr const char* TRACKS_PAST_END = "MIDI tracks past end of file";
constexpr const char* EVENT_PAST_END = "MIDI event past end of track";
constexpr const char* SONG_TOO_LONG = "MIDI song too long";
constexpr const char* NO_EVENTS = "Initialize events";

struct Family {
  const char* name;
  const char* material;
};

// The General MIDI program families, eight programs each, and the built-in qxVoice that
// sounds most like each: the triangle for soft and round sounds, the saw for bowed, blown
// brass and plucked ones, the square for hollow and electronic ones.
const Family FAMILIES[16] = {
    {"piano", "QXV_TRIA784"},         {"chromatic perc", "QXV_TRIA784"},
    {"organ", "QXV_RECT784"},         {"guitar", "QXV_SAW784"},
    {"bass", "QXV_TRIA784"},          {"strings", "QXV_SAW784"},
    {"ensemble", "QXV_SAW784"},       {"brass", "QXV_SAW784"},
    {"reed", "QXV_RECT784"},          {"pipe", "QXV_TRIA784"},
    {"synth lead", "QXV_RECT784"},    {"synth pad", "QXV_TRIA784"},
    {"synth effects", "QXV_RECT784"}, {"ethnic", "QXV_SAW784"},
    {"percussive", "QXV_TRIA784"},    {"sound effects", "QXV_RECT784"},
};
constexpr const char* DRUM_NAME = "drums";
constexpr const char* DRUM_NOISE = "QXN_HATC";
constexpr const char* BASS_DRUM_NOISE = "QXN_BD6";

// A note as its track is read: 16 bytes, held only until the notes are dealt out to units.
// Its place among the notes read orders it against the channel's controls of its tick.
struct Note {
  int64_t on_tick;
  int32_t length;  // in clocks, at least 1; -1 while it sounds
  uint8_t channel;
  uint8_t key;
  uint8_t velocity;
  uint8_t unit;  // once dealt out: its unit, or NO_UNIT for one beyond the units kept
};
constexpr uint8_t NO_UNIT = 0xFF;

// A note of a unit, as its events need it.
struct Played {
  int32_t clock;
  int32_t length;
  uint8_t key;
  uint8_t velocity;
};

// Records in blocks that stay where they are: a million are kept without being copied to
// ever larger arrays. The blocks are taken in runs sized from a guess at the records to come,
// so that a large file's run is one array of megabytes, in large pages, and a small file's
// is one block.
template <typename T>
struct Blocks {
  static constexpr size_t BLOCK_BITS = 16;
  static constexpr size_t BLOCK_SIZE = size_t{1} << BLOCK_BITS;
  std::vector<T*> blocks;
  std::vector<std::unique_ptr<void, LargeArrayFree>> runs;
  size_t count = 0;

  size_t size() const { return count; }
  T& operator[](size_t i) { return blocks[i >> BLOCK_BITS][i & (BLOCK_SIZE - 1)]; }
  const T& operator[](size_t i) const { return blocks[i >> BLOCK_BITS][i & (BLOCK_SIZE - 1)]; }
  // Room for n records in all, their fields to be set; `expected` of them in all is the guess.
  void grow(size_t n, size_t expected) {
    const size_t have = blocks.size();
    if (have * BLOCK_SIZE < n) {
      const size_t wanted = (std::max(n, expected) + BLOCK_SIZE - 1) / BLOCK_SIZE - have;
      if (wanted > SIZE_MAX / (BLOCK_SIZE * sizeof(T))) throw std::bad_alloc();
      const size_t bytes = wanted * BLOCK_SIZE * sizeof(T);
      std::unique_ptr<void, LargeArrayFree> taken(large_array_allocate(bytes),
                                                  LargeArrayFree{bytes});
      runs.push_back(std::move(taken));
      T* run = static_cast<T*>(runs.back().get());
      for (size_t b = 0; b < wanted; ++b) blocks.push_back(run + b * BLOCK_SIZE);
    }
    count = n;
  }
};

// The notes of one unit: one track and channel, never two at once.
struct UnitPlan {
  uint16_t track = 0;
  uint8_t channel = 0;
  int32_t lane = 0;  // 0 for the track and channel's first unit
  // Its first note's tick and place among the notes read, which the channel's controls are
  // looked up against.
  int64_t first_tick = 0;
  size_t first_note = 0;
  size_t begin = 0;  // its notes: Reading::played from begin to end
  size_t end = 0;
  size_t count() const { return end - begin; }
};

enum ControlKind : uint8_t { CONTROL_KIND_VOLUME, CONTROL_KIND_PAN, CONTROL_KIND_PROGRAM };
constexpr int CONTROL_KIND_NUM = 3;

// A control: by tick, then track, then place in the track, as a player meets them. The notes
// read before it tell which of them it comes after.
struct Control {
  int64_t tick;
  int32_t notes_before;
  uint16_t track;
  uint8_t value;
};

using ControlList = std::vector<Control, LargeArrayAllocator<Control>>;

// A tempo (microseconds a beat) or a time signature (numerator and denominator's power).
struct Meta {
  int64_t tick;
  int64_t seq;
  uint32_t value;
};

// Events in the order a player meets them: by tick, then track, then place in the track.
template <typename A, typename B>
bool before(const A& a, const B& b) {
  return a.tick != b.tick ? a.tick < b.tick : a.seq < b.seq;
}

struct Reading {
  int64_t file_size = 0;
  int64_t bytes_left = 0;  // in the file after the track being read
  int32_t division = 0;
  // Clocks a tick when a beat's clocks are a whole number of ticks, which spares a division
  // for every note; 0 otherwise.
  int64_t clocks_a_tick = 0;
  // The notes of the track being read, in the order read, and the notes of the tracks before.
  std::vector<Note> notes;
  size_t notes_before = 0;
  // A note ends past the last clock a song holds: said once every track has been read.
  bool too_long = false;
  // The units the tracks read so far deal their notes to (see deal_notes), and those notes
  // one unit after another, each unit's in time order.
  std::vector<UnitPlan> units;
  size_t lanes_before = 0;  // units of the tracks and channels before, kept or not
  int64_t dropped = 0;      // notes beyond the units kept
  Blocks<Played> played;
  // By channel and kind, in the order read (sorted by time once every track is read). Room is
  // reserved after each track from a guess at the controls to come (see reserve_controls), so
  // that most lists are copied once at most as they grow.
  std::array<std::array<ControlList, CONTROL_KIND_NUM>, CHANNEL_NUM> controls;
  std::vector<Meta> tempos;
  std::vector<Meta> signatures;
  std::vector<std::string> track_names;
  int64_t seq = 0;             // metas read
  uint16_t track = 0;          // the track being read
  int64_t other_messages = 0;  // channel messages nothing is made of
  // First and last note still sounding for each channel and key of the track being read, and
  // after each of the track's notes the next of its channel and key still sounding (by place
  // in the track).
  std::array<int32_t, CHANNEL_NUM * KEY_NUM> open_first;
  std::array<int32_t, CHANNEL_NUM * KEY_NUM> open_last;
  std::vector<int32_t> next_open;

  Reading() {
    open_first.fill(-1);
    open_last.fill(-1);
  }
};

int fail(Project& p, const char* text) {
  set_error_text(p, "%s", text);
  return 0;
}

uint32_t be32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

uint16_t be16(const uint8_t* b) {
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// A track body held in memory, read forward.
struct Cursor {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;

  size_t left() const { return size - pos; }
  bool byte(uint8_t& b) {
    if (pos >= size) return false;
    b = data[pos++];
    return true;
  }
  // A variable-length quantity: at most four bytes of seven bits, most significant first.
  // False past the end or for a fifth byte.
  bool vlq(uint32_t& v) {
    v = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!byte(b)) return false;
      v = v << 7 | (b & 0x7Fu);
      if (!(b & 0x80)) return true;
    }
    return false;
  }
  // A length read from the track, taken only while the track holds that many bytes.
  bool sized(uint32_t& n) { return vlq(n) && n <= left(); }
};

std::string counted(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int64_t clock_of(const Reading& r, int64_t tick) {
  if (r.clocks_a_tick > 0) return tick * r.clocks_a_tick;
  return (tick * 2 * MIDI_BEAT_CLOCK + r.division) / (2 * int64_t{r.division});
}

void note_on(Reading& r, uint8_t channel, uint8_t key, uint8_t velocity, int64_t tick) {
  // A note is at least one clock long, so one starting at the last clock ends past it.
  if (clock_of(r, tick) >= INT32_MAX) r.too_long = true;
  const auto index = static_cast<int32_t>(r.notes.size());
  // Field by field: a whole record built aside and copied in stalls on its own stores.
  Note& n = r.notes.emplace_back();
  n.on_tick = tick;
  n.length = -1;
  n.channel = channel;
  n.key = key;
  n.velocity = velocity;
  n.unit = NO_UNIT;
  r.next_open.push_back(-1);
  const size_t slot = static_cast<size_t>(channel) * KEY_NUM + key;
  if (r.open_last[slot] >= 0) {
    r.next_open[static_cast<size_t>(r.open_last[slot])] = index;
  } else {
    r.open_first[slot] = index;
  }
  r.open_last[slot] = index;
}

// A note is at least one clock long, so that it sounds and two never start together.
void note_end(Reading& r, Note& n, int64_t tick) {
  const int64_t on = clock_of(r, n.on_tick);
  const int64_t length = std::max<int64_t>(clock_of(r, tick) - on, 1);
  if (on + length > INT32_MAX) r.too_long = true;
  n.length = static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
}

// Ends the note of that channel and key that began first; a note-off with none open is
// nothing.
void note_off(Reading& r, uint8_t channel, uint8_t key, int64_t tick) {
  const size_t slot = static_cast<size_t>(channel) * KEY_NUM + key;
  const int32_t first = r.open_first[slot];
  if (first < 0) return;
  note_end(r, r.notes[static_cast<size_t>(first)], tick);
  const int32_t next = r.next_open[static_cast<size_t>(first)];
  r.open_first[slot] = next;
  if (next < 0) r.open_last[slot] = -1;
}

void add_control(Reading& r, uint8_t channel, ControlKind kind, uint8_t value, int64_t tick) {
  r.controls[channel][kind].push_back(
      {tick, static_cast<int32_t>(r.notes_before + r.notes.size()), r.track, value});
}

// A channel message whose data bytes have been checked.
void channel_message(Reading& r, uint8_t status, const uint8_t d[2], int64_t tick) {
  const uint8_t kind = status & 0xF0;
  const uint8_t channel = status & 0x0F;
  // A note-on of velocity 0 is a note-off.
  if (kind == 0x90 && d[1] > 0) {
    note_on(r, channel, d[0], d[1], tick);
    return;
  }
  if (kind == 0x80 || kind == 0x90) {
    note_off(r, channel, d[0], tick);
    return;
  }
  switch (kind) {
    case 0xB0:
      if (d[0] == CONTROL_VOLUME) {
        add_control(r, channel, CONTROL_KIND_VOLUME, d[1], tick);
      } else if (d[0] == CONTROL_PAN) {
        add_control(r, channel, CONTROL_KIND_PAN, d[1], tick);
      } else {
        ++r.other_messages;
      }
      break;
    case 0xC0:
      add_control(r, channel, CONTROL_KIND_PROGRAM, d[0], tick);
      break;
    default:
      ++r.other_messages;
      break;
  }
}

int meta_event(Project& p, Reading& r, Cursor& c, uint16_t track, int64_t tick, bool* end) {
  uint8_t type;
  uint32_t length;
  if (!c.byte(type) || !c.sized(length)) return fail(p, EVENT_PAST_END);
  const uint8_t* d = c.data + c.pos;
  c.pos += length;
  switch (type) {
    case 0x03: {
      // The first name of a track names it; a name stops at a zero byte.
      std::string& name = r.track_names[track];
      if (name.empty()) {
        name.assign(reinterpret_cast<const char*>(d), length);
        name.resize(std::strlen(name.c_str()));
      }
      break;
    }
    case 0x51:
      if (length == 3) {
        const uint32_t us = static_cast<uint32_t>(d[0]) << 16 | d[1] << 8 | d[2];
        if (us > 0) r.tempos.push_back({tick, r.seq++, us});
      }
      break;
    case 0x58:
      if (length >= 2) {
        r.signatures.push_back({tick, r.seq++, static_cast<uint32_t>(d[0] << 8 | d[1])});
      }
      break;
    case 0x2F:
      *end = true;
      break;
    default:
      break;
  }
  return 1;
}

// The records there may be in all, `have` read so far: those and the bytes to come at the rate
// of those read, no more than one every `bytes_each` bytes and no more than three times `have`,
// since a short dense track before a long sparse one would otherwise take room many times the
// file's.
size_t guess_to_come(const Reading& r, size_t have, int64_t bytes_each) {
  const int64_t bytes_read = r.file_size - r.bytes_left;
  if (r.bytes_left <= 0 || bytes_read <= 0) return have;
  const double rate = static_cast<double>(have) / static_cast<double>(bytes_read);
  const double more =
      std::min({rate * static_cast<double>(r.bytes_left),
                static_cast<double>(r.bytes_left / bytes_each), 3.0 * static_cast<double>(have)});
  return have + static_cast<size_t>(more);
}

// Deals the track's notes of each channel out to units: a note goes to the first of them
// that is silent by its clock, or to a new one. The first PROJECT_UNIT_CAPACITY units of the
// tracks and channels in turn are kept, their notes put in r.played; the notes of the others
// are counted in r.dropped. A song with a note too long fails once every track is read, and
// what is dealt then does not matter.
void deal_notes(Reading& r, uint16_t track, uint16_t channels) {
  const size_t first_unit = r.units.size();
  using Busy = std::pair<int64_t, int32_t>;  // silent from, lane
  // A track's notes of one channel, in the order read, are in time order.
  for (uint8_t channel = 0; channel < CHANNEL_NUM; ++channel) {
    if (!(channels >> channel & 1u)) continue;
    std::priority_queue<Busy, std::vector<Busy>, std::greater<Busy>> busy;
    std::priority_queue<int32_t, std::vector<int32_t>, std::greater<int32_t>> silent;
    int32_t lanes = 0;
    for (size_t i = 0; i < r.notes.size(); ++i) {
      Note& n = r.notes[i];
      if (n.channel != channel) continue;
      const int64_t clock = clock_of(r, n.on_tick);
      int32_t lane;
      if (lanes == 1 && busy.top().first <= clock) {
        // One unit so far, silent again: most tracks play one note at a time.
        busy.pop();
        lane = 0;
      } else {
        while (!busy.empty() && busy.top().first <= clock) {
          silent.push(busy.top().second);
          busy.pop();
        }
        if (silent.empty()) {
          lane = lanes++;
        } else {
          lane = silent.top();
          silent.pop();
        }
      }
      busy.push({clock + n.length, lane});
      const size_t unit = r.lanes_before + static_cast<size_t>(lane);
      if (unit >= static_cast<size_t>(PROJECT_UNIT_CAPACITY)) {
        ++r.dropped;
        continue;
      }
      if (unit >= r.units.size()) {
        r.units.resize(unit + 1);
        UnitPlan& u = r.units[unit];
        u.track = track;
        u.channel = channel;
        u.lane = lane;
        u.first_tick = n.on_tick;
        u.first_note = r.notes_before + i;
      }
      n.unit = static_cast<uint8_t>(unit);
      ++r.units[unit].end;  // counted here, placed below
    }
    r.lanes_before += static_cast<size_t>(lanes);
  }
  size_t kept = r.played.size();
  for (size_t u = first_unit; u < r.units.size(); ++u) {
    UnitPlan& plan = r.units[u];
    plan.begin = kept;
    kept += plan.end;
    plan.end = plan.begin;
  }
  // No more than a note for every three bytes can come.
  r.played.grow(kept, guess_to_come(r, kept, 3));
  for (const Note& n : r.notes) {
    if (n.unit == NO_UNIT) continue;
    UnitPlan& u = r.units[n.unit];
    r.played[u.end++] = {static_cast<int32_t>(clock_of(r, n.on_tick)), n.length, n.key, n.velocity};
  }
}

// Room for the controls to come, so that a file of tracks alike grows each list once or twice.
// No more than a control for every two bytes can come.
void reserve_controls(Reading& r) {
  for (auto& kinds : r.controls) {
    for (ControlList& list : kinds) {
      if (list.empty()) continue;
      const size_t guess = std::min(guess_to_come(r, list.size(), 2), list.max_size());
      if (guess > list.capacity()) list.reserve(guess);
    }
  }
}

// One track's events, from its first byte to its end-of-track meta or the end of its bytes.
// Notes still sounding at its end end there.
int read_track(Project& p, Reading& r, const uint8_t* data, size_t size, uint16_t track) {
  r.track = track;
  r.notes.clear();
  r.next_open.clear();
  Cursor c{data, size};
  int64_t tick = 0;
  uint8_t running = 0;  // the last channel status, which data bytes may go on with
  bool end = false;
  // The loop keeps its place in a local, and hands it to the cursor for the metas and
  // system-exclusive events.
  size_t pos = 0;
  while (!end && pos < size) {
    uint32_t delta = 0;  // at most four bytes of seven bits, most significant first
    for (int i = 0;; ++i) {
      if (i == 4 || pos == size) return fail(p, EVENT_PAST_END);
      const uint8_t b = data[pos++];
      delta = delta << 7 | (b & 0x7Fu);
      if (!(b & 0x80)) break;
    }
    tick += delta;
    if (tick > TICK_LIMIT) return fail(p, SONG_TOO_LONG);
    if (pos == size) return fail(p, EVENT_PAST_END);
    uint8_t status = data[pos];
    if (status < 0x80) {
      // The byte is the message's first data byte.
      if (!running) return fail(p, "MIDI data before any status");
      status = running;
    } else {
      ++pos;
      if (status < 0xF0) running = status;
    }
    if (status < 0xF0) {
      const uint8_t kind = status & 0xF0;
      const int data_size = kind == 0xC0 || kind == 0xD0 ? 1 : 2;
      uint8_t d[2] = {0, 0};
      for (int i = 0; i < data_size; ++i) {
        if (pos == size) return fail(p, EVENT_PAST_END);
        d[i] = data[pos++];
        if (d[i] & 0x80) return fail(p, "MIDI data byte above 127");
      }
      channel_message(r, status, d, tick);
      if (r.notes_before + r.notes.size() >= static_cast<size_t>(INT32_MAX)) {
        return fail(p, NO_EVENTS);
      }
      continue;
    }
    // Meta and system-exclusive events leave the running status as it was: files that go on
    // with it after them are read as their writers meant.
    c.pos = pos;
    if (status == 0xFF) {
      if (!meta_event(p, r, c, track, tick, &end)) return 0;
    } else if (status == 0xF0 || status == 0xF7) {
      uint32_t length;
      if (!c.sized(length)) return fail(p, EVENT_PAST_END);
      c.pos += length;
    } else {
      set_error_text(p, "MIDI status %02X not read", static_cast<unsigned>(status));
      return 0;
    }
    pos = c.pos;
    if (r.notes_before + r.notes.size() >= static_cast<size_t>(INT32_MAX)) {
      return fail(p, NO_EVENTS);
    }
  }
  // Only this track's notes can be open: closing theirs leaves every slot empty for the next
  // track, whatever the number of tracks.
  uint16_t channels = 0;
  for (Note& n : r.notes) {
    if (n.length < 0) note_end(r, n, tick);
    channels |= static_cast<uint16_t>(1u << n.channel);
    const size_t slot = static_cast<size_t>(n.channel) * KEY_NUM + n.key;
    r.open_first[slot] = -1;
    r.open_last[slot] = -1;
  }
  deal_notes(r, track, channels);
  r.notes_before += r.notes.size();
  reserve_controls(r);
  return 1;
}

// The header and every track; an alien chunk between tracks is passed over.
int read_chunks(Project& p, ByteSource& s, Reading& r) {
  uint8_t head[CHUNK_HEAD_SIZE];
  if (!read_bytes(head, CHUNK_HEAD_SIZE, 1, s) || std::memcmp(head, "MThd", 4) != 0) {
    return fail(p, NOT_MIDI);
  }
  const uint32_t header_size = be32(head + 4);
  uint8_t h[HEADER_SIZE];
  if (header_size < HEADER_SIZE || header_size > source_remaining(s) ||
      !read_bytes(h, HEADER_SIZE, 1, s) || !source_seek(s, header_size - HEADER_SIZE, SEEK_CUR)) {
    return fail(p, HEADER_SHORT);
  }
  const uint16_t format = be16(h);
  const uint16_t tracks = be16(h + 2);
  const uint16_t division = be16(h + 4);
  if (format == 2) return fail(p, "MIDI format 2 not read");
  if (format > 2) {
    set_error_text(p, "MIDI format %u unknown", static_cast<unsigned>(format));
    return 0;
  }
  if (division & 0x8000) return fail(p, "MIDI SMPTE time not read");
  if (division == 0) return fail(p, "MIDI division of 0");
  r.division = division;
  if (MIDI_BEAT_CLOCK % division == 0) r.clocks_a_tick = MIDI_BEAT_CLOCK / division;
  if (static_cast<int64_t>(tracks) * static_cast<int64_t>(CHUNK_HEAD_SIZE) > source_remaining(s)) {
    return fail(p, TRACKS_PAST_END);
  }
  r.track_names.resize(tracks);
  std::vector<uint8_t> body;
  for (uint16_t track = 0; track < tracks;) {
    if (!read_bytes(head, CHUNK_HEAD_SIZE, 1, s)) return fail(p, TRACKS_PAST_END);
    const uint32_t size = be32(head + 4);
    if (size > source_remaining(s)) return fail(p, TRACKS_PAST_END);
    if (std::memcmp(head, "MTrk", 4) != 0) {
      if (!source_seek(s, size, SEEK_CUR)) return fail(p, TRACKS_PAST_END);
      continue;
    }
    body.resize(size);
    if (size > 0 && !read_bytes(body.data(), size, 1, s)) return fail(p, TRACKS_PAST_END);
    r.bytes_left = source_remaining(s);
    if (!read_track(p, r, body.data(), body.size(), track)) return 0;
    ++track;
  }
  return 1;
}

// 0 to 127 with 64 in the centre onto 0 to 128 with 64 in the centre.
int32_t pan(uint8_t v) {
  return v <= CENTRE_PAN ? v : CENTRE_PAN + ((v - CENTRE_PAN) * 128 + 63) / 126;
}

// Beats of a quarter note a measure of the signature holds, or 0 when not a whole number a
// master can hold.
int32_t measure_beats(uint32_t numerator, uint32_t power) {
  int64_t quarters = numerator * 4;
  for (uint32_t i = 0; i < power; ++i) {
    if (quarters % 2 != 0) return 0;
    quarters /= 2;
  }
  return quarters >= 1 && quarters <= BEAT_NUM_MAX ? static_cast<int32_t>(quarters) : 0;
}

// Later metas of another value than the one before them: what holding the first loses.
int64_t changes_after_first(const std::vector<Meta>& metas) {
  int64_t n = 0;
  for (size_t i = 1; i < metas.size(); ++i) n += metas[i].value != metas[i - 1].value ? 1 : 0;
  return n;
}

void read_master(Project& p, Reading& r, std::vector<std::string>& lines) {
  auto by_time = [](const Meta& a, const Meta& b) { return before(a, b); };
  std::sort(r.tempos.begin(), r.tempos.end(), by_time);
  std::sort(r.signatures.begin(), r.signatures.end(), by_time);
  p.beat_clock = MIDI_BEAT_CLOCK;
  p.beat_tempo = 120.0f;
  p.beat_num = 4;
  if (!r.tempos.empty()) {
    p.beat_tempo =
        static_cast<float>(MICROSECONDS_A_MINUTE) / static_cast<float>(r.tempos[0].value);
  }
  if (!r.signatures.empty()) {
    const uint32_t numerator = r.signatures[0].value >> 8, power = r.signatures[0].value & 0xFF;
    const int32_t beats = measure_beats(numerator, power);
    if (beats > 0) {
      p.beat_num = beats;
    } else {
      const std::string denominator =
          power < 32 ? std::to_string(1u << power) : "2^" + std::to_string(power);
      lines.push_back("\n* MIDI: time signature " + std::to_string(numerator) + "/" + denominator +
                      " read as 4 beats a measure");
    }
  }
  const int64_t tempos = changes_after_first(r.tempos);
  if (tempos > 0) {
    lines.push_back("\n* MIDI: " + counted(tempos, "tempo change", "tempo changes") +
                    " after the first not read");
  }
  const int64_t signatures = changes_after_first(r.signatures);
  if (signatures > 0) {
    lines.push_back(
        "\n* MIDI: " + counted(signatures, "time signature change", "time signature changes") +
        " after the first not read");
  }
}

// Whether the control comes before the unit's first note, as a player meets them.
bool before_first_note(const Control& c, const UnitPlan& plan) {
  return c.tick != plan.first_tick ? c.tick < plan.first_tick
                                   : static_cast<size_t>(c.notes_before) <= plan.first_note;
}

// After every track: the notes are dealt (see deal_notes) unless one of them is too long.
int plan_units(Project& p, Reading& r, std::vector<UnitPlan>& units, int64_t* dropped) {
  if (r.too_long) return fail(p, SONG_TOO_LONG);
  *dropped = r.dropped;
  units = std::move(r.units);
  r.notes = {};
  r.next_open = {};
  return 1;
}

// The track's name, or "ch N", with " 2", " 3", ... for the track and channel's later units,
// cut to the name field without splitting a UTF-8 character or losing the number.
void name_unit(Unit& unit, const UnitPlan& plan, const Reading& r) {
  std::string base = r.track_names[plan.track];
  // Appended rather than added to a literal, which g++ 12 warns of wrongly when optimising.
  if (base.empty()) base.append("ch ").append(std::to_string(plan.channel + 1));
  std::string suffix;
  if (plan.lane > 0) suffix.append(" ").append(std::to_string(plan.lane + 1));
  size_t room = NAME_FIELD_SIZE - suffix.size();
  if (base.size() > room) {
    while (room > 0 && (static_cast<uint8_t>(base[room]) & 0xC0) == 0x80) --room;
    base.resize(room);
  }
  const std::string name = base + suffix;
  std::memset(unit.name, 0, sizeof unit.name);
  std::memcpy(unit.name, name.data(), std::min<size_t>(name.size(), NAME_FIELD_SIZE));
  unit.name_len = NAME_FIELD_SIZE;
}

// The value of the channel's last control of a kind before the unit's first note, or -1.
int32_t value_before(const ControlList& list, const UnitPlan& plan) {
  auto it = std::partition_point(list.begin(), list.end(),
                                 [&plan](const Control& c) { return before_first_note(c, plan); });
  return it == list.begin() ? -1 : std::prev(it)->value;
}

// The woice of a unit in the first free slot: a drum unit plays a qxNoise (the bass drum when
// most of its notes are bass drums) whose basic key is its most played key, so that this key
// sounds as the noise was made; the others the qxVoice of their channel's program family.
int add_unit_woice(Project& p, const Reading& r, const UnitPlan& plan) {
  Woice* w = nullptr;
  const char* name;
  if (plan.channel == DRUM_CHANNEL) {
    int32_t played[KEY_NUM] = {};
    int32_t bass_drums = 0;
    for (size_t i = plan.begin; i < plan.end; ++i) {
      const uint8_t key = r.played[i].key;
      ++played[key];
      bass_drums += key == 35 || key == 36 ? 1 : 0;
    }
    const bool bass = static_cast<size_t>(bass_drums) * 2 > plan.count();
    if (!load_builtin_noise(p, bass ? BASS_DRUM_NOISE : DRUM_NOISE)) return 0;
    const int key = static_cast<int>(std::max_element(played, played + KEY_NUM) - played);
    w = p.woices[static_cast<size_t>(leading_woice_count(p) - 1)].get();
    w->voices[0].basic_key = KEY_ORIGIN + (key - NOTE_AT_KEY_ORIGIN) * KEY_STEP;
    name = DRUM_NAME;
  } else {
    // Without a program change the channel plays program 0, a piano.
    const int32_t program =
        std::max(value_before(r.controls[plan.channel][CONTROL_KIND_PROGRAM], plan), 0);
    if (!load_builtin_voice(p, midi_family_material(program))) return 0;
    w = p.woices[static_cast<size_t>(leading_woice_count(p) - 1)].get();
    name = midi_family_name(program);
  }
  std::memset(w->name, 0, sizeof w->name);
  std::memcpy(w->name, name, std::min(std::strlen(name), sizeof w->name));
  w->name_len = NAME_FIELD_SIZE;
  return 1;
}

// A unit's volume or pan from a clock on.
struct Change {
  int32_t clock;
  int32_t value;
};

// Volume and pan changes a file may give: as many as it has bytes, beside its notes. Each
// change goes to every unit of its channel that sounds then, so without a bound a few
// megabytes of changes under fifty overlapping notes would make a hundred million events.
struct ControlBudget {
  size_t left = 0;
  int64_t dropped = 0;
};

// A unit's volume or pan: a change while one of its notes sounds goes in at its clock; one
// while it is silent (or before its first note) waits for its next note to start. A value it
// already has is not given again, and of two at one clock the later stands.
void put_controls(std::vector<Change>& puts, const Reading& r, const UnitPlan& plan,
                  ControlKind kind, ControlBudget& budget) {
  const ControlList& list = r.controls[plan.channel][kind];
  // Velocities and volumes count to 127 in songs as in MIDI files; pans reach 128.
  auto mapped = [kind](uint8_t v) { return kind == CONTROL_KIND_VOLUME ? int32_t{v} : pan(v); };
  int32_t now = kind == CONTROL_KIND_VOLUME ? DEFAULT_VOLUME : CENTRE_PAN;
  size_t last = SIZE_MAX;
  auto put = [&](int32_t clock, int32_t value) {
    if (value == now) return;
    if (last != SIZE_MAX && puts[last].clock == clock) {
      puts[last].value = value;
    } else if (budget.left == 0) {
      ++budget.dropped;
      return;
    } else {
      --budget.left;
      last = puts.size();
      puts.push_back({clock, value});
    }
    now = value;
  };
  auto notes = [&r, &plan](size_t i) -> const Played& { return r.played[plan.begin + i]; };
  const size_t count = plan.count();
  // What the channel holds when the first note starts, by the order a player meets them in.
  auto it = std::partition_point(list.begin(), list.end(),
                                 [&plan](const Control& c) { return before_first_note(c, plan); });
  int32_t waiting = it == list.begin() ? -1 : mapped(std::prev(it)->value);
  size_t next = 0;  // the first note not yet started
  for (; it != list.end(); ++it) {
    const int64_t clock = clock_of(r, it->tick);
    for (; next < count && notes(next).clock <= clock; ++next) {
      if (waiting >= 0) put(notes(next).clock, waiting);
      waiting = -1;
    }
    if (next == count && clock >= int64_t{notes(next - 1).clock} + notes(next - 1).length) {
      break;  // after the unit's last note: nothing more to play with it
    }
    const bool sounding =
        next > 0 && clock < int64_t{notes(next - 1).clock} + notes(next - 1).length;
    if (sounding) {
      put(static_cast<int32_t>(clock), mapped(it->value));
    } else {
      waiting = mapped(it->value);
    }
  }
  if (next < count && waiting >= 0) put(notes(next).clock, waiting);
}

// The events a unit makes, from its notes and its volume and pan changes: the voice number
// at clock 0; at each note its key and velocity where they change, and the note itself.
struct UnitEvents {
  const Blocks<Played>* played;
  size_t note;  // its notes: played from note to notes_end
  size_t notes_end;
  const Change* volume;
  const Change* volume_end;
  const Change* pan;
  const Change* pan_end;
  int32_t key_now = -1;
  int32_t velocity_now = DEFAULT_VELOCITY;
  bool voice_due = true;
};

int32_t key_of(uint8_t note) {
  return KEY_ORIGIN + (note - NOTE_AT_KEY_ORIGIN) * KEY_STEP;
}

// The unit's events in all.
int64_t event_count(const UnitEvents& u) {
  int64_t n = 1 + (u.volume_end - u.volume) + (u.pan_end - u.pan);
  int32_t key_now = u.key_now;
  int32_t velocity_now = u.velocity_now;
  for (size_t i = u.note; i < u.notes_end; ++i) {
    const Played* it = &(*u.played)[i];
    const int32_t key = key_of(it->key);
    n += 1 + (key != key_now ? 1 : 0) + (it->velocity != velocity_now ? 1 : 0);
    key_now = key;
    velocity_now = it->velocity;
  }
  return n;
}

constexpr int64_t NO_CLOCK = INT64_MAX;

[[gnu::always_inline]] inline int64_t next_clock(const UnitEvents& u) {
  int64_t clock = u.voice_due ? 0 : NO_CLOCK;
  if (u.note != u.notes_end) clock = std::min<int64_t>(clock, (*u.played)[u.note].clock);
  if (u.volume != u.volume_end) clock = std::min<int64_t>(clock, u.volume->clock);
  if (u.pan != u.pan_end) clock = std::min<int64_t>(clock, u.pan->clock);
  return clock;
}

// The kinds a unit makes; at one clock they are stored in the order of their priorities.
enum MadeKind { MADE_VOICE_NO, MADE_KEY, MADE_ON, MADE_VEL, MADE_VOL, MADE_PAN };
constexpr uint8_t MADE_KINDS[] = {EVENT_VOICE_NO, EVENT_KEY, EVENT_ON,
                                  EVENT_VEL,      EVENT_VOL, EVENT_PAN};
constexpr int MADE_KIND_NUM = sizeof MADE_KINDS;

// The events of one clock, by kind, each kind's in unit order.
struct Made {
  int32_t value;
  uint8_t unit;
};
struct ClockEvents {
  std::array<std::array<Made, PROJECT_UNIT_CAPACITY>, MADE_KIND_NUM> made;
  std::array<size_t, MADE_KIND_NUM> num;
};

// Adds the unit's events at the clock; gives the clock of its next ones.
int64_t take_events(UnitEvents& u, uint8_t unit, int64_t clock, ClockEvents& at) {
  auto give = [&at, unit](int kind, int32_t value) {
    at.made[static_cast<size_t>(kind)][at.num[static_cast<size_t>(kind)]++] = {value, unit};
  };
  if (u.voice_due && clock == 0) {
    give(MADE_VOICE_NO, unit);
    u.voice_due = false;
  }
  if (u.note != u.notes_end && (*u.played)[u.note].clock == clock) {
    const Played& n = (*u.played)[u.note];
    const int32_t key = key_of(n.key);
    if (key != u.key_now) give(MADE_KEY, key);
    u.key_now = key;
    give(MADE_ON, n.length);
    if (n.velocity != u.velocity_now) give(MADE_VEL, n.velocity);
    u.velocity_now = n.velocity;
    ++u.note;
  }
  if (u.volume != u.volume_end && u.volume->clock == clock) give(MADE_VOL, (u.volume++)->value);
  if (u.pan != u.pan_end && u.pan->clock == clock) give(MADE_PAN, (u.pan++)->value);
  return next_clock(u);
}

// Stores the units' events in the order event_put would place them: by clock, then kind
// priority, then unit. Each unit's events come in time order, one kind at most at a clock
// (its notes never overlap, and its changes of one kind are at clocks apart), so the units
// are walked side by side, clock by clock. There are PROJECT_UNIT_CAPACITY units at most.
int store_events(Project& p, std::vector<UnitEvents>& units) {
  int64_t total = 0;
  for (const UnitEvents& u : units) total += event_count(u);
  if (total >= INT32_MAX) return fail(p, NO_EVENTS);
  events_release(p);
  // A song of no notes is a song of no events, with a record to spare.
  if (!events_allocate(p, std::max<int32_t>(static_cast<int32_t>(total), 1))) {
    return fail(p, NO_EVENTS);
  }
  std::array<int, MADE_KIND_NUM> order;  // kinds by priority
  for (int i = 0; i < MADE_KIND_NUM; ++i) order[static_cast<size_t>(i)] = i;
  std::sort(order.begin(), order.end(), [](int a, int b) {
    return KIND_PRIORITY[MADE_KINDS[a]] < KIND_PRIORITY[MADE_KINDS[b]];
  });
  std::vector<int64_t> next(units.size());
  for (size_t u = 0; u < units.size(); ++u) next[u] = next_clock(units[u]);
  ClockEvents at;
  for (;;) {
    int64_t clock = NO_CLOCK;
    for (int64_t c : next) clock = std::min(clock, c);
    if (clock == NO_CLOCK) break;
    at.num.fill(0);
    for (size_t u = 0; u < units.size(); ++u) {
      if (next[u] == clock) next[u] = take_events(units[u], static_cast<uint8_t>(u), clock, at);
    }
    for (int kind : order) {
      const auto k = static_cast<size_t>(kind);
      for (size_t i = 0; i < at.num[k]; ++i) {
        const Made& m = at.made[k][i];
        if (!event_store(p, static_cast<int32_t>(clock), m.unit, MADE_KINDS[k], m.value)) {
          return fail(p, NO_EVENTS);
        }
      }
    }
  }
  return 1;
}

}  // namespace

bool midi_extension(const std::string& path) {
  std::string ext = path_find_extension(path_find_file_name(path));
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".mid" || ext == ".midi";
}

const char* midi_family_name(int program) {
  return FAMILIES[std::clamp(program, 0, 127) / 8].name;
}

const char* midi_family_material(int program) {
  return FAMILIES[std::clamp(program, 0, 127) / 8].material;
}

int read_midi(Project& p, ByteSource& s) {
  Reading r;
  r.file_size = source_remaining(s);
  if (!read_chunks(p, s, r)) return 0;
  for (auto& kinds : r.controls) {
    for (auto& list : kinds) {
      // A channel's controls from one track are read in time order already; a stable sort
      // keeps those of one tick and track in the order read.
      auto by_time = [](const Control& a, const Control& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
      };
      if (!std::is_sorted(list.begin(), list.end(), by_time)) {
        std::stable_sort(list.begin(), list.end(), by_time);
      }
    }
  }
  std::vector<std::string> lines;
  read_master(p, r, lines);

  std::vector<UnitPlan> plans;
  int64_t dropped = 0;
  if (!plan_units(p, r, plans, &dropped)) return 0;
  if (dropped > 0) {
    lines.push_back("\n* MIDI: " + counted(dropped, "note", "notes") + " beyond " +
                    std::to_string(PROJECT_UNIT_CAPACITY) + " units not read");
  }
  if (r.other_messages > 0) {
    lines.push_back(
        "\n* MIDI: " + counted(r.other_messages, "channel message", "channel messages") +
        " not read (pitch bend, aftertouch, controls but volume and pan)");
  }

  if (!units_allocate(p, PROJECT_UNIT_CAPACITY)) return fail(p, "Initialize units");
  for (size_t u = 0; u < plans.size(); ++u) {
    if (!unit_add(p) || !p.units[u]) return fail(p, "Initialize units");
    name_unit(*p.units[u], plans[u], r);
    if (!add_unit_woice(p, r, plans[u]) || leading_woice_count(p) != static_cast<int32_t>(u) + 1) {
      return fail(p, "load MIDI woices");
    }
  }
  // Every unit's volume changes, then its pans, unit by unit: the budget runs out in that order.
  ControlBudget budget{static_cast<size_t>(r.file_size)};
  // At most one change for each control of the unit's channel, and one waiting: reserved, so
  // that they are not copied as they grow.
  size_t most = 0;
  for (const UnitPlan& plan : plans) {
    most += r.controls[plan.channel][CONTROL_KIND_VOLUME].size() +
            r.controls[plan.channel][CONTROL_KIND_PAN].size() + 2;
  }
  std::vector<Change> changes;
  changes.reserve(std::min(most, budget.left));
  std::vector<size_t> change_ends;
  for (const UnitPlan& plan : plans) {
    put_controls(changes, r, plan, CONTROL_KIND_VOLUME, budget);
    change_ends.push_back(changes.size());
    put_controls(changes, r, plan, CONTROL_KIND_PAN, budget);
    change_ends.push_back(changes.size());
  }
  if (budget.dropped > 0) {
    lines.push_back(
        "\n* MIDI: " + counted(budget.dropped, "volume or pan change", "volume and pan changes") +
        " not read, more than the file's size allows");
  }
  r.controls = {};
  std::vector<UnitEvents> units(plans.size());
  for (size_t u = 0; u < plans.size(); ++u) {
    const Change* from = changes.data() + (u == 0 ? 0 : change_ends[2 * u - 1]);
    units[u].played = &r.played;
    units[u].note = plans[u].begin;
    units[u].notes_end = plans[u].end;
    units[u].volume = from;
    units[u].volume_end = units[u].pan = changes.data() + change_ends[2 * u];
    units[u].pan_end = changes.data() + change_ends[2 * u + 1];
  }
  if (!store_events(p, units)) return 0;

  std::memset(p.file_magic, 0, sizeof p.file_magic);
  if (!r.track_names.empty() && !r.track_names[0].empty()) p.name_text = r.track_names[0];
  p.repeat_meas = 0;
  p.last_meas = 0;
  meas_num_update(p, events_summarise(p).end_clock);
  for (const std::string& line : lines) print_text(p, "%s", line.c_str());
  return 1;
}
