// Stream positions and memory streams over POSIX calls.
#include "platform/streams.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

int64_t stream_tell(FILE* f) {
  return ftello(f);
}

int stream_seek(FILE* f, int64_t offset, int origin) {
  return fseeko(f, offset, origin) == 0 ? 1 : 0;
}

int64_t stream_size(FILE* f) {
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0) return -1;
  return st.st_size;
}

// The stream's write and seek, over the buffer: a seek past the end leaves a gap of zeros,
// as in a file, and room is doubled when short.
struct MemoryStreamIo {
  static ssize_t write(void* cookie, const char* bytes, size_t n) {
    auto& m = *static_cast<MemoryStream*>(cookie);
    if (m.position_ + n > m.capacity_) {
      const size_t wanted = std::max(m.position_ + n, m.capacity_ * 2);
      char* grown = static_cast<char*>(std::realloc(m.data_, wanted));
      if (!grown) {
        m.failed_ = true;
        return -1;
      }
      m.data_ = grown;
      m.capacity_ = wanted;
    }
    if (m.position_ > m.size_) std::memset(m.data_ + m.size_, 0, m.position_ - m.size_);
    std::memcpy(m.data_ + m.position_, bytes, n);
    m.position_ += n;
    m.size_ = std::max(m.size_, m.position_);
    return static_cast<ssize_t>(n);
  }

  // The offset's type is the C library's own (64 bits in glibc, off_t in the browser's).
  template <typename Offset>
  static int seek(void* cookie, Offset* offset, int whence) {
    auto& m = *static_cast<MemoryStream*>(cookie);
    const Offset from = whence == SEEK_SET   ? 0
                        : whence == SEEK_CUR ? static_cast<Offset>(m.position_)
                                             : static_cast<Offset>(m.size_);
    if (*offset < -from) return -1;
    m.position_ = static_cast<size_t>(from + *offset);
    *offset = static_cast<Offset>(m.position_);
    return 0;
  }
};

MemoryStream::MemoryStream(size_t reserve) {
  // Room never written costs no memory.
  const size_t room = reserve + reserve / 8 + 65536;
  data_ = static_cast<char*>(std::malloc(room));
  if (!data_) return;
  capacity_ = room;
  cookie_io_functions_t io{};
  io.write = MemoryStreamIo::write;
  io.seek = MemoryStreamIo::seek;
  file_ = fopencookie(this, "wb", io);
}

bool MemoryStream::finish() {
  if (!file_) return false;
  const bool ok = std::fclose(file_) == 0 && !failed_;
  file_ = nullptr;
  return ok;
}
