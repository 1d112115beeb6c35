// The registry of hidden output names, in fixed slots a signal handler can walk.
#include "platform/common/hidden_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/paths.h"

namespace {

// Room for a folder of 100 woice files in each of several jobs at once. Both arrays are set
// up at compile time, all zero, and the flags lie together: a walk over them touches one page,
// and the paths cost memory only once used.
constexpr int HIDDEN_SLOTS = 1024;
constexpr size_t HIDDEN_PATH_MAX = 4096;
// Reached from a signal handler, which can see nothing but file-scope data.
std::atomic<bool> hidden_used[HIDDEN_SLOTS] = {};
char hidden_paths[HIDDEN_SLOTS][HIDDEN_PATH_MAX] = {};
std::mutex hidden_mutex;

}  // namespace

bool hidden_register(const std::string& path) {
  if (path.size() >= HIDDEN_PATH_MAX) return false;
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (int i = 0; i < HIDDEN_SLOTS; ++i) {
    if (hidden_used[i].load()) continue;
    std::memcpy(hidden_paths[i], path.c_str(), path.size() + 1);
    hidden_used[i].store(true);
    return true;
  }
  return false;
}

void hidden_unregister(const std::string& path) {
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (int i = 0; i < HIDDEN_SLOTS; ++i) {
    if (hidden_used[i].load() && path == hidden_paths[i]) hidden_used[i].store(false);
  }
}

void hidden_remove_all(void (*remove)(const char* path)) {
  for (int i = 0; i < HIDDEN_SLOTS; ++i) {
    if (hidden_used[i].load()) remove(hidden_paths[i]);
  }
}

std::string hidden_file_name(uint32_t random) {
  char name[32];
  std::snprintf(name, sizeof name, ".tarvenox-%08x.tmp", static_cast<unsigned>(random));
  return name;
}

bool hidden_make(const std::string& folder, std::string* path,
                 const std::function<int(const std::string& path)>& make) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = path_join(folder, hidden_file_name(static_cast<uint32_t>(random())));
    // Too many at once to clean up after a signal: better no output than a stray file.
    if (!hidden_register(*path)) {
      errno = EMFILE;
      return false;
    }
    const int failure = make(*path);
    if (failure == 0) return true;
    hidden_unregister(*path);
    errno = failure;
    if (failure != EEXIST) return false;
  }
  return false;
}
