// Windows gives large pages only to privileged programs: large arrays are ordinary ones.
#include "platform/memory.h"

#include <new>

void* large_array_allocate(size_t bytes) {
  return ::operator new(bytes);
}

void large_array_free(void* data, size_t) noexcept {
  ::operator delete(data);
}
