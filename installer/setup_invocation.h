// The setup program's command lines: the install run, and the patch run in
// which the previously installed setup program builds the new one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exit_result.h"
#include "launch_settings.h"

// Runs the setup program (or, with an empty setup_path, the previously
// installed one) with the archive, the previous version, the installer's
// own arguments and any referral code, and waits for it.
ExitResult RunSetup(const LaunchSettings& settings, const wchar_t* archive_path,
                    const wchar_t* setup_path, bool archive_from_b7);

// The previously installed setup program, from "UninstallString" of the
// ClientStateKey, checked against the previous version and unquoted.
ExitResult FindPreviousSetup(bool system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, wchar_t* target,
                             size_t capacity);

// Has the previously installed setup program write the new one at
// new_setup_path from the patch. *patch_run_tried tells whether the patch
// run was attempted; only then has the patch file been deleted (the exit
// code cannot tell, since a child may exit with any code).
ExitResult PatchPreviousSetup(const LaunchSettings& settings,
                              const wchar_t* patch_path,
                              const wchar_t* new_setup_path,
                              int32_t* max_delete_attempts,
                              bool* patch_run_tried);
