// Marking an open file or empty directory for deletion.
#pragma once

#include <windows.h>

// Marks the object open on handle (opened with DELETE access) for deletion.
// Where the volume takes it (NTFS on Windows 10 1809 and later), the name
// goes at once, with POSIX semantics, even while a scanner, an indexer or a
// sync client still holds the file open with delete sharing, and a
// read-only attribute does not stand in the way (on Windows 10 1709 to 1803
// it does: they know POSIX semantics but not that flag). Elsewhere (FAT and
// exFAT, older Windows, Wine) the ordinary mark: the name goes when the last
// handle to the object closes. False with the last error of the ordinary
// mark when neither is taken.
bool MarkForDeletion(HANDLE handle);
