// Input ranges over POSIX calls: positioned reads, so the song's own reads through the
// stream go on where they were. (The kernel's own copy_file_range was measured slower than
// copying through a block on ext4, where it moves the bytes page by page.)
#include "platform/input_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

bool read_input_range(const InputFile& in, int64_t offset, int64_t length, uint8_t* buffer) {
  const int fd = fileno(in.file);
  while (length > 0) {
    const ssize_t n = pread(fd, buffer, static_cast<size_t>(length), offset);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    buffer += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool copy_input_range(const InputFile& in, int64_t offset, int64_t length, FILE* out) {
  if (length <= 0) return true;
  struct stat in_st;
  if (fstat(fileno(in.file), &in_st) != 0 || offset + length > in_st.st_size) return false;
  // The discard stream keeps nothing: there is nothing to move. (A stream in memory has no
  // descriptor, and takes the bytes as a file does.)
  struct stat out_st;
  const int out_fd = fileno(out);
  if (out_fd >= 0 && fstat(out_fd, &out_st) == 0 && S_ISCHR(out_st.st_mode)) return true;
  return copy_input_blocks(in, offset, length, out);
}

std::string standard_input_file() {
  static const std::string path = [] {
#if defined(__linux__)
    // A memory file: its bytes are the pipe's, and it goes with the program.
    const int fd = memfd_create("standard input", MFD_CLOEXEC);
    if (fd < 0) return std::string();
    char block[1 << 16];
    for (;;) {
      const ssize_t n = read(STDIN_FILENO, block, sizeof block);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        close(fd);
        return std::string();
      }
      for (ssize_t at = 0; at < n;) {
        const ssize_t w = write(fd, block + at, static_cast<size_t>(n - at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          close(fd);
          return std::string();
        }
        at += w;
      }
    }
    return "/proc/self/fd/" + std::to_string(fd);
#else
    return std::string();
#endif
  }();
  return path;
}

bool stream_is_terminal(FILE* f) {
  return isatty(fileno(f)) != 0;
}

void stream_set_binary(FILE*) {}
