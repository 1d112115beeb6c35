// The built-in material bodies are resources of type "QXI" in the executable
// (resources/tarvenox.rc); they stay mapped for as long as the program runs.
#include "platform/resources.h"

#include <windows.h>

#include <cstdint>

int find_resource(const char* name, const uint8_t** data, int32_t* size) {
  if (!name) return 0;
  HRSRC info = FindResourceA(nullptr, name, "QXI");
  if (!info) return 0;
  HGLOBAL loaded = LoadResource(nullptr, info);
  const DWORD length = SizeofResource(nullptr, info);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes || length == 0 || length > INT32_MAX) return 0;
  *data = static_cast<const uint8_t*>(bytes);
  *size = static_cast<int32_t>(length);
  return 1;
}
