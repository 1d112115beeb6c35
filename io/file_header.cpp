// The song file header and the table of magics.
#include "io/file_header.h"

#include <cstring>

#include "project/project.h"

const MagicEntry MAGIC_TABLE[MAGIC_COUNT] = {
    {"QXMOSAIKA-050227", 1, false, false}, {"QXMOSAIKA-050608", 2, false, false},
    {"QXTUNE--20050608", 2, true, false},  {"QXMOSAIKA-060115", 3, false, true},
    {"QXTUNE--20060115", 3, true, true},   {"QXMOSAIKA-060930", 4, false, true},
    {"QXTUNE--20060930", 4, true, true},   {"QXMOSAIKA-071119", 5, false, true},
    {"QXTUNE--20071119", 5, true, true},
};

const MagicEntry* find_magic(const uint8_t (&magic)[16]) {
  for (const MagicEntry& m : MAGIC_TABLE) {
    if (std::memcmp(m.magic, magic, 16) == 0) return &m;
  }
  return nullptr;
}

int read_file_header(Project& p, ByteSource& s, int* generation, int* exe_version) {
  uint8_t magic[16];
  if (!read_bytes(magic, 16, 1, s)) {
    // A short memory read leaves nothing; a short file read may have filled part of it.
    set_error_text(p, "read.");
    return 0;
  }
  std::memcpy(p.file_magic, magic, 16);
  const MagicEntry* found = find_magic(p.file_magic);
  if (!found) {
    set_error_text(p, "unknown version.");
    return 0;
  }
  int version = 0;
  if (found->has_version_words) {
    uint16_t exe = 0, dummy = 0;
    if (!read_u16(s, &exe) || !read_u16(s, &dummy)) {
      set_error_text(p, "read.");
      return 0;
    }
    version = exe;
  }
  if (generation) *generation = found->generation;
  if (exe_version) *exe_version = version;
  return 1;
}
