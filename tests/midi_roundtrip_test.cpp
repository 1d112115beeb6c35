// A song through a MIDI file and back: every unit's notes (clock, key to the semitone,
// length, velocity), the tempo and the beat count survive, and a MIDI file through x5x and
// back keeps every note.
#include <gtest/gtest.h>

#include <tuple>

#include "app/convert.h"
#include "app/output.h"
#include "io/chunk_writers.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

using Played = std::tuple<int32_t, int32_t, int32_t, int32_t>;  // clock, semitone, length, vel

// Each unit's notes as they sound: the unit's key and velocity at each On.
std::vector<std::vector<Played>> notes_by_unit(const Project& p) {
  std::vector<std::vector<Played>> notes(static_cast<size_t>(unit_count(p)));
  std::vector<int32_t> key(256, 0x6000), vel(256, 104);
  for (const Event& e : p.events) {
    if (e.kind == EVENT_KEY) key[e.unit_no] = e.value;
    if (e.kind == EVENT_VEL) vel[e.unit_no] = e.value;
    if (e.kind == EVENT_ON && e.unit_no < notes.size()) {
      notes[e.unit_no].emplace_back(e.clock, (key[e.unit_no] + 128) / 256, e.value, vel[e.unit_no]);
    }
  }
  return notes;
}

Project& loaded(Project& p, const std::string& path) {
  int tune_flag = 0;
  EXPECT_EQ(load_input(p, path, &tune_flag), 1) << p.report_text;
  return p;
}

}  // namespace

TEST(MidiRoundTrip, SongThroughMidiKeepsEveryUnitsNotes) {
  ScratchDir dir;
  Project p;
  project_setup(p, 1000);
  p.beat_tempo = 137.0f;
  p.beat_num = 3;
  for (int u = 0; u < 15; ++u) {
    add_unit(p, ("u" + std::to_string(u)).c_str());
    for (int n = 0; n < 6; ++n) {
      const int32_t clock = n * 240 + u * 7;
      put(p, clock, u, EVENT_KEY, 0x3000 + (u * 3 + n * 2) * 256);
      put(p, clock, u, EVENT_VEL, 20 + u * 6 + n);
      put(p, clock, u, EVENT_ON, 120 + n * 10);
    }
  }
  p.console = [](std::string_view) {};
  ASSERT_EQ(write_output(p, p, dir.file("s.mid"), TARGET_MIDI), 1) << p.error_text;
  Project q;
  q.console = [](std::string_view) {};
  loaded(q, dir.file("s.mid"));
  EXPECT_EQ(notes_by_unit(q), notes_by_unit(p));
  EXPECT_NEAR(q.beat_tempo, 137.0f, 0.001f);  // through whole microseconds a beat
  EXPECT_EQ(q.beat_num, 3);

  // Out again, as x5x and back to MIDI: the same notes.
  ASSERT_EQ(write_output(q, q, dir.file("s.qxprj"), TARGET_X5X_NEW_NOISE), 1) << q.error_text;
  Project r;
  loaded(r, dir.file("s.qxprj"));
  r.console = [](std::string_view) {};
  ASSERT_EQ(write_output(r, r, dir.file("again.mid"), TARGET_MIDI), 1) << r.error_text;
  Project s;
  s.console = [](std::string_view) {};
  loaded(s, dir.file("again.mid"));
  EXPECT_EQ(notes_by_unit(s), notes_by_unit(p));
}

// Pans run 0 to 128 in songs and 0 to 127 in MIDI files: every controller value read and
// written again comes out as it went in.
TEST(MidiRoundTrip, EveryPanComesBackAsItWasRead) {
  ScratchDir dir;
  // One track, channel 1: each tick a pan then a short note, for every value 0 to 127.
  std::vector<uint8_t> track;
  for (int v = 0; v < 128; ++v) {
    track.insert(track.end(), {1, 0xB0, 10, static_cast<uint8_t>(v)});
    track.insert(track.end(), {0, 0x90, 60, 100, 1, 0x80, 60, 0});
  }
  track.insert(track.end(), {0, 0xFF, 0x2F, 0});
  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0,  0,   0,   6,   0,
                               0,   0,   1,   0,   96, 'M', 'T', 'r', 'k'};
  for (int shift = 24; shift >= 0; shift -= 8) {
    file.push_back(static_cast<uint8_t>(track.size() >> shift));
  }
  file.insert(file.end(), track.begin(), track.end());
  FILE* f = std::fopen(dir.file("pans.mid").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);

  Project p;
  p.console = [](std::string_view) {};
  loaded(p, dir.file("pans.mid"));
  ASSERT_EQ(write_output(p, p, dir.file("again.mid"), TARGET_MIDI), 1) << p.error_text;
  const std::vector<uint8_t> again = song_parser::read_file(dir.file("again.mid"));
  std::vector<int> pans;
  for (size_t i = 0; i + 2 < again.size(); ++i) {
    if ((again[i] & 0xF0) == 0xB0 && again[i + 1] == 10) pans.push_back(again[i + 2]);
  }
  std::vector<int> want = {64};  // the track's starting pan
  for (int v = 0; v < 128; ++v) {
    if (v != want.back()) want.push_back(v);
  }
  EXPECT_EQ(pans, want);
}
