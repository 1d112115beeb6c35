// Staged output over Linux calls: O_TMPFILE and linkat, which never replaces a name; where
// the file system lacks O_TMPFILE, a hidden name, link and unlink, with the hidden files
// removed on the way out by a signal (platform/posix/exit_signals.h). A replacing name is
// given with rename(2) from a hidden name, which swaps the files in one step.
#include "platform/staged_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/common/hidden_files.h"
#include "platform/posix/exit_signals.h"

struct StagedFileState {
  // Open from staged_open to staged_discard, past the stream's closing: an unnamed file
  // lives only as long as a descriptor of it.
  int fd = -1;
};

namespace {

constexpr size_t STAGED_BUFFER = 1 << 16;

// TARVENOX_TEST_NO_TMPFILE=1 in the environment makes the program take the hidden-name way
// as on a file system without O_TMPFILE, so that the tests can run it on that way whole.
bool unnamed_files_refused_for_tests() {
  static const bool refused = [] {
    const char* value = std::getenv("TARVENOX_TEST_NO_TMPFILE");
    return value && std::string(value) == "1";
  }();
  return refused;
}

// Creates a hidden file, registered for the signal handler.
int open_hidden(const std::string& folder, std::string* path) {
  int fd = -1;
  hidden_make(folder, path, [&](const std::string& p) {
    fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return fd >= 0 ? 0 : errno;
  });
  return fd;
}

// Gives the open file `fd` the name `path`, which it never replaces.
int link_descriptor(int fd, const std::string& path) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  const int rc = linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
  if (rc == 0 || errno != ENOENT) return rc;
  // Without /proc; allowed only to privileged processes.
  return linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
}

// Gives the unnamed file `fd` a hidden name in `folder`, registered as open_hidden does.
// Returns false with errno set.
bool link_hidden(int fd, const std::string& folder, std::string* path) {
  exit_signals_install();
  return hidden_make(folder, path,
                     [&](const std::string& p) { return link_descriptor(fd, p) == 0 ? 0 : errno; });
}

}  // namespace

StagedFile::StagedFile() : state(std::make_unique<StagedFileState>()) {}

StagedFile::~StagedFile() {
  staged_discard(*this);
}

bool staged_open(StagedFile& s, const std::string& folder, bool allow_unnamed) {
  staged_discard(s);
  const std::string dir = folder.empty() ? std::string(".") : folder;
  int fd = -1;
  s.error = 0;
  if (unnamed_files_refused_for_tests()) allow_unnamed = false;
  if (allow_unnamed) fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  // Not every file system can hold a file without a name.
  if (fd < 0 && (!allow_unnamed || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string hidden;
    exit_signals_install();
    fd = open_hidden(dir, &hidden);
    if (fd >= 0) s.temp_path = hidden;
  }
  if (fd < 0) {
    s.error = errno;
    return false;
  }
  s.state->fd = fd;
  s.file = fdopen(fd, "wb");
  if (!s.file) {
    const int fdopen_errno = errno;
    staged_discard(s);
    s.error = fdopen_errno;
    return false;
  }
  // Event chunks are written a few bytes at a time: a large buffer keeps that to few calls.
  s.buffer = std::unique_ptr<char[]>(new char[STAGED_BUFFER]);  // not zeroed: the stream fills it
  std::setvbuf(s.file, s.buffer.get(), _IOFBF, STAGED_BUFFER);
  return true;
}

bool staged_finish(StagedFile& s) {
  if (!s.file) return s.state->fd >= 0;
  // Whole before it is named. Not synced to the disk: that guards only against a machine
  // that stops, and would make every conversion wait for the disk.
  const bool ok = std::fflush(s.file) == 0 && !std::ferror(s.file);
  if (!ok) s.error = errno;
  // The descriptor stays open: an unnamed file lives only as long as it does.
  s.state->fd = dup(s.state->fd);
  if (s.state->fd < 0 && ok) s.error = errno;
  std::fclose(s.file);
  s.file = nullptr;
  s.buffer.reset();  // a folder keeps many finished files until it is named
  return ok && s.state->fd >= 0;
}

PublishResult staged_publish(StagedFile& s, const std::string& path) {
  if (s.state->fd < 0 || !staged_finish(s)) return PUBLISH_FAILED;
  const int rc = s.temp_path.empty() ? link_descriptor(s.state->fd, path)
                                     : link(s.temp_path.c_str(), path.c_str());
  if (rc != 0) {
    if (errno == EEXIST) return PUBLISH_TAKEN;
    s.error = errno;
    return PUBLISH_FAILED;
  }
  return PUBLISH_DONE;
}

bool staged_replace(StagedFile& s, const std::string& path) {
  if (s.state->fd < 0 || !staged_finish(s)) return false;
  // rename(2) replaces in one step, but only a file with a name can be renamed.
  std::string hidden = s.temp_path;
  if (hidden.empty() &&
      !link_hidden(s.state->fd, folder_of(path).empty() ? "." : folder_of(path), &hidden)) {
    s.error = errno;
    return false;
  }
  if (rename(hidden.c_str(), path.c_str()) != 0) {
    s.error = errno;
    // A hidden name of our own making goes; the staged file's own stays until it is discarded.
    if (hidden != s.temp_path) {
      unlink(hidden.c_str());
      hidden_unregister(hidden);
    }
    return false;
  }
  hidden_unregister(hidden);
  s.temp_path.clear();
  return true;
}

void staged_discard(StagedFile& s) {
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
    s.state->fd = -1;
  } else if (s.state->fd >= 0) {
    close(s.state->fd);
    s.state->fd = -1;
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
