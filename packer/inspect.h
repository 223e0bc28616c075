// The inspect command: what an installer carries, for a person or, with
// --json, for a pipeline.
#pragma once

#include "command_line.h"
#include "status.h"

namespace packer {

Status Inspect(const InspectRequest& request);

}  // namespace packer
