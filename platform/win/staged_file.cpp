// Staged output over Windows calls: the bytes go into a hidden file of a random name in the
// destination folder, created only where no file stands, and the complete file is moved to
// its name with MoveFileExA, which without MOVEFILE_REPLACE_EXISTING never replaces one.
// The hidden files are deleted on the way out by a console control event (Ctrl+C, the
// console window closed).
#include "platform/staged_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/paths.h"

namespace {

// Hidden files that must go when a console event ends the program. The handler runs on a
// thread of its own while the program's threads go on: fixed slots, no allocation.
constexpr int HIDDEN_SLOTS = 64;
struct HiddenSlot {
  std::atomic<bool> used{false};
  char path[MAX_PATH];
};
HiddenSlot hidden_slots[HIDDEN_SLOTS];
std::mutex hidden_mutex;
constexpr size_t STAGED_BUFFER = 1 << 18;

BOOL WINAPI on_console_event(DWORD) {
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load()) DeleteFileA(slot.path);
  }
  return FALSE;  // the event goes on to end the program as it would have
}

void install_cleanup_handler() {
  static std::once_flag once;
  std::call_once(once, [] { SetConsoleCtrlHandler(on_console_event, TRUE); });
}

bool register_hidden(const std::string& path) {
  if (path.size() >= MAX_PATH) return false;
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return true;
  }
  return false;
}

void unregister_hidden(const std::string& path) {
  std::lock_guard<std::mutex> lock(hidden_mutex);
  for (HiddenSlot& slot : hidden_slots) {
    if (slot.used.load() && path == slot.path) slot.used.store(false);
  }
}

HANDLE create_hidden(const std::string& folder, std::string* path) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".tarvenox-%08x.tmp", static_cast<unsigned>(random()));
    *path = path_join(folder, name);
    HANDLE h = CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

StagedFile::~StagedFile() {
  staged_discard(*this);
}

bool staged_open(StagedFile& s, const std::string& folder, bool) {
  staged_discard(s);
  install_cleanup_handler();
  std::string hidden;
  HANDLE h = create_hidden(folder.empty() ? std::string(".") : folder, &hidden);
  if (h == INVALID_HANDLE_VALUE) return false;
  s.temp_path = hidden;
  // Too many at once to clean up after an event: better no output than a stray file.
  const int fd = register_hidden(hidden)
                     ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY)
                     : -1;
  if (fd < 0) {
    CloseHandle(h);
    staged_discard(s);
    return false;
  }
  s.file = _fdopen(fd, "wb");
  if (!s.file) {
    _close(fd);
    staged_discard(s);
    return false;
  }
  // Event chunks are written a few bytes at a time: a large buffer keeps that to few calls.
  s.buffer = std::make_unique<char[]>(STAGED_BUFFER);
  std::setvbuf(s.file, s.buffer.get(), _IOFBF, STAGED_BUFFER);
  return true;
}

bool staged_finish(StagedFile& s) {
  if (!s.file) return s.whole;
  // Whole before it is named. Not flushed to the disk: that guards only against a machine
  // that stops, and would make every conversion wait for the disk.
  bool ok = std::fflush(s.file) == 0 && !std::ferror(s.file);
  ok = std::fclose(s.file) == 0 && ok;
  s.file = nullptr;
  s.whole = ok;
  return ok;
}

PublishResult staged_publish(StagedFile& s, const std::string& path) {
  if (s.temp_path.empty() || !staged_finish(s)) return PUBLISH_FAILED;
  // The output is an ordinary file once named.
  SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(s.temp_path.c_str(), path.c_str(), 0)) {
    const DWORD error = GetLastError();
    SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PUBLISH_TAKEN
                                                                       : PUBLISH_FAILED;
  }
  unregister_hidden(s.temp_path);
  s.temp_path.clear();
  return PUBLISH_DONE;
}

void staged_discard(StagedFile& s) {
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
  }
  s.whole = false;
  if (!s.temp_path.empty()) {
    DeleteFileA(s.temp_path.c_str());
    unregister_hidden(s.temp_path);
    s.temp_path.clear();
  }
}

std::string folder_of(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    // "C:name" lies in the current folder of drive C.
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string();
  }
  // The root of a drive keeps its separator: "C:\name" lies in "C:\", not in "C:".
  if (separator == 0 || (separator == 2 && path[1] == ':')) return path.substr(0, separator + 1);
  return path.substr(0, separator);
}
