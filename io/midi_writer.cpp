// Standard MIDI File writer. Each unit's events become one track: notes at the unit's key and
// velocity, its volume, pan and woice as controllers and program changes, and its pitch (keys
// between semitones, key changes under a note, glides) as pitch bends. The tracks are made a
// few units at a time, each such pass reading the song's events once in order; a track's
// messages go into its bytes in the file's order as they are made, the bytes being held until
// the pass ends so that its chunk size is known before it is written.
#include "io/midi_writer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "io/chunk_writers.h"
#include "io/song_reader.h"
#include "project/events.h"
#include "project/project.h"

namespace {

constexpr int UNIT_NUMBERS = 256;  // events carry 8-bit unit numbers
constexpr int CHANNELS_USED = 15;
constexpr int DRUM_CHANNEL = 9;  // zero-based; General MIDI players play it as drums
// What a unit plays with before its first key, velocity, volume and pan events.
constexpr int32_t START_VELOCITY = 104;
constexpr int32_t START_VOLUME = 104;
constexpr int32_t START_PAN = 64;
constexpr int32_t DIVISION_MAX = 0x7FFF;
constexpr int32_t STANDARD_BEAT_CLOCK = 480;  // the editors' beat, for a song without one
constexpr double STANDARD_TEMPO = 120.0;
constexpr int64_t TEMPO_MAX = 0xFFFFFF;
constexpr int64_t KEY_SEMITONE = 256;
constexpr int64_t MIDI_KEY_OF_ORIGIN = 69;
constexpr int64_t BEND_CENTRE = 8192;
constexpr int64_t BEND_MAX = 16383;
constexpr uint8_t NOTE_OFF_VELOCITY = 64;
constexpr uint32_t CHUNK_SIZE_MAX = 0xFFFFFFFF;

int fail(Run& run, const char* text) {
  set_error_text(run, "%s", text);
  return 0;
}

// The kinds a unit track holds, as bits by kind; the others are the caller's to warn about.
constexpr uint32_t WRITTEN_KINDS = 1u << EVENT_ON | 1u << EVENT_KEY | 1u << EVENT_PAN |
                                   1u << EVENT_VEL | 1u << EVENT_VOL | 1u << EVENT_PORTAMENT |
                                   1u << EVENT_VOICE_NO;
bool written_kind(uint8_t kind) {
  return kind < 32 && (WRITTEN_KINDS >> kind & 1u) != 0;
}

// Channels 1 to 9 and 11 to 16 in turn, leaving out the drums.
int channel_of_track(size_t track) {
  const int slot = static_cast<int>(track % CHANNELS_USED);
  return slot < DRUM_CHANNEL ? slot : slot + 1;
}

// The song's beat in clocks; a song without a positive one is read at the editors' 480.
int64_t beat_clocks(const Song& song) {
  return song.beat_clock > 0 ? song.beat_clock : STANDARD_BEAT_CLOCK;
}

// Half away from zero; d > 0.
int64_t round_div(int64_t n, int64_t d) {
  return (n >= 0 ? n + d / 2 : n - d / 2) / d;
}

int64_t floor_div(int64_t n, int64_t d) {
  return n >= 0 ? n / d : -((-n + d - 1) / d);
}

// Where the song's measure marks stand, in clocks.
int64_t measure_clock(const Song& song, int32_t meas) {
  return static_cast<int64_t>(meas) * song.beat_num * beat_clocks(song);
}

// The tracks one pass over the song makes while writing are those of about this share of the
// song's events (a unit larger than that alone, and never fewer than PASS_EVENTS_MIN): a few
// passes, each holding only its tracks' bytes, a few bytes an event of them.
constexpr uint64_t PASS_SHARE = 4;
constexpr uint64_t PASS_EVENTS_MIN = 16384;
// Events beyond the caches are read anew from memory at every pass: a song of this many
// takes half as many passes, each holding twice the bytes (a few an event against the twelve
// its events take), where a smaller song's passes cost little.
constexpr size_t PASS_FEWER_EVENTS = size_t{1} << 19;
constexpr uint64_t PASS_SHARE_FEWER = 2;
// The room a track's bytes take at first, by its events: most tracks need no more.
constexpr size_t TRACK_BYTES_AHEAD = 12;

// The written events of every unit, head and song together.
std::vector<uint32_t> count_track_events(const Song& song, std::span<const Event> head) {
  uint32_t count[UNIT_NUMBERS] = {};
  for (const Event& e : head) count[e.unit_no] += written_kind(e.kind) ? 1 : 0;
  // The song's own from the summary made at load, sparing a walk.
  EventSummary made;
  const EventSummary& summary = events_summary_of(song, made);
  for (size_t u = 0; u < UNIT_NUMBERS; ++u) {
    for (int kind = 0; kind < EVENT_KIND_NUM; ++kind) {
      if (!written_kind(static_cast<uint8_t>(kind))) continue;
      count[u] += summary.count[u * EVENT_KIND_NUM + static_cast<size_t>(kind)];
    }
  }
  return std::vector<uint32_t>(count, count + UNIT_NUMBERS);
}

// The order of messages at one tick: a note ends before anything else happens there, and a
// note starts after its program, controllers and bend are set.
enum Order : uint8_t {
  ORDER_SETUP,  // the bend range and starting controllers, first of all
  ORDER_NOTE_OFF,
  ORDER_PROGRAM,
  ORDER_CONTROL,
  ORDER_BEND,
  ORDER_NOTE_ON
};

struct Message {
  int64_t tick = 0;
  uint8_t order = 0;
  uint32_t seq = 0;  // the order of making, among messages of the same tick and order
  uint8_t size = 0;  // bytes of a channel message; 0: the instrument name of `woice`
  uint8_t bytes[3] = {};
  int32_t woice = 0;
};

bool message_before(const Message& a, const Message& b) {
  if (a.tick != b.tick) return a.tick < b.tick;
  if (a.order != b.order) return a.order < b.order;
  return a.seq < b.seq;
}

// The unit's key as the song plays it: each key event starts a segment that glides from the
// pitch of the moment to the new key over `glide` clocks (0: at once). Pitches stay between
// the keys they glide between, so 32 bits hold them.
struct KeySegment {
  int32_t clock;
  int32_t from;
  int32_t to;
  int32_t glide;
};

// Pitch differences below this, times clocks below 2^31, stay below 2^52.
constexpr uint64_t PITCH_EXACT_SPAN = uint64_t{1} << 21;

int64_t pitch_at(const KeySegment& s, int64_t clock) {
  const int64_t glide_end = static_cast<int64_t>(s.clock) + s.glide;
  if (s.glide <= 0 || clock >= glide_end) return s.to;
  if (clock <= s.clock) return s.from;
  const int64_t diff = static_cast<int64_t>(s.to) - s.from;
  const int64_t passed = clock - s.clock;  // below the glide, so below 2^31
  // Below 2^52 the quotient in doubles, rounded half away from zero, is the exact one's.
  const uint64_t span = static_cast<uint64_t>(diff < 0 ? -diff : diff);
  if (span < PITCH_EXACT_SPAN) {
    const uint64_t moved =
        (span * static_cast<uint64_t>(passed) + static_cast<uint64_t>(s.glide) / 2) /
        static_cast<uint64_t>(s.glide);
    return diff < 0 ? s.from - static_cast<int64_t>(moved) : s.from + static_cast<int64_t>(moved);
  }
  const double moved = static_cast<double>(static_cast<int64_t>(s.to) - s.from) *
                       static_cast<double>(clock - s.clock) / static_cast<double>(s.glide);
  return s.from + std::llround(moved);
}

struct Note {
  int32_t on;
  int32_t length;  // > 0
  int32_t key;
  int32_t velocity;
  int64_t end() const { return static_cast<int64_t>(on) + length; }
};

// Insertion sort, which costs what is out of order; past a few moves an element it gives
// way to a full sort, so that no input makes it quadratic.
template <typename It, typename Less>
void sort_nearly_ordered(It first, It last, Less less) {
  const auto n = static_cast<size_t>(last - first);
  size_t moves = 0;
  const size_t budget = 8 * n + 64;
  for (It i = first; i != last; ++i) {
    if (i == first || !less(*i, *(i - 1))) continue;
    auto v = std::move(*i);
    It j = i;
    do {
      *j = std::move(*(j - 1));
      --j;
    } while (j != first && less(v, *(j - 1)) && ++moves <= budget);
    *j = std::move(v);
    if (moves > budget) {
      std::sort(first, last, less);
      return;
    }
  }
}

// The songs' pans run from 0 to 128 with 64 in the centre: 64 to 128 go onto 64 to 127, as
// the reader of MIDI files takes them back.
int64_t midi_pan(int64_t v) {
  const int64_t right = v <= 64 ? v : 64 + ((v - 64) * 126 + 64) / 128;
  return std::clamp<int64_t>(right, 0, 127);
}

// Track bytes: delta times as variable-length quantities from the tick written last. The
// buffer only grows, and is kept from one track to the next.
struct TrackBytes {
  // The room is not zeroed: what is taken and not yet written costs no memory.
  std::unique_ptr<uint8_t[]> b;
  size_t room_size = 0;
  size_t n = 0;  // the track's bytes so far
  int64_t at = 0;

