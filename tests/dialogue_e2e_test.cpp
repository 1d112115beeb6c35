// End-to-end runs of the built tarvenox, copied into a temporary folder: typed keys in a
// pseudo-terminal and piped input, checking what the screen receives and the exit code.
// Every wait is bounded; a child that hangs is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/writer_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int WAIT_MS = 5000;

const std::string BANNER =
    "*** Tarvenox - by Pell Vantrey ***\n\n"
    "Type a path, or drag & drop a QXPRJ, QXTUNE or QXI file, then press Enter:\n>";
const std::string MENU =
    "\n\nChoose what format to convert:\n"
    "[ 1]: x1x, only PCM ver -> v01NN (06/03/2005) | [ 7]: x5x, no OGGv ver -> v0891 (04/07/2008)\n"
    "[ 2]: x1x, OLD qxVoice  -> v0128 (08/26/2005) | [ 8]: x5x, OLD qxNoise -> v0923 (04/23/2012)\n"
    "[ 3]: x2x, MID qxVoice  -> v05NN (11/01/2005) | [ 9]: x5x, NEW qxNoise -> v09NN (present)   \n"
    "[ 4]: x2x, NEW qxVoice  -> v06NN (01/15/2006) | [10]: qxi              -> v0915 (06/12/2011)\n"
    "[ 5]: x3x               -> v071N (09/30/2006) | [11]: qxi, txt output  -> v0915             \n"
    "[ 6]: x4x               -> v0834 (10/20/2007)\n"
    "\n>";
const std::string TITLE = "\x1b[22;0t\x1b]0;Tarvenox\a";
const std::string CANCELLED = "\n\nOperation cancelled!\n\nPress any key to exit...";
const std::string NOT_FOUND =
    "\n\n<< Error reading file: File not found! >>\n\nPress any key to exit...";
const std::string INVALID =
    "\n\n<< Error converting file: Invalid format! >>\n\nPress any key to exit...";
const std::string TITLE_BACK = "\x1b[23;0t";
// What a terminal receives at the end: a line break after the key wait, the title put back.
const std::string END = "\r\n" + TITLE_BACK;
const fs::path DEMO = fs::path(TARVENOX_SOURCE_DIR) / "examples" / "demo.qxprj";

// What a terminal receives for text: line breaks become CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

