// A fuzzer's bytes as a file the packer reads: held in memory, so that
// every read goes through the packer's own bounds-checked ReadAt, and a
// read past them is a refusal, not a fault.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file_io.h"

inline packer::InputFile MemoryFile(const uint8_t* data, size_t size) {
  packer::InputFile file;
  file.role = "file";
  file.path = "input";
  file.size = size;
  file.pieces.push_back({0, packer::Bytes(data, data + size)});
  return file;
}
