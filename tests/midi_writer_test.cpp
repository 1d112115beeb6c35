// The Standard MIDI File writer, checked against readers no one here wrote: every file is
// read back with Python's mido (as "tick message" lines per track) and must pass midicsv.
#include "io/midi_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "io/song_reader.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

const char* const kReadBack = R"PY(
import json, sys, mido
f = mido.MidiFile(sys.argv[1])
def text(m):
    t = m.type
    if t in ('note_on', 'note_off'): return f'{t} {m.channel} {m.note} {m.velocity}'
    if t == 'control_change': return f'cc {m.channel} {m.control} {m.value}'
    if t == 'program_change': return f'program {m.channel} {m.program}'
    if t == 'pitchwheel': return f'bend {m.channel} {m.pitch}'
    if t == 'set_tempo': return f'tempo {m.tempo}'
    if t == 'time_signature':
        return f'metre {m.numerator}/{m.denominator} {m.clocks_per_click} {m.notated_32nd_notes_per_beat}'
    if t in ('track_name', 'instrument_name'): return f'{t} {m.name}'
    if t in ('marker', 'text'): return f'{t} {m.text}'
    return t
tracks = []
for track in f.tracks:
    tick, lines = 0, []
    for m in track:
        tick += m.time
        lines.append(f'{tick} {text(m)}')
    tracks.append(lines)
print(json.dumps({'type': f.type, 'division': f.ticks_per_beat, 'tracks': tracks}))
)PY";

struct Midi {
  int ok = 0;
  std::string console, error;
  MidiPlan plan;
  json file;  // what mido read
  std::vector<uint8_t> bytes;

  Lines track(size_t i) const { return file["tracks"][i].get<Lines>(); }
  // A unit track without its name, the eight set-up controllers and the end.
  Lines body(size_t i) const {
    Lines t = track(i);
    return Lines(t.begin() + 9, t.end() - 1);
  }
};

std::string run_output(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  *status = pclose(pipe);
  return out;
}

Midi write(Project& p, std::span<const Event> head = {}) {
  ScratchDir dir;
  const std::string path = dir.file("song.mid");
  Midi m;
  p.console = [&m](std::string_view s) { m.console += s; };
  FILE* out = std::fopen(path.c_str(), "wb");
  m.ok = midi_plan(p, p, head, m.plan) && write_midi(p, p, head, m.plan, out);
  std::fclose(out);
  p.console = nullptr;
  m.error = p.error_text;
  if (!m.ok) return m;
  m.bytes = song_parser::read_file(path);
  int status = -1;
  run_output("midicsv '" + path + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0) << "midicsv refused the file";
  const std::string py = dir.file("read.py");
  FILE* script = std::fopen(py.c_str(), "w");
  std::fputs(kReadBack, script);
  std::fclose(script);
  const std::string out_text = run_output("/usr/bin/python3 " + py + " '" + path + "'", &status);
  EXPECT_EQ(status, 0) << out_text;
  if (status == 0) m.file = json::parse(out_text);
  return m;
}

constexpr int32_t A4 = KEY_ORIGIN;  // MIDI note 69
constexpr int32_t SEMI = 256;

}  // namespace

TEST(MidiWriter, ConductorTrack) {
  struct Case {
    const char* what;
    float tempo;
    int32_t beat_num, repeat, last;
    bool texts;
    Lines track;
    std::string lines;
  } cases[] = {
      {"texts, markers",
       150.0f,
       3,
       1,
       4,
       true,
       {"0 track_name tune", "0 text two\nlines", "0 tempo 400000", "0 metre 3/4 24 8",
        "1440 marker loopStart", "5760 marker loopEnd", "5760 end_of_track"},
       ""},
      {"no texts, no markers, no tempo",
       NAN,
       300,
       0,
       0,
       false,
       {"0 tempo 500000", "0 metre 255/4 24 8", "0 end_of_track"},
       "\n* midi: tempo nan written as 120\n* midi: 300 beats a measure written as 255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Project p;
    project_setup(p);
    if (c.texts) {
      p.name_text = "tune";
      p.comment_text = "two\nlines";
    }
    p.beat_tempo = c.tempo;
    p.beat_num = c.beat_num;
    p.repeat_meas = c.repeat;
    p.last_meas = c.last;
    put(p, 0, 0, EVENT_LAST, 0);  // a master kind: no unit track
    const Midi m = write(p);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.file["type"], 1);
    EXPECT_EQ(m.file["division"], 480);
    EXPECT_EQ(m.file["tracks"].size(), 1u);
    EXPECT_EQ(m.track(0), c.track);
    EXPECT_EQ(m.console, c.lines);
  }
}

