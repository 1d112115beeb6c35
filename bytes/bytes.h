// Byte primitives at the bottom of every reader and writer: the ByteSource (a file stream
// or a read-only memory block), little-endian fixed-width fields and VarInt. They know
// nothing of songs: each returns whether it succeeded, and the callers above say why in
// their own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ByteSource {
  FILE* file = nullptr;           // file kind when set
  int64_t file_size = 0;          // length of the file, taken when the source was made
  const uint8_t* data = nullptr;  // memory kind otherwise
  int32_t length = 0;
  int32_t position = 0;
};

ByteSource source_from_file(FILE* file);
ByteSource source_from_memory(const uint8_t* data, int32_t length);

// Bytes between the read position and the end of the source (0 when unknown or past it).
// Every count read from a source is checked against this before anything is allocated.
int64_t source_remaining(const ByteSource& source);
int64_t source_tell(const ByteSource& source);
// origin: SEEK_SET, SEEK_CUR or SEEK_END. Returns 1 on success.
int source_seek(ByteSource& source, int64_t offset, int origin);

// Reads item_count items of item_size bytes. A memory source copies whole items only and
// stops at the first that does not fit; a file source succeeds only when all were read.
int read_bytes(void* buffer, size_t item_size, size_t item_count, ByteSource& source);

int read_u8(ByteSource& s, uint8_t* v);
int read_i8(ByteSource& s, int8_t* v);
int read_u16(ByteSource& s, uint16_t* v);
int read_i16(ByteSource& s, int16_t* v);
int read_u32(ByteSource& s, uint32_t* v);
int read_i32(ByteSource& s, int32_t* v);
int read_f32(ByteSource& s, float* v);

// VarInt: unsigned 32-bit value in 1 to 5 bytes, 7 bits a byte, least significant first.
int read_varint(ByteSource& source, uint32_t* value);
int write_varint(uint32_t value, FILE* file, int32_t* size_counter);
int varint_size(uint32_t value);

// Little-endian writers; each returns 1 when the whole item was written.
int write_u8(FILE* f, uint8_t v);
int write_u16(FILE* f, uint16_t v);
int write_u32(FILE* f, uint32_t v);
int write_i32(FILE* f, int32_t v);
int write_f32(FILE* f, float v);
int write_tag(FILE* f, const char* tag8);  // exactly 8 bytes

uint32_t float_bits(float f);
float bits_float(uint32_t bits);
