// OGG materials: the stream is carried as stored, written back unchanged, or decoded to
// 16-bit PCM from memory through vorbisfile. Decoding builds the new samples aside and
// only replaces the PcmBuffer once the whole stream has been read. The samples grow with
// what the decoder really delivers: the length the last page claims is only an upper bound,
// since a damaged or forged page could claim gigabytes of frames that are not there.
#include "material/ogg.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bytes/bytes.h"
#include "project/project.h"

namespace {

constexpr int DECODE_CHUNK = 4096;
// One Vorbis packet gives at most half the longest block (8192) of new frames, and every
// packet takes at least one byte of the stream: a total beyond that is a damaged header.
constexpr int64_t MAX_FRAMES_PER_BYTE = 4096;
// Room made before decoding, per stream byte: more than a usual stream gives, so that the
// samples rarely move while they grow.
constexpr size_t RESERVE_PER_BYTE = 32;

}  // namespace

int32_t ogg_body_size(const OggStream* stream) {
  // 0 for a stream too large for a chunk to hold.
  if (!stream || stream->size < 0 || stream->size > INT32_MAX - 16) return 0;
  return stream->size + 16;
}

int ogg_write_body(const OggStream* stream, FILE* file) {
  if (!stream || !file) return 0;
  if (stream->size < 0 || static_cast<size_t>(stream->size) > stream->data.size()) return 0;
  for (int32_t v : stream->header_values) {
    if (!write_i32(file, v)) return 0;
  }
  if (!write_i32(file, stream->size)) return 0;
  if (stream->size > 0 && fwrite(stream->data.data(), 1, static_cast<size_t>(stream->size), file) !=
                              static_cast<size_t>(stream->size)) {
    return 0;
  }
  return 1;
}

int ogg_read_body(ByteSource& source, OggStream* stream) {
  if (!stream) return 0;
  int32_t values[3];
  int32_t size = 0;
  for (int32_t& v : values) {
    if (!read_i32(source, &v)) return 0;
  }
  if (!read_i32(source, &size)) return 0;
  if (size <= 0 || size > source_remaining(source)) return 0;
  std::vector<uint8_t> data;
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!read_bytes(data.data(), 1, data.size(), source)) return 0;
  std::memcpy(stream->header_values, values, sizeof values);
  stream->size = size;
  stream->data = std::move(data);
  return 1;
}

void ogg_release(std::unique_ptr<OggStream>& stream) {
  stream.reset();
}

void ogg_codec_install(Run& run) {
  run.ogg_codec.ogg_body_size = ogg_body_size;
  run.ogg_codec.ogg_write_body = ogg_write_body;
  run.ogg_codec.ogg_decode = ogg_decode;
  run.ogg_codec.ogg_read_body = ogg_read_body;
  run.ogg_codec.ogg_release = ogg_release;
}

size_t ogg_mem_read(void* destination, size_t item_size, size_t item_count, void* source) {
  auto* m = static_cast<OggMemSource*>(source);
  if (!m) return static_cast<size_t>(-1);
  if (m->position == -1 || m->position >= m->size) return 0;
  auto left = static_cast<size_t>(m->size - m->position);
  size_t wanted = 0;
  bool fits = !__builtin_mul_overflow(item_size, item_count, &wanted) && wanted < left;
  if (fits) {
    if (wanted > 0) std::memcpy(destination, m->data + m->position, wanted);
    m->position += static_cast<int32_t>(wanted);
    return item_count;
  }
  std::memcpy(destination, m->data + m->position, left);
  m->position = m->size;
  return left / item_size;
}

int ogg_mem_seek(void* source, int64_t offset, int origin) {
  auto* m = static_cast<OggMemSource*>(source);
  if (!m || m->position < 0) return -1;
  if (offset < 0) {
    m->position = -1;
    return -1;
  }
  // The position is 32-bit and every base is at least 0: a larger offset cannot be held.
  if (offset > INT32_MAX) return -1;
  int64_t target = 0;
  switch (origin) {
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      target = static_cast<int64_t>(m->position) + offset;
      break;
    case SEEK_END:
      target = static_cast<int64_t>(m->size) + offset;
      break;
    default:
      return -1;
  }
  if (target < 0 || target > INT32_MAX) return -1;
  m->position = static_cast<int32_t>(target);
  return 0;
}

int ogg_mem_close(void* source) {
  return source ? 0 : -1;
}

long ogg_mem_tell(void* source) {
  auto* m = static_cast<OggMemSource*>(source);
  return m ? m->position : -1;
}

int ogg_decode(const OggStream* stream, PcmBuffer* pcm) {
  if (!stream || !pcm) return 0;
  if (stream->size <= 0 || static_cast<size_t>(stream->size) > stream->data.size()) return 0;
  OggMemSource mem;
  mem.data = stream->data.data();
  mem.size = stream->size;
  mem.position = 0;
  ov_callbacks callbacks = {ogg_mem_read, ogg_mem_seek, ogg_mem_close, ogg_mem_tell};
  OggVorbis_File vf;
  std::memset(&vf, 0, sizeof vf);
  if (ov_open_callbacks(&mem, &vf, nullptr, 0, callbacks) < 0) {
    ov_clear(&vf);
    return 0;
  }
  vorbis_info* info = ov_info(&vf, -1);
  int64_t total = ov_pcm_total(&vf, -1);
  if (!info || info->channels <= 0 || info->rate <= 0 || info->rate > INT32_MAX || total < 0 ||
      total > static_cast<int64_t>(stream->size) * MAX_FRAMES_PER_BYTE ||
      total * info->channels * 2 > INT32_MAX) {
    ov_clear(&vf);
    return 0;
  }
  int32_t channels = info->channels;
  auto rate = static_cast<int32_t>(info->rate);
  const auto limit = static_cast<size_t>(total * channels * 2);
  const size_t frame_bytes = static_cast<size_t>(channels) * 2;

  std::vector<uint8_t> samples;
  char chunk[DECODE_CHUNK];
  // Each failed read consumes stream bytes; more failures than bytes means it is stuck.
  int64_t failures_left = static_cast<int64_t>(stream->size) + 16;
  try {
    samples.reserve(std::min(limit, static_cast<size_t>(stream->size) * RESERVE_PER_BYTE));
    for (;;) {
      int bitstream = 0;
      long n = ov_read(&vf, chunk, DECODE_CHUNK, 0, 2, 1, &bitstream);
      if (n == 0) break;
      if (n < 0) {
        if (--failures_left < 0) break;
        continue;
      }
      const size_t take = std::min(static_cast<size_t>(n), limit - samples.size());
      samples.insert(samples.end(), chunk, chunk + take);
    }
  } catch (const std::bad_alloc&) {
    ov_clear(&vf);
    return 0;
  }
  samples.resize(samples.size() - samples.size() % frame_bytes);
  ov_clear(&vf);

  pcm->channels = channels;
  pcm->sample_rate = rate;
  pcm->bits = 16;
  pcm->sample_num = static_cast<int32_t>(samples.size() / frame_bytes);
  pcm->samples = std::move(samples);
  return 1;
}
