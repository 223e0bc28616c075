// The private work directory next to the installer: "ZK_" + five upper-case
// hex digits + ".tmp", with a protected access list on volumes that keep
// persistent ACLs.
#pragma once

#include <windows.h>

#include "exit_result.h"
#include "wide_buf.h"

// The access list before the owner SID; the SID and ")" follow it.
extern const wchar_t kWorkDirAclPrefix[];

// base: the installer directory, ending in a backslash. On success
// work_directory holds base + "ZK_XXXXX.tmp\" and *status is {0, 0};
// otherwise *status is 108, 109 or 117 and nothing was created.
bool CreateWorkDirectory(const wchar_t* base, PathBuf* work_directory,
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
