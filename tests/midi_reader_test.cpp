// The MIDI reader against files that mido writes and reads back (and midicsv lists): notes,
// units, names, woices, controls and the lines of what is not read; hand-made files for the
// refusals; a MIDI file converted to every target and read back from x5x.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "app/output.h"
#include "io/midi_reader.h"
#include "io/qxi_reader.h"
#include "project/targets.h"
#include "song_builder.h"

namespace {

// Helpers every script starts with: a track of messages, and a file saved into the folder.
const char* PYTHON_HEAD = R"(import json, sys, mido
M, T = mido.Message, mido.MetaMessage
def track(*msgs):
    t = mido.MidiTrack(); t.extend(msgs); return t
def save(name, tracks, type=1, tpb=480):
    f = mido.MidiFile(type=type, ticks_per_beat=tpb); f.tracks.extend(tracks); f.save(name)
)";

// Each note as mido reads the file: track, channel, on and off ticks (a note-off ends the
// oldest open note of its key; a note never ended, at its track's end), key, velocity.
const char* PYTHON_NOTES = R"(f = mido.MidiFile(sys.argv[1]); out = []
for ti, t in enumerate(f.tracks):
    tick, open_ = 0, {}
    for m in t:
        tick += m.time
        if m.type == 'note_on' and m.velocity > 0:
            open_.setdefault((m.channel, m.note), []).append(len(out))
            out.append([ti, m.channel, tick, None, m.note, m.velocity])
        elif m.type in ('note_on', 'note_off') and open_.get((m.channel, m.note)):
            out[open_[(m.channel, m.note)].pop(0)][3] = tick
    for n in out:
        if n[3] is None: n[3] = tick
print(json.dumps({'tpb': f.ticks_per_beat, 'notes': out}))
)";

using Note = std::tuple<int32_t, int32_t, int32_t, int32_t>;  // clock, key, length, velocity

class MidiTest : public ReaderTest {
 protected:
  std::string lines;

