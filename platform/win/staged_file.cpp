// Staged output over Windows calls: the bytes go into a hidden file of a random name in the
// destination folder, created only where no file stands, and the complete file is moved to
// its name with MoveFileExA, which without MOVEFILE_REPLACE_EXISTING never replaces one (and
// with it, when asked to replace, swaps the files in one step).
// The hidden files are deleted on the way out by a console control event (Ctrl+C, the
// console window closed).
#include "platform/staged_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <random>

#include "platform/common/hidden_files.h"
#include "platform/interrupt.h"
#include "platform/paths.h"
#include "platform/win/windows_errors.h"

struct StagedFileState {
  bool whole = false;  // finished and written out in full
};

namespace {

constexpr size_t STAGED_BUFFER = 1 << 16;

// A hidden output folder (staged_folder.cpp): its files, then itself. The handler runs on
// a thread of its own, where these calls may be made.
void remove_hidden_folder(const char* path) {
  char pattern[MAX_PATH + 3];
  if (std::snprintf(pattern, sizeof pattern, "%s\\*", path) >= static_cast<int>(sizeof pattern)) {
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      char file[MAX_PATH * 2 + 2];
      std::snprintf(file, sizeof file, "%s\\%s", path, found.cFileName);
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA(file);
    } while (FindNextFileA(find, &found));
    FindClose(find);
  }
  RemoveDirectoryA(path);
}

// Set once a run asks for its first interrupt to be recorded; then the signal recorded.
std::atomic<bool> interrupt_deferred{false};
std::atomic<int> interrupt_signal{0};

BOOL WINAPI on_console_event(DWORD event) {
  // A closing console grants only moments: that is never deferred.
  int none = 0;
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && interrupt_deferred &&
      interrupt_signal.compare_exchange_strong(none, SIGINT)) {
    return TRUE;
  }
  hidden_remove_all([](const char* path) {
    if (!DeleteFileA(path)) remove_hidden_folder(path);
  });
  return FALSE;  // the event goes on to end the program as it would have
}

}  // namespace

void staged_cleanup_install() {
  static std::once_flag once;
  std::call_once(once, [] { SetConsoleCtrlHandler(on_console_event, TRUE); });
}

void interrupt_defer() {
  interrupt_deferred = true;
  staged_cleanup_install();
}

int interrupt_received() {
  return interrupt_signal;
}

namespace {

HANDLE create_hidden(const std::string& folder, std::string* path) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = path_join(folder, hidden_file_name(static_cast<uint32_t>(random())));
    HANDLE h = CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

StagedFile::StagedFile() : state(std::make_unique<StagedFileState>()) {}

StagedFile::~StagedFile() {
  staged_discard(*this);
}

bool staged_open(StagedFile& s, const std::string& folder, bool) {
  staged_discard(s);
  staged_cleanup_install();
  s.error = 0;
  std::string hidden;
  HANDLE h = create_hidden(folder.empty() ? std::string(".") : folder, &hidden);
  if (h == INVALID_HANDLE_VALUE) {
    s.error = errno_from_windows_error(GetLastError());
    return false;
  }
  s.temp_path = hidden;
  // Too many at once to clean up after an event: better no output than a stray file.
  const int fd = hidden_register(hidden)
                     ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY)
                     : -1;
  if (fd < 0) {
    CloseHandle(h);
    staged_discard(s);
    s.error = EMFILE;
    return false;
  }
  s.file = _fdopen(fd, "wb");
  if (!s.file) {
    const int fdopen_errno = errno;
    _close(fd);
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
  if (!s.file) return s.state->whole;
  // Whole before it is named. Not flushed to the disk: that guards only against a machine
  // that stops, and would make every conversion wait for the disk.
  bool ok = std::fflush(s.file) == 0 && !std::ferror(s.file);
  if (!ok) s.error = errno;
  if (std::fclose(s.file) != 0 && ok) {
    s.error = errno;
    ok = false;
  }
  s.file = nullptr;
  s.buffer.reset();  // a folder keeps many finished files until it is named
  s.state->whole = ok;
  return ok;
}

PublishResult staged_publish(StagedFile& s, const std::string& path) {
  if (s.temp_path.empty() || !staged_finish(s)) return PUBLISH_FAILED;
  // The output is an ordinary file once named.
  SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(s.temp_path.c_str(), path.c_str(), 0)) {
    const DWORD error = GetLastError();
    SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return PUBLISH_TAKEN;
    s.error = errno_from_windows_error(error);
    return PUBLISH_FAILED;
  }
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  return PUBLISH_DONE;
}

bool staged_replace(StagedFile& s, const std::string& path) {
  if (s.temp_path.empty() || !staged_finish(s)) return false;
  SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(s.temp_path.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    s.error = errno_from_windows_error(GetLastError());
    SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return false;
  }
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  return true;
}

void staged_discard(StagedFile& s) {
  if (s.file) {
    std::fclose(s.file);
    s.file = nullptr;
  }
  s.state->whole = false;
  if (!s.temp_path.empty()) {
    DeleteFileA(s.temp_path.c_str());
    hidden_unregister(s.temp_path);
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
