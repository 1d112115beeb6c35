// Positions of file streams beyond 2 GiB, and streams whose bytes are collected in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The position of the stream; -1 on failure.
int64_t stream_tell(FILE* f);
// Returns 1 when the stream is at the new position, 0 otherwise.
int stream_seek(FILE* f, int64_t offset, int origin);
// The size of the file under the stream; -1 when it cannot be told.
int64_t stream_size(FILE* f);

// A FILE* whose bytes end up in memory; they are valid after finish(). Every front end's
// in-memory output and every body measured before its chunk is written go through it.
class MemoryStream {
 public:
  // Room for `reserve` bytes and a little more is taken at once where the platform can: an
  // output that grows in steps is moved each time.
  explicit MemoryStream(size_t reserve = 0);
  ~MemoryStream();
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  // nullptr when the stream could not be made.
  FILE* file() const { return file_; }
  // Closes the stream and collects every byte written. A writer that moves back to patch an
  // earlier field moves on to the end again before this. Returns false when that fails.
  bool finish();
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  // Hands the bytes over after finish(), to be freed with std::free.
  char* release();

 private:
  friend struct MemoryStreamIo;
  FILE* file_ = nullptr;
  char* data_ = nullptr;  // from malloc
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t position_ = 0;
  bool failed_ = false;
};