  std::string run_python(const std::string& body, const std::string& arg = "") {
    const std::string script = write_file({}, "script.py");
    FILE* f = std::fopen(script.c_str(), "w");
    std::fputs((std::string(PYTHON_HEAD) + body).c_str(), f);
    std::fclose(f);
    FILE* pipe = popen(("cd '" + dir + "' && /usr/bin/python3 script.py " + arg).c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; pipe && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    EXPECT_EQ(pipe ? pclose(pipe) : -1, 0) << body;
    return out;
  }

  int load(const std::string& name) {
    lines.clear();
    p.console = [this](std::string_view s) { lines += s; };
    int flag = 0;
    const int ok = open_input(p, dir + "/" + name, &flag);
    EXPECT_EQ(flag, 0);
    p.console = nullptr;
    return ok;
  }

  // What the song plays: every On with the key and velocity its unit has then, by unit.
  static std::map<int, std::vector<Note>> song_notes(const Song& song) {
    std::map<int, std::map<int32_t, int32_t>> keys, vels;
    for (const Event& e : song.events) {
      if (e.kind == EVENT_KEY) keys[e.unit_no][e.clock] = e.value;
      if (e.kind == EVENT_VEL) vels[e.unit_no][e.clock] = e.value;
    }
    auto at = [](std::map<int32_t, int32_t>& m, int32_t c, int32_t none) {
      auto it = m.upper_bound(c);
      return it == m.begin() ? none : std::prev(it)->second;
    };
    std::map<int, std::vector<Note>> out;
    for (const Event& e : song.events) {
      if (e.kind != EVENT_ON) continue;
      out[e.unit_no].emplace_back(e.clock, at(keys[e.unit_no], e.clock, -1), e.value,
                                  at(vels[e.unit_no], e.clock, 104));
    }
    return out;
  }
  std::map<int, std::vector<Note>> song_notes() const { return song_notes(p); }
  std::vector<Note> all_notes() const {
    std::vector<Note> out;
    for (const auto& [unit, notes] : song_notes())
      out.insert(out.end(), notes.begin(), notes.end());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::vector<std::string> unit_names() const {
    std::vector<std::string> out;
    for (const auto& u : p.units) {
      if (u) out.push_back(name_field_text(u->name));
    }
    return out;
  }

  // Each unit's woice: its name, and whether it is the built-in material named.
  std::string woice_of(int unit) const {
    const Woice& w = *p.woices[static_cast<size_t>(unit)];
    return name_field_text(w.name);
  }
  bool plays(int unit, const char* material) const {
    Project b;
    const char* failed = nullptr;
    if (!project_prepare(b, &failed)) return false;
    const bool noise = material[2] == 'N';
    if (!(noise ? load_builtin_noise(b, material) : load_builtin_voice(b, material))) return false;
    const Woice &w = *p.woices[static_cast<size_t>(unit)], &m = *b.woices[0];
    if (w.type != m.type || w.voice_num != m.voice_num) return false;
    if (noise) return w.voices[0].noise->sample_num == m.voices[0].noise->sample_num;
    return w.voices[0].points.size() == m.voices[0].points.size() &&
           std::equal(w.voices[0].points.begin(), w.voices[0].points.end(),
                      m.voices[0].points.begin(),
                      [](const Point& a, const Point& b) { return a.x == b.x && a.y == b.y; });
  }
};

}  // namespace

// mido writes running status, so every file here has it.
TEST_F(MidiTest, NotesAreWhatMidoReadsRescaledTo480) {
  const std::string files[] = {
      // Format 0, 96 ticks a beat: sysex, a long text meta, velocity-0 note-offs, a note never
      // ended, two overlapping notes of one key.
      R"(save('a.mid', [track(M('sysex', data=[1] * 200), T('text', text='x' * 300),
          M('note_on', note=60, velocity=100), M('note_on', note=64, velocity=30, time=40),
          M('note_on', note=60, velocity=0, time=10), M('note_on', note=64, velocity=50),
          M('note_off', note=64, time=96), M('note_off', note=64, time=1),
          M('note_on', note=72, velocity=127, time=7), T('marker', text='end', time=500))],
          type=0, tpb=96))",
      // Format 1, two tracks of 40,000 notes: more than the reader keeps in one block.
      R"(save('c.mid', [track(*[m for i in range(40000) for m in (M('note_on', channel=t,
          note=40 + i % 7 + t, velocity=1 + i % 3), M('note_off', channel=t, note=40 + i % 7 + t,
          time=5 + i % 4))]) for t in (0, 1)]))",
      // Format 1, a first track of a long text and two notes, then 80,000 notes: more blocks
      // than the first track's notes a byte foretell.
      R"(save('d.mid', [track(T('text', text='x' * 3000), M('note_on', note=50, velocity=9),
          M('note_off', note=50, time=30), M('note_on', note=52, velocity=9),
          M('note_off', note=52, time=30)), track(*[m for i in range(80000) for m in
          (M('note_on', channel=1, note=40 + i % 7, velocity=1 + i % 3), M('note_off',
          channel=1, note=40 + i % 7, time=5 + i % 4))])]))",
      // Format 1, 1000 ticks a beat: clocks rounded from absolute ticks, never adding up.
      R"(save('b.mid', [track(T('set_tempo', tempo=400000))] +
          [track(*[m for i in range(40) for m in (M('note_on', channel=c, note=40 + c + i % 5,
          velocity=1 + i, time=333), M('note_off', channel=c, note=40 + c + i % 5, time=100))])
          for c in (0, 3, 9)], tpb=1000))",
  };
  for (const std::string& file : files) {
    run_python(file);
    const std::string name = file.substr(6, 5);
    ASSERT_TRUE(load(name)) << p.report_text;
    const nlohmann::json mido = nlohmann::json::parse(run_python(PYTHON_NOTES, name));
    const int64_t tpb = mido["tpb"];
    std::vector<Note> expected;
    for (const auto& n : mido["notes"]) {
      auto clock = [tpb](int64_t tick) { return (tick * 960 + tpb) / (2 * tpb); };
      const int64_t on = clock(n[2]), length = std::max<int64_t>(clock(n[3]) - on, 1);
      const int key = n[4], vel = n[5];
      expected.emplace_back(on, 0x4500 + (key - 69) * 256, length, vel);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all_notes(), expected) << name;
    EXPECT_EQ(p.beat_clock, 480);
  }
  EXPECT_EQ(p.beat_tempo, 150.0f);
}

