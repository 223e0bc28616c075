// Expansion of the setup program from its cabinet through the system's
// cabinet.dll (FDI), loaded at run time from the system directory and kept
// loaded.
#pragma once

#include <windows.h>

#include "file_identity.h"

// Writes the first file of the cabinet to target_path, a new file, whatever
// name the cabinet stores. True when that file was written completely;
// otherwise false and nothing is left at target_path. written (may be null)
// receives the identity of the expanded file, read before it is closed.
bool ExpandCabinetFile(const wchar_t* cabinet_path, const wchar_t* target_path,
                       FileIdentity* written = nullptr);

// How many times this process has loaded cabinet.dll (0 or 1 once loaded);
// lets a test see that the library is loaded once and kept.
int CabinetLibraryLoadCount();
