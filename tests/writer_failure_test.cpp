// Failures of the writer: refused targets, refused tunes, paths that cannot be created,
// songs a target cannot hold, and writes that fail part-way. No output file may remain;
// the listing of target 11 does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/output.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "project/events.h"
#include "project/project.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;

namespace {

void small_song(Project& p) {
  project_setup(p);
  add_pcm_woice(p);
  add_unit(p, "u");
  put(p, 0, 0, EVENT_ON, 480);
}

// Runs write_output in a child whose files may not grow beyond `limit` bytes. Returns the
// child's ErrorText, or "ok" when the write succeeded.
std::string write_under_limit(Project& p, const std::string& path, int target, rlim_t limit) {
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) return "pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fd[0]);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    p.console = [](std::string_view) {};
    const int ok = write_output(p, p, path, target);
    const char* text = ok ? "ok" : p.error_text;
    ssize_t n = write(pipe_fd[1], text, std::strlen(text));
    _exit(n >= 0 ? 0 : 1);
  }
  close(pipe_fd[1]);
  std::string text;
  char buf[64];
  ssize_t n;
  while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipe_fd[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return text;
}

}  // namespace

TEST(WriterFailure, InvalidTargetsAndRefusedTunes) {
  ScratchDir dir;
  for (int target : {0, 14, 99}) {
    Project p;
    small_song(p);
    WriteResult r = write_capture(p, dir.file("x.qxprj"), target);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Invalid format!");
    EXPECT_FALSE(exists(dir.file("x.qxprj")));
  }
  for (int target : {9, 10, 11, 14}) {
    Project p;
    small_song(p);
    set_magic(p, "QXTUNE--20071119");
    WriteResult r = write_capture(p, dir.file("t.qxi"), target);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "deny beatclock");
    EXPECT_EQ(r.console, "");
    EXPECT_FALSE(exists(dir.file("t.qxi")));
    EXPECT_FALSE(exists(dir.file("t.txt")));
  }
}

TEST(WriterFailure, PathsThatCannotBeCreated) {
  ScratchDir dir;
  Project p;
  small_song(p);
  WriteResult r = write_capture(p, dir.file("missing/out.qxprj"), 7);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "open file");
  // A folder standing at the output path is left alone.
  ASSERT_EQ(mkdir(dir.file("folder.qxprj").c_str(), 0700), 0);
  r = write_capture(p, dir.file("folder.qxprj"), 7);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "open file");
  EXPECT_TRUE(exists(dir.file("folder.qxprj")));
  // The listing cannot be created: the output goes, nothing is left.
  ASSERT_EQ(mkdir(dir.file("song.txt").c_str(), 0700), 0);
  r = write_capture(p, dir.file("song.qxi"), 11);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "open txt");
  EXPECT_FALSE(exists(dir.file("song.qxi")));
}

TEST(WriterFailure, FilesOfTheUserAreNeverReplaced) {
  ScratchDir dir;
  Project p;
  small_song(p);
  auto put_text = [&](const std::string& name) {
    FILE* f = fopen(dir.file(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("keep me", f);
    fclose(f);
  };
  put_text("taken.qxprj");
  WriteResult r = write_capture(p, dir.file("taken.qxprj"), 7);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "open file");
  EXPECT_EQ(song_parser::read_file(dir.file("taken.qxprj")).size(), 7u);
  // A text file where the listing would go stays as it was, and the output goes.
  put_text("notes.txt");
  r = write_capture(p, dir.file("notes.qxi"), 11);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "open txt");
  EXPECT_EQ(song_parser::read_file(dir.file("notes.txt")).size(), 7u);
  EXPECT_FALSE(exists(dir.file("notes.qxi")));
}

TEST(WriterFailure, SongsTheTargetCannotHold) {
  ScratchDir dir;
  // Three units, two woices: unit 2 has no woice to play in the generations that tie them.
  for (int target : {1, 2, 3, 4, 5}) {
    Project p;
    small_song(p);
    add_pcm_woice(p);
    add_unit(p, "b");
    add_unit(p, "c");
    WriteResult r = write_capture(p, dir.file("u.qxprj"), target);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "unit 02 has no woice");
    EXPECT_FALSE(exists(dir.file("u.qxprj")));
  }
  // 51 woices and no unit: the fifty-first unit cannot be made.
  for (int target : {1, 5}) {
    Project p;
    project_setup(p);
    for (int i = 0; i < 51; ++i) add_pcm_woice(p);
    WriteResult r = write_capture(p, dir.file("w.qxprj"), target);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "unit limit reached");
    EXPECT_FALSE(exists(dir.file("w.qxprj")));
  }
  // A beat clock or count the target's master field cannot hold, which would read back as
  // another value or as the 0 every reader refuses (200 beats of an x4x song in the signed
  // x5x byte would read back as -56).
  struct Master {
    int32_t beat_clock, beat_num;
    int target;
    const char* error;
  };
  for (const Master& m :
       {Master{65536, 4, 9, "write master"}, Master{40000, 4, 7, "write master"},
        Master{480, 256, 8, "write master"}, Master{65536, 4, 1, "write project"},
        Master{480, 65536, 2, "write project"}, Master{480, 200, 7, "write master"}}) {
    Project p;
    small_song(p);
    p.beat_clock = m.beat_clock;
    p.beat_num = m.beat_num;
    WriteResult r = write_capture(p, dir.file("m.qxprj"), m.target);
    EXPECT_EQ(r.error, m.error) << m.beat_clock << " " << m.beat_num << " " << m.target;
    EXPECT_FALSE(exists(dir.file("m.qxprj")));
  }
  // The same songs are fine where units and woices are independent.
  Project p;
  small_song(p);
  add_unit(p, "b");
  WriteResult r = write_capture(p, dir.file("ok.qxprj"), 6);
  EXPECT_EQ(r.ok, 1) << r.error;
  // An x5x count below zero (its field is signed) is written as it stands.
  Project n;
  small_song(n);
  n.beat_num = -3;
  r = write_capture(n, dir.file("neg.qxprj"), 7);
  ASSERT_EQ(r.ok, 1) << r.error;
  EXPECT_EQ(song_parser::parse_song(r.bytes).chunks.at(0).body.at(2), 0xFD);
}

