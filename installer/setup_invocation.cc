#include "setup_invocation.h"

#include <windows.h>

#include "argument_tail.h"
#include "client_state_key.h"
#include "delete_with_retry.h"
#include "referral_code.h"
#include "relative_file.h"
#include "run_process.h"
#include "wide_buf.h"

namespace {

const wchar_t kPromoKey[] = L"Software\\Quenby\\Promo";
const wchar_t kStubPathValue[] = L"StubInstallerPath";
const wchar_t kQuote[] = L"\"";
const wchar_t kSwitch[] = L" --";
const wchar_t kValueOpen[] = L"=\"";  // every switch value is quoted

template <size_t N>
bool AppendPieces(wchar_t* command_line, const wchar_t* const (&pieces)[N]) {
  for (const wchar_t* piece : pieces) {
    if (!SafeAppend(command_line, kCmdCapacity, piece)) return false;
  }
  return true;
}

// Best effort: a code is added only when the stub's name carries one, and
// only whole, so the setup program never sees half a switch.
void AppendReferralCode(wchar_t* command_line) {
  wchar_t stored[kPathCapacity];
  FillBytes(stored, 0, sizeof stored);
  if (!ReadStringFromKey(HKEY_CURRENT_USER, kPromoKey, kStubPathValue, stored,
                         kPathCapacity)) {
    return;
  }
  PathBuf stub;
  if (!SafeCopy(stub.get(), kPathCapacity, stored)) return;
  if (BoundedLength(stub.get(), kPathCapacity) == 0) return;
  WideBuf<kReferralCodeCapacity> code;
  if (!ReferralCodeFromStubPath(stub.get(), code.get())) return;

  WideBuf<kReferralCodeCapacity + 32> referral_switch;
  const wchar_t* const pieces[] = {kSwitch, L"tarvo-referral-code", kValueOpen,
                                   code.get(), kQuote};
  for (const wchar_t* piece : pieces) {
    if (!SafeAppend(referral_switch.get(), kReferralCodeCapacity + 32, piece)) {
      return;
    }
  }
  SafeAppend(command_line, kCmdCapacity, referral_switch.get());
}

// The version stands as a whole folder name of the path, so "1.0.0.0" is
// not found in "...\11.0.0.0\setup.exe". The caller has refused an absent
// or empty version, which would match nothing here anyway.
bool NamesVersionFolder(const wchar_t* path, const wchar_t* version) {
  const size_t length = TextLength(version);
  for (const wchar_t* at = FindNoCase(path, version); at != nullptr;
       at = FindNoCase(at + 1, version)) {
    if (at > path && at[-1] == L'\\' && at[length] == L'\\') return true;
  }
  return false;
}

// A drive letter, a colon and a backslash, or two backslashes (a UNC path
// or a \\?\ path). Anything else the system would resolve against the
// current directory, which is not the installer's to trust.
bool IsAbsolutePath(const wchar_t* path) {
  return StartsWithDriveRoot(path) || (path[0] == L'\\' && path[1] == L'\\');
}

// The per-user "UninstallString", and the folder it names, are the user's
// own: every unelevated process of theirs can change either. A run that
// the user raised from that same account ("Run as administrator") would
// start, elevated, whatever was put there. Machine-wide values and
// folders are the administrators' alone.
bool RefusesPreviousSetup(const LaunchSettings& settings) {
  return !settings.system_level &&
         (!settings.token.known || settings.token.split_elevated);
}

ExitResult RefusedPreviousSetup() {
  return MakeExitResult(EXIT_PER_USER_SETUP_REFUSED, 0);
}

}  // namespace

ExitResult FindPreviousSetup(bool system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, wchar_t* target,
                             size_t capacity) {
  // Without a version nothing tells the installed program that the payload
  // was made for from any other, whatever the packer let through.
  if (previous_version == nullptr || previous_version[0] == 0) {
    return MakeExitResult(EXIT_PREVIOUS_VERSION_MISMATCH, ERROR_INVALID_DATA);
  }
  HKEY key = nullptr;
  uint32_t status =
      OpenClientStateKey(system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                         app_guid, KEY_QUERY_VALUE, &key);
  if (status == 0) {
    status = ReadStringValue(&key, L"UninstallString", target, capacity);
  }
  CloseKey(&key);
  if (status != 0) return MakeExitResult(EXIT_NO_PREVIOUS_SETUP, status);

  // Matched before any quote is removed.
  if (!NamesVersionFolder(target, previous_version)) {
    return MakeExitResult(EXIT_PREVIOUS_VERSION_MISMATCH, 0);
  }

  const size_t length = static_cast<size_t>(BoundedLength(target, capacity));
  if (length >= 2 && target[0] == L'"' && target[length - 1] == L'"') {
    if (!SafeCopy(target, capacity, target + 1)) {
      return MakeExitResult(EXIT_PATH_TOO_LONG, 0);
    }
    target[length - 2] = 0;
  }
  if (!IsAbsolutePath(target)) {
    return MakeExitResult(EXIT_NO_PREVIOUS_SETUP, ERROR_BAD_PATHNAME);
  }
  return MakeExitResult(0, 0);
}

