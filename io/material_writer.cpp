// Material chunks. Bodies written by the material writers are first collected in memory,
// so that every chunk size is known, and exact, before the chunk goes out.
#include "io/material_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "material/qxnoise.h"
#include "material/qxvoice.h"
#include "platform/input_file.h"
#include "platform/streams.h"
#include "project/project.h"
#include "project/targets.h"
#include "synth/noise_render.h"
#include "synth/voice_render.h"

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

// Interleaved 16-bit samples, little-endian in the file whatever the host.
bool write_samples16(FILE* out, const int16_t* samples, size_t bytes) {
  uint8_t buf[8192];
  size_t done = 0;
  while (done < bytes) {
    size_t n = std::min(sizeof buf, bytes - done) & ~static_cast<size_t>(1);
    if (n == 0) break;
    for (size_t i = 0; i < n; i += 2) {
      auto v = static_cast<uint16_t>(samples[(done + i) / 2]);
      buf[i] = static_cast<uint8_t>(v);
      buf[i + 1] = static_cast<uint8_t>(v >> 8);
    }
    if (std::fwrite(buf, 1, n, out) != n) return false;
    done += n;
  }
  return done == bytes;
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

// Bytes of a PCM buffer's frames; -1 when the buffer does not hold them all.
int64_t pcm_data_bytes(const PcmBuffer& pcm) {
  const int64_t frames = static_cast<int64_t>(pcm.sample_num) + pcm.head_num + pcm.tail_num;
  const int64_t bytes = frames * pcm.bits * pcm.channels / 8;
  const bool held = pcm.input ? pcm.head_num == 0 && pcm.tail_num == 0
                              : static_cast<size_t>(bytes) <= pcm.samples.size();
  if (frames < 0 || pcm.bits < 0 || pcm.channels < 0 || bytes > 0x7FFFFFE0 || !held) return -1;
  return bytes;
}

int fail(Project& p, const char* text) {
  set_error_text(p, "%s", text);
  return 0;
}

int write_pcm_woice(Project& p, FILE* out, const Voice& a, int index) {
  if (!a.pcm) return fail(p, "write pcm");
  const PcmBuffer& pcm = *a.pcm;
  const int64_t bytes = pcm_data_bytes(pcm);
  if (bytes < 0) return fail(p, "write pcm");
  PcmHeader h{index,    a.basic_key,     a.voice_flags, pcm.channels,
              pcm.bits, pcm.sample_rate, a.tuning,      static_cast<uint32_t>(bytes)};
  if (!write_pcm_head(out, h)) return fail(p, "write pcm");
  const bool body_written = pcm.input
                                ? copy_input_range(*pcm.input, pcm.input_offset, bytes, out)
                                : write_block(out, pcm.samples.data(), static_cast<size_t>(bytes));
  return body_written ? 1 : fail(p, "write pcm");
}

int write_rendered_voice(Project& p, FILE* out, Woice& woice, int index) {
  if (!qxvoice_render(woice) || woice.voices.empty() || woice.instances.empty()) {
    if (!woice.instances.empty()) {
      woice.instances[0].samples.clear();
      woice.instances[0].samples.shrink_to_fit();
    }
    return fail(p, "convert qxv");
  }
  const Voice& a = woice.voices[0];
  VoiceInstance& inst = woice.instances[0];
  const int64_t frames = static_cast<int64_t>(inst.head_num) + inst.body_num + inst.tail_num;
  const int64_t bytes = frames * 4;
  bool ok = frames >= 0 && bytes <= 0x7FFFFFE0 &&
            static_cast<size_t>(bytes) <= inst.samples.size() * sizeof(int16_t);
  if (ok) {
    PcmHeader h{index,    CONVERTED_VOICE_KEY,         a.voice_flags, 2, 16, 44100,
                a.tuning, static_cast<uint32_t>(bytes)};
    ok = write_pcm_head(out, h) &&
         write_samples16(out, inst.samples.data(), static_cast<size_t>(bytes));
  }
  if (ok) {
    print_text(p, "\n* converted qxVoice [%s] to PCM (%d -> %d bytes)",
               name_field_text(woice.name).c_str(), qxvoice_body_size(woice),
               static_cast<int>(bytes));
  }
  inst.samples.clear();
  inst.samples.shrink_to_fit();
  return ok ? 1 : fail(p, "convert qxv");
}

int write_voice_body(Project& p, FILE* out, Woice& woice, int target, int index) {
  MemoryStream body;
  int32_t length = 0;
  if (!body.file() || !qxvoice_write(p, body.file(), &length, woice, target)) {
    return fail(p, "write qxv");
  }
  const int64_t size = finish_body(body);
  if (size < 0) return fail(p, "write qxv");
  float old_tuning = 0.0f;
  if (old_generation(target_rule(target))) {
    old_tuning = woice.x3x_tuning == 0.0f ? 1.0f : woice.x3x_tuning;
  }
  if (!write_u32(out, static_cast<uint32_t>(12 + size)) ||
      !write_u16(out, static_cast<uint16_t>(index)) || !write_u16(out, 0) ||
      !write_f32(out, old_tuning) || !write_u32(out, static_cast<uint32_t>(size)) ||
      !write_block(out, body.data(), body.size())) {
    return fail(p, "write qxv");
  }
  return 1;
}

// The flag bits a PCM chunk holds; its readers take a higher one for a newer format. A
// qxNoise chunk's flags are not checked when read, so a rendered one may carry any.
constexpr uint32_t PCM_VOICE_FLAGS = 0x7;

int write_rendered_noise(Project& p, FILE* out, Woice& woice, int index) {
  if (woice.voices.empty() || !woice.voices[0].noise) return fail(p, "convert qxn");
  const Voice& a = woice.voices[0];
  NoiseDesign& design = *a.noise;
  std::vector<int16_t> block;
  bool ok = false;
  try {
    ok = qxnoise_render(p, design, block) != 0;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) return fail(p, "convert qxn");
  const int64_t bytes = static_cast<int64_t>(design.sample_num) * 4;
  ok = bytes >= 0 && bytes <= 0x7FFFFFE0 &&
       static_cast<size_t>(bytes) <= block.size() * sizeof(int16_t);
  if (ok) {
    PcmHeader h{index, a.basic_key, a.voice_flags & PCM_VOICE_FLAGS, 2, 16,
                44100, a.tuning,    static_cast<uint32_t>(bytes)};
    ok = write_pcm_head(out, h) && write_samples16(out, block.data(), static_cast<size_t>(bytes));
  }
  if (ok) {
    print_text(p, "\n* converted qxNoise [%s] to PCM (%d -> %d bytes)",
               name_field_text(woice.name).c_str(), qxnoise_body_size(design),
               static_cast<int>(bytes));
  }
  return ok ? 1 : fail(p, "convert qxn");
}

int write_noise_body(Project& p, FILE* out, Woice& woice, int old_noise, int index) {
  if (woice.voices.empty() || !woice.voices[0].noise) return fail(p, "write qxv");
  const Voice& a = woice.voices[0];
  MemoryStream body;
  int32_t counter = 0;
  const std::string name = name_field_text(woice.name);
  if (!body.file() || !qxnoise_write(p, body.file(), &counter, *a.noise, old_noise, name.c_str())) {
    return fail(p, "write qxv");
  }
  const int64_t size = finish_body(body);
  if (size < 0) return fail(p, "write qxv");
  if (!write_u32(out, static_cast<uint32_t>(16 + size)) ||
      !write_u16(out, static_cast<uint16_t>(index)) ||
      !write_u16(out, static_cast<uint16_t>(a.basic_key)) || !write_u32(out, a.voice_flags) ||
      !write_f32(out, a.tuning) || !write_u32(out, old_noise ? 0 : 1) ||
      !write_block(out, body.data(), body.size())) {
    return fail(p, "write qxv");
  }
  return 1;
}

int write_ogg_kept(Project& p, FILE* out, Woice& woice) {
  const OggCodec& codec = p.ogg_codec;
  if (!codec.ogg_body_size || !codec.ogg_write_body || woice.voices.empty() ||
      !woice.voices[0].ogg) {
    return fail(p, "write ogg");
  }
  const Voice& a = woice.voices[0];
  // The stream's size is known before it is written: it goes straight into the output.
  const int32_t body = codec.ogg_body_size(a.ogg.get());
  if (body <= 0 || body > 0x7FFFFFF0 - 12 || !write_u32(out, 12 + static_cast<uint32_t>(body)) ||
      !write_u16(out, 0) || !write_u16(out, static_cast<uint16_t>(a.basic_key)) ||
      !write_u32(out, a.voice_flags) || !write_f32(out, a.tuning) ||
      !codec.ogg_write_body(a.ogg.get(), out)) {
    return fail(p, "write ogg");
  }
  return 1;
}

int write_ogg_decoded(Project& p, FILE* out, Woice& woice, int index) {
  if (!p.ogg_codec.ogg_decode || woice.voices.empty() || !woice.voices[0].ogg) {
    return fail(p, "convert ogg");
  }
  const Voice& a = woice.voices[0];
  PcmBuffer pcm;
  if (!p.ogg_codec.ogg_decode(a.ogg.get(), &pcm)) return fail(p, "convert ogg");
  const int64_t bytes = pcm_data_bytes(pcm);
  if (bytes < 0) return fail(p, "convert ogg");
  PcmHeader h{index,    a.basic_key,     a.voice_flags, pcm.channels,
              pcm.bits, pcm.sample_rate, a.tuning,      static_cast<uint32_t>(bytes)};
  if (!write_pcm_head(out, h) ||
      !write_block(out, pcm.samples.data(), static_cast<size_t>(bytes))) {
    return fail(p, "convert ogg");
  }
  print_text(p, "\n* converted OGG [%s] to PCM (%d -> %d bytes)",
             name_field_text(woice.name).c_str(), a.ogg->size, static_cast<int>(bytes));
  return 1;
}

}  // namespace

