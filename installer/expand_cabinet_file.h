// Expansion of the setup program from its cabinet through the system's
// cabinet.dll (FDI), loaded at run time from the system directory and kept
// loaded.
#pragma once

#include <windows.h>

#include "scratch_file.h"

// Writes the first file of the cabinet at cabinet_path to target_path, a new
// file, whatever name the cabinet stores. Both are opened by their last
// components inside the directory open on directory, which holds them.
// True when that file was written completely; otherwise false and no file
// this run made is left at target_path. *written says whether the target
// was created by this call and, with digest, holds the reading of its
// bytes as they were closed.
bool ExpandCabinetFile(HANDLE directory, const wchar_t* cabinet_path,
                       const wchar_t* target_path, bool digest,
                       WrittenFile* written);

// How many times this process has loaded cabinet.dll (0 or 1 once loaded);
// lets a test see that the library is loaded once and kept.
int CabinetLibraryLoadCount();
