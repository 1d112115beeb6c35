// What the memory streams of every platform share: letting go of the bytes.
#include <cstdio>
#include <cstdlib>

#include "platform/streams.h"

MemoryStream::~MemoryStream() {
  if (file_) std::fclose(file_);
  std::free(data_);
}

char* MemoryStream::release() {
  char* d = data_;
  data_ = nullptr;
  size_ = 0;
  return d;
}
