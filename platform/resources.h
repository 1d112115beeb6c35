// Built-in material bodies, embedded into the program at build time from resources/*.bin.
#pragma once

#include <cstdint>

struct EmbeddedResource {
  const char* name;
  const uint8_t* data;
  int32_t size;
};

// Terminated by an entry whose name is null.
extern const EmbeddedResource kEmbeddedResources[];

// Finds a resource by name; returns 0 when it is missing or empty.
int find_resource(const char* name, const uint8_t** data, int32_t* size);
