// A file being written from start to end, by whole buffers and by streamed
// copies of input ranges, with the image checksum of what went into it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "file_io.h"
#include "pe_checksum.h"
#include "status.h"

namespace packer {

struct OutputFile {
  std::string path;
  File file;
  uint64_t offset = 0;  // bytes written so far
  PeChecksum checksum;  // of those bytes
  // A comparison instead of a file: what would be written is held against
  // these bytes at the same offsets, and nothing is written.
  const InputFile* compared = nullptr;
  std::optional<uint64_t> first_difference;  // where it first differs
  // Ranges [first, second) of the compared file left out of the comparison.
  std::vector<std::pair<uint64_t, uint64_t>> ignored;
  // The first bytes that would have been written (the headers), kept.
  Bytes head;
};

// A new file (never an existing one: staged paths are fresh).
Status CreateOutput(const std::string& path, OutputFile* output);
// An output that writes nothing and finds where what it is given first
// differs from EXISTING (a byte past EXISTING's end differs).
void CompareOutput(const InputFile& existing, OutputFile* output);
Status Write(OutputFile* output, const void* data, size_t size);
// Zeros up to OFFSET.
Status PadTo(OutputFile* output, uint64_t offset);
// SIZE bytes of INPUT from OFFSET on, a window at a time: the archive is
// never held in memory.
Status CopyFrom(OutputFile* output, const InputFile& input, uint64_t offset,
                uint64_t size);
// Overwrites bytes already written (the checksum is not updated).
Status WriteAt(OutputFile* output, uint64_t offset, const void* data,
               size_t size);
Status CloseOutput(OutputFile* output);

}  // namespace packer
