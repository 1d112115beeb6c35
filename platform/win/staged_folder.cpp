// Hidden output folders over Windows calls: moved to their name with MoveFileExA, which
// without MOVEFILE_REPLACE_EXISTING never replaces anything. A console control event
// removes a hidden folder on the way out (staged_file.cpp).
#include <windows.h>

#include <random>

#include "platform/common/hidden_files.h"
#include "platform/paths.h"
#include "platform/staged_folder.h"

// The console event handler that removes the hidden outputs (staged_file.cpp).
void staged_cleanup_install();

bool hidden_folder_make(const std::string& folder, std::string* path) {
  staged_cleanup_install();
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    *path = path_join(folder, hidden_file_name(static_cast<uint32_t>(random())));
    if (!hidden_register(*path)) return false;
    if (CreateDirectoryA(path->c_str(), nullptr)) {
      SetFileAttributesA(path->c_str(), FILE_ATTRIBUTE_HIDDEN);
      return true;
    }
    const DWORD error = GetLastError();
    hidden_unregister(*path);
    if (error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

PublishResult folder_rename(const std::string& from, const std::string& to) {
  SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(from.c_str(), to.c_str(), 0)) {
    const DWORD error = GetLastError();
    SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PUBLISH_TAKEN
                                                                       : PUBLISH_FAILED;
  }
  hidden_unregister(from);
  return PUBLISH_DONE;
}

void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names) {
  for (const std::string& name : names) DeleteFileA(path_join(path, name).c_str());
  RemoveDirectoryA(path.c_str());
  hidden_unregister(path);
}
