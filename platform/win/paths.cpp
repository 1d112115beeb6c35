// Path functions over the Windows shell's path functions, which work on buffers of
// MAX_PATH characters.
#include "platform/paths.h"

#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/error_reason.h"
#include "platform/win/windows_errors.h"

namespace {

// A writable copy of the path, NUL-terminated, in a buffer at least MAX_PATH long.
std::vector<char> path_buffer(const std::string& path) {
  std::vector<char> buf(std::max<size_t>(path.size() + 1, MAX_PATH), '\0');
  std::copy(path.begin(), path.end(), buf.begin());
  return buf;
}

}  // namespace

std::string module_folder_path() {
  char buf[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  PathRemoveFileSpecA(buf);
  return buf;
}

void path_remove_file_spec(std::string& path) {
  std::vector<char> buf = path_buffer(path);
  PathRemoveFileSpecA(buf.data());
  path = buf.data();
}

bool path_is_directory(const std::string& path) {
  return PathIsDirectoryA(path.c_str()) != FALSE;
}

bool path_is_file_spec(const std::string& path) {
  return PathIsFileSpecA(path.c_str()) != FALSE;
}

std::string path_find_file_name(const std::string& path) {
  return PathFindFileNameA(path.c_str());
}

void path_remove_extension(std::string& path) {
  std::vector<char> buf = path_buffer(path);
  PathRemoveExtensionA(buf.data());
  path = buf.data();
}

std::string path_find_extension(const std::string& path) {
  return PathFindExtensionA(path.c_str());
}

bool path_file_exists(const std::string& path) {
  return PathFileExistsA(path.c_str()) != FALSE;
}

bool delete_file(const std::string& path) {
  return DeleteFileA(path.c_str()) != FALSE;
}

bool make_folder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

FILE* open_regular_file(const std::string& path, std::string* reason) {
  std::string why;
  auto failed = [&](std::string text) {
    if (reason) *reason = std::move(text);
    return nullptr;
  };
  // Folders cannot be opened this way at all; pipes and devices are turned away below.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return failed(not_regular_reason(std::filesystem::file_type::directory));
    }
    return failed(error_reason_text(errno_from_windows_error(error)));
  }
  const DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    CloseHandle(h);
    return failed(not_regular_reason(type == FILE_TYPE_PIPE
                                         ? std::filesystem::file_type::fifo
                                         : std::filesystem::file_type::character));
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return failed(error_reason_text(errno));
  }
  FILE* f = _fdopen(fd, "rb");
  if (!f) {
    why = error_reason_text(errno);
    _close(fd);
  }
  if (reason) *reason = why;
  return f;
}

FILE* open_discard_stream() {
  return std::fopen("NUL", "wb");
}

std::string path_join(const std::string& folder, const std::string& name) {
  // "C:" alone is the current folder of drive C, which "C:name" names a file in.
  if (folder.empty() || is_path_separator(folder.back()) ||
      (folder.size() == 2 && folder[1] == ':')) {
    return folder + name;
  }
  return folder + "\\" + name;
}

bool is_path_separator(char c) {
  return c == '\\' || c == '/';
}

void path_remove_trailing_separators(std::string& path) {
  // "C:\" and "\" are roots.
  const size_t root = path.size() >= 2 && path[1] == ':' ? 3 : 1;
  while (path.size() > root && is_path_separator(path.back())) path.pop_back();
}

std::string decode_file_uri(std::string_view text) {
  return std::string(text);
}

std::string decode_typed_path(std::string_view typed) {
  return std::string(typed);
}
