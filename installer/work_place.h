// Where the work directory is made: beside the installer as a rule, and in
// a local folder that only administrators can write for a run raised above
// the user whose own folder cannot keep the user's other processes out.
#pragma once

#include <windows.h>

#include "run_token.h"
#include "wide_buf.h"

// What the volume of a folder can do for a directory made in it.
enum class FolderVolume {
  kProtects,       // local, with persistent access lists (NTFS, ReFS)
  kRemote,         // another machine's: a share, a mapped drive, WebDAV
  kNoAccessLists,  // FAT, exFAT and the like
  kUnknown,        // could not be told, which counts as not protecting
};

// Asks the volume of the folder open on folder. Remote is what either the
// volume's device or the drive type says: a mapped drive may report one
// and not the other.
FolderVolume ClassifyFolderVolume(HANDLE folder);

// Whether a run with this token must not work in a folder on such a volume:
// a run raised above the user (RunsAboveTheUser) anywhere but on a local
// volume that keeps access lists. A file server does not see integrity
// levels and grants by its own accounts, and FAT keeps no list at all, so
// other processes could drop a library beside the setup program that it
// then loads elevated, or swap the archive before it is read.
bool NeedsProtectedPlace(const RunToken& token, FolderVolume volume);

// The folder such a run works in instead, found through the system and
// never through the environment, with its closing backslash:
//   - LocalSystem: the folder GetTempPath2W gives it (Windows 11 and
//     later Windows 10 updates: %SystemRoot%\SystemTemp, which only
//     SYSTEM may use);
//   - otherwise, or where that function is missing, %SystemRoot%\Temp of
//     GetSystemWindowsDirectoryW. Anyone may create there, but nobody but
//     the administrators and SYSTEM may list or open what others made; the
//     work directory's own protected list (and a high mandatory label)
//     keeps everybody else out of it.
// False with the last error when the path cannot be had or does not fit.
bool ProtectedPlacePath(const RunToken& token, PathBuf* path);
