// The command line's batch mode, run as a user runs it, and outputs that appear complete
// or not at all however the program ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/output.h"
#include "io/writer.h"
#include "platform/staged_file.h"
#include "platform/staged_folder.h"
#include "tests/ogg_encode.h"
#include "tests/program_run.h"
#include "tests/writer_fixture.h"

using namespace writer_fixture;
namespace fs = std::filesystem;

namespace {

// Every file below `dir` with its bytes.
std::map<std::string, std::vector<uint8_t>> tree(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    files[rel] =
        e.is_regular_file() ? song_parser::read_file(e.path().string()) : std::vector<uint8_t>{};
  }
  return files;
}

// Every file below `dir` with its size and a hash of its bytes: tree() for outputs of many
// megabytes, read at once.
std::map<std::string, std::pair<size_t, size_t>> fingerprints(const std::string& dir) {
  std::map<std::string, std::pair<size_t, size_t>> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string bytes;
    if (e.is_regular_file()) {
      bytes.resize(static_cast<size_t>(e.file_size()));
      std::ifstream(e.path(), std::ios::binary).read(bytes.data(), std::ssize(bytes));
    }
    files[fs::relative(e.path(), dir).string()] = {bytes.size(), std::hash<std::string>{}(bytes)};
  }
  return files;
}

void put_file(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

// The folder layout of a batch: inputs in in/ and in2/ (two files of one name, a damaged
// one in the middle) and a file of the user's in out/ where the first output would go.
void lay_out_batch(const std::string& root) {
  fs::create_directories(root + "/in");
  fs::create_directories(root + "/in2");
  fs::create_directories(root + "/out");
  const std::string demo = std::string(TARVENOX_SOURCE_DIR) + "/examples/";
  fs::copy_file(demo + "demo.qxprj", root + "/in/a.qxprj");
  fs::copy_file(demo + "demo.qxi", root + "/in/b.qxi");
  put_file(root + "/in/c.qxprj", "not a song");
  fs::copy_file(demo + "demo.qxprj", root + "/in/d.qxtune");
  fs::copy_file(demo + "demo.qxprj", root + "/in2/a.qxprj");
  put_file(root + "/in/notes.txt", "not an input");
  put_file(root + "/out/a.qxprj", "keep me");
}

// A song whose conversion to x4x decodes thirty OGG woices of ten seconds each.
void write_slow_song(const std::string& path) {
  Project p;
  project_setup(p);
  const std::vector<uint8_t> ogg = ogg_encode::tone_stream(1, 44100, 441000);
  for (int i = 0; i < 30; ++i) add_ogg_woice(p, ogg);
  ASSERT_EQ(write_output(p, p, path, 9), 1) << p.error_text;
}

}  // namespace

TEST(Batch, ConvertsEveryFileAndTheSameWithFourJobs) {
  ScratchDir one, four;
  lay_out_batch(one.path());
  lay_out_batch(four.path());
  const std::vector<std::string> args = {"-t", "6", "-o", "out/", "in", "in2/a.qxprj"};
  std::vector<std::string> a1 = args, a4 = args;
  a1.insert(a1.begin(), {"-j", "1"});
  a4.insert(a4.begin(), {"--jobs", "4"});
  const ProgramRun r1 = run_tarvenox(one.path(), a1);
  const ProgramRun r4 = run_tarvenox(four.path(), a4);
  // The damaged file fails alone; nothing of the user's is replaced.
  EXPECT_EQ(r1.status, 1) << r1.out;
  EXPECT_NE(r1.out.find("converted\tin/a.qxprj\tout/a_00.qxprj\n"), std::string::npos) << r1.out;
  EXPECT_NE(r1.out.find("in/c.qxprj: Error reading file: Invalid file!\n"), std::string::npos);
  EXPECT_NE(r1.out.find("converted\tin/d.qxtune\tout/d.qxprj\n"), std::string::npos);
  EXPECT_NE(r1.out.find("converted\tin2/a.qxprj\tout/a_01.qxprj\n"), std::string::npos);
  EXPECT_TRUE(r1.out.ends_with("converted 4 of 5, 1 failed\n")) << r1.out;
  const auto files = tree(one.path() + "/out");
  EXPECT_EQ(files.size(), 5u);
  EXPECT_EQ(files.at("a.qxprj"), std::vector<uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  // Four at once: the same lines in the same order, the same names, the same bytes.
  EXPECT_EQ(r4.status, 1);
  EXPECT_EQ(r4.out, r1.out);
  EXPECT_TRUE(tree(four.path() + "/out") == files);
}

// The MIDI target by its name: a song, an instrument file and a tune each give NAME.mid,
// which a MIDI reader no one here wrote takes.
TEST(Batch, MidiByNameFromEveryKindOfInput) {
  ScratchDir dir;
  lay_out_batch(dir.path());
  const ProgramRun r =
      run_tarvenox(dir.path(), {"-t", "MIDI", "-o", "out", "in/b.qxi", "in/d.qxtune", "in2"});
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* name : {"b.mid", "d.mid", "a.mid"}) {
    EXPECT_NE(r.out.find(std::string("\tout/") + name + "\n"), std::string::npos) << r.out;
    const std::string csv = "midicsv '" + dir.path() + "/out/" + name + "' > /dev/null";
    EXPECT_EQ(std::system(csv.c_str()), 0) << name;
  }
}

