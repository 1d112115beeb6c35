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
  for (const Event* e = first_event(p); e; e = e->next) {
    if (e->kind == EVENT_KEY) key[e->unit_no] = e->value;
    if (e->kind == EVENT_VEL) vel[e->unit_no] = e->value;
    if (e->kind == EVENT_ON && e->unit_no < notes.size()) {
      notes[e->unit_no].emplace_back(e->clock, (key[e->unit_no] + 128) / 256, e->value,
                                     vel[e->unit_no]);
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