TEST_F(MidiTest, UnitsNamesWoicesAndControls) {
  run_python(R"(save('u.mid', [track(T('track_name', name='Song'), T('time_signature', numerator=6,
      denominator=8)), track(T('track_name', name='Lead'), M('program_change', program=40),
      M('control_change', control=7, value=127), M('control_change', control=10, value=0),
      M('note_on', note=69, velocity=104), M('note_on', note=81, velocity=64, time=240),
      M('control_change', control=7, value=64, time=120), M('control_change', control=10,
      value=127), M('note_off', note=69, time=120), M('note_off', note=81, time=480),
      M('control_change', control=7, value=1, time=10), M('pitchwheel', pitch=9),
      M('note_on', note=69, velocity=104, time=230)),
      track(T('track_name', name='A name far longer than sixteen'), M('note_on', channel=1,
      note=60, velocity=10), M('note_on', channel=1, note=62, velocity=10),
      M('program_change', channel=4, program=17), M('note_on', channel=4, note=50,
      velocity=10)), track(M('note_on', channel=9, note=36, velocity=90),
      M('note_on', channel=9, note=42, velocity=90, time=30), M('note_off', channel=9, note=36,
      time=30), M('note_on', channel=9, note=36, velocity=90, time=60))]))");
  ASSERT_TRUE(load("u.mid")) << p.report_text;
  EXPECT_EQ(unit_names(),
            (std::vector<std::string>{"Lead", "Lead 2", "A name far longe", "A name far lon 2",
                                      "A name far longe", "ch 10", "ch 10 2"}));
  const std::pair<const char*, const char*> woices[] = {
      {"strings", "QXV_SAW784"}, {"strings", "QXV_SAW784"}, {"piano", "QXV_TRIA784"},
      {"piano", "QXV_TRIA784"},  {"organ", "QXV_RECT784"},  {"drums", "QXN_BD6"},
      {"drums", "QXN_HATC"}};
  for (int u = 0; u < 7; ++u) {
    EXPECT_EQ(woice_of(u), woices[u].first) << u;
    EXPECT_TRUE(plays(u, woices[u].second)) << u;
  }
  // A drum unit's woice sounds as made at its most played key.
  EXPECT_EQ(p.woices[5]->voices[0].basic_key, 0x4500 - 33 * 256);
  EXPECT_EQ(p.woices[6]->voices[0].basic_key, 0x4500 - 27 * 256);
  EXPECT_EQ(p.name_text, "Song");
  EXPECT_EQ(p.beat_num, 3);
  EXPECT_EQ(song_notes()[0], (std::vector<Note>{{0, 0x4500, 480, 104}, {1200, 0x4500, 1, 104}}));
  EXPECT_EQ(song_notes()[1], (std::vector<Note>{{240, 0x5100, 720, 64}}));
  // Volume and pan: what the channel holds when a unit's first note starts, a change while
  // it sounds at once, one while it is silent at its next note, none after its last.
  EXPECT_EQ(events_of(EVENT_VOL), (std::vector<Ev>{{0, 0, EVENT_VOL, 127},
                                                   {240, 1, EVENT_VOL, 127},
                                                   {360, 0, EVENT_VOL, 64},
                                                   {360, 1, EVENT_VOL, 64},
                                                   {1200, 0, EVENT_VOL, 1}}));
  EXPECT_EQ(events_of(EVENT_PAN), (std::vector<Ev>{{0, 0, EVENT_PAN, 0},
                                                   {240, 1, EVENT_PAN, 0},
                                                   {360, 0, EVENT_PAN, 128},
                                                   {360, 1, EVENT_PAN, 128}}));
  std::vector<Ev> voice_nos;
  for (int u = 0; u < 7; ++u) voice_nos.push_back({0, u, EVENT_VOICE_NO, u});
  EXPECT_EQ(events_of(EVENT_VOICE_NO), voice_nos);
  EXPECT_EQ(p.meas_num, 1);  // 1201 clocks, within one measure of three beats
  EXPECT_EQ(lines,
            "\n* MIDI: 1 channel message not read (pitch bend, aftertouch, controls but "
            "volume and pan)");
}

TEST_F(MidiTest, ProgramFamiliesOfTheChannelAtEachUnitsFirstNote) {
  // Family f is set on channel f % 8 at tick 10f and played there at once; channel 8 plays
  // with no program, and its later program change comes after its first note.
  run_python(R"(save('f.mid', [track(M('program_change', channel=f % 8, program=8 * f + 7,
      time=10 * f), M('note_on', channel=f % 8, note=60, velocity=9)) for f in range(16)] +
      [track(M('note_on', channel=8, note=60, velocity=9), M('program_change', channel=8,
      program=20))]))");
  ASSERT_TRUE(load("f.mid")) << p.report_text;
  // Each unit plays the family its channel had at its first note; the last, none yet.
  ASSERT_EQ(unit_count(p), 17);
  for (int u = 0; u < 17; ++u) {
    const int program = u < 16 ? 8 * u + 7 : 0;
    EXPECT_EQ(woice_of(u), midi_family_name(program)) << u;
    EXPECT_TRUE(plays(u, midi_family_material(program))) << u;
  }
  // The table itself, one family of each material.
  EXPECT_STREQ(midi_family_material(0), "QXV_TRIA784");   // piano
  EXPECT_STREQ(midi_family_material(16), "QXV_RECT784");  // organ
  EXPECT_STREQ(midi_family_material(24), "QXV_SAW784");   // guitar
}

