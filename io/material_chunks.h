// Material chunks of song files: raw PCM ("matePCM " and the legacy "matePCM="), qxVoice,
// qxNoise and OGG bodies, each read into a new Woice with its Voice.
#pragma once

#include <cstdint>

struct ByteSource;
struct PcmBuffer;
struct Project;

// Each reads the rest of its chunk after the tag and adds one Woice in the first free slot.
// On failure no Woice of the chunk is left; *new_format is set when the chunk is newer than
// this reader takes.
int read_pcm_chunk(Project& p, ByteSource& source, int* new_format);
int read_qxvoice_chunk(Project& p, ByteSource& source, int* new_format);
int read_qxnoise_chunk(Project& p, ByteSource& source, int* new_format);
int read_ogg_chunk(Project& p, ByteSource& source, int* new_format);

// Replaces the buffer's samples with sample_num frames of silence. Fails for bits other than
// 8 or 16, no channels, or a size that cannot be had.
int pcm_buffer_create(PcmBuffer& pcm, int32_t channels, int32_t sample_rate, int32_t bits,
                      int32_t sample_num);
