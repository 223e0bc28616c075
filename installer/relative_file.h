// Opening and creating objects by name inside a directory the caller holds
// open, through the system call beneath CreateFileW. The name is looked up
// in that very directory, whatever its path names by now: a link or
// junction anywhere above it, retargeted meanwhile, has no say.
#pragma once

#include <windows.h>

// NtCreateFile's dispositions and options, by the values the system
// defines for them.
constexpr ULONG kOpenExisting = 0x1;          // FILE_OPEN
constexpr ULONG kCreateNew = 0x2;             // FILE_CREATE
constexpr ULONG kDirectoryOnly = 0x1;         // FILE_DIRECTORY_FILE
constexpr ULONG kSequentialOnly = 0x4;        // FILE_SEQUENTIAL_ONLY
constexpr ULONG kFileOnly = 0x40;             // FILE_NON_DIRECTORY_FILE
constexpr ULONG kNotThroughLinks = 0x200000;  // FILE_OPEN_REPARSE_POINT
// The open completes at once even where another process holds an
// opportunistic lock on the object, instead of waiting until that
// process has given it up (which it may never do).
constexpr ULONG kNeverWaitForOplocks = 0x100;  // FILE_COMPLETE_IF_OPLOCKED
// ERROR_OPLOCK_BREAK_IN_PROGRESS, which the compiler's headers do not name.
constexpr DWORD kErrorOplockBreakInProgress = 742;

// Opens or creates name, a single component, inside directory, with the
// access (SYNCHRONIZE is added: every handle is synchronous), sharing,
// disposition and options given (FILE_SYNCHRONOUS_IO_NONALERT is added);
// descriptor, for a new object, may be null. Returns INVALID_HANDLE_VALUE
// with the last error set (the system's status turned into a Windows
// error: ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_FILE_EXISTS
// and the like) when it cannot. An open that kNeverWaitForOplocks let
// complete while the holder of an oplock is still being asked to give it
// up is not taken either: the object is someone else's to finish with
// (kErrorOplockBreakInProgress).
HANDLE OpenRelative(HANDLE directory, const wchar_t* name, ACCESS_MASK access,
                    ULONG share, ULONG disposition, ULONG options,
                    PSECURITY_DESCRIPTOR descriptor = nullptr);

// Opens the object open on handle once more, with other access and
// sharing: no name is looked up, so whatever has become of its names, it is
// the very same object. INVALID_HANDLE_VALUE with the last error set as by
// OpenRelative.
HANDLE Reopen(HANDLE handle, ACCESS_MASK access, ULONG share, ULONG options);

// Reads the next entries of the directory open on directory (listing
// access) into buffer, in the system's layout for information_class
// (FileDirectoryInformation, FileNamesInformation ...), from the first
// entry when restart is set. mask (may be null) keeps only the names the
// file system matches to it (the wildcards "?" and "*", without regard to
// case). 0 with entries in the buffer; ERROR_NO_MORE_FILES when there are
// no more (or none at all); otherwise the error that kept them unread.
DWORD ListEntries(HANDLE directory, void* buffer, ULONG size,
                  ULONG information_class, const wchar_t* mask, bool restart);

// The name of a path's last component: what follows its last backslash.
const wchar_t* LastComponent(const wchar_t* path);
