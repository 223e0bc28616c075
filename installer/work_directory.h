// The private work directory next to the installer: "ZK_" + five upper-case
// hex digits + ".tmp", with a protected access list on volumes that keep
// persistent ACLs.
#pragma once

#include <windows.h>

#include "exit_result.h"
#include "wide_buf.h"

// The access list before the owner SID; the SID and ")" follow it.
extern const wchar_t kWorkDirAclPrefix[];

// The work directory, owned together with the handle that holds it from
// the moment it is created until it is deleted through that same handle.
// The hold has delete access and shares everything but deletion, so while
// it is open nobody can rename the directory away, put another object (a
// link above all) in its place, or delete it; files inside may still be
// made and removed. On NTFS a directory with something open beneath it
// cannot be renamed either, so the whole path stays what it was.
struct WorkDirectory {
  PathBuf path;   // base + "ZK_XXXXX.tmp\"; empty when there is none
  HANDLE handle;  // the hold; INVALID_HANDLE_VALUE when there is none

  WorkDirectory();
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  bool IsHeld() const;
  // Lets go of the directory, leaving it where it is (when the cleanup is
  // turned off, or after it was marked for deletion). Harmless twice.
  void Release();
};

// base: the installer directory, ending in a backslash. On success work
// holds base + "ZK_XXXXX.tmp\" and the hold on the directory, made in one
// step with it, and *status is {0, 0}; otherwise *status is 108, 109 or 117,
// nothing was created and nothing is held (the path means nothing then).
bool CreateWorkDirectory(const wchar_t* base, WorkDirectory* work,
                         ExitResult* status);

// True with a null descriptor when the volume needs none, true with a
// descriptor (released by the caller with LocalFree) when one was built,
// false when one was needed but could not be built (see GetLastError).
bool BuildWorkDirSecurity(const wchar_t* base,
                          PSECURITY_DESCRIPTOR* descriptor);

// The four name bytes of one try after the random draw: when the draw
// failed (drawn false), the try number is mixed in so that the ten tries
// still ask for ten different names.
void MixTryIntoNameBytes(unsigned char bytes[4], bool drawn,
                         unsigned try_index);

// The process token's owner SID in string form; release with LocalFree.
bool GetTokenOwnerSidString(wchar_t** sid);