namespace {

struct SplitRun {
  int status = -1;
  std::string out, err;
};

// The program run with its output and error streams apart, the output to `stdout_to` when
// given.
SplitRun run_split(const std::string& dir, const std::vector<std::string>& args,
                   const std::string& stdout_to = "", const std::string& stdin_from = "") {
  const std::string out = dir + ".out", err = dir + ".err";
  std::string command = "cd '" + dir + "' && '" TARVENOX_EXE "'";
  for (const std::string& a : args) command += " '" + a + "'";
  command += " >'" + (stdout_to.empty() ? out : stdout_to) + "' 2>'" + err + "'";
  if (!stdin_from.empty()) command += " <'" + stdin_from + "'";
  SplitRun r;
  const int status = std::system(command.c_str());
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto text = [](const std::string& path) {
    if (!fs::exists(path)) return std::string();
    const std::vector<uint8_t> bytes = song_parser::read_file(path);
    fs::remove(path);
    return std::string(bytes.begin(), bytes.end());
  };
  r.out = text(out);
  r.err = text(err);
  return r;
}

}  // namespace

// A script reads one result line a file written on the output stream; conversion lines,
// errors, what was passed over and the summary go to the error stream, less with -q and more
// with -v; a result that cannot be written fails the run.
TEST(Batch, ResultsOnOutputTheRestOnErrors) {
  ScratchDir dir;
  lay_out_batch(dir.path());
  struct Case {
    const char* option;
    const char* out_dir;
    std::vector<const char*> err_has, err_lacks;
  };
  const Case cases[] = {
      {"-j1",
       "o1",
       {"passed over in/notes.txt: not a song", "in/c.qxprj: Error reading file: Invalid file!\n",
        "converted 3 of 4, 1 failed\n"},
       {"loaded", "wrote"}},
      {"-q",
       "o2",
       {"in/c.qxprj: Error reading file: Invalid file!\n", "converted 3 of 4, 1 failed\n"},
       {"passed over", "  * "}},
      {"-v", "o3", {"  loaded in/a.qxprj: 6 units, 6 woices", "  wrote o3/a.qxprj ("}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    fs::create_directories(dir.file(c.out_dir));
    const SplitRun r = run_split(dir.path(), {"-t", "6", c.option, "-o", c.out_dir, "in"});
    EXPECT_EQ(r.status, 1);
    std::string want;
    if (std::string(c.option) != "-q") {
      const std::string o = c.out_dir;
      want = "converted\tin/a.qxprj\t" + o + "/a.qxprj\nconverted\tin/b.qxi\t" + o +
             "/b.qxprj\nconverted\tin/d.qxtune\t" + o + "/d.qxprj\n";
    }
    EXPECT_EQ(r.out, want);
    for (const char* text : c.err_has) EXPECT_NE(r.err.find(text), std::string::npos) << text;
    for (const char* text : c.err_lacks) EXPECT_EQ(r.err.find(text), std::string::npos) << text;
  }
  const SplitRun full = run_split(dir.path(), {"-t", "6", "-o", "out", "in/a.qxprj"}, "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("write error on standard output"), std::string::npos) << full.err;
}

// Subfolders mirrored under the output folder, several targets from one load, named by a
// template.
TEST(Batch, RecursiveSeveralTargetsByTemplate) {
  ScratchDir dir;
  lay_out_batch(dir.path());
  fs::create_directories(dir.file("in/deeper/.hidden"));
  fs::copy_file(dir.file("in/a.qxprj"), dir.file("in/deeper/e.qxprj"));
  fs::copy_file(dir.file("in/a.qxprj"), dir.file("in/deeper/.hidden/f.qxprj"));
  const SplitRun r = run_split(dir.path(), {"-r", "-q", "-t", "x4x,midi", "--name",
                                            "{stem}-{target}.{gen}.{ext}", "-o", "out", "in"});
  EXPECT_EQ(r.status, 1) << r.err;
  std::vector<std::string> names;
  for (const auto& [name, bytes] : tree(dir.file("out"))) names.push_back(name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"a-12.mid.mid", "a-6.x4x.qxprj", "a.qxprj", "b-12.mid.mid",
                                      "b-6.x4x.qxprj", "d-12.mid.mid", "d-6.x4x.qxprj", "deeper",
                                      "deeper/e-12.mid.mid", "deeper/e-6.x4x.qxprj"}));
}

