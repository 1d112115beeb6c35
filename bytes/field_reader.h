// Reading runs of small fields (the entries of an event chunk, a few bytes each) from a
// source a block at a time: a stream call for every field would cost more than all the rest
// of the reading. A field is taken as read_varint and read_bytes take it from a file (one
// the source cannot complete takes what is left), and once done the source stands just after
// the last byte taken, whether the run ended well or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bytes/bytes.h"

struct FieldReader {
  ByteSource* source = nullptr;
  std::unique_ptr<uint8_t[]> block;  // bytes read ahead from a file source
  size_t block_size = 0;
  uint64_t unread = 0;           // the most the run may still take from the file
  const uint8_t* at = nullptr;   // the next byte
  const uint8_t* end = nullptr;  // past the last byte at hand
};

// A reader for a run of fields that takes at most `most` bytes: no more than that is ever
// read ahead. A short run is read field by field from a file, as moving the file back over
// what was read ahead would cost more than the run.
FieldReader field_reader(ByteSource& source, uint64_t most);
// The most bytes a VarInt takes.
constexpr uint64_t VARINT_MOST = 5;
// Moves the source back to just after the last byte taken; 0 when it cannot be moved.
int field_reader_done(FieldReader& r);
// Makes at least `n` bytes available when the source still has them; false otherwise.
bool field_reader_fill(FieldReader& r, size_t n);
// A VarInt as read_varint takes it: on failure every byte it looked at is taken, five at
// most.
bool field_varint_slow(FieldReader& r, uint32_t* value);

// A VarInt from five bytes or more at `b`: the bytes it takes, or 0 when all five carry the
// continuation bit.
inline size_t decode_varint(const uint8_t* b, uint32_t* value) {
  uint32_t v = b[0] & 0x7Fu;
  size_t n = 1;
  if (b[0] >= 0x80) {
    v |= static_cast<uint32_t>(b[1] & 0x7F) << 7;
    n = 2;
    if (b[1] >= 0x80) {
      v |= static_cast<uint32_t>(b[2] & 0x7F) << 14;
      n = 3;
      if (b[2] >= 0x80) {
        v |= static_cast<uint32_t>(b[3] & 0x7F) << 21;
        n = 4;
        if (b[3] >= 0x80) {
          if (b[4] >= 0x80) return 0;
          v |= static_cast<uint32_t>(b[4] & 0x7F) << 28;
          n = 5;
        }
      }
    }
  }
  *value = v;
  return n;
}

inline bool field_varint(FieldReader& r, uint32_t* value) {
  if (r.end - r.at < 5) return field_varint_slow(r, value);
  const size_t n = decode_varint(r.at, value);
  // Five bytes, all with the continuation bit, are taken all the same.
  r.at += n != 0 ? n : 5;
  return n != 0;
}

// `n` bytes; a field the source cannot complete takes what is left.
inline bool field_bytes(FieldReader& r, uint8_t* out, size_t n) {
  if (static_cast<size_t>(r.end - r.at) < n && !field_reader_fill(r, n)) {
    if (r.source->file && !r.block) return read_bytes(out, n, 1, *r.source);
    r.at = r.end;
    return false;
  }
  for (size_t i = 0; i < n; ++i) out[i] = r.at[i];
  r.at += n;
  return true;
}
