// Built-in material bodies, built into the program from resources/*.bin: on a POSIX system
// as a table generated at build time, on Windows as resources of the executable.
#pragma once

#include <cstdint>

struct EmbeddedResource {
  const char* name;
  const uint8_t* data;
  int32_t size;
};

// The generated table, terminated by an entry whose name is null (not on Windows).
extern const EmbeddedResource kEmbeddedResources[];

// Finds a resource by name; returns 0 when it is missing or empty.
int find_resource(const char* name, const uint8_t** data, int32_t* size);
