// Input ranges over Windows calls: reads at an offset of the file under the stream, with the
// file's own position put back afterwards so that the stream reads on where it was.
#include "platform/input_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/common/hidden_files.h"

namespace {

// At most this much in one ReadFile, whose count is 32 bits.
constexpr int64_t READ_BLOCK = 1 << 20;

HANDLE handle_of(FILE* f) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

}  // namespace

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
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(length, READ_BLOCK));
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
  return copy_input_blocks(in, offset, length, out);
}

std::string standard_input_file() {
  static const std::string path = []() -> std::string {
    // A hidden file in the temporary folder, gone when the program ends (or is ended by a
    // console event, as the hidden outputs are).
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "tvx", 0, name)) {
      return "";
    }
    if (!hidden_register(name)) {
      DeleteFileA(name);
      return "";
    }
    std::atexit([] { hidden_remove_all([](const char* p) { DeleteFileA(p); }); });
    FILE* out = std::fopen(name, "wb");
    if (!out) return "";
    _setmode(_fileno(stdin), _O_BINARY);
    char block[1 << 16];
    bool ok = true;
    for (size_t n; (n = std::fread(block, 1, sizeof block, stdin)) > 0;) {
      ok = ok && std::fwrite(block, 1, n, out) == n;
    }
    ok = !std::ferror(stdin) && std::fclose(out) == 0 && ok;
    return ok ? std::string(name) : std::string();
  }();
  return path;
}

bool stream_is_terminal(FILE* f) {
  return _isatty(_fileno(f)) != 0;
}

void stream_set_binary(FILE* f) {
  _setmode(_fileno(f), _O_BINARY);
}
