// The pack command: the stub, the payload and the options in; a packed
// installer out, or nothing at all.
#pragma once

#include "command_line.h"
#include "status.h"

namespace packer {

Status Pack(const PackRequest& request);

}  // namespace packer