  void clear() {
    n = 0;
    at = 0;
  }
  [[gnu::noinline]] void grow(size_t k) {
    const size_t size = std::max(2 * room_size, n + k);
    std::unique_ptr<uint8_t[]> more(new uint8_t[size]);  // not zeroed
    if (n > 0) std::memcpy(more.get(), b.get(), n);
    b = std::move(more);
    room_size = size;
  }
  // Room taken ahead costs nothing until written, and spares the copies of growing.
  void reserve(size_t size) {
    if (size > room_size) grow(size - n);
  }
  uint8_t* room(size_t k) {
    if (room_size - n < k) [[unlikely]]
      grow(k);
    return b.get() + n;
  }
  static uint8_t* vlq(uint8_t* p, uint32_t v) {
    if (v < 0x80) {
      *p++ = static_cast<uint8_t>(v);
      return p;
    }
    uint8_t tmp[5];
    int k = 0;
    tmp[k++] = static_cast<uint8_t>(v & 0x7F);
    while (v >>= 7) tmp[k++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
    while (k > 0) *p++ = tmp[--k];
    return p;
  }
  uint8_t* delta(uint8_t* p, int64_t tick) {
    p = vlq(p, static_cast<uint32_t>(tick - at));
    at = tick;
    return p;
  }
  void channel(int64_t tick, const uint8_t* bytes, uint8_t size) {
    uint8_t* p = delta(room(5 + 3), tick);
    for (uint8_t i = 0; i < size; ++i) *p++ = bytes[i];
    n = static_cast<size_t>(p - b.get());
  }
  void meta(int64_t tick, uint8_t type, const void* data, size_t size) {
    size = std::min<size_t>(size, MIDI_TICK_MAX);  // what a length field holds
    uint8_t* p = delta(room(5 + 2 + 5 + size), tick);
    *p++ = 0xFF;
    *p++ = type;
    p = vlq(p, static_cast<uint32_t>(size));
    const auto* from = static_cast<const uint8_t*>(data);
    p = std::copy(from, from + size, p);
    n = static_cast<size_t>(p - b.get());
  }
  void text(int64_t tick, uint8_t type, const std::string& s) {
    meta(tick, type, s.data(), s.size());
  }
  void end() { meta(at, 0x2F, "", 0); }
};

// What making a track needs; the writer keeps them from one pass to the next.
struct TrackWork {
  std::vector<Message> settings;  // the setup, controllers, programs and instrument names
  std::vector<Message> messages;  // every message, for a track whose events go back in time
  std::vector<KeySegment> segments;
  std::vector<Note> notes;
  TrackBytes bytes;
};

std::string unit_track_name(const Song& song, int unit) {
  const auto slot = static_cast<size_t>(unit);
  if (slot < song.units.size() && song.units[slot]) return name_field_text(song.units[slot]->name);
  char text[16];
  std::snprintf(text, sizeof text, "unit %02d", unit);
  return text;
}

// Where reading a unit's events stands: its settings, and the clock of the events read last
// with the note starting there. Of the notes that start at one clock only the last is kept:
// the next note ends a note, and in the tick it starts in a note is not played.
constexpr int64_t NO_CLOCK = INT64_MIN;  // before the first event
struct Reading {
  int32_t velocity = START_VELOCITY;
  int64_t volume = START_VOLUME;
  int64_t pan = START_PAN;
  int32_t key = DEFAULT_KEY;
  int32_t glide = 0;
  int32_t woice = -1;
  int64_t clock = NO_CLOCK;  // of the events read last
  int32_t length = 0;        // of the last note that starts there; 0: none
};
// Making a unit's track: once to learn what it holds within MIDI's ranges (the plan, which
// keeps nothing), once to write its bytes. The settings are kept as messages as they are read;
// a note is played once the next one is read, and where the unit's events are in time order
// its messages then come in the file's order and go straight into bytes, the settings before
// them merged in. A unit whose events go back in time is read whole and its messages sorted.
enum TrackMode { TRACK_COUNT, TRACK_WRITE };

struct TrackMaker {
  const Song& song;
  const MidiPlan& plan;
  TrackMode mode;
  uint8_t channel;
  TrackWork& w;
  int unit;
  int64_t notes_held = 0;  // keys past MIDI's 0 to 127
  int64_t bends_held = 0;  // notes bent further than the bend range
  int64_t last_tick = 0;
  uint32_t seq = 0;
  int64_t bend_sent = BEND_CENTRE;
  // Reading the song for every unit at once, each note is played as soon as the next one is
  // known; otherwise all are played once every event has been read.
  bool streaming = false;
  bool in_order = true;     // the unit's clocks never go back: the notes' messages come sorted
  size_t next_setting = 0;  // the first setting not yet in the bytes
  size_t active = 0;        // key segments that started at or before the last note played
  Reading r = {};
  // A note's start waits for the bend at its own tick, which comes before it.
  bool on_waiting = false;
  int64_t on_tick = 0;
  uint8_t on_bytes[3] = {};

