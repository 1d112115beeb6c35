// An input file kept open while the song read from it still refers to bytes left in it: a
// PCM body, which every target writes unchanged, is copied from the input straight into
// the output when it is written instead of being read into memory first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct InputFile {
  FILE* file = nullptr;  // read through `buffer`
  std::unique_ptr<char[]> buffer;
  ~InputFile();
};

// Opens a regular file for reading; nullptr for anything else, with *reason (when given) set
// to why (see open_regular_file).
std::shared_ptr<InputFile> open_input_file(const std::string& path, std::string* reason = nullptr);

// Copies `length` bytes from `offset` of the input to the end of `out` (written in order).
// Returns false when the input no longer holds them or the output takes fewer.
bool copy_input_range(const InputFile& in, int64_t offset, int64_t length, FILE* out);
// Reads `length` bytes from `offset` into `buffer`. Returns false when fewer are there.
bool read_input_range(const InputFile& in, int64_t offset, int64_t length, uint8_t* buffer);
// The copy itself, once the platform has checked the range: read_input_range block by
// block, each block written to `out`.
bool copy_input_blocks(const InputFile& in, int64_t offset, int64_t length, FILE* out);
