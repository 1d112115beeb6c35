// qxVoice material bodies ("QXVOICE-"): reading into a Woice, writing in the old, mid and
// new layouts a target needs (default envelopes, coordinate waves converted for the
// oldest), and the size figure the conversion lines print.
#pragma once

#include <cstdint>
#include <cstdio>

struct ByteSource;
struct Project;
struct Run;
struct Voice;
struct Woice;

constexpr uint32_t QXVOICE_VERSION_OLD = 20050826;
constexpr uint32_t QXVOICE_VERSION_MID = 20051101;
constexpr uint32_t QXVOICE_VERSION_NEW = 20060111;
// The x3x basic key written into bodies for the old generations, meaning "no shift".
constexpr uint32_t X3X_BASIC_KEY_NEUTRAL = 17664;

// Sets *unsupported (when given) for a well-formed body newer than this program takes.
int qxvoice_read(Project& p, ByteSource& source, Woice& woice, int* unsupported);
int qxvoice_read_wave(ByteSource& source, Voice& voice);
// Writes the body for `target` (2 to 9); *length receives 16 + the body size field. A voice
// without an envelope gets the default one where the layout needs one; a coordinate wave in
// the oldest layout is refused (qxvoice_downgrade_waves converts it first).
int qxvoice_write(FILE* sink, int32_t* length, const Woice& woice, int target);
// Converts the coordinate waves of the woice's voices to oscillator waves for the oldest
// layout, with a line for each. Returns 0 when they are too long to analyse or cannot be.
int qxvoice_downgrade_waves(Run& run, Woice& woice);
int qxvoice_write_wave(FILE* sink, const Voice& voice, int32_t* counter);
int32_t qxvoice_body_size(const Woice& woice);
