// The extract command: one resource's bytes into a file of their own, such
// as the cabinet a packing made of the setup program.
#pragma once

#include "command_line.h"
#include "status.h"

namespace packer {

Status Extract(const ExtractRequest& request);

}  // namespace packer
