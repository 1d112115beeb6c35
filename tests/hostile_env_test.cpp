// Hostile surroundings: an output file system that is full or turns read-only, an output
// folder removed during a batch, an input cut short while it is read, paths at the length
// limit, inputs that are no regular file, and names with blanks, quotes, line breaks and
// bytes that are not UTF-8. Each ends in a clear error that says why or a whole conversion,
// never a crash and never a partial file.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "app/convert.h"
#include "app/output.h"
#include "io/open_input.h"
#include "io/writer.h"
#include "tests/program_run.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
namespace fs = std::filesystem;

namespace {

const std::string EXAMPLES = std::string(TARVENOX_SOURCE_DIR) + "/examples/";

// What one conversion into `folder` ended in: "done", or the stage's error text and the
// system's reason as batch mode shows them.
std::string convert_outcome(const std::string& input, int target, const std::string& folder,
                            NamingMode naming = NAMING_NEXT_FREE) {
  Project p;
  p.console = [](std::string_view) {};
  const Conversion c =
      convert_into_folder(p, input, static_cast<uint8_t>(target), folder, {}, false, naming);
  if (c.stage == CONVERT_DONE) return "done";
  return c.reason.empty() ? c.error : c.error + " (" + c.reason + ")";
}

// The names in a folder, sorted, joined by " " ("-" when the folder is gone).
std::string listing(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return "-";
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// Runs `body` in a child that has a file system of its own, `kib` KiB large, at `dir`,
// seen by no other process and gone with the child. Returns what the body returned, or
// nothing when this process may not mount (not root, or no mount namespaces).
std::optional<std::string> with_small_file_system(const std::string& dir, int kib,
                                                  const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string size = "size=" + std::to_string(kib) + "k";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, size.c_str()) != 0) {
      _exit(77);
    }
    const std::string text = body();
    _exit(write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return text;
}

void fill(const std::string& path, size_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::vector<char> block(bytes, 'x');
  std::fwrite(block.data(), 1, block.size(), f);
  std::fclose(f);
}

}  // namespace

// A full file system fails the write (small songs, PCM bodies included, fail when the
// buffer is written out) and leaves only what was there; with room again the same file converts.
// A replacing write that finds the disk full leaves the old file whole. Then the file system
// turns read-only, which root cannot write either: the files written stay whole, the next
// fails before anything is written. Each error says why.
TEST(HostileEnvironment, OutputFileSystemFullThenReadOnly) {
  ScratchDir dir;
  const std::string out = dir.file("out");
  fs::create_directories(out);
  const auto text = with_small_file_system(out, 64, [&] {
    std::string r;
    fill(out + "/filler", 64 << 10);
    for (const char* name : {"demo_x1x_pcm.qxprj", "demo.qxprj"}) {
      r += convert_outcome(EXAMPLES + name, 9, out) + ", ";
    }
    r += listing(out) + ", ";
    fs::remove(out + "/filler");
    r += convert_outcome(EXAMPLES + "demo_x1x_pcm.qxprj", 9, out) + ", ";
    const auto song_size = fs::file_size(out + "/demo_x1x_pcm.qxprj");
    fill(out + "/filler", (60 << 10) - song_size);
    r += convert_outcome(EXAMPLES + "demo_x1x_pcm.qxprj", 9, out, NAMING_REPLACE) + ", ";
    r += std::to_string(fs::file_size(out + "/demo_x1x_pcm.qxprj") == song_size) + ", ";
    fs::remove(out + "/filler");
    if (mount(nullptr, out.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return r;
    return r + convert_outcome(EXAMPLES + "demo.qxi", 6, out) + ", " + listing(out);
  });
  if (!text) GTEST_SKIP() << "no file system of our own can be mounted here";
  const std::string full = "write file (No space left on device)";
  EXPECT_EQ(*text, full + ", " + full + ", filler, done, " + full +
                       ", 1, open file (Read-only file system), demo_x1x_pcm.qxprj");
}

// Inputs that are no regular file, or not there: batch mode and --info say what they are
// (the dialogue's own text, "File not found!", comes first, unchanged).
TEST(HostileEnvironment, InputsThatAreNoRegularFileSayWhatTheyAre) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.file("pipe.qxprj").c_str(), 0666), 0);
  StartedProgram s =
      start_tarvenox(dir.path(), {"-t", "6", "pipe.qxprj", "/dev/null", "missing.qxprj"});
  const ProgramRun r = finish_tarvenox(s, 10000);
  EXPECT_EQ(r.status, 1);
  const std::string error = ": Error reading file: File not found! (";
  EXPECT_EQ(r.out, "pipe.qxprj" + error + "not a regular file: named pipe)\n" + "/dev/null" +
                       error + "not a regular file: device)\n" + "missing.qxprj" + error +
                       "No such file or directory)\n" + "converted 0 of 3, 3 failed\n");
  // --info says the same of a named pipe, in its text and its JSON.
  StartedProgram t = start_tarvenox(dir.path(), {"--info", "pipe.qxprj"});
  const ProgramRun info = finish_tarvenox(t, 10000);
  EXPECT_EQ(info.out,
            "pipe.qxprj\n  << Error reading file: File not found! (not a regular "
            "file: named pipe) >>\n\n");
  StartedProgram u = start_tarvenox(dir.path(), {"--info", "--json", "pipe.qxprj"});
  const auto doc = nlohmann::json::parse(finish_tarvenox(u, 10000).out)["files"][0];
  EXPECT_EQ(doc["error"], "File not found!");
  EXPECT_EQ(doc["reason"], "not a regular file: named pipe");
}

