// Libraries the installer loads at run time come from the system directory
// and nowhere else.
#pragma once

#include <windows.h>

// Loads name (say "cabinet.dll") by its full path in the directory that
// GetSystemDirectoryW reports. The environment has no say: %WINDIR% and
// %SYSTEMROOT% belong to the user, who can set them for every program
// started later, elevated ones included. Null with the last error set when
// the library cannot be loaded or its path does not fit.
HMODULE LoadSystemLibrary(const wchar_t* name);

// An export of ntdll.dll, null when there is none. ntdll is mapped into
// every process before any of its code runs, so finding it by name loads
// nothing.
FARPROC NtdllFunction(const char* name);

// An export of kernel32.dll, null when this Windows has none (a function
// newer than the oldest system the installer starts on). kernel32 is
// imported, so it is mapped before the entry point runs.
FARPROC Kernel32Function(const char* name);
