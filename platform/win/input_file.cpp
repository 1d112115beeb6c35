// Input ranges over Windows calls: reads at an offset of the file under the stream, with the
// file's own position put back afterwards so that the stream reads on where it was.
#include "platform/input_file.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/paths.h"

namespace {

// Reading the song's chunks through a buffer this large takes few system calls.
constexpr size_t INPUT_BUFFER = 1 << 18;
constexpr size_t COPY_BLOCK = 1 << 20;

HANDLE handle_of(FILE* f) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

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
  HANDLE h = handle_of(in.file);
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (h == INVALID_HANDLE_VALUE || !SetFilePointerEx(h, zero, &position, FILE_CURRENT)) {
    return false;
  }
  bool ok = true;
  while (ok && length > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(length, COPY_BLOCK));
    DWORD got = 0;
    ok = ReadFile(h, buffer, want, &got, &at) && got > 0;
    buffer += got;
    offset += got;
    length -= got;
  }
  // A read at an offset moves the file's position too.
  return SetFilePointerEx(h, position, nullptr, FILE_BEGIN) && ok;
}

bool copy_input_range(const InputFile& in, int64_t offset, int64_t length, FILE* out) {
  if (length <= 0) return true;
  if (std::fflush(out) != 0) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle_of(in.file), &size) || offset + length > size.QuadPart) return false;
  // The discard stream keeps nothing: there is nothing to move.
  if (GetFileType(handle_of(out)) == FILE_TYPE_CHAR) return true;
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