  // Most beats need no division, and a division is dear at every message (a test of the
  // divisor itself would be folded into the division).
  const bool divided = plan.clock_divisor != 1;
  int64_t tick_of(int64_t clock) const {
    const int64_t c = std::max<int64_t>(clock, 0);
    return divided ? c / plan.clock_divisor : c;
  }

  void put(const Message& m) {
    if (m.size == 0) {
      w.bytes.text(m.tick, 0x04, name_field_text(song.woices[static_cast<size_t>(m.woice)]->name));
    } else {
      w.bytes.channel(m.tick, m.bytes, m.size);
    }
  }
  // A program, controller or instrument name: the plan only sees how far the track goes.
  void setting(const Message& m) {
    last_tick = std::max(last_tick, m.tick);
    if (mode == TRACK_WRITE) w.settings.push_back(m);
  }
  Message channel_message(int64_t tick, Order order, uint8_t status, uint8_t a, int b) {
    Message m;
    m.tick = tick;
    m.order = order;
    m.seq = seq++;
    m.bytes[0] = static_cast<uint8_t>(status | channel);
    m.bytes[1] = a;
    m.bytes[2] = static_cast<uint8_t>(b < 0 ? 0 : b);
    m.size = b < 0 ? 2 : 3;
    return m;
  }
  void control(int64_t tick, uint8_t controller, int64_t value, Order order = ORDER_CONTROL) {
    setting(channel_message(tick, order, 0xB0, controller,
                            static_cast<int>(std::clamp<int64_t>(value, 0, 127))));
  }
  void instrument_name(int64_t tick, int32_t woice) {
    Message m;
    m.tick = tick;
    m.order = ORDER_PROGRAM;
    m.seq = seq++;
    m.woice = woice;
    setting(m);
  }

