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

// Opens or creates name, a single component, inside directory, with the
// access (SYNCHRONIZE is added: every handle is synchronous), sharing,
// disposition and options given (FILE_SYNCHRONOUS_IO_NONALERT is added);
// descriptor, for a new object, may be null. Returns INVALID_HANDLE_VALUE
// with the last error set (the system's status turned into a Windows
// error: ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_FILE_EXISTS
// and the like) when it cannot.
HANDLE OpenRelative(HANDLE directory, const wchar_t* name, ACCESS_MASK access,
                    ULONG share, ULONG disposition, ULONG options,
                    PSECURITY_DESCRIPTOR descriptor = nullptr);

// The name of a path's last component: what follows its last backslash.
const wchar_t* LastComponent(const wchar_t* path);
