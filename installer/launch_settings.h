// What the run needs to know before it starts working: the channel, the
// registry root, early exit, cleanup, the previous version and the raw
// command line handed on to the setup program.
#pragma once

#include <windows.h>

#include <cstdint>

#include "run_token.h"

extern const wchar_t kStableAppGuid[];
extern const wchar_t kBetaAppGuid[];
extern const wchar_t kDevAppGuid[];
extern const wchar_t kSxsAppGuid[];

struct LaunchSettings {
  wchar_t** argv;               // owned; released with LocalFree
  const wchar_t* app_guid;      // one of the constants above
  const wchar_t* command_line;  // the process's own, borrowed
  int32_t argc;
  bool system_level;
  bool early_exit;
  bool delete_extracted_files;
  // Points into the module's mapped resources, valid for the process's life.
  const wchar_t* previous_version;
  // Where the program name ends in command_line when it is the installer's
  // own path without quotes (spaces and all); 0 when Windows' rule for the
  // first argument decides.
  size_t program_name_length;
  // Who runs it: a run raised above the user trusts nothing of theirs.
  RunToken token;
};

LaunchSettings DefaultLaunchSettings();

// Reads the previous-version resource, the cleanup preference, the
// process's token, the command line and the environment, in that order. False
// only when the command line cannot be split: shell32.dll cannot be loaded from
// the system directory, or CommandLineToArgvW fails; the last error is then
// that failure's.
bool InitLaunchSettings(LaunchSettings* settings, HMODULE module);

// own_path (may be null): the installer's own full path. A command line
// that begins with it unquoted, followed by white space or the end, has it
// whole as its program name: the pieces Windows splits it into are not the
// user's arguments, and none of them is read as a switch.
bool ParseLaunchCommandLine(LaunchSettings* settings,
                            const wchar_t* command_line,
                            const wchar_t* own_path = nullptr);

// The length of own_path when command_line begins with it, unquoted and
// compared as Windows compares paths (ordinal, ignoring case), followed by
// a space, a tab or the end; otherwise 0.
size_t UnquotedOwnPathLength(const wchar_t* command_line,
                             const wchar_t* own_path);

void ResetLaunchSettings(LaunchSettings* settings);

// One REG_SZ value from a key opened in the native view with query access
// only. False when absent, of another type, or too long to terminate.
bool ReadStringFromKey(HKEY root, const wchar_t* subkey,
                       const wchar_t* value_name, wchar_t* buffer,
                       size_t capacity);

// The registry places and names the settings come from.
extern const wchar_t kCleanupPreferenceKey[];
extern const wchar_t kCleanupPreferenceValue[];
extern const wchar_t kMachineWideVariable[];
