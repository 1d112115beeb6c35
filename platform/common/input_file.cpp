// What every build shares of the input file: opening it with a large buffer, and copying a
// range block by block through the platform's positioned read.
#include "platform/input_file.h"

#include <algorithm>
#include <vector>

#include "platform/paths.h"

namespace {

// Reading the song's chunks through a buffer this large takes few system calls.
constexpr size_t INPUT_BUFFER = 1 << 16;
// Large enough that a body moves at the speed of a plain copy.
constexpr size_t COPY_BLOCK = 1 << 20;

}  // namespace

InputFile::~InputFile() {
  if (file) std::fclose(file);
}

std::shared_ptr<InputFile> open_input_file(const std::string& path, std::string* reason) {
  FILE* f = open_regular_file(path, reason);
  if (!f) return nullptr;
  auto in = std::make_shared<InputFile>();
  in->file = f;
  in->buffer = std::unique_ptr<char[]>(new char[INPUT_BUFFER]);  // not zeroed: the stream fills it
  std::setvbuf(f, in->buffer.get(), _IOFBF, INPUT_BUFFER);
  return in;
}

bool copy_input_blocks(const InputFile& in, int64_t offset, int64_t length, FILE* out) {
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
