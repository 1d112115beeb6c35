// Looks up the embedded built-in materials by name in the table generated at build time.
#include "platform/resources.h"

#include <cstring>

int find_resource(const char* name, const uint8_t** data, int32_t* size) {
  if (!name) return 0;
  for (const EmbeddedResource* r = kEmbeddedResources; r->name; ++r) {
    if (std::strcmp(r->name, name) == 0) {
      if (r->size <= 0) return 0;
      *data = r->data;
      *size = r->size;
      return 1;
    }
  }
  return 0;
}
