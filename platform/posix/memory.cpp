// Large arrays on large-page boundaries, advised through madvise where the system offers it.
#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace {

#if defined(MADV_HUGEPAGE) && !defined(__EMSCRIPTEN__)
constexpr bool LARGE_PAGES = true;
#else
constexpr bool LARGE_PAGES = false;  // the browser's memory has no pages to advise on
#endif
// Below a few large pages the rounding to whole ones would cost more than the faults saved.
constexpr size_t LARGE_ARRAY_BYTES = size_t{4} << 20;
constexpr size_t LARGE_PAGE = size_t{2} << 20;

bool large(size_t bytes) {
  return LARGE_PAGES && bytes >= LARGE_ARRAY_BYTES;
}

size_t whole_pages(size_t bytes) {
  return (bytes + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
}

}  // namespace

void* large_array_allocate(size_t bytes) {
  if (!large(bytes)) return ::operator new(bytes);
  if (bytes > SIZE_MAX - LARGE_PAGE) throw std::bad_alloc();
  // Whole large pages: a last one in small pages would take hundreds of faults.
  void* data = ::operator new (whole_pages(bytes), std::align_val_t{LARGE_PAGE});
#ifdef MADV_HUGEPAGE
  // Only advice: a system that refuses it just hands out small pages.
  madvise(data, whole_pages(bytes), MADV_HUGEPAGE);
#endif
  return data;
}

void large_array_free(void* data, size_t bytes) noexcept {
  if (large(bytes)) {
    ::operator delete (data, std::align_val_t{LARGE_PAGE});
  } else {
    ::operator delete(data);
  }
}
