// What runs that never reached their cleanup left beside the installer.
//
// A run that is ended from outside (the user ends it, the machine loses
// power or logs off, an update client's time limit or a scanner kills it)
// leaves its work directory, with the archive and the setup program, in
// the user's Downloads folder. The next run in that folder takes it back.
#pragma once

#include <windows.h>

#include <cstdint>

// The work one run spends on it. Past any of these bounds the rest waits
// for a later run: the folders the listing gives after the first 1,024
// that bear a work directory's name are not looked at, whatever became of
// those.
constexpr int kMaxExaminedFolders = 1024;       // looked at (one open each)
constexpr int kMaxReclaimedFolders = 16;        // deleted
constexpr int64_t kMaxReclaimedObjects = 4096;  // deletions inside them

// Reclaims, through the folder open on folder (with listing access), what
// killed runs left there: folders named exactly "ZK_" + five upper-case
// hex digits + ".tmp", other than own_name, that are real directories and
// that no living process of their run holds. A run holds its work
// directory without sharing deletion from its creation to its deletion,
// and so does every setup program it started, for as long as it lives;
// opening one with delete access fails with a sharing violation
// meanwhile, and a folder that opens is one that no process of its run
// still works in (nobody takes it up again: a run only ever creates a new
// one). Inside each, everything goes when the run's marker
// (kRunMarkerName) says a run made it; otherwise only the names the
// installer writes go, each once. Then the folder, if it is empty. No
// link is followed. Anything else, and whatever is in use, stays for a
// later run. Never waits, not even for another process's opportunistic
// lock (such a folder is left); never fails. Returns how many folders
// were deleted.
int ReclaimKilledRuns(HANDLE folder, const wchar_t* own_name);

// Whether name is exactly "ZK_" + five upper-case hex digits + ".tmp".
bool IsWorkDirectoryName(const wchar_t* name, size_t length);
