// Memory for the converter's large arrays: a song's event array runs to megabytes, and taking
// it a small page at a time costs more than reading the file. Arrays that large are placed on
// large-page boundaries, where the system has large pages to give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// Like operator new (and throws as it does), the memory not touched.
void* large_array_allocate(size_t bytes);
// Frees what large_array_allocate gave for the same number of bytes.
void large_array_free(void* data, size_t bytes) noexcept;

// An allocator for std::vector on those two.
template <typename T>
struct LargeArrayAllocator {
  using value_type = T;
  LargeArrayAllocator() = default;
  template <typename U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(large_array_allocate(n * sizeof(T)));
  }
  void deallocate(T* data, size_t n) noexcept { large_array_free(data, n * sizeof(T)); }
  template <typename U>
  bool operator==(const LargeArrayAllocator<U>&) const {
    return true;
  }
};

// For a std::unique_ptr over large_array_allocate's memory.
struct LargeArrayFree {
  size_t bytes = 0;
  void operator()(void* data) const noexcept { large_array_free(data, bytes); }
};
