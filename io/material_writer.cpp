// Material chunks. Bodies written by the material writers are first collected in memory,
// so that every chunk size is known, and exact, before the chunk goes out. What a target
// cannot hold was converted by the downgrade step; here each woice is only written.
#include "io/material_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "io/downgrade.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "platform/input_file.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"

namespace {

// Collects a body in memory. Returns its size, or -1 when it could not be collected or is
// too large for a chunk.
int64_t finish_body(MemoryStream& body) {
  if (!body.finish() || body.size() > 0x7FFFFFF0u) return -1;
  return static_cast<int64_t>(body.size());
}

bool write_block(FILE* out, const void* data, size_t n) {
  return n == 0 || std::fwrite(data, 1, n, out) == n;
}

struct PcmHeader {
  int index, basic_key;
  uint32_t voice_flags;
  int channels, bits, sample_rate;
  float tuning;
  uint32_t data_bytes;
};

bool write_pcm_head(FILE* out, const PcmHeader& h) {
  return write_u32(out, 24 + h.data_bytes) && write_u16(out, static_cast<uint16_t>(h.index)) &&
         write_u16(out, static_cast<uint16_t>(h.basic_key)) && write_u32(out, h.voice_flags) &&
         write_u16(out, static_cast<uint16_t>(h.channels)) &&
         write_u16(out, static_cast<uint16_t>(h.bits)) &&
         write_u32(out, static_cast<uint32_t>(h.sample_rate)) && write_f32(out, h.tuning) &&
         write_u32(out, h.data_bytes);
}

}  // namespace

int64_t pcm_data_bytes(const PcmBuffer& pcm) {
  const int64_t frames = static_cast<int64_t>(pcm.sample_num) + pcm.head_num + pcm.tail_num;
  const int64_t bytes = frames * pcm.bits * pcm.channels / 8;
  const bool held = pcm.input ? pcm.head_num == 0 && pcm.tail_num == 0
                              : static_cast<size_t>(bytes) <= pcm.samples.size();
  if (frames < 0 || pcm.bits < 0 || pcm.channels < 0 || bytes > 0x7FFFFFE0 || !held) return -1;
  return bytes;
}

