// Hidden output folders over Windows calls: moved to their name with MoveFileExA, which
// without MOVEFILE_REPLACE_EXISTING never replaces anything (a folder that replaces another
// is moved in once the old is moved aside). A console control event removes a hidden folder
// on the way out (staged_file.cpp).
#include <windows.h>

#include <cerrno>
#include <random>

#include "platform/common/hidden_files.h"
#include "platform/paths.h"
#include "platform/staged_file.h"
#include "platform/staged_folder.h"
#include "platform/win/windows_errors.h"

// The console event handler that removes the hidden outputs (staged_file.cpp).
void staged_cleanup_install();

bool hidden_folder_make(const std::string& folder, std::string* path) {
  staged_cleanup_install();
  return hidden_make(folder, path, [](const std::string& p) {
    if (CreateDirectoryA(p.c_str(), nullptr)) {
      SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_HIDDEN);
      return 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? EEXIST : errno_from_windows_error(error);
  });
}

PublishResult folder_rename(const std::string& from, const std::string& to) {
  SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(from.c_str(), to.c_str(), 0)) {
    const DWORD error = GetLastError();
    SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_HIDDEN);
    errno = errno_from_windows_error(error);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PUBLISH_TAKEN
                                                                       : PUBLISH_FAILED;
  }
  hidden_unregister(from);
  return PUBLISH_DONE;
}

bool folder_swap(const std::string& from, const std::string& to, std::string* old) {
  // Aside under a hidden name that is not registered: an event between the two moves leaves
  // the old folder there rather than neither.
  std::random_device seed;
  std::mt19937 random(seed());
  std::string aside;
  for (int attempt = 0; attempt < 100; ++attempt) {
    aside = path_join(folder_of(to), hidden_file_name(static_cast<uint32_t>(random())));
    if (GetFileAttributesA(aside.c_str()) == INVALID_FILE_ATTRIBUTES) break;
  }
  if (!MoveFileExA(to.c_str(), aside.c_str(), 0)) {
    errno = errno_from_windows_error(GetLastError());
    return false;
  }
  SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExA(from.c_str(), to.c_str(), 0)) {
    const int move_errno = errno_from_windows_error(GetLastError());
    SetFileAttributesA(from.c_str(), FILE_ATTRIBUTE_HIDDEN);
    MoveFileExA(aside.c_str(), to.c_str(), 0);
    errno = move_errno;
    return false;
  }
  hidden_unregister(from);
  *old = aside;
  return true;
}

void hidden_folder_remove(const std::string& path, const std::vector<std::string>& names) {
  for (const std::string& name : names) DeleteFileA(path_join(path, name).c_str());
  RemoveDirectoryA(path.c_str());
  hidden_unregister(path);
}
