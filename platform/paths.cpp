// Path functions over POSIX calls.
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

std::string module_folder_path() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  std::string path(buf.data(), static_cast<size_t>(n));
  path_remove_file_spec(path);
  return path;
}

void path_remove_file_spec(std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    path.clear();
  } else if (slash == 0) {
    path = "/";
  } else {
    path.resize(slash);
  }
}

bool path_is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_is_file_spec(const std::string& path) {
  return path.find('/') == std::string::npos;
}

std::string path_find_file_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {
size_t extension_pos(const std::string& path) {
  size_t start = path.find_last_of('/');
  start = start == std::string::npos ? 0 : start + 1;
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < start) return std::string::npos;
  return dot;
}
}  // namespace

void path_remove_extension(std::string& path) {
  size_t dot = extension_pos(path);
  if (dot != std::string::npos) path.resize(dot);
}

std::string path_find_extension(const std::string& path) {
  size_t dot = extension_pos(path);
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

bool path_file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool delete_file(const std::string& path) {
  return std::remove(path.c_str()) == 0;
}

FILE* open_regular_file(const std::string& path) {
  // Non-blocking, so that opening a named pipe does not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

FILE* open_discard_stream() {
  return std::fopen("/dev/null", "wb");
}
