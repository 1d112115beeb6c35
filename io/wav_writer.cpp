// The WAV writer: "RIFF" "WAVE" with a "fmt " chunk of plain PCM, a "smpl" chunk and the
// "data" chunk last, so that readers that stop at the data have seen the rest.
#include "io/wav_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bytes/bytes.h"
#include "io/downgrade.h"
#include "io/material_writer.h"
#include "platform/input_file.h"
#include "project/project.h"

namespace {

constexpr uint32_t FMT_BYTES = 16;
constexpr uint32_t SMPL_BYTES = 36;
constexpr uint16_t FORMAT_PCM = 1;
constexpr int KEY_SEMITONE = 256;  // basic keys count 256 a semitone, MIDI's numbers

int fail(Run& run) {
  set_error_text(run, "%s", "write wav");
  return 0;
}

bool put(FILE* out, const char* tag4) {
  return std::fwrite(tag4, 1, 4, out) == 4;
}

}  // namespace

std::string wav_file_name(int index, const Woice& woice) {
  char number[16];
  std::snprintf(number, sizeof number, "%02d", index);
  std::string name;
  for (const char c : name_field_text(woice.name)) {
    const bool printable = c >= 0x20 && c < 0x7F;
    name += printable && !std::strchr("/\\:*?\"<>|", c) ? c : '_';
  }
  // Windows drops a trailing dot or blank from a name: the file would not be found again.
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.back() = '_';
  return std::string(number) + (name.empty() ? "" : " ") + name + ".wav";
}

int write_wav(Run& run, const TargetWoice& tw, FILE* out) {
  const Woice& w = tw.woice();
  if (w.type != WOICE_PCM || w.voices.empty() || !w.voices[0].pcm) return fail(run);
  const Voice& v = w.voices[0];
  const PcmBuffer& pcm = *v.pcm;
  const int64_t bytes = pcm_data_bytes(pcm);
  const bool whole_bytes = pcm.bits >= 8 && pcm.bits <= 32 && pcm.bits % 8 == 0;
  if (bytes < 0 || !whole_bytes || pcm.channels < 1 || pcm.channels > 0xFFFF ||
      pcm.sample_rate < 1) {
    return fail(run);
  }
  const auto data = static_cast<uint32_t>(bytes);
  const uint32_t pad = data & 1;  // chunks start on even offsets
  const auto block = static_cast<uint32_t>(pcm.channels * (pcm.bits / 8));
  const auto rate = static_cast<uint32_t>(pcm.sample_rate);
  const uint32_t riff = 4 + (8 + FMT_BYTES) + (8 + SMPL_BYTES) + (8 + data + pad);
  // The root note and the fraction of a semitone above it, in 1/2^32ths.
  const int32_t key = std::clamp(v.basic_key, 0, 128 * KEY_SEMITONE - 1);
  const auto fraction = static_cast<uint32_t>(key % KEY_SEMITONE) << 24;
  bool ok = put(out, "RIFF") && write_u32(out, riff) && put(out, "WAVE");
  ok = ok && put(out, "fmt ") && write_u32(out, FMT_BYTES) && write_u16(out, FORMAT_PCM) &&
       write_u16(out, static_cast<uint16_t>(pcm.channels)) && write_u32(out, rate) &&
       write_u32(out, rate * block) && write_u16(out, static_cast<uint16_t>(block)) &&
       write_u16(out, static_cast<uint16_t>(pcm.bits));
  // Manufacturer, product, sample period (ns), root note, fraction, SMPTE format and
  // offset, no loops, no sampler data.
  ok = ok && put(out, "smpl") && write_u32(out, SMPL_BYTES) && write_u32(out, 0) &&
       write_u32(out, 0) && write_u32(out, static_cast<uint32_t>(1000000000u / rate)) &&
       write_u32(out, static_cast<uint32_t>(key / KEY_SEMITONE)) && write_u32(out, fraction) &&
       write_u32(out, 0) && write_u32(out, 0) && write_u32(out, 0) && write_u32(out, 0);
  ok = ok && put(out, "data") && write_u32(out, data);
  if (!ok) return fail(run);
  ok = pcm.input ? copy_input_range(*pcm.input, pcm.input_offset, bytes, out)
                 : data == 0 || std::fwrite(pcm.samples.data(), 1, data, out) == data;
  if (ok && pad) ok = std::fputc(0, out) != EOF;
  return ok ? 1 : fail(run);
}