  // A note's message (start, end or bend), in the file's order where the events are in time
  // order: the settings before it go first.
  [[gnu::noinline]] void settings_before(int64_t tick, Order order) {
    while (next_setting < w.settings.size()) {
      const Message& s = w.settings[next_setting];
      if (s.tick > tick || (s.tick == tick && s.order > order)) break;
      put(s);
      ++next_setting;
    }
  }
  void note_message(int64_t tick, Order order, uint8_t status, uint8_t a, uint8_t b) {
    if (!in_order) [[unlikely]] {
      w.messages.push_back(channel_message(tick, order, status, a, b));
      return;
    }
    if (next_setting < w.settings.size() && w.settings[next_setting].tick <= tick) {
      settings_before(tick, order);
    }
    TrackBytes& out = w.bytes;
    uint8_t* p = out.delta(out.room(5 + 3), tick);
    p[0] = static_cast<uint8_t>(status | channel);
    p[1] = a;
    p[2] = b;
    out.n = static_cast<size_t>(p + 3 - out.b.get());
  }
  void note_on_due() {
    if (!on_waiting) return;
    on_waiting = false;
    note_message(on_tick, ORDER_NOTE_ON, 0x90, on_bytes[1], on_bytes[2]);
  }

  void start() {
    // The bend range (RPN 0), then the RPN deselected so that later data entries change
    // nothing.
    control(0, 101, 0, ORDER_SETUP);
    control(0, 100, 0, ORDER_SETUP);
    control(0, 6, MIDI_BEND_RANGE, ORDER_SETUP);
    control(0, 38, 0, ORDER_SETUP);
    control(0, 101, 127, ORDER_SETUP);
    control(0, 100, 127, ORDER_SETUP);
    control(0, 7, START_VOLUME, ORDER_SETUP);
    control(0, 10, START_PAN, ORDER_SETUP);
  }

  void bend(int64_t tick, int64_t value) {
    if (mode == TRACK_COUNT || value == bend_sent) return;
    if (tick > on_tick) note_on_due();
    note_message(tick, ORDER_BEND, 0xE0, static_cast<uint8_t>(value & 0x7F),
                 static_cast<uint8_t>((value >> 7) & 0x7F));
    bend_sent = value;
  }

  // The bend that puts note `key_of_note` at `pitch`, held within the range.
  static int64_t bend_for(int64_t pitch, int64_t key_of_note, bool& held) {
    const int64_t diff = pitch - key_of_note;
    const int64_t span = MIDI_BEND_RANGE * KEY_SEMITONE;
    if (diff > span || diff < -span) held = true;
    return std::clamp<int64_t>(BEND_CENTRE + round_div(diff * BEND_CENTRE, span), 0, BEND_MAX);
  }

  // Whether no pitch the note's bends are taken from can be further than the bend range from
  // its key: every pitch of a segment lies between the keys it glides between.
  static bool bends_within(int64_t cut, int64_t key_of_note, std::span<const KeySegment> segments,
                           size_t active) {
    const int64_t span = MIDI_BEND_RANGE * KEY_SEMITONE;
    const auto near = [&](int64_t pitch) {
      return pitch - key_of_note <= span && pitch - key_of_note >= -span;
    };
    if (active == 0 && !near(DEFAULT_KEY)) return false;
    for (size_t k = active > 0 ? active - 1 : 0; k < segments.size(); ++k) {
      const KeySegment& s = segments[k];
      if (k >= active && s.clock >= cut) break;
      if (!near(s.from) || !near(s.to)) return false;
    }
    return true;
  }

  // The note's bends: at its start, at every key change under it and along every glide, one
  // a tick at most (the last of the tick) and only where the bend changes.
  void note_bends(const Note& n, int64_t cut, int64_t off_tick, int64_t key_of_note,
                  std::span<const KeySegment> segments, size_t active) {
    bool held = false;
    int64_t pending_tick = tick_of(n.on);
    int64_t pending = bend_for(active > 0 ? pitch_at(segments[active - 1], n.on) : DEFAULT_KEY,
                               key_of_note, held);
    // Counting, the first bend held settles the note.
    const bool counting = mode == TRACK_COUNT;
    if (counting && held) {
      ++bends_held;
      return;
    }
    const auto point_pitch = [&](int64_t clock, int64_t pitch) {
      const int64_t tick = tick_of(clock);
      if (tick >= off_tick) return;
      const int64_t value = bend_for(pitch, key_of_note, held);
      if (tick != pending_tick) bend(pending_tick, pending);
      pending_tick = tick;
      pending = value;
    };
    const auto point = [&](int64_t clock, const KeySegment& s) {
      if (tick_of(clock) < off_tick) point_pitch(clock, pitch_at(s, clock));
    };
    for (size_t k = active > 0 ? active - 1 : 0;
         k < segments.size() && segments[k].clock < cut && !(counting && held); ++k) {
      const KeySegment& s = segments[k];
      const int64_t until =
          std::min<int64_t>(k + 1 < segments.size() ? segments[k + 1].clock : cut, cut);
      if (s.clock > n.on) point(s.clock, s);
      if (s.glide <= 0) continue;
      const int64_t step = std::max<int64_t>(
          plan.glide_step,
          (static_cast<int64_t>(s.glide) + MIDI_GLIDE_STEP_MAX - 1) / MIDI_GLIDE_STEP_MAX);
      const int64_t glide_end = static_cast<int64_t>(s.clock) + s.glide;
      int64_t at = n.on > s.clock
                       ? s.clock + ((n.on - static_cast<int64_t>(s.clock)) / step + 1) * step
                       : s.clock + step;
      const int64_t diff = static_cast<int64_t>(s.to) - s.from;
      const uint64_t span = static_cast<uint64_t>(diff < 0 ? -diff : diff);
      if (at < glide_end && at < until && span < PITCH_EXACT_SPAN) {
        // Along the glide the pitch moves by span * step / glide a step: the quotient and
        // remainder carried from step to step, as pitch_at would divide at each.
        const auto glide = static_cast<uint64_t>(s.glide);
        const uint64_t moved = span * static_cast<uint64_t>(at - s.clock) + glide / 2;
        uint64_t q = moved / glide, rest = moved % glide;
        const uint64_t per_step = span * static_cast<uint64_t>(step);
        const uint64_t step_q = per_step / glide, step_rest = per_step % glide;
        for (; at < glide_end && at < until && tick_of(at) < off_tick; at += step) {
          point_pitch(
              at, diff < 0 ? s.from - static_cast<int64_t>(q) : s.from + static_cast<int64_t>(q));
          q += step_q;
          rest += step_rest;
          if (rest >= glide) {
            rest -= glide;
            ++q;
          }
        }
      }
      for (; at < glide_end && at < until; at += step) point(at, s);
      if (glide_end > n.on && glide_end < until) point(glide_end, s);
    }
    bend(pending_tick, pending);
    if (held) ++bends_held;
  }

