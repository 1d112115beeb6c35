// Staged output over Linux calls: O_TMPFILE and linkat, which never replaces a name; where
// the file system lacks O_TMPFILE, a hidden name, link and unlink, with the hidden files
// removed on the way out by a signal.
#include "platform/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/common/hidden_files.h"

namespace {

// What a signal interrupted, to be handed the signal after the clean-up.
struct sigaction previous_actions[NSIG];
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t STAGED_BUFFER = 1 << 18;

void on_cleanup_signal(int sig) {
  hidden_remove_all([](const char* path) { unlink(path); });
  const struct sigaction& prev = previous_actions[sig];
  if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
    return;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_cleanup_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int sig : CLEANUP_SIGNALS) {
      struct sigaction sa {};
      sa.sa_handler = on_cleanup_signal;
      sigemptyset(&sa.sa_mask);
      sigaction(sig, &sa, &previous_actions[sig]);
    }
  });
}

// TARVENOX_TEST_NO_TMPFILE=1 in the environment makes the program take the hidden-name way
// as on a file system without O_TMPFILE, so that the tests can run it on that way whole.
bool unnamed_files_refused_for_tests() {
  static const bool refused = [] {
    const char* value = std::getenv("TARVENOX_TEST_NO_TMPFILE");
    return value && std::string(value) == "1";
  }();
  return refused;
}

int open_hidden(const std::string& folder, std::string* path) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = folder + "/" + hidden_file_name(static_cast<uint32_t>(random()));
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

StagedFile::~StagedFile() {
  staged_discard(*this);
}

bool staged_open(StagedFile& s, const std::string& folder, bool allow_unnamed) {
  staged_discard(s);
  const std::string dir = folder.empty() ? std::string(".") : folder;
  int fd = -1;
  if (unnamed_files_refused_for_tests()) allow_unnamed = false;
  if (allow_unnamed) fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  // Not every file system can hold a file without a name.
  if (fd < 0 && (!allow_unnamed || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string hidden;
    install_cleanup_handlers();
    fd = open_hidden(dir, &hidden);
    if (fd >= 0) {
      s.temp_path = hidden;
      // Too many at once to clean up after a signal: better no output than a stray file.
      if (!hidden_register(hidden)) {
        close(fd);
        unlink(hidden.c_str());
        s.temp_path.clear();
        fd = -1;
      }
    }
  }
  if (fd < 0) return false;
  s.fd = fd;
  s.file = fdopen(fd, "wb");
  if (!s.file) {
    staged_discard(s);
    return false;
  }
  // Event chunks are written a few bytes at a time: a large buffer keeps that to few calls.
  s.buffer = std::make_unique<char[]>(STAGED_BUFFER);
  std::setvbuf(s.file, s.buffer.get(), _IOFBF, STAGED_BUFFER);
  return true;
}

bool staged_finish(StagedFile& s) {
  if (!s.file) return s.fd >= 0;
  // Whole before it is named. Not synced to the disk: that guards only against a machine
  // that stops, and would make every conversion wait for the disk.
  const bool ok = std::fflush(s.file) == 0 && !std::ferror(s.file);
  // The descriptor stays open: an unnamed file lives only as long as it does.
  s.fd = dup(s.fd);
  std::fclose(s.file);
  s.file = nullptr;
  return ok && s.fd >= 0;
}

PublishResult staged_publish(StagedFile& s, const std::string& path) {
  if (s.fd < 0 || !staged_finish(s)) return PUBLISH_FAILED;
  int rc;
  if (s.temp_path.empty()) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", s.fd);
    rc = linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT) {
      // Without /proc; allowed only to privileged processes.
      rc = linkat(s.fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
    }
  } else {
    rc = link(s.temp_path.c_str(), path.c_str());
  }
  if (rc != 0) return errno == EEXIST ? PUBLISH_TAKEN : PUBLISH_FAILED;
  return PUBLISH_DONE;
}

void staged_discard(StagedFile& s) {
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
    s.fd = -1;
  } else if (s.fd >= 0) {
    close(s.fd);
    s.fd = -1;
  }
  if (!s.temp_path.empty()) {
    unlink(s.temp_path.c_str());
    hidden_unregister(s.temp_path);
    s.temp_path.clear();
  }
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}
