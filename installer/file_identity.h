// Which file a handle is open on, whatever name it was opened by: the
// volume and the file system's own identifier of the file. Two handles
// with the same identity are open on the same file, and a file replaced
// under the same name has another identity.
#pragma once

#include <windows.h>

#include <cstdint>

struct FileIdentity {
  bool known;   // false: nothing was read, nothing can be compared
  DWORD error;  // when not known: the Windows error that kept it so
  uint64_t volume;
  unsigned char id[16];
};

// An identity that is not known, for the given reason.
FileIdentity UnknownFileIdentity(DWORD error);

// The identity of the file open on handle; false (identity not known, with
// the error in it and in the last error) when the file system cannot tell,
// an identifier of all zeros (ERROR_INVALID_DATA) included.
bool ReadFileIdentity(HANDLE handle, FileIdentity* identity);

// The identity of the object named inside the directory open on directory
// (a link is not followed), read without keeping it from anyone; not known,
// with the reason, when it cannot be opened or told.
FileIdentity FileIdentityIn(HANDLE directory, const wchar_t* name);

// True only when both are known and name the same file.
bool SameFile(const FileIdentity& a, const FileIdentity& b);
