// Which file a handle is open on, whatever name it was opened by: the
// volume and the file system's own identifier of the file. Two handles
// with the same identity are open on the same file, and a file replaced
// under the same name has another identity.
#pragma once

#include <windows.h>

#include <cstdint>

struct FileIdentity {
  bool known;  // false: nothing was read, nothing can be compared
  uint64_t volume;
  unsigned char id[16];
};

// An identity that is not known.
FileIdentity UnknownFileIdentity();

// The identity of the file open on handle; false (identity not known,
// last error set) when the file system cannot tell.
bool ReadFileIdentity(HANDLE handle, FileIdentity* identity);

// The identity of the file at path itself (a link is not followed), read
// without keeping it from anyone; not known when it cannot be opened.
FileIdentity FileIdentityAt(const wchar_t* path);

// True only when both are known and name the same file.
bool SameFile(const FileIdentity& a, const FileIdentity& b);