TEST(MidiWriter, NotesControllersAndPrograms) {
  Project p;
  project_setup(p);
  add_pcm_woice(p);  // woice 0, "voice_00"
  add_unit(p, "lead");
  add_unit(p, "silent");
  put(p, 0, 0, EVENT_KEY, A4 + 3 * SEMI);
  put(p, 0, 0, EVENT_ON, 480);
  put(p, 0, 0, EVENT_VEL, 90);  // after the On in the list, before it in the file
  put(p, 0, 0, EVENT_VOICE_NO, 0);
  put(p, 240, 0, EVENT_VOL, 200);
  put(p, 240, 0, EVENT_PAN, 0);
  put(p, 480, 0, EVENT_ON, 100);  // ends at 580, when the next note starts
  put(p, 480, 0, EVENT_VEL, 0);
  put(p, 480, 0, EVENT_VOL, 127);  // 200 was written as 127: unchanged
  put(p, 500, 0, EVENT_ON, 80);    // cuts the note before it
  put(p, 500, 0, EVENT_VOICE_NO, 300);
  put(p, 500, 0, EVENT_KEY, A4 + 200 * SEMI);
  put(p, 0, 1, EVENT_GROUP_NO, 1);  // a kind not written: no track
  put(p, 0, 1, EVENT_CORRECT, 0x3F800000);
  const Midi m = write(p);
  ASSERT_TRUE(m.ok) << m.error;
  ASSERT_EQ(m.file["tracks"].size(), 2u);
  EXPECT_EQ(m.track(1)[0], "0 track_name lead");
  EXPECT_EQ(m.body(1), (Lines{"0 instrument_name voice_00", "0 program 0 0", "0 note_on 0 72 90",
                              "240 cc 0 10 0", "240 cc 0 7 127", "480 note_off 0 72 64",
                              "480 note_on 0 72 1", "500 note_off 0 72 64", "500 program 0 127",
                              "500 note_on 0 127 1", "580 note_off 0 127 64"}));
  EXPECT_EQ(m.console, "\n* midi: 1 note beyond MIDI's keys written at the nearest");
}