long now_ms() {
  using namespace std::chrono;
  return static_cast<long>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void write_file(const fs::path& path, const std::string& body) {
  std::ofstream(path, std::ios::binary) << body;
}

// A temporary program folder holding a copy of tarvenox, and a separate working folder.
class TempFolders {
 public:
  TempFolders() {
    char pattern[] = "/tmp/tarvenox_e2e_XXXXXX";
    root_ = mkdtemp(pattern);
    program_dir = root_ / "program";
    work_dir = root_ / "work";
    fs::create_directories(program_dir);
    fs::create_directories(work_dir);
    exe = program_dir / "tarvenox";
    fs::copy_file(TARVENOX_EXE, exe);
    fs::permissions(exe, fs::perms::owner_all);
  }
  ~TempFolders() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path program_dir, work_dir, exe;

 private:
  fs::path root_;
};

// Waits for the child to end; kills it when it does not within the limit. Returns the
// wait status, or -1 after a kill.
int wait_child(pid_t pid, int limit_ms) {
  long deadline = now_ms() + limit_ms;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    if (now_ms() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    poll(nullptr, 0, 10);
  }
}

std::vector<char*> make_argv(const fs::path& exe, std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// tarvenox running in a pseudo-terminal.
class PtyRun {
 public:
  // `env`: one more "NAME=VALUE" for the child's environment.
  PtyRun(const TempFolders& dirs, std::vector<std::string> args, int columns = 200,
         const char* env = nullptr) {
    struct winsize ws {};
    ws.ws_row = 40;
    ws.ws_col = static_cast<unsigned short>(columns);
    std::vector<char*> argv = make_argv(dirs.exe, args);
    pid_ = forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      if (chdir(dirs.work_dir.c_str()) != 0) _exit(126);
      if (env) putenv(const_cast<char*>(env));
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~PtyRun() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0 && master_ >= 0; }

  // Reads until the output ends with `text`; false when it does not within the limit.
  bool read_until(const std::string& text) {
    long deadline = now_ms() + WAIT_MS;
    while (!output.ends_with(text)) {
      long left = deadline - now_ms();
      if (left <= 0 || !read_some(static_cast<int>(left))) return false;
    }
    return true;
  }
  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  pid_t pid() const { return pid_; }
  bool still_running() { return waitpid(pid_, nullptr, WNOHANG) == 0; }
  // Waits for the child to end, reading its output meanwhile, then takes what is left.
  int finish() {
    long deadline = now_ms() + WAIT_MS;
    int status = -1;
    while (now_ms() < deadline && waitpid(pid_, &status, WNOHANG) != pid_) {
      status = -1;
      read_some(10);
    }
    if (status == -1) status = wait_child(pid_, 0);
    ended_ = true;
    while (read_some(100)) {
    }
    return status;
  }
  struct termios terminal_mode() {
    struct termios t {};
    tcgetattr(master_, &t);
    return t;
  }
  std::string output;

 private:
  // Appends what arrives within timeout_ms; false when nothing came or the terminal closed.
  bool read_some(int timeout_ms) {
    struct pollfd pfd {
      master_, POLLIN, 0
    };
    if (poll(&pfd, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return false;
    output.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  bool ended_ = false;
};

struct PipeResult {
  std::string out;
  std::string err;
  int status = -1;
};

// Runs tarvenox with `input` on a pipe as its standard input. With close_stdout its
// standard output is closed.
PipeResult run_piped(const TempFolders& dirs, const std::string& input,
                     std::vector<std::string> args = {}, bool close_stdout = false) {
  PipeResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  std::vector<char*> argv = make_argv(dirs.exe, args);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (close_stdout) close(1);
    if (chdir(dirs.work_dir.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    [[maybe_unused]] ssize_t n = write(in[1], input.data(), input.size());
  }
  close(in[1]);
  long deadline = now_ms() + WAIT_MS;
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && now_ms() < deadline) {
    struct pollfd pfd[2] = {{out_open ? out[0] : -1, POLLIN, 0},
                            {err_open ? err[0] : -1, POLLIN, 0}};
    if (poll(pfd, 2, 100) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(pfd[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = read(pfd[i].fd, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(out[0]);
  close(err[0]);
  result.status = wait_child(pid, 1000);
  return result;
}

bool exited_with(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(DialogueEndToEnd, BannerMenuAndEscAtTheMenu) {
  TempFolders dirs;
  PtyRun run(dirs, {});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(BANNER))) << run.output;
  EXPECT_EQ(run.output, TITLE + crlf(BANNER));
  struct termios raw = run.terminal_mode();
  EXPECT_FALSE(raw.c_lflag & ICANON);
  EXPECT_FALSE(raw.c_lflag & ECHO);

  run.type("x\r");
  ASSERT_TRUE(run.read_until(crlf(MENU))) << run.output;
  EXPECT_EQ(run.output, TITLE + crlf(BANNER) + "x" + crlf(MENU));

  run.type("\x1b");
  ASSERT_TRUE(run.read_until(crlf(CANCELLED))) << run.output;
  EXPECT_EQ(run.output, TITLE + crlf(BANNER) + "x" + crlf(MENU) + crlf(CANCELLED));
  EXPECT_TRUE(run.still_running());  // waiting for the key

  run.type("q");
  EXPECT_TRUE(exited_with(run.finish(), 0));
  struct termios restored = run.terminal_mode();
  EXPECT_TRUE(restored.c_lflag & ICANON);
  EXPECT_TRUE(restored.c_lflag & ECHO);
}

TEST(DialogueEndToEnd, EscAtThePathPromptAndAnyKeyEnds) {
  TempFolders dirs;
  PtyRun run(dirs, {});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(BANNER)));
  run.type("\x1b");
  ASSERT_TRUE(run.read_until(crlf(CANCELLED))) << run.output;
  EXPECT_EQ(run.output, TITLE + crlf(BANNER) + crlf(CANCELLED));
  EXPECT_TRUE(run.still_running());
  run.type("\x1b[A");  // a cursor key is a key too
  EXPECT_TRUE(exited_with(run.finish(), 0));
}

TEST(DialogueEndToEnd, EditingKeysAtBothPrompts) {
  TempFolders dirs;
  PtyRun run(dirs, {});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(BANNER)));
  // Enter and Backspace on an empty line do nothing; a cursor key, a double quote and an
  // accent with no letter to stand on are ignored; Backspace erases one character, a wide
  // one from both its cells.
  run.type(
      "\r\x7f\x1b[D\xcc\x81"
      "a\"b\x7f");
  run.type("c\xc3\xa9\xe4\xb8\xad\x7f\x7f\r");
  ASSERT_TRUE(run.read_until(crlf(MENU))) << run.output;
  EXPECT_EQ(run.output,
            TITLE + crlf(BANNER) + "ab\b \bc\xc3\xa9\xe4\xb8\xad\b \b\b \b\b \b" + crlf(MENU));

  // The number prompt takes digit keys only (a shifted digit key too), and two of them.
  run.output.clear();
  run.type("x!\x08");
  run.type("123\r");
  ASSERT_TRUE(run.read_until(crlf(NOT_FOUND))) << run.output;
  EXPECT_EQ(run.output, "!\b \b12" + crlf(NOT_FOUND));
  run.type(" ");
  EXPECT_TRUE(exited_with(run.finish(), 0));
}

TEST(DialogueEndToEnd, BackspaceAcrossAWrappedLine) {
  TempFolders dirs;
  PtyRun run(dirs, {}, 20);
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(BANNER)));
  run.output.clear();
  // ">" and 19 characters fill the row; "t" starts the next one.
  run.type("abcdefghijklmnopqrst\x7f\x7f\x7f");
  run.type("rs\x7f");
  const std::string expected = std::string("abcdefghijklmnopqrst") + "\b \b" +
                               "\x1b[A\x1b[20G \x1b[20G" + "\b \b" + "rs" + "\x1b[20G \x1b[20G";
  ASSERT_TRUE(run.read_until(expected)) << run.output;
  EXPECT_EQ(run.output, expected);
  run.type("\x1b");
  ASSERT_TRUE(run.read_until(crlf(CANCELLED)));
  run.type("\r");
  EXPECT_TRUE(exited_with(run.finish(), 0));
}

// Types a path and the number 0, returns what followed the banner.
std::string convert_typed(const TempFolders& dirs, const std::string& path, int* status) {
  PtyRun run(dirs, {});
  if (!run.started() || !run.read_until(crlf(BANNER))) return "no banner";
  run.output.clear();
  run.type(path + "\r");
  if (!run.read_until(crlf(MENU))) return "no menu: " + run.output;
  run.type("0\r");
  if (!run.read_until("Press any key to exit...")) return "no key wait: " + run.output;
  run.type("k");
  *status = run.finish();
  return run.output;
}

TEST(DialogueEndToEnd, BareNameIsLookedUpInTheProgramFolder) {
  TempFolders dirs;
  write_file(dirs.program_dir / "song.qxprj", "not a song at all");
  write_file(dirs.work_dir / "other.qxprj", "not a song at all");

  int status = -1;
  std::string out = convert_typed(dirs, "song.qxprj", &status);
  EXPECT_NE(out.find("<< Error"), std::string::npos) << out;
  EXPECT_EQ(out.find("File not found!"), std::string::npos) << out;
  EXPECT_TRUE(exited_with(status, 0));

  // Present in the working folder only: a bare name does not look there...
  out = convert_typed(dirs, "other.qxprj", &status);
  EXPECT_EQ(out, "other.qxprj" + crlf(MENU) + "0" + crlf(NOT_FOUND) + END);
  EXPECT_TRUE(exited_with(status, 0));

  // ...while a path with a folder in it is taken as it is.
  out = convert_typed(dirs, "./other.qxprj", &status);
  EXPECT_EQ(out.find("File not found!"), std::string::npos) << out;
  EXPECT_TRUE(exited_with(status, 0));
}

TEST(DialogueEndToEnd, PathsInTheFormsOfATerminalDrop) {
  TempFolders dirs;
  fs::create_directories(dirs.work_dir / "My Songs");
  fs::copy_file(DEMO, dirs.work_dir / "My Songs" / "song.qxprj");
  const std::string cafe = "caf\xc3\xa9 \xe2\x99\xab.qxprj";
  fs::copy_file(DEMO, dirs.work_dir / cafe);
  const std::string work = dirs.work_dir.string();
  const std::string typed[] = {
      "'" + work + "/My Songs/song.qxprj' ",
      work + "/My\\ Songs/song.qxprj",
      "file://" + work + "/My%20Songs/song.qxprj",
      work + "/" + cafe,
  };
  for (const std::string& path : typed) {
    int status = -1;
    // Loaded, then refused by the writer for the menu number 0.
    EXPECT_EQ(convert_typed(dirs, path, &status), path + crlf(MENU) + "0" + crlf(INVALID) + END);
    EXPECT_TRUE(exited_with(status, 0));
  }
}

TEST(DialogueEndToEnd, ArgumentKeepsItsBackslashesAndMayBeAFileUri) {
  TempFolders dirs;
  fs::copy_file(DEMO, dirs.work_dir / "a\\ b.qxprj");
  for (const std::string& arg :
       {std::string("./a\\ b.qxprj"), "file://" + dirs.work_dir.string() + "/a%5C%20b.qxprj"}) {
    PipeResult r = run_piped(dirs, "0\n", {arg});
    EXPECT_EQ(r.out, BANNER + arg + MENU + "0" + INVALID);
  }
}

TEST(DialogueEndToEnd, PathFromTheCommandLine) {
  TempFolders dirs;
  write_file(dirs.work_dir / "my song.qxprj", "junk");
  // Two arguments are one path with a space.
  std::string first = (dirs.work_dir / "my").string();
  PtyRun run(dirs, {first, "song.qxprj"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(MENU))) << run.output;
  EXPECT_EQ(run.output, TITLE + crlf(BANNER) + first + " song.qxprj" + crlf(MENU));
  run.output.clear();
  run.type("9\r");
  ASSERT_TRUE(run.read_until("Press any key to exit...")) << run.output;
  EXPECT_EQ(run.output.find("File not found!"), std::string::npos) << run.output;
  run.type("k");
  EXPECT_TRUE(exited_with(run.finish(), 0));
}

TEST(DialogueEndToEnd, CtrlCPutsTheTerminalAndTitleBack) {
  TempFolders dirs;
  PtyRun run(dirs, {});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.read_until(crlf(BANNER)));
  run.type("\x03");
  int status = run.finish();
  EXPECT_TRUE(status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_EQ(run.output, TITLE + crlf(BANNER) + TITLE_BACK);
  struct termios restored = run.terminal_mode();
  EXPECT_TRUE(restored.c_lflag & ICANON);
  EXPECT_TRUE(restored.c_lflag & ECHO);
}

// Where the program folder cannot hold unnamed files (forced here), Ctrl-C or a SIGTERM in
// the middle of a conversion ends the program at once with the signal, the terminal and
// title put back and no hidden file left.
TEST(DialogueEndToEnd, SignalWhileAHiddenFileIsWrittenEndsTheProgram) {
  for (int sig : {SIGINT, SIGTERM}) {
    TempFolders dirs;
    const fs::path song = dirs.work_dir / "big.qxprj";
    writer_fixture::write_large_song(song.string());
    PtyRun run(dirs, {}, 200, "TARVENOX_TEST_NO_TMPFILE=1");
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.read_until(crlf(BANNER)));
    run.type(song.string() + "\r");
    ASSERT_TRUE(run.read_until(crlf(MENU))) << run.output;
    run.type("1\r");
    EXPECT_TRUE(hidden_file_appears(dirs.program_dir.string(), WAIT_MS)) << sig;
    if (sig == SIGINT) {
      run.type("\x03");
    } else {
      kill(run.pid(), sig);
    }
    const int status = run.finish();
    EXPECT_TRUE(status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
    EXPECT_TRUE(run.output.ends_with(TITLE_BACK)) << run.output.substr(0, 2000);
    EXPECT_TRUE(run.terminal_mode().c_lflag & ICANON);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dirs.program_dir)) {
      left.push_back(e.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"tarvenox"}) << sig;
  }
}

TEST(DialogueEndToEnd, DrivenThroughAPipe) {
  TempFolders dirs;
  // End of input at the path prompt cancels; no title sequence outside a terminal.
  PipeResult r = run_piped(dirs, "abc");
  EXPECT_EQ(r.out, BANNER + "abc" + CANCELLED);
  EXPECT_TRUE(exited_with(r.status, 0));

  // End of input at the menu cancels too.
  r = run_piped(dirs, "missing.qxprj\n");
  EXPECT_EQ(r.out, BANNER + "missing.qxprj" + MENU + CANCELLED);
  EXPECT_TRUE(exited_with(r.status, 0));

  // A whole run: end of input at the key wait just ends it.
  r = run_piped(dirs, "missing.qxprj\n5\n");
  EXPECT_EQ(r.out, BANNER + "missing.qxprj" + MENU + "5" + NOT_FOUND);
  EXPECT_TRUE(exited_with(r.status, 0));
  EXPECT_EQ(r.err, "");

  r = run_piped(dirs, "\x1b");
  EXPECT_EQ(r.out, BANNER + CANCELLED);

  // A path from the command line cannot send commands to the terminal.
  r = run_piped(dirs, "", {"a\x1b]0;x\ab"});
  EXPECT_EQ(r.out, BANNER + "a?]0;x?b" + MENU + CANCELLED);
}

TEST(DialogueEndToEnd, StartUpFailureAndOptions) {
  TempFolders dirs;
  PipeResult r = run_piped(dirs, "", {}, true);
  EXPECT_EQ(r.err, "Error: Open CONOUT\n");
  EXPECT_TRUE(exited_with(r.status, 1));

  r = run_piped(dirs, "", {"--version"});
  EXPECT_NE(r.out.find("tarvenox"), std::string::npos);
  EXPECT_TRUE(exited_with(r.status, 0));
  r = run_piped(dirs, "", {"--help"});
  EXPECT_NE(r.out.find("FILE"), std::string::npos);
  EXPECT_TRUE(exited_with(r.status, 0));
}

}  // namespace
