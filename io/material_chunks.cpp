// Material chunk readers: each reads its fixed header, adds a Woice and hands the body to
// the PCM reader here or to the qxVoice, qxNoise and OGG body readers.
#include "io/material_chunks.h"

#include <algorithm>
#include <new>

#include "bytes/bytes.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "platform/input_file.h"
#include "project/project.h"

namespace {

constexpr uint32_t VOICE_FLAGS_LIMIT = 8;

int32_t woice_index(const Project& p, const Woice* w) {
  for (size_t i = 0; i < p.woices.size(); ++i) {
    if (p.woices[i].get() == w) return static_cast<int32_t>(i);
  }
  return -1;
}

// The chunk size counts the header and the body that follow it; a size beyond the end of
// the file cannot be true.
int read_chunk_size(ByteSource& s) {
  uint32_t size;
  if (!read_u32(s, &size)) return 0;
  return size <= static_cast<uint64_t>(source_remaining(s)) ? 1 : 0;
}

// Adds a Woice with one initialised Voice; on failure nothing is left behind.
Woice* add_single_voice_woice(Project& p, int32_t wave_type) {
  Woice* w = woice_add(p);
  if (!w) return nullptr;
  if (!woice_alloc_voices(p, *w, 1) || !voice_init(w->voices[0], wave_type)) {
    woice_remove(p, woice_index(p, w));
    return nullptr;
  }
  return w;
}

void set_voice_header(Woice& w, uint32_t type, uint16_t basic_key, uint32_t flags, float tuning) {
  Voice& v = w.voices[0];
  w.type = type;
  v.basic_key = basic_key;
  v.voice_flags = flags;
  v.tuning = tuning;
  w.x3x_basic_key = basic_key;
  w.x3x_tuning = 0.0f;
}

}  // namespace

int pcm_buffer_create(PcmBuffer& pcm, int32_t channels, int32_t sample_rate, int32_t bits,
                      int32_t sample_num) {
  if ((bits != 8 && bits != 16) || channels <= 0 || sample_num < 0) return 0;
  const int64_t bytes = static_cast<int64_t>(channels) * (bits / 8) * sample_num;
  if (bytes > INT32_MAX) return 0;
  pcm.samples.clear();
  pcm.samples.shrink_to_fit();
  try {
    pcm.samples.assign(static_cast<size_t>(bytes), bits == 8 ? 0x80 : 0x00);
  } catch (const std::bad_alloc&) {
    pcm.samples.clear();
    return 0;
  }
  pcm.channels = channels;
  pcm.sample_rate = sample_rate;
  pcm.bits = bits;
  pcm.sample_num = sample_num;
  pcm.head_num = 0;
  pcm.tail_num = 0;
  return 1;
}

int read_pcm_chunk(Project& p, ByteSource& s, int* new_format) {
  uint16_t old_unit, basic_key, channels, bits;
  uint32_t flags, rate, data_size;
  float tuning;
  if (!read_chunk_size(s) || !read_u16(s, &old_unit) || !read_u16(s, &basic_key) ||
      !read_u32(s, &flags) || !read_u16(s, &channels) || !read_u16(s, &bits) ||
      !read_u32(s, &rate) || !read_f32(s, &tuning) || !read_u32(s, &data_size)) {
    return 0;
  }
  if (flags >= VOICE_FLAGS_LIMIT) {
    *new_format = 1;
    return 0;
  }
  if (channels == 0 || (bits != 8 && bits != 16)) return 0;
  if (data_size > static_cast<uint64_t>(source_remaining(s))) return 0;
  const uint32_t frame = channels * (bits / 8u);
  const uint32_t sample_num = data_size / frame;
  const uint32_t whole = sample_num * frame;
  if (sample_num > INT32_MAX) return 0;

  Woice* w = add_single_voice_woice(p, WAVE_PCM);
  if (!w) return 0;
  PcmBuffer& pcm = *w->voices[0].pcm;
  // The frames of a file being loaded stay in it until they are written. Bytes beyond the
  // last whole frame belong to no sample; they are skipped so that the next chunk is read
  // from its own start.
  const bool leave_in_file = p.loading && s.file == p.loading->file;
  bool ok;
  if (leave_in_file) {
    ok = pcm_buffer_create(pcm, channels, static_cast<int32_t>(rate), bits, 0);
    pcm.sample_num = static_cast<int32_t>(sample_num);
    pcm.input = p.loading;
    pcm.input_offset = source_tell(s);
    ok = ok && source_seek(s, data_size, SEEK_CUR);
  } else {
    ok = pcm_buffer_create(pcm, channels, static_cast<int32_t>(rate), bits,
                           static_cast<int32_t>(sample_num)) &&
         (whole == 0 || read_bytes(pcm.samples.data(), whole, 1, s)) &&
         (data_size == whole || source_seek(s, data_size - whole, SEEK_CUR));
  }
  if (!ok) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  set_voice_header(*w, WOICE_PCM, basic_key, flags, tuning);
  return 1;
}

int read_qxvoice_chunk(Project& p, ByteSource& s, int* new_format) {
  uint16_t old_unit, reserved;
  float old_tuning;
  uint32_t body_size;
  if (!read_chunk_size(s) || !read_u16(s, &old_unit) || !read_u16(s, &reserved) ||
      !read_f32(s, &old_tuning) || !read_u32(s, &body_size)) {
    return 0;
  }
  if (reserved != 0) {
    *new_format = 1;
    return 0;
  }
  if (body_size > static_cast<uint64_t>(source_remaining(s))) return 0;
  Woice* w = woice_add(p);
  if (!w) return 0;
  if (!qxvoice_read(p, s, *w, new_format)) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  w->x3x_tuning = old_tuning == 1.0f ? 0.0f : old_tuning;
  return 1;
}

int read_qxnoise_chunk(Project& p, ByteSource& s, int* new_format) {
  uint16_t old_unit, basic_key;
  uint32_t flags, layout;
  float tuning;
  if (!read_chunk_size(s) || !read_u16(s, &old_unit) || !read_u16(s, &basic_key) ||
      !read_u32(s, &flags) || !read_f32(s, &tuning) || !read_u32(s, &layout)) {
    return 0;
  }
  if (layout > 1) {
    *new_format = 1;
    return 0;
  }
  Woice* w = add_single_voice_woice(p, WAVE_NOISE);
  if (!w) return 0;
  if (!qxnoise_read(s, *w->voices[0].noise, new_format)) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  set_voice_header(*w, WOICE_QXNOISE, basic_key, flags, tuning);
  return 1;
}

int read_ogg_chunk(Project& p, ByteSource& s, int* new_format) {
  uint16_t reserved, basic_key;
  uint32_t flags;
  float tuning;
  if (!read_chunk_size(s) || !read_u16(s, &reserved) || !read_u16(s, &basic_key) ||
      !read_u32(s, &flags) || !read_f32(s, &tuning)) {
    return 0;
  }
  if (flags >= VOICE_FLAGS_LIMIT) {
    *new_format = 1;
    return 0;
  }
  Woice* w = add_single_voice_woice(p, WAVE_OGG);
  if (!w) return 0;
  if (!p.ogg_codec.ogg_read_body || !p.ogg_codec.ogg_read_body(s, w->voices[0].ogg.get())) {
    woice_remove(p, woice_index(p, w));
    return 0;
  }
  set_voice_header(*w, WOICE_OGG, basic_key, flags, tuning);
  return 1;
}
