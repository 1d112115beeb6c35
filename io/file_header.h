// The song file header: the table of 16-byte magics with their generations, and its reader.
#pragma once

#include "bytes/bytes.h"

struct Project;

constexpr int MAGIC_COUNT = 9;
struct MagicEntry {
  const char* magic;  // 16 characters, no terminator in the file
  int generation;     // 1..5
  bool tune;
  bool has_version_words;
};
extern const MagicEntry MAGIC_TABLE[MAGIC_COUNT];
// The entry of a 16-byte magic; nullptr for none (an instrument file has none).
const MagicEntry* find_magic(const uint8_t (&magic)[16]);

// Reads the 16-byte magic into p.file_magic and, for generations 3 to 5, the two 16-bit
// words after it. Fails with "read." or "unknown version." in the ErrorText.
int read_file_header(Project& p, ByteSource& source, int* generation, int* exe_version);
