// Hidden output folders over Linux calls: renamed with RENAME_NOREPLACE, which never
// replaces a name; where the file system lacks it, the name is first claimed by an empty
// folder of our own, which a rename may replace. A signal removes a hidden folder on the
// way out (platform/posix/exit_signals.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/common/hidden_files.h"
#include "platform/posix/exit_signals.h"
#include "platform/staged_folder.h"

namespace {

int rename_noreplace(const char* from, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
  constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
  return static_cast<int>(
      syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE_FLAG));
#else
  // The browser's file system: no such call, the claimed name is used instead.
  (void)from;
  (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

bool hidden_folder_make(const std::string& folder, std::string* path) {
  exit_signals_install();
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = folder + "/" + hidden_file_name(static_cast<uint32_t>(random()));
    struct stat st;
    if (lstat(path->c_str(), &st) == 0) continue;
    // Registered before it is made, as the hidden files are.
    if (!hidden_register(*path)) return false;
    if (mkdir(path->c_str(), 0777) == 0) return true;
    const int mkdir_errno = errno;
    hidden_unregister(*path);
    if (mkdir_errno != EEXIST) return false;
  }
  return false;
}

PublishResult folder_rename(const std::string& from, const std::string& to) {
  if (rename_noreplace(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return PUBLISH_TAKEN;
    if (errno != ENOSYS && errno != EINVAL) return PUBLISH_FAILED;
    if (mkdir(to.c_str(), 0777) != 0) return errno == EEXIST ? PUBLISH_TAKEN : PUBLISH_FAILED;
    if (rename(from.c_str(), to.c_str()) != 0) {
      rmdir(to.c_str());
      return PUBLISH_FAILED;
    }
  }
  hidden_unregister(from);
  return PUBLISH_DONE;
}

void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names) {
  for (const std::string& name : names) unlink((path + "/" + name).c_str());
  rmdir(path.c_str());
  hidden_unregister(path);
}
