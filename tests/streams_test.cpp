// Memory streams keep every byte written, with fields patched in on the way, and stream
// positions and sizes of files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/streams.h"

namespace {

TEST(MemoryStream, KeepsEveryByteWrittenAfterAPatch) {
  MemoryStream m;
  ASSERT_NE(m.file(), nullptr);
  ASSERT_EQ(std::fputs("size????body", m.file()), 1);
  // A size patched in as the material writers do it, the position put back at the end.
  const int64_t end = stream_tell(m.file());
  ASSERT_EQ(end, 12);
  ASSERT_EQ(stream_seek(m.file(), 4, SEEK_SET), 1);
  ASSERT_EQ(std::fputs("0008", m.file()), 1);
  ASSERT_EQ(stream_seek(m.file(), end, SEEK_SET), 1);
  ASSERT_TRUE(m.finish());
  EXPECT_EQ(std::string(m.data(), m.size()), "size0008body");
}

TEST(MemoryStream, EmptyWhenNothingIsWritten) {
  MemoryStream m;
  ASSERT_TRUE(m.finish());
  EXPECT_EQ(m.size(), 0u);
  EXPECT_FALSE(m.finish());  // once only
}

TEST(StreamSize, SizeOfTheFileWhateverThePosition) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, f), 10u);
  ASSERT_EQ(std::fflush(f), 0);
  ASSERT_EQ(stream_seek(f, 3, SEEK_SET), 1);
  EXPECT_EQ(stream_size(f), 10);
  EXPECT_EQ(stream_tell(f), 3);
  EXPECT_EQ(stream_seek(f, -1, SEEK_SET), 0);
  std::fclose(f);
  EXPECT_EQ(stream_size(nullptr), -1);
}

}  // namespace