  // Plays the notes whose next note is known (every one when `last`), then forgets them and
  // the key segments no later note reads.
  void play_ready(bool last) {
    const std::span<const Note> notes = w.notes;
    const std::span<const KeySegment> segments = w.segments;
    const size_t ready = last ? notes.size() : notes.size() - std::min<size_t>(notes.size(), 1);
    if (mode == TRACK_WRITE) {
      // The settings to merge in, in the file's order (those not yet come are later still).
      sort_nearly_ordered(w.settings.begin() + static_cast<std::ptrdiff_t>(next_setting),
                          w.settings.end(), message_before);
    }
    for (size_t i = 0; i < ready; ++i) {
      const Note& n = notes[i];
      const int64_t note_on = tick_of(n.on);
      int64_t off_tick = std::max(tick_of(n.end()), note_on + 1);
      int64_t cut = n.end();
      // A unit plays one note at a time: the next note ends this one.
      if (i + 1 < notes.size()) {
        off_tick = std::min(off_tick, tick_of(notes[i + 1].on));
        cut = std::min<int64_t>(cut, notes[i + 1].on);
      }
      while (active < segments.size() && segments[active].clock <= n.on) ++active;
      if (off_tick <= note_on) continue;  // the next note starts in the same tick
      const int64_t number =
          MIDI_KEY_OF_ORIGIN + floor_div(n.key - KEY_ORIGIN + KEY_SEMITONE / 2, KEY_SEMITONE);
      if (number < 0 || number > 127) ++notes_held;
      // A note beyond MIDI's keys is bent as at its own key, then written at the nearest.
      const int64_t key_of_note = KEY_ORIGIN + (number - MIDI_KEY_OF_ORIGIN) * KEY_SEMITONE;
      const auto note = static_cast<uint8_t>(std::clamp<int64_t>(number, 0, 127));
      if (mode == TRACK_COUNT) {
        // Counting needs the bends only where one may be held.
        last_tick = std::max(last_tick, off_tick);
        if (!bends_within(cut, key_of_note, segments, active)) {
          note_bends(n, cut, off_tick, key_of_note, segments, active);
        }
        continue;
      }
      on_waiting = true;
      on_tick = note_on;
      on_bytes[1] = note;
      on_bytes[2] = static_cast<uint8_t>(std::clamp(n.velocity, 1, 127));
      note_bends(n, cut, off_tick, key_of_note, segments, active);
      note_on_due();
      note_message(off_tick, ORDER_NOTE_OFF, 0x80, note, NOTE_OFF_VELOCITY);
    }
    // The next note reads from the segment it starts in on (or from them all while none has
    // started).
    w.notes.erase(w.notes.begin(), w.notes.begin() + static_cast<std::ptrdiff_t>(ready));
    const size_t done = active > 0 ? active - 1 : 0;
    w.segments.erase(w.segments.begin(), w.segments.begin() + static_cast<std::ptrdiff_t>(done));
    active -= done;
    w.settings.erase(w.settings.begin(),
                     w.settings.begin() + static_cast<std::ptrdiff_t>(next_setting));
    next_setting = 0;
  }

