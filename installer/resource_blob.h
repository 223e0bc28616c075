// A view of one locked resource of the installer's own module.
#pragma once

#include <cstdint>

struct ResourceBlob {
  // Points into the module's mapped resources: read-only, never copied or
  // freed, valid for the whole run.
  const void* data;
  uint64_t size;  // 0: an empty slot
};
