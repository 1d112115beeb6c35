// Stream positions over the C runtime's 64-bit calls. The C runtime has no stream into
// memory: a memory stream is a temporary file that the system deletes when it is closed
// (or when the program ends in any way), read back whole when the stream is finished.
#include "platform/streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>

int64_t stream_tell(FILE* f) {
  return _ftelli64(f);
}

int stream_seek(FILE* f, int64_t offset, int origin) {
  return _fseeki64(f, offset, origin) == 0 ? 1 : 0;
}

int64_t stream_size(FILE* f) {
  if (!f) return -1;
  return _filelengthi64(_fileno(f));
}

namespace {

FILE* open_temporary_stream() {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  const DWORD n = GetTempPathA(MAX_PATH, folder);
  if (n == 0 || n >= MAX_PATH || GetTempFileNameA(folder, "tvx", 0, path) == 0) return nullptr;
  // Kept in the cache rather than written out where the system can, and gone when closed.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DeleteFileA(path);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, "w+b");
  if (!f) _close(fd);
  return f;
}

}  // namespace

MemoryStream::MemoryStream(size_t) {
  file_ = open_temporary_stream();
}

bool MemoryStream::finish() {
  if (!file_) return false;
  bool ok = std::fflush(file_) == 0;
  const int64_t size = ok ? _filelengthi64(_fileno(file_)) : -1;
  ok = size >= 0 && _fseeki64(file_, 0, SEEK_SET) == 0;
  if (ok) {
    data_ = static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    ok = data_ &&
         std::fread(data_, 1, static_cast<size_t>(size), file_) == static_cast<size_t>(size);
    size_ = ok ? static_cast<size_t>(size) : 0;
  }
  std::fclose(file_);
  file_ = nullptr;
  return ok;
}