ExitResult RunSetup(const LaunchSettings& settings, HANDLE work_directory,
                    const wchar_t* archive_path, const wchar_t* setup_path,
                    const ExpectedProgram& expected, bool archive_from_b7,
                    HeldProgram* held_until_started) {
  HeldProgram setup;
  const bool previous = BoundedLength(setup_path, kPathCapacity) == 0;
  if (previous) {
    if (RefusesPreviousSetup(settings)) return RefusedPreviousSetup();
    const ExitResult found = FindPreviousSetup(
        settings.system_level, settings.app_guid, settings.previous_version,
        setup.path.get(), kPathCapacity);
    if (!Succeeded(found)) return found;
  } else if (!SafeCopy(setup.path.get(), kPathCapacity, setup_path)) {
    return MakeExitResult(EXIT_COMMAND_TOO_LONG, 0);
  }

  CmdBuf command_line;
  const wchar_t* const install_pieces[] = {
      kQuote,
      setup.path.get(),
      kQuote,
      kSwitch,
      archive_from_b7 ? L"install-archive" : L"uncompressed-archive",
      kValueOpen,
      archive_path,
      kQuote};
  if (!AppendPieces(command_line.get(), install_pieces)) {
    return MakeExitResult(EXIT_COMMAND_TOO_LONG, 0);
  }
  if (settings.previous_version != nullptr) {
    const wchar_t* const version_pieces[] = {kSwitch, L"previous-version",
                                             kValueOpen,
                                             settings.previous_version, kQuote};
    if (!AppendPieces(command_line.get(), version_pieces)) {
      return MakeExitResult(EXIT_COMMAND_TOO_LONG, 0);
    }
  }
  // Without the user's own switches the setup program would do a different
  // install (per-user instead of machine-wide, stable instead of beta).
  if (!AppendArgumentTail(settings.command_line, settings.program_name_length,
                          command_line.get())) {
    return MakeExitResult(EXIT_COMMAND_TOO_LONG, 0);
  }
  AppendReferralCode(command_line.get());

  // Held from here until it has started. A file that cannot be held, or is
  // not what was written, is a setup program that could not be started.
  if (!previous && !setup.Hold(work_directory, expected)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return MakeExitResult(error == ERROR_FILE_NOT_FOUND
                                ? EXIT_SETUP_FILE_NOT_FOUND
                                : EXIT_SETUP_PATH_NOT_FOUND,
                            GetFileAttributesW(setup.path.get()));
    }
    return MakeExitResult(EXIT_SETUP_LAUNCH_FAILED, error);
  }
  StartedChild child;
  const ExitResult started =
      StartChild(setup.path.get(), command_line.get(), work_directory,
                 EXIT_SETUP_FILE_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND,
                 EXIT_SETUP_LAUNCH_FAILED, &child);
  // The system has opened the file it runs: the setup program is free to
  // move, rename or replace its own file once it runs, which it does only
  // after this.
  setup.Release();
  if (held_until_started != nullptr) held_until_started->Release();
  if (!Succeeded(started)) return started;
  return RunChildToEnd(&child, EXIT_SETUP_LAUNCH_FAILED);
}

ExitResult PatchPreviousSetup(const LaunchSettings& settings,
                              HANDLE work_directory, const wchar_t* patch_path,
                              const wchar_t* new_setup_path,
                              int32_t* max_delete_attempts,
                              FileIdentity* new_setup_written,
                              HeldProgram* new_setup_held) {
  *new_setup_written = UnknownFileIdentity(ERROR_FILE_NOT_FOUND);
  new_setup_held->Release();
  if (RefusesPreviousSetup(settings)) return RefusedPreviousSetup();
  PathBuf previous;
  const ExitResult found = FindPreviousSetup(
      settings.system_level, settings.app_guid, settings.previous_version,
      previous.get(), kPathCapacity);
  if (!Succeeded(found)) return found;

  CmdBuf command_line;
  const wchar_t* const pieces[] = {
      kQuote,     previous.get(), kQuote, kSwitch, L"update-setup-exe",
      kValueOpen, patch_path,     kQuote, kSwitch, L"new-setup-exe",
      kValueOpen, new_setup_path, kQuote};
  if (!AppendPieces(command_line.get(), pieces) ||
      !AppendArgumentTail(settings.command_line, settings.program_name_length,
                          command_line.get())) {
    return MakeExitResult(EXIT_COMMAND_TOO_LONG, 0);
  }

  const ExitResult result = RunProcessAndWait(
      previous.get(), command_line.get(), work_directory,
      EXIT_PATCH_SETUP_FILE_NOT_FOUND, EXIT_PATCH_SETUP_PATH_NOT_FOUND,
      EXIT_PATCH_SETUP_LAUNCH_FAILED);
  // What the previous setup program left at the new path, as it ended: the
  // install run must start that file and no other.
  if (Succeeded(result)) {
    // Held from here until the install run has started it: nobody can
    // write, rename or replace it, which its identity alone would not tell
    // on a FAT volume (an identity survives a rewrite in place there) or
    // from a server that answers 0 for every file.
    if (new_setup_held->HoldAsItIs(work_directory,
                                   LastComponent(new_setup_path))) {
      ReadFileIdentity(new_setup_held->handle, new_setup_written);
    } else {
      *new_setup_written = UnknownFileIdentity(GetLastError());
    }
  }

  // The patch has served its purpose whether or not the run succeeded.
  int32_t attempts = 0;
  DeleteInDirectory(work_directory, LastComponent(patch_path), &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
  return result;
}
