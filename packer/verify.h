// The verify command: whether an installer's payload is exactly the given
// archive and setup program (or patch), as the installer will unpack it.
#pragma once

#include "command_line.h"
#include "status.h"

namespace packer {

// Ok when it is; kExitMismatch with what differs when not.
Status Verify(const VerifyRequest& request);

}  // namespace packer
