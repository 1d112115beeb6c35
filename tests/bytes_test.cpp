// Byte primitives: VarInt forms, memory and file sources, and song header classification.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/file_header.h"
#include "project/project.h"

namespace {

std::vector<uint8_t> varint_bytes(uint32_t v) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  int32_t counter = 10;
  EXPECT_TRUE(write_varint(v, f, &counter));
  long n = ftell(f);
  EXPECT_EQ(counter, 10 + n);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  rewind(f);
  EXPECT_EQ(fread(out.data(), 1, out.size(), f), out.size());
  fclose(f);
  return out;
}

// Runs read_file_header on the given bytes through a real file.
int header_of(Project& p, const std::string& bytes, int* generation, int* exe) {
  FILE* f = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), f);
  rewind(f);
  ByteSource s = source_from_file(f);
  int ok = read_file_header(p, s, generation, exe);
  fclose(f);
  return ok;
}

}  // namespace

TEST(VarInt, ShortestFormAndSize) {
  struct Case {
    uint32_t v;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {(1u << 14) - 1, {0xFF, 0x7F}},
      {1u << 14, {0x80, 0x80, 0x01}},
      {(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
      {1u << 28, {0x80, 0x80, 0x80, 0x80, 0x01}},
      {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(varint_bytes(c.v), c.bytes) << c.v;
    EXPECT_EQ(varint_size(c.v), static_cast<int>(c.bytes.size())) << c.v;
    ByteSource s = source_from_memory(c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
    uint32_t back = 1;
    ASSERT_TRUE(read_varint(s, &back));
    EXPECT_EQ(back, c.v);
  }
}

TEST(VarInt, LongFormsOverlongAndTruncated) {
  auto read = [](std::vector<uint8_t> b, uint32_t* v) {
    ByteSource s = source_from_memory(b.data(), static_cast<int32_t>(b.size()));
    return read_varint(s, v);
  };
  uint32_t v = 77;
  EXPECT_TRUE(read({0x80, 0x00}, &v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(read({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, &v));  // bits 4..6 of the fifth byte drop
  EXPECT_EQ(v, 0xFFFFFFFFu);
  v = 77;
  EXPECT_FALSE(read({0x80, 0x80, 0x80, 0x80, 0x80}, &v));
  EXPECT_FALSE(read({0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, &v));
  EXPECT_FALSE(read({0x80}, &v));
  EXPECT_FALSE(read({}, &v));
  EXPECT_EQ(v, 77u);  // left unchanged on failure
}

TEST(ByteSource, MemoryReadsWholeItemsOnly) {
  const uint8_t data[3] = {1, 2, 3};
  ByteSource s = source_from_memory(data, 3);
  uint8_t buf[4] = {0, 0, 0, 0};
  EXPECT_FALSE(read_bytes(buf, 4, 1, s));
  EXPECT_EQ(s.position, 0);
  EXPECT_FALSE(read_bytes(buf, 1, 4, s));
  EXPECT_EQ(s.position, 3);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(source_remaining(s), 0);
}

TEST(ByteSource, LittleEndianFieldsAndRemaining) {
  const uint8_t data[] = {0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xF0, 0x42, 0x9C};
  ByteSource s = source_from_memory(data, sizeof data);
  uint16_t u16;
  int32_t i32;
  float f;
  int8_t i8;
  ASSERT_TRUE(read_u16(s, &u16));
  ASSERT_TRUE(read_i32(s, &i32));
  EXPECT_EQ(source_remaining(s), 5);
  ASSERT_TRUE(read_f32(s, &f));
  ASSERT_TRUE(read_i8(s, &i8));
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(i32, -1);
  EXPECT_EQ(f, 120.0f);
  EXPECT_EQ(i8, -100);
  EXPECT_FALSE(read_u8(s, reinterpret_cast<uint8_t*>(&i8)));

  FILE* file = tmpfile();
  fwrite(data, 1, sizeof data, file);
  rewind(file);
  ByteSource fs = source_from_file(file);
  EXPECT_EQ(source_remaining(fs), 11);
  ASSERT_TRUE(read_u16(fs, &u16));
  EXPECT_EQ(source_remaining(fs), 9);
  EXPECT_TRUE(source_seek(fs, 0, SEEK_END));
  EXPECT_EQ(source_remaining(fs), 0);
  EXPECT_FALSE(read_u16(fs, &u16));
  fclose(file);
}

TEST(FileHeader, GenerationsAndFailures) {
  Project p;
  int gen = 0, exe = -1;
  ASSERT_TRUE(header_of(p, "QXMOSAIKA-050227", &gen, &exe));
  EXPECT_EQ(gen, 1);
  EXPECT_EQ(exe, 0);
  ASSERT_TRUE(header_of(p, "QXTUNE--20050608", &gen, &exe));
  EXPECT_EQ(gen, 2);
  ASSERT_TRUE(header_of(p, std::string("QXTUNE--20060930\x42\x03\x00\x00", 20), &gen, &exe));
  EXPECT_EQ(gen, 4);
  EXPECT_EQ(exe, 834);
  ASSERT_TRUE(header_of(p, std::string("QXMOSAIKA-071119\x7b\x03\x00\x00", 20), &gen, &exe));
  EXPECT_EQ(gen, 5);
  EXPECT_EQ(exe, 891);

  EXPECT_FALSE(header_of(p, "QXMOSAIKA-060115", &gen, &exe));  // version words missing
  EXPECT_STREQ(p.error_text, "read.");
  EXPECT_FALSE(header_of(p, "QXMOSAIKA-071119\x01", &gen, &exe));
  EXPECT_STREQ(p.error_text, "read.");
  EXPECT_FALSE(header_of(p, "QXMOSAIKA", &gen, &exe));
  EXPECT_STREQ(p.error_text, "read.");

  for (const MagicEntry& m : MAGIC_TABLE) {
    for (int i = 0; i < 16; ++i) {
      std::string bad(m.magic, 16);
      bad[static_cast<size_t>(i)] ^= 0x20;
      bad += std::string(4, '\0');
      ASSERT_FALSE(header_of(p, bad, &gen, &exe)) << bad;
      EXPECT_STREQ(p.error_text, "unknown version.");
      EXPECT_EQ(std::memcmp(p.file_magic, bad.data(), 16), 0);
    }
  }
}
