// Fuzz target: a "mateOGGV" chunk after its tag, read from memory as a song's chunk loop
// reads it, kept for targets 8 and 9 and decoded to PCM for the others. A kept stream is
// written back unchanged; a decoded one holds whole frames of 16-bit samples, no more
// than the stream delivered.
#include <cstring>

#include "fuzz/fuzz_common.h"
#include "io/downgrade.h"
#include "io/material_chunks.h"
#include "io/material_writer.h"

namespace {

constexpr size_t TAG_SIZE = 8;
constexpr size_t CHUNK_HEADER = 4 + 12;  // size, then the material header
constexpr size_t PCM_HEADER = 4 + 24;

std::vector<uint8_t> write_for(Project& p, int target, int* ok) {
  fuzz::MemOut out;
  TargetWoice tw;
  *ok =
      downgrade_woice(p, *p.woices[0], target, tw) && write_woice(p, out.file(), tw, 0, target, 0);
  return out.bytes();
}

uint32_t u32_at(const std::vector<uint8_t>& b, size_t at) {
  FUZZ_CHECK(at + 4 <= b.size());
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  Project p;
  fuzz::prepare(p);
  ByteSource s = fuzz::memory(input);
  int new_format = 0;
  const int read = read_ogg_chunk(p, s, &new_format);
  FUZZ_CHECK(fuzz::woice_count(p) == (read ? 1 : 0));
  if (!read) return 0;
  const OggStream& stream = *p.woices[0]->voices[0].ogg;
  FUZZ_CHECK(stream.size > 0 && static_cast<size_t>(stream.size) == stream.data.size());
  const size_t body_end = static_cast<size_t>(s.position);

  // Kept: the same 16 + size bytes the chunk held, in an exact chunk.
  for (int target : {8, 9}) {
    int ok = 0;
    const std::vector<uint8_t> out = write_for(p, target, &ok);
    FUZZ_CHECK(ok);
    FUZZ_CHECK(std::memcmp(out.data(), "mateOGGV", TAG_SIZE) == 0);
    FUZZ_CHECK(u32_at(out, TAG_SIZE) == out.size() - TAG_SIZE - 4);
    const size_t body_at = TAG_SIZE + CHUNK_HEADER;
    const size_t input_body_at = CHUNK_HEADER;
    FUZZ_CHECK(out.size() - body_at == body_end - input_body_at);
    FUZZ_CHECK(
        std::memcmp(out.data() + body_at, input.data() + input_body_at, out.size() - body_at) == 0);
  }

  // Decoded: a whole number of 16-bit frames, sized by what was decoded.
  int ok = 0;
  const std::vector<uint8_t> out = write_for(p, 7, &ok);
  if (!ok) {
    FUZZ_CHECK(std::strcmp(p.error_text, "convert ogg") == 0);
    return 0;
  }
  FUZZ_CHECK(std::memcmp(out.data(), "matePCM ", TAG_SIZE) == 0);
  const uint16_t channels = static_cast<uint16_t>(u32_at(out, TAG_SIZE + 4 + 8));
  const uint16_t bits = static_cast<uint16_t>(u32_at(out, TAG_SIZE + 4 + 10));
  const uint32_t data_size = u32_at(out, TAG_SIZE + 4 + 20);
  FUZZ_CHECK(channels >= 1 && bits == 16);
  FUZZ_CHECK(data_size % (2u * channels) == 0);
  FUZZ_CHECK(out.size() == TAG_SIZE + PCM_HEADER + data_size);
  return 0;
}
