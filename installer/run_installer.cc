#include "run_installer.h"

#include "launch_settings.h"

// A path that cannot be had whole ends the run before anything is touched:
// reporting success there would claim an install that never happened.
ExitResult FindInstallerDirectory(HMODULE module, PathBuf* directory) {
  SetLastError(0);
  const DWORD length =
      GetModuleFileNameW(module, directory->get(), kPathCapacity);
  const DWORD error = GetLastError();
  if (length == 0 || length >= kPathCapacity) {
    return MakeExitResult(EXIT_PATH_TOO_LONG, error);
  }
  if (!CutToInstallerDirectory(directory->get(), length)) {
    return MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  }
  return MakeExitResult(0, 0);
}

bool CutToInstallerDirectory(wchar_t* module_path, size_t length) {
  if (length == 0 || length >= kPathCapacity) return false;
  wchar_t* name = NameFromPath(module_path, length);
  if (name == module_path) return false;
  *name = 0;
  return true;
}

ExitResult RunInstaller(HMODULE module) {
  LaunchSettings settings = DefaultLaunchSettings();
  ExitResult result = MakeExitResult(0, 0);
  PathBuf installer_directory;

  if (!InitLaunchSettings(&settings, module)) {
    result = MakeExitResult(EXIT_SETTINGS_FAILED, GetLastError());
  } else if (settings.early_exit) {
    result = MakeExitResult(EXIT_EARLY_SWITCH, 0);
  } else {
    result = FindInstallerDirectory(module, &installer_directory);
  }

  ResetLaunchSettings(&settings);
  return result;
}
