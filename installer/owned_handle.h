// Closing a handle field that its owner may close again.
#pragma once

#include <windows.h>

// Sets *slot to INVALID_HANDLE_VALUE before closing the old handle, so that
// a second close cannot reach a handle value the system may already have
// handed out again. Harmless on a slot that is already closed.
inline void CloseOwnedHandle(HANDLE* slot) {
  if (*slot == INVALID_HANDLE_VALUE) return;
  HANDLE old = *slot;
  *slot = INVALID_HANDLE_VALUE;
  CloseHandle(old);
}
