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

// Room for a folder of 100 woice files in each of several jobs at once; untouched slots
// cost no memory.
constexpr int HIDDEN_SLOTS = 1024;
constexpr size_t HIDDEN_PATH_MAX = 4096;
struct HiddenSlot {
  std::atomic<bool> used{false};
  char path[HIDDEN_PATH_MAX];
};
// Reached from a signal handler, which can see nothing but file-scope data.
HiddenSlot hidden_slots[HIDDEN_SLOTS];
std::mutex hidden_mutex;

}  // namespace

bool hidden_register(const std::string& path) {
  if (path.size() >= HIDDEN_PATH_MAX) return false;
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return true;
  }
  return false;
}

void hidden_unregister(const std::string& path) {
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load() && path == slot.path) slot.used.store(false);
  }
}

void hidden_remove_all(void (*remove)(const char* path)) {
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load()) remove(slot.path);
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
