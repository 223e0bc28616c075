// What runs that never reached their cleanup left beside the installer.
//
// A run that is ended from outside (the user ends it, the machine loses
// power or logs off, an update client's time limit or a scanner kills it)
// leaves its work directory, with the archive and the setup program, in
// the user's Downloads folder. The next run in that folder takes it back.
#pragma once

#include <windows.h>

// At most this many folders are reclaimed by one run.
constexpr int kMaxReclaimedFolders = 16;

// Reclaims, through the folder open on folder (with listing access), what
// killed runs left there: folders named exactly "ZK_" + five upper-case hex
// digits + ".tmp", other than own_name, that are real directories and that
// no run holds. A live run holds its work directory with delete access and
// without delete sharing from its creation to its deletion, so opening
// one with delete access fails with a sharing violation for as long as
// that run lives; a folder that opens is one nobody holds, and nobody can
// take it up again, since a run only ever creates a new one. Inside each,
// only the names the installer writes are deleted, each once, by name
// inside the open folder and never through a link; then the folder, if it
// is empty. Anything else, and whatever is still in use, stays for a later
// run. Returns how many folders were deleted. Never waits, never fails.
int ReclaimKilledRuns(HANDLE folder, const wchar_t* own_name);

// Whether name is exactly "ZK_" + five upper-case hex digits + ".tmp".
bool IsWorkDirectoryName(const wchar_t* name, size_t length);