namespace {

int write_woice_chunk(Project& p, FILE* out, Woice& woice, int old_noise, int target, int index) {
  const TargetRow& row = target_rule(target);
  switch (woice.type) {
    case WOICE_PCM:
      if (!write_tag(out, "matePCM ")) return fail(p, "write code");
      if (woice.voices.empty()) return fail(p, "write pcm");
      return write_pcm_woice(p, out, woice.voices[0], index);
    case WOICE_QXVOICE:
      if (row.qxvoice == MATERIAL_TO_PCM) {
        if (!write_tag(out, "matePCM=")) return fail(p, "write code");
        return write_rendered_voice(p, out, woice, index);
      }
      if (!write_tag(out, "mateQXV ")) return fail(p, "write code");
      return write_voice_body(p, out, woice, target, index);
    case WOICE_QXNOISE:
      if (row.qxnoise == MATERIAL_TO_PCM) {
        if (!write_tag(out, "matePCM=")) return fail(p, "write code");
        return write_rendered_noise(p, out, woice, index);
      }
      if (!write_tag(out, "mateQXN ")) return fail(p, "write code");
      return write_noise_body(p, out, woice, old_noise, index);
    case WOICE_OGG:
      if (row.ogg == MATERIAL_KEPT) {
        if (!write_tag(out, "mateOGGV")) return fail(p, "write code");
        return write_ogg_kept(p, out, woice);
      }
      if (!write_tag(out, "matePCM ")) return fail(p, "write code");
      return write_ogg_decoded(p, out, woice, index);
    default:
      return fail(p, "unknown woice");
  }
}

// The text a failure of this woice's branch reports.
const char* woice_failure_text(const Woice& woice, int target) {
  const TargetRow& row = target_rule(target);
  switch (woice.type) {
    case WOICE_PCM:
      return "write pcm";
    case WOICE_QXVOICE:
      return row.qxvoice == MATERIAL_TO_PCM ? "convert qxv" : "write qxv";
    case WOICE_QXNOISE:
      return row.qxnoise == MATERIAL_TO_PCM ? "convert qxn" : "write qxv";
    case WOICE_OGG:
      return row.ogg == MATERIAL_KEPT ? "write ogg" : "convert ogg";
    default:
      return "unknown woice";
  }
}

}  // namespace