// "-" reads standard input, whatever kind of file it is; "-o -" writes the one output to
// standard output, the same bytes as into a file.
TEST(Batch, StandardInputAndOutput) {
  ScratchDir dir;
  lay_out_batch(dir.path());
  const SplitRun mid = run_split(dir.path(), {"-t", "midi", "-o", "out", "in/a.qxprj"});
  ASSERT_EQ(mid.status, 0) << mid.err;
  // Compared with a file of standard input's name: an instrument file's song is named so.
  fs::create_directories(dir.file("p"));
  for (const char* input : {"in/a.qxprj", "in/b.qxi", "out/a.mid"}) {
    SCOPED_TRACE(input);
    const std::string copy = "p/stdin" + fs::path(input).extension().string();
    fs::copy_file(dir.file(input), dir.file(copy), fs::copy_options::overwrite_existing);
    fs::remove(dir.file("p/stdin.out"));
    const std::vector<std::string> args = {"-t", "6", "--name", "{stem}.out", "-o", "p", copy};
    ASSERT_EQ(run_split(dir.path(), args).status, 0);
    const std::vector<uint8_t> want = song_parser::read_file(dir.file("p/stdin.out.qxprj"));
    fs::remove(dir.file("p/stdin.out.qxprj"));
    const SplitRun piped = run_split(dir.path(), {"-t", "6", "-o", "-", "-"}, "", dir.file(input));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out == std::string(want.begin(), want.end()));
    EXPECT_NE(piped.err.find("converted\t-\t-\n"), std::string::npos) << piped.err;
  }
  const SplitRun named =
      run_split(dir.path(), {"-t", "6", "-o", "out", "-"}, "", dir.file("in/a.qxprj"));
  EXPECT_EQ(named.out, "converted\t-\tout/stdin.qxprj\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-t", "6", "-o", "-", "in/a.qxprj", "in/b.qxi"},
        {"-t", "6,7", "-o", "-", "in/a.qxprj"},
        {"-t", "wav", "-o", "-", "in/a.qxprj"},
        {"-t", "6", "-o", "-", "in"}}) {
    const SplitRun r = run_split(dir.path(), args);
    EXPECT_EQ(r.status, 2) << args[1] << " " << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// Names go in argument order even when the later file of a name finishes long before.
TEST(Batch, NamesFollowTheArgumentsNotTheFinishingOrder) {
  ScratchDir dir;
  for (const char* sub : {"slow", "fast", "out"}) fs::create_directories(dir.file(sub));
  write_slow_song(dir.file("slow/a.qxprj"));
  fs::copy_file(std::string(TARVENOX_SOURCE_DIR) + "/examples/demo.qxprj",
                dir.file("fast/a.qxprj"));
  const ProgramRun r =
      run_tarvenox(dir.path(), {"-j", "2", "-t", "6", "-o", "out", "slow/a.qxprj", "fast/a.qxprj"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("converted\tslow/a.qxprj\tout/a.qxprj\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("converted\tfast/a.qxprj\tout/a_00.qxprj\n"), std::string::npos) << r.out;
}

TEST(Batch, UsageErrorsWriteNothing) {
  ScratchDir dir;
  lay_out_batch(dir.path());
  const auto before = tree(dir.path());
  const std::vector<std::vector<std::string>> cases = {
      {"-t", "6", "-o", "missing", "in/a.qxprj"},
      {"-t", "6", "-o", "in/a.qxprj", "in/a.qxprj"},
      {"-t", "6", "-o", "/proc", "in/a.qxprj"},  // no file can be made there, even by root
      {"-t", "14", "in/a.qxprj"},
      {"-t", "mids", "in/a.qxprj"},
      {"-t", "6,", "in/a.qxprj"},
      {"-t", "1,2", "-o", "out", "in/a.qxprj"},  // both would take out/a_00.qxprj
      {"-t", "1,2", "--name", "{stem}.{gen}", "in/a.qxprj"},
      {"-t", "6", "--name", "{stem}.{era}", "in/a.qxprj"},
      {"-t", "6", "--name", "../{stem}", "in/a.qxprj"},
      {"-t", "6", "-j", "x", "in/a.qxprj"},
      {"-t", "6", "-q", "-v", "in/a.qxprj"},
      {"-5", "in/a.qxprj"},
      {"-t", "6"},
      {"--frobnicate", "in/a.qxprj"},
      {"-o", "out", "in/a.qxprj"},
      {"-n", "-f", "-t", "6", "in/a.qxprj"},
      {"-f", "in/a.qxprj"},
  };
  for (const auto& args : cases) {
    const ProgramRun r = run_tarvenox(dir.path(), args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  EXPECT_TRUE(tree(dir.path()) == before);
}

// -n passes over a file whose plain name is taken (for target 11 its listing alone is
// enough, for wav the folder); -f puts the output in place of what stands there, byte for
// byte what a conversion into an empty folder writes, also where the file system lacks
// unnamed files and exchanges (forced).
TEST(Batch, SkipExistingOrForceAtATakenName) {
  struct Case {
    const char *target, *input, *taken, *output;
  };
  for (const Case& c : {Case{"6", "in/a.qxprj", "out/a.qxprj", "out/a.qxprj"},
                        Case{"11", "in/b.qxi", "out/b.txt", "out/b.qxi"},
                        Case{"wav", "in/a.qxprj", "out/a.woices/00 old.wav", "out/a.woices"}}) {
    SCOPED_TRACE(c.target);
    ScratchDir dir;
    lay_out_batch(dir.path());
    fs::create_directories(fs::path(dir.file(c.taken)).parent_path());
    put_file(dir.file(c.taken), "old");
    fs::create_directories(dir.file("fresh"));
    ASSERT_EQ(run_tarvenox(dir.path(), {"-t", c.target, "-o", "fresh", c.input}).status, 0);
    const auto before = tree(dir.file("out"));
    ProgramRun r = run_tarvenox(dir.path(), {"-n", "-t", c.target, "-o", "out", c.input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "skipped\t" + std::string(c.input) + "\t" + c.output + "\n");
    EXPECT_TRUE(tree(dir.file("out")) == before);
    // The old folder's files go with it.
    auto want = before;
    std::erase_if(want, [&](const auto& e) { return e.first.starts_with(c.output + 4); });
    for (const auto& [name, bytes] : tree(dir.file("fresh"))) want[name] = bytes;
    for (void (*before_exec)() : {+[] {}, +[] { setenv("TARVENOX_TEST_NO_TMPFILE", "1", 1); }}) {
      r = run_tarvenox(dir.path(), {"--force", "-t", c.target, "-o", "out", c.input}, -1, 0,
                       before_exec);
      EXPECT_EQ(r.status, 0);
      EXPECT_TRUE(r.out.ends_with("converted\t" + std::string(c.input) + "\t" + c.output + "\n"))
          << r.out;
      EXPECT_TRUE(tree(dir.file("out")) == want);
    }
  }
}

// Skipped files count as done, with a count of their own in the summary; an earlier file of
// the run takes the name from a later one of the same name, whatever the number of jobs.
TEST(Batch, SkippedFilesCountAsDone) {
  std::string first;
  for (const char* jobs : {"1", "3"}) {
    ScratchDir dir;
    lay_out_batch(dir.path());
    fs::create_directories(dir.file("out2"));
    const ProgramRun r =
        run_tarvenox(dir.path(), {"-n", "-j", jobs, "-t", "6", "-o", "out2", "in", "in2/a.qxprj"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("skipped\tin2/a.qxprj\tout2/a.qxprj\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("converted 3 of 5, 1 skipped, 1 failed\n")) << r.out;
    if (first.empty()) first = r.out;
    EXPECT_EQ(r.out, first);
    const ProgramRun again =
        run_tarvenox(dir.path(), {"-n", "-t", "6", "-o", "out2", "in/a.qxprj", "in/b.qxi"});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(again.out.ends_with("converted 0 of 2, 2 skipped, 0 failed\n")) << again.out;
  }
}

// -f replaces outputs only: never the input, under its own name or another, nor a folder, a
// link, or a folder that holds anything but .wav files. Such a file fails, changing nothing.
TEST(Batch, ForceReplacesNothingButAnOutput) {
  struct Case {
    const char *target, *input, *out;
    void (*make)(const std::string& root);
    const char* failure;
  };
  const Case cases[] = {
      {"6", "in/a.qxprj", nullptr, [](const std::string&) {},
       "open file (would replace the input)"},
      {"6", "in/a.qxprj", "out",
       [](const std::string& root) {
         fs::remove(root + "/out/a.qxprj");
         fs::create_hard_link(root + "/in/a.qxprj", root + "/out/a.qxprj");
       },
       "open file (would replace the input)"},
      {"6", "in/a.qxprj", "out",
       [](const std::string& root) {
         fs::remove(root + "/out/a.qxprj");
         fs::create_directory(root + "/out/a.qxprj");
       },
       "open file (not a regular file: folder)"},
      {"6", "in/a.qxprj", "out",
       [](const std::string& root) {
         fs::remove(root + "/out/a.qxprj");
         fs::create_symlink("../in/b.qxi", root + "/out/a.qxprj");
       },
       "open file (not a regular file: symbolic link)"},
      {"wav", "in/a.qxprj", "out",
       [](const std::string& root) {
         fs::create_directory(root + "/out/a.woices");
         put_file(root + "/out/a.woices/00 mine.wav", "mine");
         put_file(root + "/out/a.woices/notes.txt", "mine");
       },
       "open file (not a folder of .wav files)"},
      {"11", "in/b.qxi", "out",
       [](const std::string& root) { fs::create_directory(root + "/out/b.txt"); },
       "open txt (not a regular file: folder)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failure);
    ScratchDir dir;
    lay_out_batch(dir.path());
    c.make(dir.path());
    const auto before = tree(dir.path());
    std::vector<std::string> args = {"-f", "-t", c.target, c.input};
    if (c.out) args.insert(args.begin(), {"-o", c.out});
    const ProgramRun r = run_tarvenox(dir.path(), args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(c.input) + ": Error converting file: " + c.failure + "\n");
    EXPECT_TRUE(tree(dir.path()) == before);
  }
}

// With -f the name holds the old output whole until the new one is whole, however the run
// ends: killed, ended by a signal, or stopped by a failing write.
TEST(Batch, ForcedOutputReplacesTheOldInOneStep) {
  ScratchDir dir;
  fs::create_directories(dir.file("out"));
  write_large_song(dir.file("big.qxprj"));
  for (const auto& [target, output] :
       {std::pair{"1", "out/big.qxprj"}, std::pair{"wav", "out/big.woices"}}) {
    SCOPED_TRACE(target);
    const std::vector<std::string> args = {"-f", "-t", target, "-o", "out", "big.qxprj"};
    auto put_old = [&, output = std::string(output)] {
      fs::remove_all(dir.file(output));
      if (output.ends_with(".woices")) {
        fs::create_directories(dir.file(output));
        put_file(dir.file(output + "/00 old.wav"), "old");
      } else {
        put_file(dir.file(output), "old");
      }
    };
    put_old();
    const auto old = fingerprints(dir.file("out"));
    ASSERT_EQ(run_tarvenox(dir.path(), args).status, 0);
    const auto whole = fingerprints(dir.file("out"));
    ASSERT_FALSE(whole == old);
    for (int sig : {SIGKILL, SIGTERM}) {
      for (int ms : {3, 10, 25}) {
        put_old();
        run_tarvenox(dir.path(), args, ms, sig);
        auto after = fingerprints(dir.file("out"));
        // A kill that cannot be caught, in the moment between a folder's swap and the old
        // one's removal, leaves the old one under a hidden name beside the new: nothing lost.
        if (sig == SIGKILL && std::string(output).ends_with(".woices")) {
          std::erase_if(after, [](const auto& e) { return e.first.starts_with(".tarvenox-"); });
          for (const auto& e : fs::directory_iterator(dir.file("out"))) {
            if (e.path().filename().string().starts_with(".tarvenox-")) fs::remove_all(e.path());
          }
        }
        EXPECT_TRUE(after == old || after == whole) << sig << " " << ms;
      }
    }
    put_old();
    const ProgramRun r = run_tarvenox(dir.path(), args, -1, 0, [] {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {1 << 20, 1 << 20};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("(File too large)\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fingerprints(dir.file("out")) == old);
  }
}

// However the program ends while it writes, the output folder is as it was: a file, or a
// folder of files, is there whole or not at all.
TEST(Batch, KilledOrFailingConversionsLeaveTheFolderAsItWas) {
  ScratchDir dir;
  fs::create_directories(dir.file("out"));
  put_file(dir.file("out/keep.txt"), "mine");
  write_large_song(dir.file("big.qxprj"));
  const auto before = tree(dir.file("out"));
  struct Case {
    const char *target, *output, *failure;
  };
  for (const Case& c :
       {Case{"1", "out/big.qxprj", "write pcm"}, Case{"wav", "out/big.woices", "write wav"}}) {
    SCOPED_TRACE(c.target);
    const std::vector<std::string> args = {"-t", c.target, "-o", "out", "big.qxprj"};
    // What a whole run leaves: a signal may only come after the output got its name.
    ASSERT_EQ(run_tarvenox(dir.path(), args).status, 0);
    const auto whole = tree(dir.file("out"));
    ASSERT_GT(whole.size(), 1u);
    fs::remove_all(dir.file(c.output));
    int ended_early = 0;
    for (int sig : {SIGKILL, SIGTERM, SIGINT}) {
      for (int ms : {5, 40, 120}) {
        const ProgramRun r = run_tarvenox(dir.path(), args, ms, sig);
        ended_early += r.status == 128 + sig;
        const auto after = tree(dir.file("out"));
        EXPECT_TRUE(after == before || after == whole) << sig << " " << ms;
        fs::remove_all(dir.file(c.output));
      }
    }
    EXPECT_GT(ended_early, 0);
    // A write that fails part-way: the file-size limit stops it at 1 MB.
    const ProgramRun r = run_tarvenox(dir.path(), args, -1, 0, [] {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {1 << 20, 1 << 20};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(std::string("big.qxprj: Error converting file: ") + c.failure),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(tree(dir.file("out")) == before);
  }
}

// Where the file system cannot hold unnamed files (forced here), an interrupt in the middle
// of a conversion gives up the file in flight, takes its hidden file with it and ends the run
// with its summary; a second interrupt ends it at once, as the signal means to.
TEST(Batch, InterruptWhileAHiddenFileIsWrittenEndsTheRunAndLeavesNothing) {
  ScratchDir dir;
  fs::create_directories(dir.file("out"));
  write_large_song(dir.file("big.qxprj"));
  fs::copy_file(dir.file("big.qxprj"), dir.file("big2.qxprj"));
  struct Case {
    int sig;
    const char* target;
    int then;  // a second signal (two of one kind may arrive as one)
  };
  for (const Case& c :
       {Case{SIGINT, "1", 0}, Case{SIGTERM, "wav", 0}, Case{SIGINT, "1", SIGTERM}}) {
    SCOPED_TRACE(std::string(c.target) + (c.then ? " twice" : ""));
    StartedProgram s = start_tarvenox(
        dir.path(), {"-j", "1", "-t", c.target, "-o", "out", "big.qxprj", "big2.qxprj"},
        [] { setenv("TARVENOX_TEST_NO_TMPFILE", "1", 1); });
    ASSERT_GT(s.pid, 0);
    EXPECT_TRUE(hidden_file_appears(dir.file("out"), 5000));
    kill(s.pid, c.sig);
    if (c.then) kill(s.pid, c.then);
    const ProgramRun r = finish_tarvenox(s, 5000);
    if (c.then) {
      // Threads may take the two in either order: the second of them ends it.
      EXPECT_TRUE(r.signal == c.sig || r.signal == c.then) << r.status << " " << r.out;
    } else {
      EXPECT_EQ(r.status, 128 + c.sig) << r.out;
      EXPECT_EQ(r.out, "interrupted: converted 0 of 2, 0 failed, 2 not converted\n");
    }
    EXPECT_TRUE(tree(dir.file("out")).empty());
  }
}

// Where a file system cannot hold unnamed files, a hidden name stands in; it never stays.
TEST(StagedFile, HiddenNameWayLeavesOnlyTheNamedFile) {
  ScratchDir dir;
  put_file(dir.file("taken"), "mine");
  {
    StagedFile s;
    ASSERT_TRUE(staged_open(s, dir.path(), false));
    ASSERT_FALSE(s.temp_path.empty());
    std::fputs("data", s.file);
    EXPECT_EQ(staged_publish(s, dir.file("taken")), PUBLISH_TAKEN);
    EXPECT_EQ(staged_publish(s, dir.file("mine")), PUBLISH_DONE);
  }
  EXPECT_TRUE(tree(dir.path()) ==
              (std::map<std::string, std::vector<uint8_t>>{{"taken", {'m', 'i', 'n', 'e'}},
                                                           {"mine", {'d', 'a', 't', 'a'}}}));
  // A signal ending the program takes the hidden file with it.
  const pid_t pid = fork();
  if (pid == 0) {
    StagedFile s;
    if (!staged_open(s, dir.path(), false)) _exit(3);
    raise(SIGTERM);
    _exit(4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(tree(dir.path()).size(), 2u);
}

// A folder of files is named whole, under a name nothing stands at, or not at all; a signal
// while its files are named in the hidden folder takes the folder with them.
TEST(StagedFolder, NamedWholeUnderAFreeNameOrNotAtAll) {
  ScratchDir dir;
  fs::create_directories(dir.file("taken"));
  const auto before = tree(dir.path());
  for (const bool named : {false, true}) {
    StagedFolder s;
    staged_folder_open(s, dir.path());
    for (const char* name : {"a.wav", "b.wav"}) {
      FILE* f = staged_folder_create(s, name);
      ASSERT_NE(f, nullptr);
      std::fputs(name, f);
      ASSERT_TRUE(staged_folder_finish_file(s));
    }
    if (!named) continue;  // given up before its name: nothing stays
    EXPECT_TRUE(tree(dir.path()) == before);
    EXPECT_EQ(staged_folder_publish(s, dir.file("taken")), PUBLISH_TAKEN);
    EXPECT_EQ(staged_folder_publish(s, dir.file("mine")), PUBLISH_DONE);
  }
  auto want = before;
  want["mine"] = {};
  want["mine/a.wav"] = {'a', '.', 'w', 'a', 'v'};
  want["mine/b.wav"] = {'b', '.', 'w', 'a', 'v'};
  EXPECT_TRUE(tree(dir.path()) == want);
  const pid_t pid = fork();
  if (pid == 0) {
    std::string hidden;
    if (!hidden_folder_make(dir.path(), &hidden)) _exit(3);
    for (int i = 0; i < 300; ++i) {
      FILE* f = std::fopen((hidden + "/" + std::to_string(i) + ".wav").c_str(), "wb");
      if (!f) _exit(4);
      std::fclose(f);
    }
    raise(SIGTERM);
    _exit(5);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(tree(dir.path()) == want);
}
