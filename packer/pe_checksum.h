// The image checksum of the optional header, computed over bytes as they
// stream past in file order: the 16-bit one's-complement sum of the file
// (its checksum field counted as zero) plus the file's length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace packer {

struct PeChecksum {
  uint64_t sum = 0;      // of whole little-endian 32-bit words
  uint64_t length = 0;   // bytes added so far
  uint32_t partial = 0;  // a word not yet complete
};

// Adds the next SIZE bytes of the file; the checksum field must be among
// them as zeros.
void ChecksumAdd(PeChecksum* checksum, const uint8_t* data, size_t size);
uint32_t ChecksumFinish(const PeChecksum& checksum);

}  // namespace packer
