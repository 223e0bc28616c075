// A packing takes a second or more; one ended by Ctrl-C or by a kill of
// the ordinary kind must still leave nothing behind. The handlers only
// note the signal: the long loops and the waits for tools look at the
// note, and the staging folder goes away as the steps return.
#pragma once

#include "status.h"

namespace packer {

void CatchInterruptions();
bool Interrupted();
// Exit code 128 + the signal's number.
Status InterruptedStatus();

}  // namespace packer