TEST(MidiWriter, PitchBends) {
  struct Case {
    const char* what;
    std::vector<std::vector<int32_t>> events;  // clock, kind, value
    Lines expected;
    std::string lines;
  } cases[] = {
      {"a key between semitones, then a whole one: bent, then reset",
       {{0, EVENT_KEY, A4 + 64},
        {0, EVENT_ON, 480},
        {480, EVENT_KEY, A4 - SEMI},
        {480, EVENT_ON, 480}},
       {"0 bend 0 171", "0 note_on 0 69 104", "480 note_off 0 69 64", "480 bend 0 0",
        "480 note_on 0 68 104", "960 note_off 0 68 64"},
       ""},
      {"a key change under a note, one beyond the range",
       {{0, EVENT_KEY, A4},
        {0, EVENT_ON, 960},
        {480, EVENT_KEY, A4 + 2 * SEMI},
        {720, EVENT_KEY, A4 - 13 * SEMI}},
       {"0 note_on 0 69 104", "480 bend 0 1365", "720 bend 0 -8192", "960 note_off 0 69 64"},
       "\n* midi: 1 note bends further than 12 semitones, held at 12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Project p;
    project_setup(p);
    add_unit(p, "u");
    for (const auto& e : c.events) put(p, e[0], 0, e[1], e[2]);
    const Midi m = write(p);
    ASSERT_TRUE(m.ok) << m.error;
    // The bend range: RPN 0 set to 12 semitones, then deselected.
    const Lines track = m.track(1);
    EXPECT_EQ(Lines(track.begin() + 1, track.begin() + 7),
              (Lines{"0 cc 0 101 0", "0 cc 0 100 0", "0 cc 0 6 12", "0 cc 0 38 0", "0 cc 0 101 127",
                     "0 cc 0 100 127"}));
    EXPECT_EQ(m.body(1), c.expected);
    EXPECT_EQ(m.console, c.lines);
  }
}

TEST(MidiWriter, GlideIsBentInStepsOfAThirtySecondBeat) {
  Project p;
  project_setup(p);
  add_unit(p, "u");
  put(p, 0, 0, EVENT_KEY, A4);
  put(p, 0, 0, EVENT_ON, 1920);
  put(p, 240, 0, EVENT_PORTAMENT, 480);
  put(p, 480, 0, EVENT_KEY, A4 + 12 * SEMI);  // glides up an octave from 480 to 960
  const Midi m = write(p);
  ASSERT_TRUE(m.ok) << m.error;
  const Lines body = m.body(1);
  ASSERT_EQ(body.size(), 34u);
  EXPECT_EQ(body.front(), "0 note_on 0 69 104");
  for (int i = 1; i <= 32; ++i) {  // every 15 clocks, linear, the last at the top of the range
    const int pitch = std::min(8191, static_cast<int>(std::lround(8192.0 * 15 * i / 480)));
    EXPECT_EQ(body[static_cast<size_t>(i)],
              std::to_string(480 + 15 * i) + " bend 0 " + std::to_string(pitch));
  }
  EXPECT_EQ(body.back(), "1920 note_off 0 69 64");
  EXPECT_EQ(m.console, "");
}

TEST(MidiWriter, SeventeenUnitsShareFifteenChannels) {
  Project p;
  project_setup(p);
  for (int u = 0; u < 16; ++u) {
    add_unit(p, ("u" + std::to_string(u)).c_str());
    put(p, 0, u, EVENT_ON, 480);
  }
  put(p, 0, 30, EVENT_ON, 480);  // a unit number with events but no unit
  const Midi m = write(p);
  ASSERT_TRUE(m.ok) << m.error;
  EXPECT_EQ(m.console, "\n* midi: 17 units share 15 channels (channel 10 is left to drums)");
  ASSERT_EQ(m.file["tracks"].size(), 18u);
  const int channels[17] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 0, 1};
  for (size_t t = 1; t <= 17; ++t) {
    EXPECT_EQ(m.body(t)[0], "0 note_on " + std::to_string(channels[t - 1]) + " 96 104");
    EXPECT_EQ(m.plan.channel_of_unit[t <= 16 ? t - 1 : 30], channels[t - 1]);
  }
  EXPECT_EQ(m.track(17)[0], "0 track_name unit 30");
}

TEST(MidiWriter, DivisionFromTheBeatClock) {
  struct Case {
    int32_t beat_clock;
    int division, divisor;
    std::string line;
  } cases[] = {
      {480, 480, 1, ""},
      {48000, 24000, 2, "\n* midi: beat clock 48000 written as 24000 ticks a beat"},
      {65536, 21845, 3, "\n* midi: beat clock 65536 written as 21845 ticks a beat"},
      {0, 480, 1, "\n* midi: beat clock 0 written as 480 ticks a beat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.beat_clock);
    Project p;
    project_setup(p);
    p.beat_clock = c.beat_clock;
    add_unit(p, "u");
    put(p, 100001, 0, EVENT_ON, 99999);  // ticks from the absolute clocks: no drift
    const Midi m = write(p);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.file["division"], c.division);
    EXPECT_EQ(m.plan.clock_divisor, c.divisor);
    EXPECT_EQ(m.console, c.line);
    EXPECT_EQ(m.body(1), (Lines{std::to_string(100001 / c.divisor) + " note_on 0 96 104",
                                std::to_string(200000 / c.divisor) + " note_off 0 96 64"}));
  }
}

