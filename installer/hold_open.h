// Handles the run keeps open so that nothing another process does between
// writing the setup program and running it can make the installer run a
// program it did not write: the work directory cannot be renamed away or
// replaced by a link while it is held, and the setup program cannot be
// written, replaced, renamed or deleted from the moment it is checked until
// the setup program has run.
#pragma once

#include <windows.h>

// Opens the work directory itself (never a link standing in its place)
// and keeps it from being deleted or renamed. INVALID_HANDLE_VALUE, with
// the last error set, when it cannot be held or is not a plain directory.
HANDLE HoldWorkDirectory(const wchar_t* work_directory);

// Opens the setup program for reading only, sharing nothing but reading,
// so that it can still be started but no longer changed. Refuses (with
// INVALID_HANDLE_VALUE and the last error set) a link, a directory, a file
// with a second name elsewhere (a hard link), or a file someone else still
// has open for writing.
HANDLE HoldSetupProgram(const wchar_t* setup_path);

// Closes a held handle and marks the slot closed; harmless when closed.
void ReleaseHold(HANDLE* held);
