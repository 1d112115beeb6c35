// Input ranges in the browser: the files live in memory, so the bytes are read and written
// through the streams, block by block.
#include "platform/input_file.h"

#include <algorithm>
#include <vector>

#include "platform/paths.h"
#include "platform/streams.h"

namespace {

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
  // The song's own reads go on from where they were; the position is put back after.
  const int64_t was = stream_tell(in.file);
  if (was < 0 || !stream_seek(in.file, offset, SEEK_SET)) return false;
  const size_t n = std::fread(buffer, 1, static_cast<size_t>(length), in.file);
  const bool whole = n == static_cast<size_t>(length);
  return stream_seek(in.file, was, SEEK_SET) && whole;
}

bool copy_input_range(const InputFile& in, int64_t offset, int64_t length, FILE* out) {
  std::vector<uint8_t> block(static_cast<size_t>(std::clamp<int64_t>(length, 0, COPY_BLOCK)));
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