int write_woice(Project& p, FILE* out, Woice& woice, int old_noise, int target, int index) {
  try {
    return write_woice_chunk(p, out, woice, old_noise, target, index);
  } catch (const std::bad_alloc&) {
    return fail(p, woice_failure_text(woice, target));
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

int create_woice_units(Project& p) {
  const int32_t woice_count = leading_woice_count(p);
  for (int32_t w = 0; w < woice_count; ++w) {
    const auto slot = static_cast<size_t>(w);
    if (slot < p.units.size() && p.units[slot]) continue;
    // Every earlier slot is taken by now, so the new unit lands in slot w.
    if (!unit_add(p) || slot >= p.units.size() || !p.units[slot]) {
      return fail(p, "unit limit reached");
    }
    Unit& unit = *p.units[slot];
    const Woice& woice = *p.woices[slot];
    // The prefix and the first 14 bytes of the woice's name field, as the field holds them.
    const size_t prefix = std::strlen(UNIT_NAME_PREFIX);
    std::memset(unit.name, 0, sizeof unit.name);
    std::memcpy(unit.name, UNIT_NAME_PREFIX, prefix);
    std::memcpy(unit.name + prefix, woice.name, sizeof unit.name - prefix);
    unit.name_len = NAME_FIELD_SIZE;
    print_text(p, "\n* created unit '%s' for woice [%s]", name_field_text(unit.name).c_str(),
               name_field_text(woice.name).c_str());
  }
  return 1;
}
