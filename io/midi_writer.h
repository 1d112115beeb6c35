// Writing a loaded song as a Standard MIDI File (format 1): a conductor track with the
// song's texts, tempo, metre and loop markers, then one track per unit that plays, each on a
// channel of its own while there are channels. What the file cannot hold is decided and said
// by midi_plan before anything is written; write_midi then only writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "project/events.h"

struct Run;
struct Song;

// Pitch bends span this many semitones either way (set by RPN 0 at the start of every unit
// track), so that a glide of up to an octave fits within one note.
constexpr int MIDI_BEND_RANGE = 12;
// Glides are written as a bend every this fraction of a beat...
constexpr int MIDI_GLIDE_STEPS_PER_BEAT = 32;
// ... and in at most this many steps: a longer glide takes longer steps.
constexpr int MIDI_GLIDE_STEP_MAX = 1024;
// The largest tick a delta time of four bytes reaches from tick 0.
constexpr uint32_t MIDI_TICK_MAX = 0x0FFFFFFF;

// What the writer decides before writing, said as conversion lines by midi_plan.
struct MidiPlan {
  uint16_t division = 0;              // ticks per quarter note
  int32_t clock_divisor = 1;          // song clocks per tick
  std::vector<int> channel_of_unit;   // by unit number (0..255); -1: the unit writes no track
  std::vector<int> track_units;       // the unit of each unit track, in track order
  std::vector<uint32_t> unit_events;  // by unit number: the events its track reads
  uint32_t tempo = 500000;            // microseconds per quarter note
  int32_t glide_step = 1;             // song clocks between the bends of a glide, at least
};

// Decides the plan and prints its lines (a scaled division, a replaced tempo, channels
// shared, notes and bends held within MIDI's ranges). Returns 1, or 0 with the ErrorText set.
// `head`: events put before the song's own (an instrument file's voice numbers).
int midi_plan(Run& run, const Song& song, std::span<const Event> head, MidiPlan& plan);
// Writes the file; prints nothing. Returns 1, or 0 with the ErrorText set ("write midi" for
// a failed write).
int write_midi(Run& run, const Song& song, std::span<const Event> head, const MidiPlan& plan,
               FILE* out);