// The output folder is removed during a batch: before a file is converted, or after it was
// written and before it got its name. Neither leaves a file anywhere.
TEST(HostileEnvironment, OutputFolderRemovedDuringABatch) {
  ScratchDir dir;
  const std::string out = dir.file("out");
  fs::create_directories(out);
  EXPECT_EQ(convert_outcome(EXAMPLES + "demo.qxprj", 6, out), "done");
  fs::remove_all(out);
  EXPECT_EQ(convert_outcome(EXAMPLES + "demo.qxi", 6, out),
            "open file (No such file or directory)");

  fs::create_directories(out);
  Project p;
  project_setup(p);
  int tune_flag = 0;
  ASSERT_EQ(open_input(p, EXAMPLES + "demo_x1x_pcm.qxprj", &tune_flag), 1);
  StagedOutput staged;
  ASSERT_EQ(write_output_staged(p, p, out, 6, staged), 1);
  fs::remove_all(out);
  EXPECT_EQ(publish_output(p, staged, {out + "/late.qxprj"}, nullptr), 0);
  EXPECT_STREQ(p.error_text, "open file");
  EXPECT_EQ(p.error_reason, "No such file or directory");
  EXPECT_EQ(listing(dir.path()), "");
}

// The input is cut short while the program reads and converts it: whenever that happens,
// the run ends with a result line and the output is either absent or a song that loads.
TEST(HostileEnvironment, InputCutShortWhileItIsRead) {
  ScratchDir dir;
  // Enough events and PCM that loading and writing take a while.
  Project p;
  project_setup(p, 100000);
  add_unit(p, "u");
  for (int i = 0; i < 100000; ++i) put(p, i * 10, 0, EVENT_ON, 5);
  Woice& w = add_pcm_woice(p);
  w.voices[0].pcm->sample_num = 1 << 20;
  w.voices[0].pcm->samples.assign(size_t(4) << 20, 3);
  ASSERT_EQ(write_output(p, p, dir.file("song.qxprj"), 9), 1);
  const auto whole = song_parser::read_file(dir.file("song.qxprj"));
  fs::create_directories(dir.file("out"));
  for (int delay_ms : {0, 5, 20, 60, 100, 150}) {
    SCOPED_TRACE(delay_ms);
    std::thread cutter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      EXPECT_EQ(truncate(dir.file("song.qxprj").c_str(), static_cast<off_t>(whole.size() / 3)), 0);
    });
    const ProgramRun r = run_tarvenox(dir.path(), {"-t", "6", "-o", "out", "song.qxprj"});
    cutter.join();
    const bool done = r.out == "converted\tsong.qxprj\tout/song.qxprj\n";
    EXPECT_TRUE(done || (r.status == 1 && r.out.starts_with("song.qxprj: Error "))) << r.out;
    if (done) {
      Project q;
      project_setup(q);
      int tune_flag = 0;
      EXPECT_EQ(open_input(q, dir.file("out/song.qxprj"), &tune_flag), 1);
    }
    EXPECT_EQ(listing(dir.file("out")), done ? "song.qxprj" : "");
    fs::remove_all(dir.file("out"));
    fs::create_directories(dir.file("out"));
    FILE* f = std::fopen(dir.file("song.qxprj").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(whole.data(), 1, whole.size(), f);
    std::fclose(f);
  }
}

// Paths at the system's limit of 4096 bytes with the terminator, and an output name that
// would pass it: a clear error, or a conversion.
TEST(HostileEnvironment, PathsAtTheLengthLimit) {
  ScratchDir dir;
  fs::copy_file(EXAMPLES + "demo.qxprj", dir.file("in.qxprj"));
  // "./" repeated before the name, with one "/" more where the length is odd.
  auto long_path = [](size_t length) {
    std::string p = "in.qxprj";
    if ((length - p.size()) % 2) p = "/" + p;
    while (p.size() < length) p = "./" + p;
    return p;
  };
  const std::string fits = long_path(4095), too_long = long_path(4096);
  ASSERT_EQ(fits.size(), 4095u);
  ASSERT_EQ(too_long.size(), 4096u);
  fs::create_directories(dir.file("out"));
  ProgramRun r = run_tarvenox(dir.path(), {"-t", "6", "-o", "out", fits});
  EXPECT_EQ(r.status, 0) << r.out;
  r = run_tarvenox(dir.path(), {"-t", "6", "-o", "out", too_long});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with(": Error reading file: File not found! (File name too long)\n"));
  // The folder's path fits; the output's name in it does not.
  std::string deep_out = dir.file("out");
  while (deep_out.size() < 4090) deep_out += "/.";
  r = run_tarvenox(dir.path(), {"-t", "6", "-o", deep_out, "in.qxprj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "in.qxprj: Error converting file: open file (File name too long)\n");
  EXPECT_EQ(listing(dir.file("out")), "in.qxprj");
}

// Names with blanks, quotes, a line break and bytes that are not UTF-8 convert under the
// same names; the result lines show the control character as "?".
TEST(HostileEnvironment, NamesThatAreHardToPrint) {
  ScratchDir dir;
  fs::create_directories(dir.file("in"));
  fs::create_directories(dir.file("out"));
  const std::vector<std::string> names = {"two words", "it's \"quoted\"", "line\nbreak",
                                          "bytes \xff\xfe end"};
  for (const std::string& n : names)
    fs::copy_file(EXAMPLES + "demo.qxprj", dir.file("in/" + n + ".qxprj"));
  const ProgramRun r = run_tarvenox(dir.path(), {"-t", "6", "-o", "out", "in"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("converted\tin/line?break.qxprj\tout/line?break.qxprj\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("converted 4 of 4, 0 failed\n"));
  for (const std::string& n : names) {
    Project p;
    project_setup(p);
    int tune_flag = 0;
    EXPECT_EQ(open_input(p, dir.file("out/" + n + ".qxprj"), &tune_flag), 1) << n;
  }
}
