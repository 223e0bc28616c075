// The answer of every stage of an installer run, and the process exit codes.
#pragma once

#include <cstdint>

struct ExitResult {
  uint32_t exit_code;
  // A Windows error or another detail that explains exit_code. Only the
  // failure report records it; it never reaches the process exit code.
  uint32_t windows_error;
};

// The installer's own exit codes. A child's exit code passes through
// unchanged even where it equals one of these; the two are not told apart.
// 102, 103, 104, 106, 113 and 114 are never produced.
enum : uint32_t {
  EXIT_SETTINGS_FAILED = 101,
  EXIT_COMMAND_TOO_LONG = 105,
  EXIT_WAIT_FAILED = 107,
  EXIT_PATH_TOO_LONG = 108,
  EXIT_WORK_DIR_FAILED = 109,
  EXIT_NO_PREVIOUS_SETUP = 110,
  EXIT_PREVIOUS_VERSION_MISMATCH = 111,
  EXIT_ARCHIVE_UNPACK_FAILED = 112,
  EXIT_SETUP_UNPACK_FAILED = 115,
  EXIT_SETUP_WRITE_FAILED = 116,
  EXIT_WORK_DIR_SECURITY_FAILED = 117,
  EXIT_EARLY_SWITCH = 118,
  EXIT_PATCH_SETUP_FILE_NOT_FOUND = 119,
  EXIT_PATCH_SETUP_PATH_NOT_FOUND = 120,
  EXIT_PATCH_SETUP_LAUNCH_FAILED = 121,
  EXIT_SETUP_FILE_NOT_FOUND = 122,
  EXIT_SETUP_PATH_NOT_FOUND = 123,
  EXIT_SETUP_LAUNCH_FAILED = 124,
  EXIT_PER_USER_SETUP_REFUSED = 125,
};

inline ExitResult MakeExitResult(uint32_t exit_code, uint32_t windows_error) {
  ExitResult result;
  result.exit_code = exit_code;
  result.windows_error = windows_error;
  return result;
}

inline bool Succeeded(ExitResult result) { return result.exit_code == 0; }
