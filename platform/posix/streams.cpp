// Stream positions and memory streams over POSIX calls.
#include "platform/streams.h"

#include <sys/stat.h>

#include <cstdlib>

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

MemoryStream::MemoryStream() {
  file_ = open_memstream(&data_, &size_);
}

MemoryStream::~MemoryStream() {
  if (file_) std::fclose(file_);
  std::free(data_);
}

bool MemoryStream::finish() {
  if (!file_) return false;
  // The size reported on closing stops at the position, or (in the browser build's C
  // library) at the end of the last write: the end is taken from the position instead.
  bool ok = std::fseek(file_, 0, SEEK_END) == 0;
  const off_t end = ok ? ftello(file_) : -1;
  ok = std::fclose(file_) == 0 && ok && end >= 0;
  if (ok) size_ = static_cast<size_t>(end);
  file_ = nullptr;
  return ok;
}
