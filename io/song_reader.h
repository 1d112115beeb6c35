// Loading a song file in two passes: a pre-count that sizes the event store from the file,
// and the reading itself with the key and tuning fix-ups of the older generations.
#pragma once

#include <cstdint>

#include "io/chunk_reader.h"

struct ByteSource;
struct Project;

constexpr int32_t LEGACY_EVENT_CAPACITY = 10000;
constexpr int32_t OLD_GENERATION_EVENT_RESERVE = 200;
constexpr int32_t DEFAULT_KEY = 0x6000;
constexpr int32_t KEY_ORIGIN = 0x4500;

// From offset 0: the number of event records the song needs, 0 when the file cannot be a
// song of its generation. Changes nothing in the Project but the ErrorText and file_magic.
// `ahead`, when given, keeps the entries of the first "Event V5" chunk for read_song.
int32_t count_events(Project& p, ByteSource& source, EventsReadAhead* ahead = nullptr);

// From offset 0, into an event store sized by count_events and a unit table of 50 slots.
// Sets *tune_flag when the beat clock is not 480. On failure the Project is left cleared.
// `ahead`: what count_events kept of the same source, or nothing.
int read_song(Project& p, ByteSource& source, int* tune_flag, EventsReadAhead* ahead = nullptr);
