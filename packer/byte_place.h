// What a byte of a packed image is, in the words a release engineer
// reads: a header field, a section's data, the resource directory, a
// resource, the padding between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packed_image.h"
#include "pe_image.h"

namespace packer {

struct BytePlace {
  uint64_t begin = 0, end = 0;  // the range that holds the byte
  std::string what;
};

// IMAGE: the headers packing writes; RESOURCES: the packed resources with
// their placements as laid out. OFFSET: a byte of the file.
BytePlace PlaceOf(const PeImage& image,
                  const std::vector<PackedResource>& resources,
                  uint64_t offset);

}  // namespace packer
