// Block reading of small fields: the same values, failures and final source position as
// read_varint and read_bytes give field by field, across block refills, from a file and from
// memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bytes/field_reader.h"

namespace {

// A field read: a VarInt, or (bytes > 0) that many raw bytes.
struct Read {
  bool ok;
  uint32_t value;
};

// Reads fields of the given sizes (0: a VarInt) until one fails or all are read, then the
// source's position; by field_reader when `blocked`, else by read_varint and read_bytes.
std::pair<std::vector<Read>, int64_t> read_all(ByteSource& s, const std::vector<int>& shapes,
                                               bool blocked) {
  std::vector<Read> out;
  // At most twelve bytes a field, as the readers bound their runs.
  FieldReader r = blocked ? field_reader(s, 12 * shapes.size()) : FieldReader{};
  for (int n : shapes) {
    Read got{false, 0};
    uint8_t b[4] = {};
    if (n == 0) {
      got.ok = blocked ? field_varint(r, &got.value) : read_varint(s, &got.value) != 0;
    } else {
      got.ok = blocked ? field_bytes(r, b, static_cast<size_t>(n))
                       : read_bytes(b, static_cast<size_t>(n), 1, s) != 0;
      for (int k = 0; k < n; ++k) got.value = got.value << 8 | b[k];
    }
    out.push_back(got);
    if (!got.ok) break;
  }
  if (blocked) {
    EXPECT_TRUE(field_reader_done(r));
  }
  return {out, source_tell(s)};
}

bool operator==(const Read& a, const Read& b) {
  return a.ok == b.ok && (!a.ok || a.value == b.value);
}

}  // namespace

TEST(FieldReader, TakesWhatTheFieldReadersTakeFromAFile) {
  // Entries of the newest event chunk (VarInt, two bytes, VarInt), over more than one block
  // or a short run read field by field, then an ending that fails: a VarInt of five
  // continuation bytes, a VarInt cut by the end, two bytes of which one is there.
  for (size_t length : {200000, 20}) {
    std::vector<uint8_t> body;
    std::vector<int> shapes;
    for (uint32_t i = 0; body.size() < length; ++i) {
      for (uint32_t v : {i % 300, i * 2654435761u}) {
        for (; v >= 0x80; v >>= 7) body.push_back(static_cast<uint8_t>(v | 0x80));
        body.push_back(static_cast<uint8_t>(v));
        shapes.push_back(0);
        if (shapes.size() % 3 == 1) {
          body.insert(body.end(), {static_cast<uint8_t>(i), 0x81});
          shapes.push_back(2);
        }
      }
    }
    const struct {
      const char* name;
      std::vector<uint8_t> ending;
      std::vector<int> shapes;
    } cases[] = {
        {"all read", {}, {}},
        {"five continuation bytes",
         {0x80, 0x81, 0x82, 0x83, 0x84, 0x05, 1, 2, 3, 4, 5, 6, 7, 8},
         {0, 0}},
        {"VarInt cut by the end", {0x90, 0x91}, {0}},
        {"two bytes, one there", {0x07}, {2}},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (length > 1000 ? ", blocks" : ", field by field"));
      std::vector<uint8_t> file = body;
      file.insert(file.end(), c.ending.begin(), c.ending.end());
      std::vector<int> fields = shapes;
      fields.insert(fields.end(), c.shapes.begin(), c.shapes.end());
      FILE* f = std::tmpfile();
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
      std::vector<std::pair<std::vector<Read>, int64_t>> runs;
      for (bool blocked : {false, true}) {
        std::rewind(f);
        ByteSource s = source_from_file(f);
        runs.push_back(read_all(s, fields, blocked));
      }
      std::fclose(f);
      EXPECT_EQ(runs[1].first.size(), runs[0].first.size());
      EXPECT_TRUE(runs[1].first == runs[0].first);
      EXPECT_EQ(runs[1].second, runs[0].second);
      // From memory the same fields, and the position after the last byte taken.
      ByteSource m = source_from_memory(file.data(), static_cast<int32_t>(file.size()));
      const auto from_memory = read_all(m, fields, true);
      EXPECT_TRUE(from_memory.first == runs[0].first);
      EXPECT_EQ(from_memory.second, runs[0].second);
    }
  }
}