TEST_F(MidiTest, MasterAndTheLinesOfWhatIsNotRead) {
  struct Case {
    const char* tracks;
    float tempo;
    int beat_num;
    const char* lines;
  };
  const Case cases[] = {
      {"[]", 120.0f, 4, ""},
      {"[track(T('set_tempo', tempo=600000), T('time_signature', numerator=2, denominator=2),"
       "T('set_tempo', tempo=600000, time=5), T('set_tempo', tempo=300000, time=5),"
       "T('set_tempo', tempo=600000), T('time_signature', numerator=3, denominator=4))]",
       100.0f, 4,
       "\n* MIDI: 2 tempo changes after the first not read\n* MIDI: 1 time signature change "
       "after the first not read"},
      {"[track(T('time_signature', numerator=7, denominator=8))]", 120.0f, 4,
       "\n* MIDI: time signature 7/8 read as 4 beats a measure"},
      // Sixty tracks of one note: fifty units.
      {"[track(M('note_on', note=60, velocity=9)) for i in range(60)]", 120.0f, 4,
       "\n* MIDI: 10 notes beyond 50 units not read"},
  };
  for (const Case& c : cases) {
    run_python(std::string("save('m.mid', ") + c.tracks + ")");
    ASSERT_TRUE(load("m.mid")) << p.report_text;
    EXPECT_EQ(p.beat_tempo, c.tempo) << c.tracks;
    EXPECT_EQ(p.beat_num, c.beat_num) << c.tracks;
    EXPECT_EQ(lines, c.lines) << c.tracks;
  }
  EXPECT_EQ(unit_count(p), 50);
  EXPECT_EQ(unit_names()[49], "ch 1");
  // Fifty notes that sound while the volume changes 200 times: more changes than bytes.
  run_python(R"(save('m.mid', [track(*[M('note_on', note=30 + i, velocity=9) for i in range(50)],
      *[M('control_change', control=7, value=i % 2, time=1) for i in range(200)])]))");
  ASSERT_TRUE(load("m.mid")) << p.report_text;
  EXPECT_EQ(events_of(EVENT_VOL).size(), std::filesystem::file_size(dir + "/m.mid"));
  EXPECT_NE(lines.find(" volume and pan changes not read, more than the file's size allows"),
            std::string::npos)
      << lines;
}

namespace {

Bytes be32(uint32_t v) {
  return Bytes().u8(v >> 24).u8(v >> 16).u8(v >> 8).u8(v);
}
Bytes header(uint16_t format, uint16_t tracks, uint16_t division, uint32_t size = 6) {
  return Bytes()
      .text("MThd")
      .add(be32(size))
      .u8(format >> 8)
      .u8(format)
      .u8(tracks >> 8)
      .u8(tracks)
      .u8(division >> 8)
      .u8(division);
}
Bytes track(const Bytes& body, uint32_t extra = 0) {
  return Bytes().text("MTrk").add(be32(static_cast<uint32_t>(body.size()) + extra)).add(body);
}
// Two notes in running status after a sysex and its escaped continuation.
const Bytes BODY = Bytes()
                       .u8(0)
                       .u8(0xF0)
                       .u8(2)
                       .u8(1)
                       .u8(0xF7)
                       .u8(0)
                       .u8(0xF7)
                       .u8(1)
                       .u8(2)
                       .u8(0)
                       .u8(0x90)
                       .u8(60)
                       .u8(90)
                       .u8(10)
                       .u8(62)
                       .u8(90)
                       .u8(10)
                       .u8(60)
                       .u8(0)
                       .u8(0)
                       .u8(62)
                       .u8(0)
                       .u8(0)
                       .u8(0xFF)
                       .u8(0x2F)
                       .u8(0);

}  // namespace

