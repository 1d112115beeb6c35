// Standard MIDI File writer. Each unit's events become one track: notes at the unit's key and
// velocity, its volume, pan and woice as controllers and program changes, and its pitch (keys
// between semitones, key changes under a note, glides) as pitch bends. Every track is built in
// memory as a list of messages, put in order and then turned into bytes, so that its chunk
// size is known before it is written.
#include "io/midi_writer.h"

#include <algorithm>
#include <cmath>
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

// The kinds a unit track holds; the others are the caller's to warn about.
bool written_kind(int kind) {
  switch (kind) {
    case EVENT_ON:
    case EVENT_KEY:
    case EVENT_PAN:
    case EVENT_VEL:
    case EVENT_VOL:
    case EVENT_PORTAMENT:
    case EVENT_VOICE_NO:
      return true;
    default:
      return false;
  }
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

// A unit's event as its track reads it, copied out of the list: a track is made from its
// unit's events side by side, not from records strewn over the whole store.
struct UnitEvent {
  int32_t clock;
  int32_t value;
  uint8_t kind;
};
using UnitEvents = std::vector<std::vector<UnitEvent>>;

// The events of every unit that has a track, each list in time order: `head` first.
UnitEvents events_by_unit(const Song& song, std::span<const Event> head) {
  UnitEvents by_unit(UNIT_NUMBERS);
  const auto take = [&](const Event& e) {
    if (written_kind(e.kind)) by_unit[e.unit_no].push_back({e.clock, e.value, e.kind});
  };
  for (const Event& e : head) take(e);
  for (const Event& e : song.events) take(e);
  return by_unit;
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

// The unit's key as the song plays it: each key event starts a segment that glides from the
// pitch of the moment to the new key over `glide` clocks (0: at once).
struct KeySegment {
  int64_t clock;
  int64_t from;
  int64_t to;
  int64_t glide;
};

int64_t pitch_at(const KeySegment& s, int64_t clock) {
  if (s.glide <= 0 || clock >= s.clock + s.glide) return s.to;
  if (clock <= s.clock) return s.from;
  const double moved = static_cast<double>(s.to - s.from) * static_cast<double>(clock - s.clock) /
                       static_cast<double>(s.glide);
  return s.from + std::llround(moved);
}

struct Note {
  int64_t on;
  int64_t end;
  int64_t key;
  int32_t velocity;
};

// A unit's track as messages, with what it had to hold within MIDI's ranges.
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

struct TrackBuild {
  std::vector<Message> messages;
  int64_t notes_held = 0;  // keys past MIDI's 0 to 127
  int64_t bends_held = 0;  // notes bent further than the bend range
  int64_t last_tick = 0;
};

struct TrackMaker {
  const Song& song;
  const MidiPlan& plan;
  uint8_t channel;
  TrackBuild& t;
  bool ordered;  // false: the messages are only counted (the plan), not kept in file order
  uint32_t seq = 0;
  int64_t bend_sent = BEND_CENTRE;

  // Most beats need no division, and a division is dear at every message.
  int64_t tick_of(int64_t clock) const {
    const int64_t c = std::max<int64_t>(clock, 0);
    return plan.clock_divisor == 1 ? c : c / plan.clock_divisor;
  }

  void add(int64_t tick, Order order, uint8_t status, uint8_t a, int b = -1) {
    Message m;
    m.tick = tick;
    m.order = order;
    m.seq = seq++;
    m.bytes[0] = static_cast<uint8_t>(status | channel);
    m.bytes[1] = a;
    m.bytes[2] = static_cast<uint8_t>(b < 0 ? 0 : b);
    m.size = b < 0 ? 2 : 3;
    keep(m);
  }
  // The plan only counts: it keeps no message.
  void keep(const Message& m) {
    if (ordered) t.messages.push_back(m);
    t.last_tick = std::max(t.last_tick, m.tick);
  }
  void control(int64_t tick, uint8_t controller, int64_t value, Order order = ORDER_CONTROL) {
    add(tick, order, 0xB0, controller, static_cast<int>(std::clamp<int64_t>(value, 0, 127)));
  }
  void instrument_name(int64_t tick, int32_t woice) {
    Message m;
    m.tick = tick;
    m.order = ORDER_PROGRAM;
    m.seq = seq++;
    m.woice = woice;
    keep(m);
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
    if (value == bend_sent) return;
    add(tick, ORDER_BEND, 0xE0, static_cast<uint8_t>(value & 0x7F),
        static_cast<int>((value >> 7) & 0x7F));
    bend_sent = value;
  }

  // The bend that puts note `key_of_note` at `pitch`, held within the range.
  static int64_t bend_for(int64_t pitch, int64_t key_of_note, bool& held) {
    const int64_t diff = pitch - key_of_note;
    const int64_t span = MIDI_BEND_RANGE * KEY_SEMITONE;
    if (diff > span || diff < -span) held = true;
    return std::clamp<int64_t>(BEND_CENTRE + round_div(diff * BEND_CENTRE, span), 0, BEND_MAX);
  }

  // The note's bends: at its start, at every key change under it and along every glide, one
  // a tick at most (the last of the tick) and only where the bend changes.
  void note_bends(const Note& n, int64_t cut, int64_t off_tick, int64_t key_of_note,
                  std::span<const KeySegment> segments, size_t active) {
    bool held = false;
    int64_t pending_tick = tick_of(n.on);
    int64_t pending = bend_for(active > 0 ? pitch_at(segments[active - 1], n.on) : DEFAULT_KEY,
                               key_of_note, held);
    const auto point = [&](int64_t clock, const KeySegment& s) {
      const int64_t tick = tick_of(clock);
      if (tick >= off_tick) return;
      const int64_t value = bend_for(pitch_at(s, clock), key_of_note, held);
      if (tick != pending_tick) bend(pending_tick, pending);
      pending_tick = tick;
      pending = value;
    };
    for (size_t k = active > 0 ? active - 1 : 0; k < segments.size() && segments[k].clock < cut;
         ++k) {
      const KeySegment& s = segments[k];
      const int64_t until = std::min(k + 1 < segments.size() ? segments[k + 1].clock : cut, cut);
      if (s.clock > n.on) point(s.clock, s);
      if (s.glide <= 0) continue;
      const int64_t step = std::max<int64_t>(
          plan.glide_step, (s.glide + MIDI_GLIDE_STEP_MAX - 1) / MIDI_GLIDE_STEP_MAX);
      const int64_t glide_end = s.clock + s.glide;
      int64_t at =
          n.on >= s.clock ? s.clock + ((n.on - s.clock) / step + 1) * step : s.clock + step;
      for (; at < glide_end && at < until; at += step) point(at, s);
      if (glide_end > n.on && glide_end < until) point(glide_end, s);
    }
    bend(pending_tick, pending);
    if (held) ++t.bends_held;
  }

  void play_notes(std::span<const Note> notes, std::span<const KeySegment> segments) {
    size_t active = 0;  // segments that started at or before the note
    for (size_t i = 0; i < notes.size(); ++i) {
      const Note& n = notes[i];
      const int64_t on_tick = tick_of(n.on);
      int64_t off_tick = std::max(tick_of(n.end), on_tick + 1);
      int64_t cut = n.end;
      // A unit plays one note at a time: the next note ends this one.
      if (i + 1 < notes.size()) {
        off_tick = std::min(off_tick, tick_of(notes[i + 1].on));
        cut = std::min(cut, notes[i + 1].on);
      }
      while (active < segments.size() && segments[active].clock <= n.on) ++active;
      if (off_tick <= on_tick) continue;  // the next note starts in the same tick
      const int64_t number =
          MIDI_KEY_OF_ORIGIN + floor_div(n.key - KEY_ORIGIN + KEY_SEMITONE / 2, KEY_SEMITONE);
      if (number < 0 || number > 127) ++t.notes_held;
      // A note beyond MIDI's keys is bent as at its own key, then written at the nearest.
      const int64_t key_of_note = KEY_ORIGIN + (number - MIDI_KEY_OF_ORIGIN) * KEY_SEMITONE;
      note_bends(n, cut, off_tick, key_of_note, segments, active);
      const auto note = static_cast<uint8_t>(std::clamp<int64_t>(number, 0, 127));
      add(on_tick, ORDER_NOTE_ON, 0x90, note, std::clamp(n.velocity, 1, 127));
      add(off_tick, ORDER_NOTE_OFF, 0x80, note, NOTE_OFF_VELOCITY);
    }
  }

  void build(std::span<const UnitEvent> events) {
    start();
    int32_t velocity = START_VELOCITY;
    int64_t volume = START_VOLUME;
    int64_t pan = START_PAN;
    int64_t key = DEFAULT_KEY;
    int64_t glide = 0;
    int32_t woice = -1;
    // Room for what a track of these events makes, so that nothing grows by copying.
    std::vector<KeySegment> segments;
    std::vector<Note> notes;
    segments.reserve(events.size());
    notes.reserve(events.size());
    if (ordered) t.messages.reserve(2 * events.size() + 16);
    for (size_t i = 0; i < events.size();) {
      const int64_t clock = events[i].clock;
      size_t j = i;
      while (j < events.size() && events[j].clock == clock) ++j;
      const int64_t tick = tick_of(clock);
      // At one clock a unit's settings take effect before its notes start.
      for (size_t k = i; k < j; ++k) {
        const UnitEvent& e = events[k];
        switch (e.kind) {
          case EVENT_KEY: {
            const int64_t from = segments.empty() ? DEFAULT_KEY : pitch_at(segments.back(), clock);
            key = e.value;
            segments.push_back({clock, from, key, glide});
            break;
          }
          case EVENT_PORTAMENT:
            glide = std::max(e.value, 0);
            break;
          case EVENT_VEL:
            velocity = e.value;
            break;
          case EVENT_VOL:
            if (std::clamp<int64_t>(e.value, 0, 127) != volume) control(tick, 7, e.value);
            volume = std::clamp<int64_t>(e.value, 0, 127);
            break;
          case EVENT_PAN:
            if (midi_pan(e.value) != pan) control(tick, 10, midi_pan(e.value));
            pan = midi_pan(e.value);
            break;
          case EVENT_VOICE_NO: {
            if (e.value == woice) break;
            woice = e.value;
            if (woice >= 0 && static_cast<size_t>(woice) < song.woices.size() &&
                song.woices[static_cast<size_t>(woice)]) {
              instrument_name(tick, woice);
            }
            add(tick, ORDER_PROGRAM, 0xC0, static_cast<uint8_t>(std::clamp(woice, 0, 127)));
            break;
          }
          default:
            break;
        }
      }
      for (size_t k = i; k < j; ++k) {
        const UnitEvent& e = events[k];
        if (e.kind == EVENT_ON && e.value > 0) {
          notes.push_back({clock, clock + e.value, key, velocity});
        }
      }
      i = j;
    }
    const size_t settings = t.messages.size();
    play_notes(notes, segments);
    if (!ordered) return;
    const auto before = [](const Message& a, const Message& b) {
      if (a.tick != b.tick) return a.tick < b.tick;
      if (a.order != b.order) return a.order < b.order;
      return a.seq < b.seq;
    };
    // The settings come in time order and so, a unit playing one note at a time, do the
    // notes, but for messages of one tick: two runs nearly in order, put in order and merged.
    const auto mid = t.messages.begin() + static_cast<std::ptrdiff_t>(settings);
    sort_nearly_ordered(t.messages.begin(), mid, before);
    sort_nearly_ordered(mid, t.messages.end(), before);
    std::inplace_merge(t.messages.begin(), mid, t.messages.end(), before);
  }
};

void build_track(const Song& song, const MidiPlan& plan, int unit,
                 std::span<const UnitEvent> events, TrackBuild& t, bool ordered = true) {
  t = TrackBuild{};
  const auto channel = static_cast<uint8_t>(plan.channel_of_unit[static_cast<size_t>(unit)]);
  TrackMaker maker{song, plan, channel, t, ordered};
  maker.build(events);
}

// Track bytes: delta times as variable-length quantities from the tick written last.
struct TrackBytes {
  std::vector<uint8_t> b;
  int64_t at = 0;

  void vlq(uint32_t v) {
    uint8_t tmp[5];
    int n = 0;
    tmp[n++] = static_cast<uint8_t>(v & 0x7F);
    while (v >>= 7) tmp[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
    while (n > 0) b.push_back(tmp[--n]);
  }
  void delta(int64_t tick) {
    vlq(static_cast<uint32_t>(tick - at));
    at = tick;
  }
  void meta(int64_t tick, uint8_t type, const void* data, size_t size) {
    size = std::min<size_t>(size, MIDI_TICK_MAX);  // what a length field holds
    delta(tick);
    b.push_back(0xFF);
    b.push_back(type);
    vlq(static_cast<uint32_t>(size));
    const auto* p = static_cast<const uint8_t*>(data);
    b.insert(b.end(), p, p + size);
  }
  void text(int64_t tick, uint8_t type, const std::string& s) {
    meta(tick, type, s.data(), s.size());
  }
  void end() { meta(at, 0x2F, nullptr, 0); }
};

std::string unit_track_name(const Song& song, int unit) {
  const auto slot = static_cast<size_t>(unit);
  if (slot < song.units.size() && song.units[slot]) return name_field_text(song.units[slot]->name);
  char text[16];
  std::snprintf(text, sizeof text, "unit %02d", unit);
  return text;
}

void unit_track_bytes(const Song& song, int unit, const TrackBuild& t, TrackBytes& out) {
  out.b.reserve(4 * t.messages.size() + 64);
  out.text(0, 0x03, unit_track_name(song, unit));
  for (const Message& m : t.messages) {
    if (m.size == 0) {
      out.text(m.tick, 0x04, name_field_text(song.woices[static_cast<size_t>(m.woice)]->name));
      continue;
    }
    out.delta(m.tick);
    out.b.insert(out.b.end(), m.bytes, m.bytes + m.size);
  }
  out.end();
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
int put_chunk(FILE* out, const char* tag, const std::vector<uint8_t>& body) {
  if (body.size() > CHUNK_SIZE_MAX) return -1;
  if (std::fwrite(tag, 1, 4, out) != 4 || !put_be(out, static_cast<uint32_t>(body.size()), 4)) {
    return 0;
  }
  return body.empty() || std::fwrite(body.data(), 1, body.size(), out) == body.size() ? 1 : 0;
}

bool plan_valid(const MidiPlan& plan) {
  if (plan.division == 0 || plan.division > DIVISION_MAX || plan.clock_divisor < 1 ||
      plan.glide_step < 1 || plan.tempo == 0 || plan.tempo > TEMPO_MAX ||
      plan.channel_of_unit.size() != UNIT_NUMBERS || plan.track_units.size() > UNIT_NUMBERS) {
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

    const UnitEvents by_unit = events_by_unit(song, head);
    plan.channel_of_unit.assign(UNIT_NUMBERS, -1);
    for (int u = 0; u < UNIT_NUMBERS; ++u) {
      if (by_unit[static_cast<size_t>(u)].empty()) continue;
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
    TrackBuild t;
    for (int u : plan.track_units) {
      build_track(song, plan, u, by_unit[static_cast<size_t>(u)], t, false);
      notes_held += t.notes_held;
      bends_held += t.bends_held;
      last_tick = std::max(last_tick, t.last_tick);
    }
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
      const int r = put_chunk(out, "MTrk", bytes.b);
      return r > 0 ? 1 : fail(run, r < 0 ? "song too big for midi" : "write midi");
    };
    {
      TrackBytes conductor;
      conductor_bytes(song, plan, conductor);
      if (!put(conductor)) return 0;
    }
    const UnitEvents by_unit = events_by_unit(song, head);
    TrackBuild t;
    for (int u : plan.track_units) {
      build_track(song, plan, u, by_unit[static_cast<size_t>(u)], t);
      TrackBytes bytes;
      unit_track_bytes(song, u, t, bytes);
      if (!put(bytes)) return 0;
    }
    return std::fflush(out) == 0 ? 1 : fail(run, "write midi");
  } catch (const std::bad_alloc&) {
    return fail(run, "out of memory");
  }
}
