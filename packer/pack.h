// The pack command: the stub, the payload and the options in; a packed
// installer out, or nothing at all.
#pragma once

#include <vector>

#include "command_line.h"
#include "file_io.h"
#include "packed_image.h"
#include "staging.h"
#include "status.h"
#include "stub.h"

namespace packer {

Status Pack(const PackRequest& request);

struct PackInputs {
  InputFile stub, archive, setup, patched, cert, key;
};

// Everything packing puts together before it writes the image: the
// checked inputs, the stub's layout, the cabinet (made in STAGING, a
// folder beside REQUEST.output) and the resources in their order. Pack
// writes it out; verify compares a file with it.
struct Packing {
  PackInputs inputs;
  StubLayout layout;
  InputFile cabinet;
  std::vector<PackedResource> resources;
};
// With CHECK_OUTPUT, the output path is checked as pack checks it.
Status PreparePacking(const PackRequest& request, bool check_output,
                      StagingDir* staging, Packing* packing);

}  // namespace packer