  // At one clock a unit's settings take effect before its notes start.
  // Notes are played a few at a time: what is left to merge and forget stays small.
  static constexpr size_t NOTES_PLAYED_TOGETHER = 64;
  void end_clock(const Reading& r) {
    if (r.length <= 0) return;
    w.notes.push_back({static_cast<int32_t>(r.clock), r.length, r.key, r.velocity});
    if (streaming && in_order && w.notes.size() > NOTES_PLAYED_TOGETHER) play_ready(false);
  }
  void read_event(Reading& r, int32_t clock, int32_t value, uint8_t kind) {
    if (clock != r.clock) {
      if (r.clock != NO_CLOCK) {
        end_clock(r);
        if (clock < r.clock) in_order = false;
      }
      r.clock = clock;
      r.length = 0;
    }
    switch (kind) {
      case EVENT_ON:
        if (value > 0) r.length = value;
        break;
      case EVENT_KEY: {
        const int64_t from = w.segments.empty() ? DEFAULT_KEY : pitch_at(w.segments.back(), clock);
        r.key = value;
        w.segments.push_back({clock, static_cast<int32_t>(from), r.key, r.glide});
        break;
      }
      case EVENT_PORTAMENT:
        r.glide = std::max(value, 0);
        break;
      case EVENT_VEL:
        r.velocity = value;
        break;
      case EVENT_VOL:
        if (std::clamp<int64_t>(value, 0, 127) != r.volume) control(tick_of(clock), 7, value);
        r.volume = std::clamp<int64_t>(value, 0, 127);
        break;
      case EVENT_PAN:
        if (midi_pan(value) != r.pan) control(tick_of(clock), 10, midi_pan(value));
        r.pan = midi_pan(value);
        break;
      case EVENT_VOICE_NO: {
        if (value == r.woice) break;
        r.woice = value;
        const int64_t tick = tick_of(clock);
        if (r.woice >= 0 && static_cast<size_t>(r.woice) < song.woices.size() &&
            song.woices[static_cast<size_t>(r.woice)]) {
          instrument_name(tick, r.woice);
        }
        setting(channel_message(tick, ORDER_PROGRAM, 0xC0,
                                static_cast<uint8_t>(std::clamp(r.woice, 0, 127)), -1));
        break;
      }
      default:
        break;
    }
  }

