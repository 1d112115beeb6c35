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

// Standard input read to its end into a file without a name in memory or in the temporary
// folder, which lives as long as the program, so that it is read as a file is, with the same
// bounds: its path, or "" when it cannot be made. Once a program; later calls give the same.
std::string standard_input_file();
// Whether the stream is a terminal (where the bytes of a song do not belong).
bool stream_is_terminal(FILE* f);
// Makes the stream take bytes as they are (Windows would turn "\n" into "\r\n").
void stream_set_binary(FILE* f);

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