namespace {

int fail(Run& run, const char* text) {
  set_error_text(run, "%s", text);
  return 0;
}

int write_pcm_woice(Run& run, FILE* out, const Voice& a, int index, const char* failure) {
  if (!a.pcm) return fail(run, failure);
  const PcmBuffer& pcm = *a.pcm;
  const int64_t bytes = pcm_data_bytes(pcm);
  if (bytes < 0) return fail(run, failure);
  PcmHeader h{index,    a.basic_key,     a.voice_flags, pcm.channels,
              pcm.bits, pcm.sample_rate, a.tuning,      static_cast<uint32_t>(bytes)};
  if (!write_pcm_head(out, h)) return fail(run, failure);
  const bool body_written = pcm.input
                                ? copy_input_range(*pcm.input, pcm.input_offset, bytes, out)
                                : write_block(out, pcm.samples.data(), static_cast<size_t>(bytes));
  return body_written ? 1 : fail(run, failure);
}

int write_voice_body(Run& run, FILE* out, const Woice& woice, int target, int index) {
  MemoryStream body;
  int32_t length = 0;
  if (!body.file() || !qxvoice_write(body.file(), &length, woice, target)) {
    return fail(run, "write qxv");
  }
  const int64_t size = finish_body(body);
  if (size < 0) return fail(run, "write qxv");
  float old_tuning = 0.0f;
  if (old_generation(target_rule(target))) {
    old_tuning = woice.x3x_tuning == 0.0f ? 1.0f : woice.x3x_tuning;
  }
  if (!write_u32(out, static_cast<uint32_t>(12 + size)) ||
      !write_u16(out, static_cast<uint16_t>(index)) || !write_u16(out, 0) ||
      !write_f32(out, old_tuning) || !write_u32(out, static_cast<uint32_t>(size)) ||
      !write_block(out, body.data(), body.size())) {
    return fail(run, "write qxv");
  }
  return 1;
}

int write_noise_body(Run& run, FILE* out, const Woice& woice, int old_noise, int index) {
  if (woice.voices.empty() || !woice.voices[0].noise) return fail(run, "write qxv");
  const Voice& a = woice.voices[0];
  MemoryStream body;
  int32_t counter = 0;
  if (!body.file() || !qxnoise_write(body.file(), &counter, *a.noise, old_noise)) {
    return fail(run, "write qxv");
  }
  const int64_t size = finish_body(body);
  if (size < 0) return fail(run, "write qxv");
  if (!write_u32(out, static_cast<uint32_t>(16 + size)) ||
      !write_u16(out, static_cast<uint16_t>(index)) ||
      !write_u16(out, static_cast<uint16_t>(a.basic_key)) || !write_u32(out, a.voice_flags) ||
      !write_f32(out, a.tuning) || !write_u32(out, old_noise ? 0 : 1) ||
      !write_block(out, body.data(), body.size())) {
    return fail(run, "write qxv");
  }
  return 1;
}

int write_ogg_kept(Run& run, FILE* out, const Woice& woice) {
  const OggCodec& codec = run.ogg_codec;
  if (!codec.ogg_body_size || !codec.ogg_write_body || woice.voices.empty() ||
      !woice.voices[0].ogg) {
    return fail(run, "write ogg");
  }
  const Voice& a = woice.voices[0];
  // The stream's size is known before it is written: it goes straight into the output.
  const int32_t body = codec.ogg_body_size(a.ogg.get());
  if (body <= 0 || body > 0x7FFFFFF0 - 12 || !write_u32(out, 12 + static_cast<uint32_t>(body)) ||
      !write_u16(out, 0) || !write_u16(out, static_cast<uint16_t>(a.basic_key)) ||
      !write_u32(out, a.voice_flags) || !write_f32(out, a.tuning) ||
      !codec.ogg_write_body(a.ogg.get(), out)) {
    return fail(run, "write ogg");
  }
  return 1;
}

int write_woice_chunk(Run& run, FILE* out, const TargetWoice& tw, int old_noise, int target,
                      int index) {
  const Woice& woice = tw.woice();
  if (tw.pcm_tag) {
    // Only measured for inspection, into a stream that is thrown away.
    if (tw.measured) return 1;
    if (!tw.changed) return fail(run, tw.failure);
    if (!write_tag(out, tw.pcm_tag)) return fail(run, "write code");
    return write_pcm_woice(run, out, woice.voices[0], index, tw.failure);
  }
  switch (woice.type) {
    case WOICE_PCM:
      if (!write_tag(out, "matePCM ")) return fail(run, "write code");
      if (woice.voices.empty()) return fail(run, "write pcm");
      return write_pcm_woice(run, out, woice.voices[0], index, "write pcm");
    case WOICE_QXVOICE:
      if (!write_tag(out, "mateQXV ")) return fail(run, "write code");
      return write_voice_body(run, out, woice, target, index);
    case WOICE_QXNOISE:
      if (!write_tag(out, "mateQXN ")) return fail(run, "write code");
      return write_noise_body(run, out, woice, old_noise, index);
    case WOICE_OGG:
      if (!write_tag(out, "mateOGGV")) return fail(run, "write code");
      return write_ogg_kept(run, out, woice);
    default:
      return fail(run, "unknown woice");
  }
}

// The text a failure of this woice's branch reports.
const char* woice_failure_text(const TargetWoice& tw) {
  if (tw.pcm_tag) return tw.failure;
  switch (tw.woice().type) {
    case WOICE_PCM:
      return "write pcm";
    case WOICE_QXVOICE:
    case WOICE_QXNOISE:
      return "write qxv";
    case WOICE_OGG:
      return "write ogg";
    default:
      return "unknown woice";
  }
}

}  // namespace

int write_woice(Run& run, FILE* out, const TargetWoice& woice, int old_noise, int target,
                int index) {
  try {
    return write_woice_chunk(run, out, woice, old_noise, target, index);
  } catch (const std::bad_alloc&) {
    return fail(run, woice_failure_text(woice));
  }
}

int32_t old_generation_basic_key(const Woice& woice, int target) {
  if (woice.type == WOICE_QXVOICE)
    return target_rule(target).qxvoice == MATERIAL_TO_PCM
               ? CONVERTED_VOICE_KEY
               : static_cast<int32_t>(X3X_BASIC_KEY_NEUTRAL);
  if (woice.voices.empty()) return static_cast<int32_t>(X3X_BASIC_KEY_NEUTRAL);
  return static_cast<uint16_t>(woice.voices[0].basic_key);
}
