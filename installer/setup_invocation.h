// The setup program's command lines: the install run, and the patch run in
// which the previously installed setup program builds the new one.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

#include "exit_result.h"
#include "file_identity.h"
#include "held_program.h"
#include "launch_settings.h"

// Runs the setup program with the archive, the previous version, the
// installer's own arguments and any referral code, and waits for it. The
// program lies in the work directory open on work_directory: once its
// command line is built, it is held there, checked against expected, and
// started only when it is what was expected; the hold ends once the
// system has opened it, before it runs, so that the setup program may move
// or replace its own file. The setup program is lent the hold on the work
// directory (see StartChild), as the previous setup program of the patch
// run is: the folder tells for as long as either lives that its run is
// still at work.
// With an empty setup_path the previously installed setup program, which
// is not the run's to check, is run instead; a per-user one never from a
// run the user raised (125, nothing started; see PatchPreviousSetup).
// held_until_started (may be null) is let go together with the run's own
// hold, once the system has opened the program.
ExitResult RunSetup(const LaunchSettings& settings, HANDLE work_directory,
                    const wchar_t* archive_path, const wchar_t* setup_path,
                    const ExpectedProgram& expected, bool archive_from_b7,
                    HeldProgram* held_until_started = nullptr);

// The previously installed setup program, from "UninstallString" of the
// ClientStateKey: the previous version must be one of its folder names; it
// is unquoted, and a path that is not absolute is refused (110 with
// ERROR_BAD_PATHNAME) like a missing one. An absent or empty previous
// version is refused before the key is read (111 with ERROR_INVALID_DATA).
ExitResult FindPreviousSetup(bool system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, wchar_t* target,
                             size_t capacity);

// Has the previously installed setup program write the new one at
// new_setup_path from the patch. A per-user run whose token is the
// elevated half of a split token (or cannot be told) starts nothing and
// reads nothing: 125. What a per-user "UninstallString" names is the
// user's to change from any unelevated process, and this run would start
// it elevated. Both paths lie in the work directory open
// on work_directory, where the patch is deleted and the new program is
// looked at; the patch is deleted once its run has been tried (what is
// left of it otherwise goes with the work directory). After a patch run
// that succeeded, the file found at new_setup_path is held from the moment
// the run ended in *new_setup_held (as HeldProgram holds: nobody can write,
// rename or replace it), for the caller to pass to RunSetup, and
// *new_setup_written is its identity, read through that hold (not known,
// with the reason, when it could not be held or read).
ExitResult PatchPreviousSetup(const LaunchSettings& settings,
                              HANDLE work_directory, const wchar_t* patch_path,
                              const wchar_t* new_setup_path,
                              int32_t* max_delete_attempts,
                              FileIdentity* new_setup_written,
                              HeldProgram* new_setup_held);
