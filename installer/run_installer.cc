#include "run_installer.h"

#include "content_digest.h"
#include "delete_with_retry.h"
#include "held_program.h"
#include "launch_settings.h"
#include "outcome_report.h"
#include "reclaim_killed_runs.h"
#include "relative_file.h"
#include "setup_invocation.h"
#include "unpack_payload.h"
#include "work_directory.h"

namespace {

// Asks Windows to drop as many of the process's pages as it can: the rest
// of the installer's life is spent waiting for the setup program.
void TrimWorkingSet() {
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                           static_cast<SIZE_T>(-1));
}

bool IsTag(const TypeTag& tag, const wchar_t* type) {
  return lstrcmpW(tag.get(), type) == 0;
}

// Everything from the work directory on. Once the work directory exists,
// every path leads through the cleanup and the report.
ExitResult RunInstallSequence(HMODULE module, const LaunchSettings& settings,
                              const wchar_t* installer_directory) {
  // Held from its creation until it is deleted, so that the directory the
  // setup program is written to and started from is never swapped for
  // another, and the cleanup deletes only inside what this run made.
  WorkDirectory work;
  ExitResult result = MakeExitResult(0, 0);
  if (!CreateWorkDirectory(installer_directory, &work, &result,
                           settings.token)) {
    return result;
  }
  // Before the payload is written, so that the space killed runs took is
  // free again for this run's archive. A run with the cleanup turned off
  // takes nothing back; a later run with it on takes back what such runs
  // kept as well, once nothing of theirs is running.
  if (settings.delete_extracted_files) {
    ReclaimKilledRuns(work.folder, work.name.get());
  }
  work.ReleaseFolder();
  MarkFullInstallerChannel(settings);

  // The setup program started is the one packed: the packer recorded its
  // digest, and the run compares what it starts with that record.
  int32_t max_delete_attempts = 0;
  PathBuf archive_path;
  PathBuf setup_path;
  TypeTag archive_tag;
  TypeTag setup_tag;
  ExpectedProgram expected;
  result = UnpackPayload(module, work.path.get(), work.handle, &setup_path,
                         &setup_tag, &archive_path, &archive_tag,
                         &max_delete_attempts, &expected);
  const bool archive_from_b7 = IsTag(archive_tag, L"B7");
  bool succeeded = false;

  if (!Succeeded(result)) {
    TrimWorkingSet();
  } else if (!IsTag(setup_tag, L"B7")) {
    TrimWorkingSet();
    result = RunSetup(settings, work.handle, archive_path.get(),
                      setup_path.get(), expected, archive_from_b7);
    succeeded = Succeeded(result);
  } else {
    // The payload carries a patch: the previously installed setup program
    // builds the new one in the work directory first.
    PathBuf new_setup_path;
    if (!SafeCopy(new_setup_path.get(), kPathCapacity, work.path.get()) ||
        !SafeAppend(new_setup_path.get(), kPathCapacity, L"setup.exe")) {
      // The cleanup below takes the patch with everything else.
      result = MakeExitResult(EXIT_PATH_TOO_LONG, 0);
      TrimWorkingSet();
    } else {
      FileIdentity new_setup = UnknownFileIdentity(ERROR_FILE_NOT_FOUND);
      // Held from the end of the patch run until the install run has
      // started it, and let go before the cleanup below at the latest.
      HeldProgram new_setup_held;
      const ExitResult patched = PatchPreviousSetup(
          settings, work.handle, setup_path.get(), new_setup_path.get(),
          &max_delete_attempts, &new_setup, &new_setup_held);
      TrimWorkingSet();
      if (Succeeded(patched)) {
        // The file the patch run left, as it left it (read through the
        // hold taken when that run ended), holding the recorded program.
        const ContentDigest made =
            new_setup_held.handle == INVALID_HANDLE_VALUE
                ? UnknownContent(ERROR_FILE_NOT_FOUND)
                : DigestFileContent(new_setup_held.handle, false);
        result = RunSetup(settings, work.handle, archive_path.get(),
                          new_setup_path.get(),
                          ExpectIdentity(new_setup, expected.content, made),
                          archive_from_b7, &new_setup_held);
        succeeded = Succeeded(result);
      } else {
        result = patched;
      }
    }
  }

  if (settings.delete_extracted_files) {
    DeleteExtractedFiles(&work, &max_delete_attempts);
  }
  work.Release();
  if (succeeded) {
    WriteInstallerSuccess(settings, max_delete_attempts);
  } else {
    WriteInstallerFailure(settings, result);
  }
  return result;
}

}  // namespace

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
    if (Succeeded(result)) {
      result = RunInstallSequence(module, settings, installer_directory.get());
    }
  }

  ResetLaunchSettings(&settings);
  return result;
}
