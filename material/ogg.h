// OGG materials: the stream is kept as stored, written back unchanged, or decoded to
// 16-bit PCM from memory through vorbisfile. Reached only through the Project's OggCodec.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

struct ByteSource;
struct OggStream;
struct PcmBuffer;
struct Run;

int32_t ogg_body_size(const OggStream* stream);
int ogg_write_body(const OggStream* stream, FILE* file);
int ogg_decode(const OggStream* stream, PcmBuffer* pcm);
int ogg_read_body(ByteSource& source, OggStream* stream);
void ogg_release(std::unique_ptr<OggStream>& stream);

// Installs the five operations into p.ogg_codec.
void ogg_codec_install(Run& run);

// The memory source vorbisfile reads while decoding, and its four callbacks.
struct OggMemSource {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  int32_t position = 0;  // -1: made unusable by a bad seek
};
size_t ogg_mem_read(void* destination, size_t item_size, size_t item_count, void* source);
int ogg_mem_seek(void* source, int64_t offset, int origin);
int ogg_mem_close(void* source);
long ogg_mem_tell(void* source);