// The writer reads a few units' events a pass over the song, and plays each note as soon as
// the next is read; a unit whose events go back in time is read again on its own.
TEST(MidiWriter, TracksOfSeveralPassesAndEventsBackInTime) {
  {
    SCOPED_TRACE("five units of 15,001 events, alike: a pass each");
    Project p;
    project_setup(p, 80000);
    for (int u = 0; u < 5; ++u) {
      add_unit(p, ("u" + std::to_string(u)).c_str());
      put(p, 0, u, EVENT_PORTAMENT, 60);
    }
    for (int32_t i = 0; i < 5000; ++i) {
      for (int u = 0; u < 5; ++u) {
        put(p, i * 120, u, EVENT_KEY, A4 + (i * 7 % 30 - 15) * SEMI);
        put(p, i * 120, u, EVENT_ON, 100);
        put(p, i * 120, u, EVENT_VEL, 1 + i % 127);
      }
    }
    const Midi m = write(p);
    ASSERT_TRUE(m.ok) << m.error;
    ASSERT_EQ(m.file["tracks"].size(), 6u);
    const Lines first = m.body(1);
    EXPECT_EQ(std::count_if(first.begin(), first.end(),
                            [](const std::string& l) { return l.find("note_on") != l.npos; }),
              5000);
    EXPECT_EQ(first.back(), "599980 note_off 0 67 64");
    for (size_t t = 2; t <= 5; ++t) {
      Lines body = m.body(t);
      const std::string channel = " " + std::to_string(t - 1) + " ";
      for (std::string& l : body) {
        const size_t at = l.find(channel);
        if (at != l.npos) l.replace(at, channel.size(), " 0 ");
      }
      EXPECT_EQ(body, first) << "track " << t;
    }
  }
  {
    SCOPED_TRACE("a unit's events going back in time after the head's");
    Project p;
    project_setup(p);
    add_unit(p, "u");
    std::vector<Event> head(3);
    head[0] = {960, A4 + 2 * SEMI, 0, EVENT_KEY};
    head[1] = {960, 480, 0, EVENT_ON};
    head[2] = {960, 100, 0, EVENT_VOL};
    put(p, 0, 0, EVENT_ON, 480);
    put(p, 240, 0, EVENT_PAN, 0);
    put(p, 480, 0, EVENT_KEY, A4 - SEMI);
    put(p, 480, 0, EVENT_ON, 960);
    put(p, 720, 0, EVENT_KEY, A4);
    const Midi m = write(p, head);
    ASSERT_TRUE(m.ok) << m.error;
    // The head's note is cut by the song's first, in the tick it starts; the key change at 720
    // comes before the head's key in the list and bends nothing.
    EXPECT_EQ(m.body(1), (Lines{"0 bend 0 -1365", "0 note_on 0 71 104", "240 cc 0 10 0",
                                "480 note_off 0 71 64", "480 bend 0 683", "480 note_on 0 68 104",
                                "960 cc 0 7 100", "1440 note_off 0 68 64"}));
  }
}

TEST(MidiWriter, SmallSongByteForByte) {
  Project p;
  project_setup(p);
  p.name_text = "s";
  add_unit(p, "u");
  put(p, 0, 0, EVENT_ON, 480);
  const Midi m = write(p);
  ASSERT_TRUE(m.ok) << m.error;
  const Bytes expected =
      Bytes()
          .str("MThd")
          .raw({0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0})
          .str("MTrk")
          .raw({0, 0, 0, 24, 0, 0xFF, 3, 1, 's', 0, 0xFF, 0x51, 3, 0x07, 0xA1, 0x20})
          .raw({0, 0xFF, 0x58, 4, 4, 2, 24, 8, 0, 0xFF, 0x2F, 0})
          .str("MTrk")
          .raw({0, 0, 0, 50, 0, 0xFF, 3, 1, 'u'})
          .raw({0, 0xB0, 101, 0, 0, 0xB0, 100, 0, 0, 0xB0, 6, 12, 0, 0xB0, 38, 0})
          .raw({0, 0xB0, 101, 127, 0, 0xB0, 100, 127, 0, 0xB0, 7, 104, 0, 0xB0, 10, 64})
          .raw({0, 0x90, 96, 104, 0x83, 0x60, 0x80, 96, 64, 0, 0xFF, 0x2F, 0});
  EXPECT_EQ(m.bytes, expected.b);
}

TEST(MidiWriter, Failures) {
  Project p;
  project_setup(p);
  add_unit(p, "u");
  put(p, 0, 0, EVENT_ON, 480);
  MidiPlan plan;
  p.console = [](std::string_view) {};
  ASSERT_TRUE(midi_plan(p, p, {}, plan));
  FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(write_midi(p, p, {}, plan, full));
  std::fclose(full);
  EXPECT_STREQ(p.error_text, "write midi");

  put(p, 480, 0, EVENT_ON, INT32_MAX);  // ends past what a delta time reaches
  EXPECT_FALSE(midi_plan(p, p, {}, plan));
  EXPECT_STREQ(p.error_text, "song too long for midi");
}
