// Handlers of the legacy project and unit records of the oldest generation. Its events and
// PCM materials share the handlers of the later chunks.
#include <cstring>
#include <new>

#include "bytes/bytes.h"
#include "io/chunk_reader.h"
#include "project/project.h"

int read_project_old_chunk(Project& p, ByteSource& s) {
  uint32_t size;
  uint8_t body[36];
  if (!read_u32(s, &size) || !read_bytes(body, sizeof body, 1, s)) return 0;
  char name[NAME_FIELD_SIZE];
  std::memcpy(name, body, sizeof name);
  uint32_t tempo_bits = static_cast<uint32_t>(body[16]) | static_cast<uint32_t>(body[17]) << 8 |
                        static_cast<uint32_t>(body[18]) << 16 |
                        static_cast<uint32_t>(body[19]) << 24;
  int32_t beat_clock = body[20] | body[21] << 8;
  int32_t beat_num = body[22] | body[23] << 8;
  // Nothing can be measured with a zero beat.
  if (beat_clock == 0 || beat_num == 0) return 0;
  p.name_text.reset();
  try {
    p.name_text = name_field_text(name);
  } catch (const std::bad_alloc&) {
    p.name_text.reset();
  }
  p.beat_tempo = bits_float(tempo_bits);
  p.beat_clock = beat_clock;
  p.beat_num = beat_num;
  return 1;
}

int read_unit_old_chunk(Project& p, ByteSource& s) {
  uint32_t size;
  char name[NAME_FIELD_SIZE];
  uint16_t kind, group;
  if (!read_u32(s, &size) || !read_bytes(name, sizeof name, 1, s) || !read_u16(s, &kind) ||
      !read_u16(s, &group)) {
    return 0;
  }
  if (kind != WOICE_PCM) return 0;
  return unit_add_from_record(p, group, name);
}
