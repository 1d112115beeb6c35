// Material writing: one woice of the target's song becomes one material chunk, as the
// downgrade step left it (kept, changed, or rendered or decoded to PCM).
#pragma once

#include <cstdint>
#include <cstdio>

struct PcmBuffer;
struct Run;
struct TargetWoice;
struct Woice;

constexpr int32_t CONVERTED_VOICE_KEY = 0x3900;
constexpr const char* UNIT_NAME_PREFIX = "u-";

// Returns 1 on success, 0 with the ErrorText set. `index` is the old unit index written
// into the chunk header.
int write_woice(Run& run, FILE* out, const TargetWoice& woice, int old_noise, int target,
                int index);
// The basic key the reader of an x1x to x3x target takes for this woice (as the song holds
// it) from the chunk that write_woice gives it: the material header's 16-bit key, the
// neutral key of a qxVoice body, or CONVERTED_VOICE_KEY for a qxVoice rendered for target 1.
int32_t old_generation_basic_key(const Woice& woice, int target);
// Bytes of a PCM buffer's frames; -1 when the buffer does not hold them all or they are too
// many for a chunk.
int64_t pcm_data_bytes(const PcmBuffer& pcm);