TEST_F(MidiTest, HandMadeFilesAndRefusals) {
  const Bytes good = header(0, 1, 480).add(track(BODY));
  struct Case {
    const char* name;
    Bytes file;
    const char* text;  // nullptr: loads
  };
  const Case cases[] = {
      {"ok.MIDI", good, nullptr},
      {"alien.Mid", header(1, 1, 480, 8).u16(0).text("XYZW").add(be32(1)).u8(7).add(track(BODY)),
       nullptr},
      {"riff.mid", Bytes().text("RIFF").add(be32(4)).text("WAVE"), "not a MIDI file"},
      {"short.mid", Bytes().text("MTh"), "not a MIDI file"},
      {"ok.qxprj", good, "Invalid file!"},
      {"two.mid", header(2, 1, 480).add(track(BODY)), "MIDI format 2 not read"},
      {"three.mid", header(3, 1, 480).add(track(BODY)), "MIDI format 3 unknown"},
      {"smpte.mid", header(1, 1, 0xE728).add(track(BODY)), "MIDI SMPTE time not read"},
      {"zero.mid", header(1, 1, 0).add(track(BODY)), "MIDI division of 0"},
      {"header.mid", header(1, 1, 480, 400).add(track(BODY)), "MIDI header cut short"},
      {"count.mid", header(1, 9, 480).add(track(BODY)), "MIDI tracks past end of file"},
      {"missing.mid", header(1, 2, 480).add(track(BODY)).u32(0).u32(0),
       "MIDI tracks past end of file"},
      {"length.mid", header(1, 1, 480).add(track(BODY, 1)), "MIDI tracks past end of file"},
      {"meta.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(0xFF).u8(1).u8(9).u8(1))),
       "MIDI event past end of track"},
      {"sysex.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(0xF0).u8(0x83).u8(0))),
       "MIDI event past end of track"},
      {"delta.mid", header(0, 1, 480).add(track(Bytes().u8(0x81).u8(0x81).u8(0x81).u8(0x81).u8(1))),
       "MIDI event past end of track"},
      {"note.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(0x90).u8(60))),
       "MIDI event past end of track"},
      {"running.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(60).u8(90))),
       "MIDI data before any status"},
      {"data.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(0x90).u8(60).u8(0x90))),
       "MIDI data byte above 127"},
      {"status.mid", header(0, 1, 480).add(track(Bytes().u8(0).u8(0xF2).u8(0).u8(0))),
       "MIDI status F2 not read"},
      {"long.mid",
       header(0, 1, 1).add(
           track(Bytes().u8(0xFF).u8(0xFF).u8(0xFF).u8(0x7F).u8(0x90).u8(60).u8(9))),
       "MIDI song too long"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(open(good, "earlier.mid")) << p.report_text;
    const int ok = open(c.file, c.name);
    EXPECT_EQ(ok, c.text == nullptr) << c.name << ": " << p.report_text;
    if (c.text) {
      EXPECT_EQ(p.report_text, c.text) << c.name;
      EXPECT_TRUE(project_empty()) << c.name;
      continue;
    }
    EXPECT_EQ(all_notes(), (std::vector<Note>{{0, 0x3C00, 20, 90}, {10, 0x3E00, 10, 90}}));
    if (c.file.b != good.b) continue;
    // midicsv, which knows nothing of this program, lists the same two notes.
    FILE* pipe = popen(("midicsv '" + dir + "/" + c.name + "'").c_str(), "r");
    std::string csv;
    char buf[4096];
    for (size_t n; pipe && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) csv.append(buf, n);
    if (pipe) pclose(pipe);
    EXPECT_NE(csv.find(", 0, Note_on_c, 0, 60, 90"), std::string::npos) << csv;
    EXPECT_NE(csv.find(", 10, Note_on_c, 0, 62, 90"), std::string::npos) << csv;
  }
}

TEST_F(MidiTest, ConvertsToEveryTargetAndX5xKeepsTheNotes) {
  run_python(R"(save('c.mid', [track(M('control_change', channel=c, control=10, value=100),
      *[m for i in range(8) for m in (M('note_on', channel=c, note=50 + i, velocity=20 + i,
      time=60), M('note_off', channel=c, note=50 + i, time=30))])
      for c in (0, 1, 2, 3, 9, 12, 13, 14)], tpb=120))");
  ASSERT_TRUE(load("c.mid")) << p.report_text;
  const auto notes = song_notes();
  p.console = [](std::string_view) {};
  for (int target = 1; target <= TARGET_COUNT; ++target) {
    const std::string out = dir + "/c" + std::to_string(target);
    EXPECT_EQ(write_output(p, p, out, target), 1) << target << ": " << p.error_text;
  }
  Project q;
  const char* failed = nullptr;
  ASSERT_TRUE(project_prepare(q, &failed));
  int flag = 0;
  ASSERT_TRUE(open_input(q, dir + "/c9", &flag)) << q.report_text;
  EXPECT_EQ(song_notes(q), notes);
  EXPECT_EQ(unit_count(q), 8);
}
