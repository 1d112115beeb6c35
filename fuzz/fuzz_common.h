// Shared by the fuzz targets: a Project set up as for a conversion, streams that write into
// memory, a scratch folder, and the invariant check that turns a broken promise into a
// crash libFuzzer reports.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/convert.h"
#include "bytes/bytes.h"
#include "project/project.h"

// Aborts with the broken invariant's text, so that the input is kept as a crash.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace fuzz {

// A Project prepared as the dialogue prepares one, its console lines dropped.
inline void prepare(Project& p) {
  p.console = [](std::string_view) {};
  const char* failed = nullptr;
  FUZZ_CHECK(project_prepare(p, &failed));
}

// A FILE* writing into memory; bytes() after close().
class MemOut {
 public:
  MemOut() { file_ = open_memstream(&data_, &size_); }
  ~MemOut() {
    if (file_) std::fclose(file_);
    std::free(data_);
  }
  MemOut(const MemOut&) = delete;
  MemOut& operator=(const MemOut&) = delete;
  FILE* file() const { return file_; }
  // Everything written, up to the furthest byte (a writer may have seeked back).
  std::vector<uint8_t> bytes() {
    if (file_) {
      std::fseek(file_, 0, SEEK_END);
      std::fclose(file_);
      file_ = nullptr;
    }
    return std::vector<uint8_t>(data_, data_ + size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_ = nullptr;
};

inline ByteSource memory(const std::vector<uint8_t>& b) {
  return source_from_memory(b.data(), static_cast<int32_t>(b.size()));
}

// A material chunk as write_woice writes it, after its 8-byte tag; its size field must count
// exactly what follows.
inline std::vector<uint8_t> written_chunk(const std::vector<uint8_t>& out, const char* tag) {
  constexpr size_t TAG_SIZE = 8;
  FUZZ_CHECK(out.size() >= TAG_SIZE + 4 && std::memcmp(out.data(), tag, TAG_SIZE) == 0);
  std::vector<uint8_t> chunk(out.begin() + TAG_SIZE, out.end());
  ByteSource s = memory(chunk);
  uint32_t size = 0;
  FUZZ_CHECK(read_u32(s, &size) && size == chunk.size() - 4);
  return chunk;
}

// A folder of this process's own under /tmp, made once and removed with what it holds when
// the fuzzer ends its run.
inline const std::string& scratch_folder() {
  static char made[] = "/tmp/tarvenox-fuzz-XXXXXX";
  static const std::string folder = [] {
    FUZZ_CHECK(mkdtemp(made) != nullptr);
    // `made`, not `folder`: this runs after the string is gone.
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    return std::string(made);
  }();
  return folder;
}

inline void put_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
}

inline int woice_count(const Project& p) {
  int n = 0;
  for (const auto& w : p.woices) n += w ? 1 : 0;
  return n;
}

// The events of a loaded song, checked: every kind in the table, in clock order, no puts left
// to place, no more than the records allowed.
inline int checked_event_count(const Project& p) {
  FUZZ_CHECK(p.event_puts.empty());
  FUZZ_CHECK(p.events.size() <= static_cast<size_t>(p.event_max));
  for (size_t i = 0; i < p.events.size(); ++i) {
    const Event& e = p.events[i];
    FUZZ_CHECK(e.kind != 0 && e.kind < EVENT_KIND_NUM);
    FUZZ_CHECK(i == 0 || p.events[i - 1].clock <= e.clock);
  }
  return static_cast<int>(p.events.size());
}

}  // namespace fuzz
