// Shared by the material tests: built-in bodies as byte vectors, and writing through a
// temporary file to get back exactly the bytes a writer produced.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bytes/bytes.h"
#include "platform/resources.h"
#include "project/project.h"

namespace material_test {

using Bytes = std::vector<uint8_t>;

inline Bytes resource_bytes(const char* name) {
  const uint8_t* data = nullptr;
  int32_t size = 0;
  if (!find_resource(name, &data, &size)) return {};
  return Bytes(data, data + size);
}

inline ByteSource memory_source(const Bytes& b) {
  return source_from_memory(b.data(), static_cast<int32_t>(b.size()));
}

// Runs `write` on a fresh temporary file and returns what it left there; *ok receives the
// writer's result.
inline Bytes written_bytes(const std::function<int(FILE*)>& write, int* ok) {
  FILE* f = std::tmpfile();
  if (!f) {
    *ok = -1;
    return {};
  }
  *ok = write(f);
  std::fflush(f);
  Bytes out;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    if (std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
  }
  std::fclose(f);
  return out;
}

inline void put_u32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
}

inline uint32_t get_u32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(b[at + static_cast<size_t>(k)]) << (8 * k);
  return v;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes varint_bytes(uint32_t v) {
  Bytes out;
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    out.push_back(v ? (b | 0x80) : b);
  } while (v);
  return out;
}

// A Project with its tables, as the front end makes it, with console lines captured.
struct CapturedProject {
  Project p;
  std::string out;
  CapturedProject() {
    const char* failed = nullptr;
    project_create_tables(p, &failed);
    p.console = [this](std::string_view s) { out += s; };
  }
};

}  // namespace material_test
