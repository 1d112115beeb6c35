// Staged output folders over Windows calls: a hidden folder of a random name, moved to its
// name with MoveFileExA, which without MOVEFILE_REPLACE_EXISTING never replaces anything.
// The hidden folder is removed on the way out by a console control event (staged_file.cpp).
#include "platform/staged_folder.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <random>

#include "platform/common/hidden_files.h"
#include "platform/paths.h"

// The console event handler that removes the hidden outputs (staged_file.cpp).
void staged_cleanup_install();

bool staged_folder_open(StagedFolder& s, const std::string& folder) {
  staged_folder_discard(s);
  staged_cleanup_install();
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = path_join(dir, hidden_file_name(static_cast<uint32_t>(random())));
    if (!hidden_register(path)) return false;
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
      s.temp_path = path;
      return true;
    }
    const DWORD error = GetLastError();
    hidden_unregister(path);
    if (error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

FILE* staged_folder_create(StagedFolder& s, const std::string& name) {
  if (s.temp_path.empty()) return nullptr;
  const std::string path = path_join(s.temp_path, name);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  s.files.push_back(name);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, "wb");
  if (!f) _close(fd);
  return f;
}

PublishResult staged_folder_publish(StagedFolder& s, const std::string& path) {
  if (s.temp_path.empty()) return PUBLISH_FAILED;
  SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(s.temp_path.c_str(), path.c_str(), 0)) {
    const DWORD error = GetLastError();
    SetFileAttributesA(s.temp_path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PUBLISH_TAKEN
                                                                       : PUBLISH_FAILED;
  }
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  s.files.clear();
  return PUBLISH_DONE;
}

void staged_folder_discard(StagedFolder& s) {
  if (s.temp_path.empty()) return;
  for (const std::string& name : s.files) DeleteFileA(path_join(s.temp_path, name).c_str());
  RemoveDirectoryA(s.temp_path.c_str());
  hidden_unregister(s.temp_path);
  s.temp_path.clear();
  s.files.clear();
}
