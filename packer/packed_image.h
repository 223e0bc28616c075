// Writes the packed image: the stub's bytes up to its resource section,
// a new resource section holding the stub's resources and the payload,
// and the stub's relocations moved behind it; then the size fields and the
// checksum that fit the new file.
#pragma once

#include <vector>

#include "bytes.h"
#include "file_io.h"
#include "output_file.h"
#include "resource_tree.h"
#include "status.h"
#include "stub.h"

namespace packer {

// A resource of the packed image and where its bytes come from: a range
// of an input file, or bytes the packer made.
struct PackedResource {
  PlacedResource placement;
  const InputFile* file = nullptr;
  uint64_t file_offset = 0;
  Bytes bytes;
};

// Places the resources in the given order, each at its alignment; the
// resource section itself starts on a page in the file, so a resource
// aligned to a page starts on one too. OUTPUT is a new, empty file.
Status WritePackedImage(const InputFile& stub, const StubLayout& layout,
                        std::vector<PackedResource>* resources,
                        OutputFile* output);

}  // namespace packer
