// A packing takes a second or more; one ended by Ctrl-C or by a kill of
// the ordinary kind must still leave nothing behind. The handlers only
// note the signal: the long loops and the waits for tools look at the
// note, and the staging folder goes away as the steps return.
#pragma once

#include <signal.h>

#include "status.h"

namespace packer {

void CatchInterruptions();
bool Interrupted();
// Exit code 128 + the signal's number.
Status InterruptedStatus();

// While one lives, the signals above are held pending in the calling
// thread instead of being noted, so that a wait can let them in only while
// it sleeps (ppoll with before()): one that comes just before the wait then
// ends it at once instead of being noted and missed.
class InterruptionsHeld {
 public:
  InterruptionsHeld();
  ~InterruptionsHeld();
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
  // The mask from before, which lets them in.
  const sigset_t& before() const { return before_; }

 private:
  sigset_t before_;
};

}  // namespace packer
