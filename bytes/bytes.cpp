// Byte primitives: sources, fixed-width fields and VarInt.
#include "bytes/bytes.h"

#include <cstring>

#include "platform/streams.h"

ByteSource source_from_file(FILE* file) {
  ByteSource s;
  s.file = file;
  const int64_t size = file ? stream_size(file) : -1;
  if (size >= 0) s.file_size = size;
  return s;
}

ByteSource source_from_memory(const uint8_t* data, int32_t length) {
  ByteSource s;
  s.data = data;
  s.length = length < 0 ? 0 : length;
  return s;
}

int64_t source_tell(const ByteSource& s) {
  if (s.file) return stream_tell(s.file);
  return s.position;
}

int64_t source_remaining(const ByteSource& s) {
  int64_t left =
      s.file ? s.file_size - stream_tell(s.file) : static_cast<int64_t>(s.length) - s.position;
  return left > 0 ? left : 0;
}

int source_seek(ByteSource& s, int64_t offset, int origin) {
  if (s.file) return stream_seek(s.file, offset, origin);
  int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? s.position : s.length;
  int64_t target = base + offset;
  if (target < 0 || target > s.length) return 0;
  s.position = static_cast<int32_t>(target);
  return 1;
}

int read_bytes(void* buffer, size_t item_size, size_t item_count, ByteSource& s) {
  if (s.file) {
    if (item_count == 0) return 1;
    return fread(buffer, item_size, item_count, s.file) == item_count ? 1 : 0;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < item_count; ++i) {
    if (static_cast<int64_t>(s.position) + static_cast<int64_t>(item_size) > s.length) return 0;
    std::memcpy(out + i * item_size, s.data + s.position, item_size);
    s.position += static_cast<int32_t>(item_size);
  }
  return 1;
}

namespace {
template <typename T>
int read_le(ByteSource& s, T* v) {
  uint8_t b[sizeof(T)];
  if (!read_bytes(b, sizeof(T), 1, s)) return 0;
  uint64_t x = 0;
  for (size_t i = 0; i < sizeof(T); ++i) x |= static_cast<uint64_t>(b[i]) << (8 * i);
  *v = static_cast<T>(x);
  return 1;
}

template <typename T>
int write_le(FILE* f, T v) {
  uint8_t b[sizeof(T)];
  auto x = static_cast<uint64_t>(v);
  for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(x >> (8 * i));
  return f && fwrite(b, sizeof(T), 1, f) == 1 ? 1 : 0;
}
}  // namespace

int read_u8(ByteSource& s, uint8_t* v) {
  return read_le(s, v);
}
int read_i8(ByteSource& s, int8_t* v) {
  uint8_t u;
  if (!read_le(s, &u)) return 0;
  *v = static_cast<int8_t>(u);
  return 1;
}
int read_u16(ByteSource& s, uint16_t* v) {
  return read_le(s, v);
}
int read_i16(ByteSource& s, int16_t* v) {
  uint16_t u;
  if (!read_le(s, &u)) return 0;
  *v = static_cast<int16_t>(u);
  return 1;
}
int read_u32(ByteSource& s, uint32_t* v) {
  return read_le(s, v);
}
int read_i32(ByteSource& s, int32_t* v) {
  uint32_t u;
  if (!read_le(s, &u)) return 0;
  *v = static_cast<int32_t>(u);
  return 1;
}
int read_f32(ByteSource& s, float* v) {
  uint32_t u;
  if (!read_le(s, &u)) return 0;
  *v = bits_float(u);
  return 1;
}

int write_u8(FILE* f, uint8_t v) {
  return write_le(f, v);
}
int write_u16(FILE* f, uint16_t v) {
  return write_le(f, v);
}
int write_u32(FILE* f, uint32_t v) {
  return write_le(f, v);
}
int write_i32(FILE* f, int32_t v) {
  return write_le(f, static_cast<uint32_t>(v));
}
int write_f32(FILE* f, float v) {
  return write_le(f, float_bits(v));
}
int write_tag(FILE* f, const char* tag8) {
  return f && fwrite(tag8, 8, 1, f) == 1 ? 1 : 0;
}

uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

float bits_float(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

int read_varint(ByteSource& s, uint32_t* value) {
  uint8_t b[5];
  int n = 0;
  for (;;) {
    if (n == 5) return 0;  // five bytes, all with the continuation bit
    if (!read_bytes(&b[n], 1, 1, s)) return 0;
    if (!(b[n++] & 0x80)) break;
  }
  uint32_t v = 0;
  for (int k = 0; k < n; ++k) v |= static_cast<uint32_t>(b[k] & 0x7F) << (7 * k);
  *value = v;
  return 1;
}

int varint_size(uint32_t v) {
  if (v < (1u << 7)) return 1;
  if (v < (1u << 14)) return 2;
  if (v < (1u << 21)) return 3;
  if (v < (1u << 28)) return 4;
  return 5;
}

int write_varint(uint32_t v, FILE* f, int32_t* size_counter) {
  uint8_t b[5];
  int n = varint_size(v);
  for (int k = 0; k < n - 1; ++k) b[k] = static_cast<uint8_t>(0x80 | ((v >> (7 * k)) & 0x7F));
  b[n - 1] = static_cast<uint8_t>((v >> (7 * (n - 1))) & 0x7F);
  if (!f || fwrite(b, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) return 0;
  if (size_counter) *size_counter += n;
  return 1;
}
