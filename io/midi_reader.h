// Standard MIDI Files (formats 0 and 1) read into a song: one unit per track and channel that
// plays notes (more where its notes overlap, since a unit plays one key at a time), clocks
// rescaled to 480 a beat, and each unit given a copy of the built-in material its General
// MIDI program family maps to.
#pragma once

#include <cstdint>
#include <string>

struct ByteSource;
struct Project;

// Clocks a beat of every song read from a MIDI file: never a tune.
constexpr int32_t MIDI_BEAT_CLOCK = 480;

// Whether the path names a MIDI file by its extension: ".mid" or ".midi", in any case.
bool midi_extension(const std::string& path);

// The name of a General MIDI program family (program 0 to 127) and the built-in qxVoice its
// units play; channel 10 plays a built-in qxNoise instead (see read_midi).
const char* midi_family_name(int program);
const char* midi_family_material(int program);

// From offset 0, into a cleared Project (tables made as for every load). Makes the unit
// table, the event store and the woices, and prints one line for each kind of thing not
// read (tempo and time signature changes after the first, notes of units past the 50th,
// other channel messages). On failure returns 0 with the ErrorText set; the caller clears
// the Project.
int read_midi(Project& p, ByteSource& source);