  void begin() {
    if (mode == TRACK_WRITE) {
      w.bytes.clear();
      w.bytes.reserve(TRACK_BYTES_AHEAD * plan.unit_events[static_cast<size_t>(unit)] + 256);
      w.bytes.text(0, 0x03, unit_track_name(song, unit));
    }
    w.settings.clear();
    w.messages.clear();
    w.segments.clear();
    w.notes.clear();
    start();
  }
  void event(int32_t clock, int32_t value, uint8_t kind) { read_event(r, clock, value, kind); }
  void finish() {
    if (r.clock != NO_CLOCK) end_clock(r);
    if (mode == TRACK_WRITE && !in_order) {
      // Events back in time: every message is put in order, the settings' and the notes'
      // apart and then merged, as they were made.
      sort_nearly_ordered(w.settings.begin(), w.settings.end(), message_before);
      play_ready(true);  // into w.messages
      sort_nearly_ordered(w.messages.begin(), w.messages.end(), message_before);
      const size_t settings = w.settings.size();
      w.settings.insert(w.settings.end(), w.messages.begin(), w.messages.end());
      const auto mid = w.settings.begin() + static_cast<std::ptrdiff_t>(settings);
      std::inplace_merge(w.settings.begin(), mid, w.settings.end(), message_before);
      for (const Message& m : w.settings) put(m);
      w.bytes.end();
      return;
    }
    play_ready(true);
    if (mode == TRACK_COUNT) return;
    sort_nearly_ordered(w.settings.begin(), w.settings.end(), message_before);
    for (const Message& m : w.settings) put(m);
    w.bytes.end();
  }
};

// The written events of the units given a maker, each handed to its maker in order: the
// head's, then the song's. `slot` gives each unit number's maker, or -1.
template <typename Maker>
void read_song(const Song& song, std::span<const Event> head, const int16_t (&slot)[UNIT_NUMBERS],
               std::span<Maker> makers) {
  Maker* maker_of[UNIT_NUMBERS];
  for (size_t u = 0; u < UNIT_NUMBERS; ++u) {
    maker_of[u] = slot[u] < 0 ? nullptr : &makers[static_cast<size_t>(slot[u])];
  }
  const auto feed = [&](std::span<const Event> events) {
    for (const Event& e : events) {
      Maker* m = maker_of[e.unit_no];
      if (!m || !written_kind(e.kind)) continue;
      // A unit found going back in time is made again on its own, read whole.
      if (m->in_order || !m->streaming) m->event(e.clock, e.value, e.kind);
    }
  };
  feed(head);
  feed(std::span<const Event>(song.events.data(), song.events.size()));
}

// Makes the tracks of units[first, last) in one pass over the song, then hands each maker to
// `done` in track order. `work` has room for them.
template <typename Done>
void make_tracks(const Song& song, std::span<const Event> head, const MidiPlan& plan,
                 TrackMode mode, std::span<const int> units, std::vector<TrackWork>& work,
                 Done&& done) {
  int16_t slot[UNIT_NUMBERS];
  std::fill(std::begin(slot), std::end(slot), static_cast<int16_t>(-1));
  std::vector<TrackMaker> makers;
  makers.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const auto u = static_cast<size_t>(units[i]);
    const auto channel = static_cast<uint8_t>(mode == TRACK_WRITE ? plan.channel_of_unit[u] : 0);
    makers.push_back(TrackMaker{song, plan, mode, channel, work[i], units[i]});
    makers.back().streaming = true;
    // A unit twice in the plan is made twice, the second time on its own.
    if (slot[u] < 0) {
      slot[u] = static_cast<int16_t>(i);
      makers.back().begin();
    }
  }
  read_song(song, head, slot, std::span<TrackMaker>(makers));
  for (size_t i = 0; i < units.size(); ++i) {
    const auto u = static_cast<size_t>(units[i]);
    if (slot[u] == static_cast<int16_t>(i) && makers[i].in_order) {
      makers[i].finish();
      done(units[i], makers[i]);
      continue;
    }
    int16_t alone[UNIT_NUMBERS];
    std::fill(std::begin(alone), std::end(alone), static_cast<int16_t>(-1));
    alone[u] = 0;
    TrackMaker maker{song, plan, mode, makers[i].channel, work[i], units[i]};
    maker.begin();
    read_song(song, head, alone, std::span<TrackMaker>(&maker, 1));
    maker.finish();
    done(units[i], maker);
  }
}

struct Marker {
  int64_t tick;
  const char* text;
};

// The loop markers at the repeat and last positions the song sets.
std::vector<Marker> loop_markers(const Song& song, const MidiPlan& plan) {
  std::vector<Marker> markers;
  const auto tick = [&](int32_t meas) {
    return std::max<int64_t>(measure_clock(song, meas), 0) / plan.clock_divisor;
  };
  if (song.repeat_meas > 0) markers.push_back({tick(song.repeat_meas), "loopStart"});
  if (song.last_meas > 0) markers.push_back({tick(song.last_meas), "loopEnd"});
  std::stable_sort(markers.begin(), markers.end(),
                   [](const Marker& a, const Marker& b) { return a.tick < b.tick; });
  return markers;
}

uint8_t time_signature_numerator(const Song& song) {
  return static_cast<uint8_t>(std::clamp(song.beat_num, 1, 255));
}

void conductor_bytes(const Song& song, const MidiPlan& plan, TrackBytes& out) {
  if (song.name_text) out.text(0, 0x03, *song.name_text);
  if (song.comment_text) out.text(0, 0x01, *song.comment_text);
  const uint8_t tempo[3] = {static_cast<uint8_t>(plan.tempo >> 16),
                            static_cast<uint8_t>(plan.tempo >> 8),
                            static_cast<uint8_t>(plan.tempo)};
  out.meta(0, 0x51, tempo, sizeof tempo);
  const uint8_t metre[4] = {time_signature_numerator(song), 2, 24, 8};
  out.meta(0, 0x58, metre, sizeof metre);
  for (const Marker& m : loop_markers(song, plan)) {
    out.meta(m.tick, 0x06, m.text, std::char_traits<char>::length(m.text));
  }
  out.end();
}

bool put_be(FILE* out, uint32_t v, int n) {
  uint8_t b[4];
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
  return std::fwrite(b, 1, static_cast<size_t>(n), out) == static_cast<size_t>(n);
}

// 1 written, 0 a failed write, -1 too large for a chunk.
int put_chunk(FILE* out, const char* tag, const uint8_t* body, size_t size) {
  if (size > CHUNK_SIZE_MAX) return -1;
  if (std::fwrite(tag, 1, 4, out) != 4 || !put_be(out, static_cast<uint32_t>(size), 4)) return 0;
  return size == 0 || std::fwrite(body, 1, size, out) == size ? 1 : 0;
}

bool plan_valid(const MidiPlan& plan) {
  if (plan.division == 0 || plan.division > DIVISION_MAX || plan.clock_divisor < 1 ||
      plan.glide_step < 1 || plan.tempo == 0 || plan.tempo > TEMPO_MAX ||
      plan.channel_of_unit.size() != UNIT_NUMBERS || plan.track_units.size() > UNIT_NUMBERS ||
      plan.unit_events.size() != UNIT_NUMBERS) {
    return false;
  }
  return std::all_of(plan.track_units.begin(), plan.track_units.end(), [&](int u) {
    return u >= 0 && u < UNIT_NUMBERS && plan.channel_of_unit[static_cast<size_t>(u)] >= 0 &&
           plan.channel_of_unit[static_cast<size_t>(u)] < 16;
  });
}

// The tempo in microseconds a quarter note, said where the song's cannot be written.
uint32_t plan_tempo(Run& run, const Song& song) {
  const double bpm = song.beat_tempo;
  if (!std::isfinite(bpm) || bpm <= 0.0) {
    record_change(run, "tempo", bpm, STANDARD_TEMPO);
    print_text(run, "\n* midi: tempo %g written as %g", bpm, STANDARD_TEMPO);
    return static_cast<uint32_t>(std::llround(60000000.0 / STANDARD_TEMPO));
  }
  const double micro = std::round(60000000.0 / bpm);
  if (micro >= 1.0 && micro <= static_cast<double>(TEMPO_MAX)) return static_cast<uint32_t>(micro);
  const int64_t held = micro < 1.0 ? 1 : TEMPO_MAX;
  const double written = 60000000.0 / static_cast<double>(held);
  record_change(run, "tempo", bpm, written);
  print_text(run, "\n* midi: tempo %g written as %g", bpm, written);
  return static_cast<uint32_t>(held);
}

}  // namespace

