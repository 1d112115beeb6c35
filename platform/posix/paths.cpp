// Path functions over POSIX calls.
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/error_reason.h"

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

bool make_folder(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0;
}

namespace {

std::filesystem::file_type file_type_of(mode_t mode) {
  using std::filesystem::file_type;
  if (S_ISDIR(mode)) return file_type::directory;
  if (S_ISFIFO(mode)) return file_type::fifo;
  if (S_ISCHR(mode)) return file_type::character;
  if (S_ISBLK(mode)) return file_type::block;
  if (S_ISSOCK(mode)) return file_type::socket;
  return S_ISREG(mode) ? file_type::regular : file_type::unknown;
}

}  // namespace

FILE* open_regular_file(const std::string& path, std::string* reason) {
  std::string why;
  // Non-blocking, so that opening a named pipe does not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  FILE* f = nullptr;
  if (fd < 0) {
    why = error_reason_text(errno);
  } else {
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      why = error_reason_text(errno);
    } else if (!S_ISREG(st.st_mode)) {
      why = not_regular_reason(file_type_of(st.st_mode));
    } else if (!(f = fdopen(fd, "rb"))) {
      why = error_reason_text(errno);
    }
    if (!f) close(fd);
  }
  if (reason) *reason = why;
  return f;
}

FILE* open_discard_stream() {
  return std::fopen("/dev/null", "wb");
}

std::string path_join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool is_path_separator(char c) {
  return c == '/';
}

void path_remove_trailing_separators(std::string& path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
}

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// What a shell escapes with a backslash: blanks and punctuation. A backslash before a
// letter, a digit or a non-ASCII byte is kept, so such names can still be typed.
bool is_escapable(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == '\t' || (u >= 0x20 && u <= 0x7E && !std::isalnum(u));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string decode_file_uri(std::string_view text) {
  if (!starts_with_nocase(text, "file:")) return std::string(text);
  std::string_view rest = text.substr(5);
  if (rest.starts_with("//")) {
    // Only a URI of this machine names a path here.
    size_t slash = rest.find('/', 2);
    if (slash == std::string_view::npos) return std::string(text);
    std::string_view host = rest.substr(2, slash - 2);
    if (!host.empty() && !(host.size() == 9 && starts_with_nocase(host, "localhost"))) {
      return std::string(text);
    }
    rest = rest.substr(slash);
  } else if (!rest.starts_with("/")) {
    return std::string(text);
  }
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
        hex_value(rest[i + 2]) >= 0) {
      const char byte = static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2]));
      if (byte != '\0') {  // no path holds one
        path += byte;
        i += 2;
        continue;
      }
    }
    path += rest[i];
  }
  return path;
}

std::string decode_typed_path(std::string_view typed) {
  size_t end = typed.size();
  while (end > 0 && is_blank(typed[end - 1])) --end;
  if (end < typed.size()) {
    // An odd run of backslashes escapes the first of the blanks: it belongs to the name.
    size_t backslashes = 0;
    while (backslashes < end && typed[end - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 1) ++end;
  }
  const std::string_view text = typed.substr(0, end);
  if (starts_with_nocase(text, "file:")) return decode_file_uri(text);
  const bool quoted = text.starts_with('\'');
  std::string path;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'' && quoted) {
      size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return std::string(text);
      path.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '\\' && i + 1 < text.size() && is_escapable(text[i + 1])) {
      path += text[++i];
    } else {
      path += c;
    }
  }
  return path;
}
