// Input ranges over POSIX calls: copy_file_range where the kernel can copy between the two
// files itself, positioned reads and writes of the output stream otherwise.
#include "platform/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/paths.h"

namespace {

// Reading the song's chunks through a buffer this large takes few system calls.
constexpr size_t INPUT_BUFFER = 1 << 18;
constexpr size_t COPY_BLOCK = 1 << 20;

}  // namespace

InputFile::~InputFile() {
  if (file) std::fclose(file);
}

std::shared_ptr<InputFile> open_input_file(const std::string& path) {
  FILE* f = open_regular_file(path);
  if (!f) return nullptr;
  auto in = std::make_shared<InputFile>();
  in->file = f;
  in->buffer = std::make_unique<char[]>(INPUT_BUFFER);
  std::setvbuf(f, in->buffer.get(), _IOFBF, INPUT_BUFFER);
  return in;
}

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
  if (std::fflush(out) != 0) return false;
  const int in_fd = fileno(in.file);
  const int out_fd = fileno(out);
  struct stat in_st, out_st;
  if (fstat(in_fd, &in_st) != 0 || offset + length > in_st.st_size || out_fd < 0 ||
      fstat(out_fd, &out_st) != 0) {
    return false;
  }
  // The discard stream keeps nothing: there is nothing to move.
  if (S_ISCHR(out_st.st_mode)) return true;
  bool kernel_copy = true;
  bool kernel_wrote = false;
  while (kernel_copy && length > 0) {
    loff_t from = offset;
    const ssize_t n =
        copy_file_range(in_fd, &from, out_fd, nullptr, static_cast<size_t>(length), 0);
    if (n > 0) {
      offset += n;
      length -= n;
      kernel_wrote = true;
    } else if (n == 0) {
      return false;  // the input ends before the range does
    } else if (errno != EINTR) {
      // Not between these two files (another file system, say): copied by hand below.
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return false;
      }
      kernel_copy = false;
    }
  }
  // The stream's idea of its position was left behind by the kernel's writes; the output is
  // written in order, so its end is where the stream goes on.
  if (kernel_wrote && std::fseek(out, 0, SEEK_END) != 0) return false;
  std::vector<uint8_t> block(static_cast<size_t>(std::min<int64_t>(length, COPY_BLOCK)));
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(length, COPY_BLOCK));
    if (!read_input_range(in, offset, static_cast<int64_t>(n), block.data()) ||
        std::fwrite(block.data(), 1, n, out) != n) {
      return false;
    }
    offset += static_cast<int64_t>(n);
    length -= static_cast<int64_t>(n);
  }
  return true;
}
