// open_input: telling songs from instrument files, the header checks of instrument files,
// and what a failure leaves behind.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "song_builder.h"

namespace {

Bytes small_song() {
  Bytes f = song_header(5);
  f.add(master_v5(480, 4, 120.0f, 0, 0)).add(text_chunk("textNAME", "kept")).add(num_unit(2));
  return f.add(end_chunk(5));
}

}  // namespace

TEST_F(ReaderTest, MissingFileChangesNothing) {
  ASSERT_TRUE(open(small_song())) << p.report_text;
  int flag = 0;
  EXPECT_FALSE(open_input(p, dir + "/absent.qxprj", &flag));
  EXPECT_EQ(p.report_text, "File not found!");
  EXPECT_EQ(p.name_text, "kept");
  EXPECT_EQ(unit_count(p), 2);
  // Nor is a folder, a named pipe (opening it would wait for a writer) or a device that
  // never ends.
  const std::string fifo = dir + "/pipe.qxprj";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {dir, fifo, std::string("/dev/urandom"), std::string("/dev/null")}) {
    p.report_text.clear();
    EXPECT_FALSE(open_input(p, path, &flag)) << path;
    EXPECT_EQ(p.report_text, "File not found!") << path;
    EXPECT_EQ(p.name_text, "kept");
  }
}

TEST_F(ReaderTest, InstrumentHeaderChecks) {
  struct Case {
    Bytes file;
    const char* text;
  };
  const Case cases[] = {
      {Bytes(), "read."},
      {Bytes().u8(120), "read."},
      {Bytes().text("hello, world"), "Invalid file!"},
      {Bytes().u8(0).u8(8), "Invalid file!"},
      {Bytes().u8(120).u8(0), "Invalid file!"},
      {Bytes().u8(120).u8(49), "Invalid file!"},
      {Bytes().u8(121).u8(30), "inv-beat tempo"},
      // A song header cut short is not a song: its first bytes are letters.
      {Bytes().text("QXMOSAIKA-060115"), "Invalid file!"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(open(small_song())) << p.report_text;
    EXPECT_FALSE(open(c.file, "x.qxi"));
    EXPECT_EQ(p.report_text, c.text);
    EXPECT_TRUE(project_empty()) << c.text;
  }
  // 120 x 30 = 3600 and a divide of 48 pass the header checks: a song of no events.
  for (const Bytes& ok : {Bytes().u8(120).u8(30), Bytes().u8(1).u8(48)}) {
    EXPECT_TRUE(open(ok, "x.qxi")) << p.report_text;
    EXPECT_TRUE(p.events.empty());
  }
}

TEST_F(ReaderTest, FailedSongLeavesNothingOfAnEarlierLoad) {
  ASSERT_TRUE(open(small_song())) << p.report_text;
  Bytes bad = song_header(5);
  bad.add(master_v5(960, 4, 120.0f, 0, 0)).add(num_unit(2)).add(assist("assiUNIT", 7, "x"));
  bad.add(end_chunk(5));
  int flag = 0;
  EXPECT_FALSE(open(bad, "bad.qxprj", &flag));
  EXPECT_EQ(p.report_text, "read assist(unit).");
  EXPECT_TRUE(project_empty());
  EXPECT_EQ(p.unit_max, 50);
}