int midi_plan(Run& run, const Song& song, std::span<const Event> head, MidiPlan& plan) {
  try {
    plan = MidiPlan{};
    const int64_t beat = song.beat_clock;
    if (beat <= 0) {
      plan.division = STANDARD_BEAT_CLOCK;
      record_change(run, "beat-clock", song.beat_clock, STANDARD_BEAT_CLOCK);
      print_text(run, "\n* midi: beat clock %d written as %d ticks a beat",
                 static_cast<int>(song.beat_clock), STANDARD_BEAT_CLOCK);
    } else if (beat > DIVISION_MAX) {
      plan.clock_divisor = static_cast<int32_t>((beat + DIVISION_MAX - 1) / DIVISION_MAX);
      plan.division = static_cast<uint16_t>(beat / plan.clock_divisor);
      record_change(run, "beat-clock", song.beat_clock, plan.division);
      print_text(run, "\n* midi: beat clock %d written as %d ticks a beat",
                 static_cast<int>(song.beat_clock), static_cast<int>(plan.division));
    } else {
      plan.division = static_cast<uint16_t>(beat);
    }
    plan.glide_step =
        static_cast<int32_t>(std::max<int64_t>(1, beat_clocks(song) / MIDI_GLIDE_STEPS_PER_BEAT));
    plan.tempo = plan_tempo(run, song);
    if (time_signature_numerator(song) != song.beat_num) {
      record_change(run, "beats-a-measure", song.beat_num, time_signature_numerator(song));
      print_text(run, "\n* midi: %d beats a measure written as %d", static_cast<int>(song.beat_num),
                 static_cast<int>(time_signature_numerator(song)));
    }

    plan.unit_events = count_track_events(song, head);
    plan.channel_of_unit.assign(UNIT_NUMBERS, -1);
    for (int u = 0; u < UNIT_NUMBERS; ++u) {
      if (plan.unit_events[static_cast<size_t>(u)] == 0) continue;
      plan.channel_of_unit[static_cast<size_t>(u)] = channel_of_track(plan.track_units.size());
      plan.track_units.push_back(u);
    }
    if (plan.track_units.size() > CHANNELS_USED) {
      record_change(run, "channels", static_cast<double>(plan.track_units.size()), CHANNELS_USED);
      print_text(run, "\n* midi: %d units share %d channels (channel 10 is left to drums)",
                 static_cast<int>(plan.track_units.size()), CHANNELS_USED);
    }

    // The tracks are made once here to learn what they hold within MIDI's ranges.
    int64_t notes_held = 0, bends_held = 0, last_tick = 0;
    std::vector<TrackWork> work(plan.track_units.size());
    make_tracks(song, head, plan, TRACK_COUNT, plan.track_units, work,
                [&](int, const TrackMaker& maker) {
                  notes_held += maker.notes_held;
                  bends_held += maker.bends_held;
                  last_tick = std::max(last_tick, maker.last_tick);
                });
    for (const Marker& m : loop_markers(song, plan)) last_tick = std::max(last_tick, m.tick);
    if (last_tick > MIDI_TICK_MAX) return fail(run, "song too long for midi");
    if (notes_held > 0) {
      record_loss(run, LOSS_CLAMP, "keys-held", notes_held);
      print_text(run, "\n* midi: %lld %s beyond MIDI's keys written at the nearest",
                 static_cast<long long>(notes_held), notes_held == 1 ? "note" : "notes");
    }
    if (bends_held > 0) {
      record_loss(run, LOSS_CLAMP, "bends-held", bends_held);
      print_text(run, "\n* midi: %lld %s further than %d semitones, held at %d",
                 static_cast<long long>(bends_held), bends_held == 1 ? "note bends" : "notes bend",
                 MIDI_BEND_RANGE, MIDI_BEND_RANGE);
    }
    return 1;
  } catch (const std::bad_alloc&) {
    return fail(run, "out of memory");
  }
}

int write_midi(Run& run, const Song& song, std::span<const Event> head, const MidiPlan& plan,
               FILE* out) {
  if (!plan_valid(plan)) return fail(run, "bad midi plan");
  try {
    const auto tracks = static_cast<uint32_t>(plan.track_units.size() + 1);
    if (std::fwrite("MThd", 1, 4, out) != 4 || !put_be(out, 6, 4) || !put_be(out, 1, 2) ||
        !put_be(out, tracks, 2) || !put_be(out, plan.division, 2)) {
      return fail(run, "write midi");
    }
    const auto put = [&](const TrackBytes& bytes) {
      if (bytes.at > MIDI_TICK_MAX) return fail(run, "song too long for midi");
      const int r = put_chunk(out, "MTrk", bytes.b.get(), bytes.n);
      return r > 0 ? 1 : fail(run, r < 0 ? "song too big for midi" : "write midi");
    };
    {
      TrackBytes conductor;
      conductor_bytes(song, plan, conductor);
      if (!put(conductor)) return 0;
    }
    const std::span<const int> units = plan.track_units;
    const auto events_of = [&](size_t i) {
      return static_cast<uint64_t>(plan.unit_events[static_cast<size_t>(units[i])]);
    };
    uint64_t events = 0;
    for (size_t i = 0; i < units.size(); ++i) events += events_of(i);
    const uint64_t share =
        song.events.size() + head.size() >= PASS_FEWER_EVENTS ? PASS_SHARE_FEWER : PASS_SHARE;
    const uint64_t pass_events = std::max(PASS_EVENTS_MIN, events / share + 1);
    std::vector<TrackWork> work;
    for (size_t first = 0; first < units.size();) {
      size_t last = first + 1;
      uint64_t taken = events_of(first);
      while (last < units.size() && taken + events_of(last) <= pass_events)
        taken += events_of(last++);
      if (work.size() < last - first) work.resize(last - first);
      make_tracks(song, head, plan, TRACK_WRITE, units.subspan(first, last - first), work,
                  [](int, const TrackMaker&) {});
      for (size_t i = 0; i < last - first; ++i) {
        if (!put(work[i].bytes)) return 0;
      }
      first = last;
    }
    return std::fflush(out) == 0 ? 1 : fail(run, "write midi");
  } catch (const std::bad_alloc&) {
    return fail(run, "out of memory");
  }
}
