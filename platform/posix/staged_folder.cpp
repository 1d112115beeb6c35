// Staged output folders over Linux calls: a hidden folder, renamed with RENAME_NOREPLACE,
// which never replaces a name; where the file system lacks it, the name is first claimed
// by an empty folder of our own, which a rename may replace. The hidden folder is removed
// on the way out by a signal (platform/posix/exit_signals.h).
#include "platform/staged_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/common/hidden_files.h"
#include "platform/posix/exit_signals.h"

namespace {

// Builds for systems without renameat2 (the browser build among them) take the fallback.
int rename_noreplace([[maybe_unused]] const char* from, [[maybe_unused]] const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
  constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
  return static_cast<int>(
      syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE_FLAG));
#else
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

bool staged_folder_open(StagedFolder& s, const std::string& folder) {
  staged_folder_discard(s);
  exit_signals_install();
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = dir + "/" + hidden_file_name(static_cast<uint32_t>(random()));
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) continue;
    // Registered before it is made, as the hidden files are (staged_file.cpp).
    if (!hidden_register(path)) return false;
    if (mkdir(path.c_str(), 0777) == 0) {
      s.temp_path = path;
      return true;
    }
    const int mkdir_errno = errno;
    hidden_unregister(path);
    if (mkdir_errno != EEXIST) return false;
  }
  return false;
}

FILE* staged_folder_create(StagedFolder& s, const std::string& name) {
  if (s.temp_path.empty()) return nullptr;
  const int fd = open((s.temp_path + "/" + name).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return nullptr;
  s.files.push_back(name);
  FILE* f = fdopen(fd, "wb");
  if (!f) close(fd);
  return f;
}

PublishResult staged_folder_publish(StagedFolder& s, const std::string& path) {
  if (s.temp_path.empty()) return PUBLISH_FAILED;
  if (rename_noreplace(s.temp_path.c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) return PUBLISH_TAKEN;
    if (errno != ENOSYS && errno != EINVAL) return PUBLISH_FAILED;
    if (mkdir(path.c_str(), 0777) != 0) return errno == EEXIST ? PUBLISH_TAKEN : PUBLISH_FAILED;
    if (rename(s.temp_path.c_str(), path.c_str()) != 0) {
      rmdir(path.c_str());
      return PUBLISH_FAILED;
    }
  }
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  s.files.clear();
  return PUBLISH_DONE;
}

void staged_folder_discard(StagedFolder& s) {
  if (s.temp_path.empty()) return;
  for (const std::string& name : s.files) unlink((s.temp_path + "/" + name).c_str());
  rmdir(s.temp_path.c_str());
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  s.files.clear();
}
