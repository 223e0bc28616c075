// One installer run, from the launch settings to the final ExitResult.
#pragma once

#include <windows.h>

#include "exit_result.h"
#include "wide_buf.h"

// module: the installer's own image, for its resources and its file name.
ExitResult RunInstaller(HMODULE module);

// Fills directory with the module's own folder, with its trailing
// backslash. EXIT_PATH_TOO_LONG when the module path cannot be had whole
// (windows_error: the error GetModuleFileNameW left, 0 when none) or holds
// no backslash (windows_error 0).
ExitResult FindInstallerDirectory(HMODULE module, PathBuf* directory);

// Cuts a module path of length units after its last backslash, keeping the
// backslash. False, leaving the path as it was, when the length is 0 or
// reaches the capacity (the path was cut to fit) or there is no backslash.
bool CutToInstallerDirectory(wchar_t* module_path, size_t length);