TEST(WriterFailure, MaterialsThatCannotBeWritten) {
  ScratchDir dir;
  Project p;
  small_song(p);
  p.woices[0]->type = 9;
  WriteResult r = write_capture(p, dir.file("k.qxprj"), 7);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "unknown woice");
  EXPECT_FALSE(exists(dir.file("k.qxprj")));

  // Without the OGG operations an OGG woice can be neither kept nor decoded.
  Project q;
  small_song(q);
  q.ogg_codec = OggCodec{};
  add_ogg_woice(q, {1, 2, 3});
  r = write_capture(q, dir.file("o.qxprj"), 8);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "write ogg");
  r = write_capture(q, dir.file("o.qxprj"), 7);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "convert ogg");
  EXPECT_FALSE(exists(dir.file("o.qxprj")));

  // A PCM buffer that holds fewer bytes than its frame count says is not read past.
  Project s;
  small_song(s);
  s.woices[0]->voices[0].pcm->sample_num = 1000;
  r = write_capture(s, dir.file("p.qxprj"), 9);
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, "write pcm");
  EXPECT_FALSE(exists(dir.file("p.qxprj")));
}

TEST(WriterFailure, WritesThatFailPartWay) {
  ScratchDir dir;
  Project p;
  small_song(p);
  // A material far larger than the limit (and the stream buffer) fails while it is written.
  p.woices[0]->voices[0].pcm->sample_num = 500000;
  p.woices[0]->voices[0].pcm->samples.assign(2000000, 7);
  EXPECT_EQ(write_under_limit(p, dir.file("big.qxprj"), 7, 1000), "write pcm");
  EXPECT_FALSE(exists(dir.file("big.qxprj")));
  EXPECT_EQ(write_under_limit(p, dir.file("big1.qxprj"), 1, 1000), "write pcm");
  EXPECT_FALSE(exists(dir.file("big1.qxprj")));

  // A song small enough to stay in the stream's buffer fails only when it is closed.
  Project q;
  small_song(q);
  EXPECT_EQ(write_under_limit(q, dir.file("small.qxprj"), 7, 40), "write file");
  EXPECT_FALSE(exists(dir.file("small.qxprj")));
  EXPECT_EQ(write_under_limit(q, dir.file("fits.qxprj"), 7, 100000), "ok");
  EXPECT_TRUE(exists(dir.file("fits.qxprj")));

  // Target 11: the instrument file goes; its listing stays, but only when it is whole.
  Project r;
  project_setup(r, 6000);
  add_unit(r, "u");
  for (int i = 0; i < 5000; ++i) put(r, i * 60, 0, EVENT_ON, 60);
  const std::string text = write_under_limit(r, dir.file("long.qxi"), 11, 6000);
  EXPECT_TRUE(text == "write qxi" || text == "write file") << text;
  EXPECT_FALSE(exists(dir.file("long.qxi")));
  EXPECT_FALSE(exists(dir.file("long.txt")));
  r.beat_clock = 4;
  EXPECT_EQ(write_capture(r, dir.file("coarse.qxi"), 11).error, "beat clock too small for qxi");
  EXPECT_FALSE(exists(dir.file("coarse.qxi")));
  EXPECT_TRUE(exists(dir.file("coarse.txt")));
}

// A PCM body is copied from the input when it is written: an input cut short meanwhile
// fails the write cleanly.
TEST(WriterFailure, InputCutShortBeforeItsPcmIsWritten) {
  ScratchDir dir;
  Project p;
  small_song(p);
  ASSERT_EQ(write_output(p, p, dir.file("in.qxprj"), 9), 1);
  for (const int target : {1, 6, 9}) {
    Project q;
    project_setup(q);
    int tune_flag = 0;
    ASSERT_EQ(open_input(q, dir.file("in.qxprj"), &tune_flag), 1);
    ASSERT_EQ(truncate(dir.file("in.qxprj").c_str(), 60), 0);
    WriteResult r = write_capture(q, dir.file("out.qxprj"), target);
    EXPECT_EQ(r.error, "write pcm");
    EXPECT_FALSE(exists(dir.file("out.qxprj")));
    ASSERT_EQ(write_output(p, p, dir.file("in_again.qxprj"), 9), 1);
    ASSERT_EQ(rename(dir.file("in_again.qxprj").c_str(), dir.file("in.qxprj").c_str()), 0);
  }
}
