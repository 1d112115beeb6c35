// Block reading of small fields: the block, its refills and giving back what was not taken.
#include "bytes/field_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Large enough that the stream is asked for bytes a few times a chunk, small enough to sit
// beside any song.
constexpr size_t FIELD_BLOCK = 1 << 16;
// Runs shorter than this are read field by field.
constexpr uint64_t SHORT_RUN = 512;

}  // namespace

FieldReader field_reader(ByteSource& source, uint64_t most) {
  FieldReader r;
  r.source = &source;
  if (!source.file) {
    const int32_t from = source.position < source.length ? source.position : source.length;
    r.at = source.data + from;
    r.end = source.data + source.length;
    return r;
  }
  if (most < SHORT_RUN) return r;
  r.block_size = static_cast<size_t>(std::min<uint64_t>(most, FIELD_BLOCK));
  r.unread = most;
  r.block.reset(new (std::nothrow) uint8_t[r.block_size]);
  r.at = r.block.get();
  r.end = r.at;
  return r;
}

bool field_reader_fill(FieldReader& r, size_t n) {
  ByteSource& s = *r.source;
  if (!s.file || !r.block) return static_cast<size_t>(r.end - r.at) >= n;
  // What is left moves to the front, and the rest of the block is read after it.
  const size_t left = static_cast<size_t>(r.end - r.at);
  std::memmove(r.block.get(), r.at, left);
  r.at = r.block.get();
  r.end = r.at + left;
  while (static_cast<size_t>(r.end - r.at) < n && r.unread > 0) {
    const size_t held = static_cast<size_t>(r.end - r.at);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(r.block_size - held, r.unread));
    const size_t got = std::fread(r.block.get() + held, 1, want, s.file);
    if (got == 0) break;
    r.end += got;
    r.unread -= got;
  }
  return static_cast<size_t>(r.end - r.at) >= n;
}

int field_reader_done(FieldReader& r) {
  ByteSource& s = *r.source;
  if (!s.file) {
    if (s.data) s.position = static_cast<int32_t>(r.at - s.data);
    return 1;
  }
  const int64_t unread = r.end - r.at;
  r.at = r.end;
  return unread == 0 || source_seek(s, -unread, SEEK_CUR);
}

bool field_varint_slow(FieldReader& r, uint32_t* value) {
  if (r.source->file && !r.block) return read_varint(*r.source, value);
  field_reader_fill(r, 5);
  uint32_t v = 0;
  for (int k = 0; k < 5; ++k) {
    if (r.at == r.end) return false;
    const uint8_t b = *r.at++;
    v |= static_cast<uint32_t>(b & 0x7F) << (7 * k);
    if (b < 0x80) {
      *value = v;
      return true;
    }
  }
  return false;
}
