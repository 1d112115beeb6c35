// Material writing: one Woice becomes one material chunk in the form the target can hold,
// converted to PCM (rendered or decoded) when it cannot; and the units created for woices
// in the generations where unit i plays woice i.
#pragma once

#include <cstdint>
#include <cstdio>

struct Project;
struct Woice;

constexpr int32_t CONVERTED_VOICE_KEY = 0x3900;
constexpr const char* UNIT_NAME_PREFIX = "u-";

// Returns 1 on success, 0 with the ErrorText set. `index` is the old unit index written
// into the chunk header.
int write_woice(Project& p, FILE* out, Woice& woice, int old_noise, int target, int index);
// The basic key the reader of an x1x to x3x target takes for this woice from the chunk that
// write_woice gives it: the material header's 16-bit key, the neutral key of a qxVoice body,
// or CONVERTED_VOICE_KEY for a qxVoice rendered for target 1.
int32_t old_generation_basic_key(const Woice& woice, int target);
// Gives every woice index without a unit a unit named "u-" and the woice's name.
int create_woice_units(Project& p);
