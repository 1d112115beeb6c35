// Instrument files: two header bytes and three-byte step records for six units that always
// play the same six built-in materials.
#pragma once

#include <cstdint>
#include <string>

struct ByteSource;
struct Project;
struct Song;

constexpr int32_t INSTRUMENT_UNIT_NUM = 6;

// The caller has cleared the Project and checked bytes 0 and 1. On failure the ErrorText
// says why and the caller clears the Project.
int read_instrument(Project& p, ByteSource& source, const std::string& path);
// From offset 2: stores the events in file order (the caller links them) and sets the
// repeat and last measures. Never fails; the store was sized for every record. The song is
// the same whatever it is converted to: the units' voice numbers that some targets need
// are the downgrade step's.
int read_instrument_events(Project& p, ByteSource& source);
// Add one Woice in the first free slot from the built-in material of that name.
int load_builtin_voice(Project& p, const char* name);
int load_builtin_noise(Project& p, const char* name);
// Whether woice `index` is the built-in material an instrument file plays on unit `index`,
// so that an instrument file loses nothing of it.
bool woice_is_builtin(const Song& song, int32_t index);
