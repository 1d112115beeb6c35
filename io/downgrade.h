// The downgrade step: everything a target changes in a song, decided and said once before a
// byte is written. It makes the target's copy of the song (units made for woices, qxVoice
// waves converted, qxNoise waveforms replaced, materials rendered or decoded to PCM, the
// divisor of a tune's clocks, the instrument file's tempo byte, the MIDI file's plan) and
// prints each change as a conversion line, with the losses and dropped kinds beside them.
// The writers then only write. The copy shares what did not change with the song: the
// events (the writers divide their clocks and leave out the kinds a layout cannot hold, as
// decided and warned of here), the effects and every woice kept as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "io/midi_writer.h"
#include "project/project.h"
#include "project/targets.h"

// A woice as the target holds it: the song's own, or a copy this step changed or made.
struct TargetWoice {
  const Woice* source = nullptr;  // nullptr: an empty slot
  std::unique_ptr<Woice> changed;
  // For a woice rendered or decoded to PCM: its chunk's tag, and the text a failed write of
  // it reports.
  const char* pcm_tag = nullptr;
  const char* failure = nullptr;
  // Rendered or decoded only to be measured (inspection): its chunk is not written.
  bool measured = false;
  const Woice& woice() const { return changed ? *changed : *source; }
};

struct TargetSong {
  int target = 0;  // what is written: x2x for a tune asked for as x1x
  const TargetRow* row = nullptr;
  int tune_input = 0;
  int clock_divisor = 1;  // song clocks per target clock
  std::vector<std::optional<Unit>> units;
  std::vector<TargetWoice> woices;
  int32_t qxi_tempo = 0;  // the instrument file's tempo byte
  // Events put before the song's own: an instrument file's units are told at clock 0 which
  // woice each plays where units and woices are independent.
  std::vector<Event> head_events;
  MidiPlan midi;  // how a MIDI file fits the beat and the units' channels
};

// How materials to render or decode are handled: kept for writing, or only measured for
// the lines (inspection), and then forgotten.
enum DowngradeMode { DOWNGRADE_KEEP, DOWNGRADE_MEASURE };

// What rendering or decoding a woice to PCM came to, kept between targets so that inspecting
// a song for every target renders each material once.
struct MaterialOutcome {
  bool known = false;
  bool ok = false;
  int32_t from_bytes = 0;
  int32_t to_bytes = 0;
};
using MaterialOutcomes = std::vector<MaterialOutcome>;  // by woice slot

// Makes the target's copy of `song` and prints its lines. Returns 1, or 0 with the ErrorText
// set; the lines printed before a failure are those a write would have printed before it.
// `outcomes` may be null.
int downgrade_song(Run& run, const Song& song, int target, TargetSong& t,
                   DowngradeMode mode = DOWNGRADE_KEEP, MaterialOutcomes* outcomes = nullptr);

// One woice made ready for `target` on its own (the material writers' tests and fuzzing).
int downgrade_woice(Run& run, const Woice& woice, int target, TargetWoice& tw);

int32_t target_unit_count(const TargetSong& t);
int32_t target_leading_woice_count(const TargetSong& t);
const Unit* target_unit(const TargetSong& t, int32_t i);
const TargetWoice* target_woice(const TargetSong& t, int32_t i);
