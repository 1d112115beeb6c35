// Hidden output folders over Linux calls: renamed with RENAME_NOREPLACE, which never
// replaces a name; where the file system lacks it, the name is first claimed by an empty
// folder of our own, which a rename may replace. A folder that replaces another is exchanged
// with it by RENAME_EXCHANGE, or where that is lacking the old is renamed aside first. A
// signal removes a hidden folder on the way out (platform/posix/exit_signals.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include "platform/common/hidden_files.h"
#include "platform/paths.h"
#include "platform/posix/exit_signals.h"
#include "platform/staged_folder.h"

namespace {

constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
constexpr unsigned RENAME_EXCHANGE_FLAG = 2;

int rename_with_flag(const char* from, const char* to, unsigned flag) {
#if defined(__linux__) && defined(SYS_renameat2)
  return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flag));
#else
  (void)from, (void)to, (void)flag;
  errno = ENOSYS;
  return -1;
#endif
}

int rename_noreplace(const char* from, const char* to) {
  return rename_with_flag(from, to, RENAME_NOREPLACE_FLAG);
}

// A free hidden name in the folder of `beside`.
std::string free_hidden_name(const std::string& beside) {
  const size_t slash = beside.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : beside.substr(0, slash + 1);
  std::random_device seed;
  std::mt19937 random(seed());
  std::string path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = path_join(folder, hidden_file_name(static_cast<uint32_t>(random())));
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) break;
  }
  return path;
}

}  // namespace

bool hidden_folder_make(const std::string& folder, std::string* path) {
  exit_signals_install();
  return hidden_make(folder, path,
                     [](const std::string& p) { return mkdir(p.c_str(), 0777) == 0 ? 0 : errno; });
}

PublishResult folder_rename(const std::string& from, const std::string& to) {
  if (rename_noreplace(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST) return PUBLISH_TAKEN;
    if (errno != ENOSYS && errno != EINVAL) return PUBLISH_FAILED;
    if (mkdir(to.c_str(), 0777) != 0) return errno == EEXIST ? PUBLISH_TAKEN : PUBLISH_FAILED;
    if (rename(from.c_str(), to.c_str()) != 0) {
      const int rename_errno = errno;
      rmdir(to.c_str());
      errno = rename_errno;
      return PUBLISH_FAILED;
    }
  }
  hidden_unregister(from);
  return PUBLISH_DONE;
}

bool folder_swap(const std::string& from, const std::string& to, std::string* old) {
  // TARVENOX_TEST_NO_TMPFILE=1 stands for a file system without the newer calls here too.
  const char* no_tmpfile = std::getenv("TARVENOX_TEST_NO_TMPFILE");
  if (no_tmpfile && std::string(no_tmpfile) == "1") {
    errno = EINVAL;
  } else if (rename_with_flag(from.c_str(), to.c_str(), RENAME_EXCHANGE_FLAG) == 0) {
    // The hidden folder now holds the old one and stays registered: a signal removes it.
    *old = from;
    return true;
  }
  if (errno != ENOSYS && errno != EINVAL) return false;
  // Aside under a hidden name that is not registered: a signal between the two renames
  // leaves the old folder there rather than neither.
  const std::string aside = free_hidden_name(to);
  if (rename(to.c_str(), aside.c_str()) != 0) return false;
  if (rename(from.c_str(), to.c_str()) != 0) {
    const int rename_errno = errno;
    rename(aside.c_str(), to.c_str());
    errno = rename_errno;
    return false;
  }
  hidden_unregister(from);
  *old = aside;
  return true;
}

void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names) {
  for (const std::string& name : names) unlink((path + "/" + name).c_str());
  rmdir(path.c_str());
  hidden_unregister(path);
}
