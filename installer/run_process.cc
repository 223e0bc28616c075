#include "run_process.h"

#include "wide_buf.h"

ExitResult StartChild(const wchar_t* program, wchar_t* command_line,
                      uint32_t file_not_found_code,
                      uint32_t path_not_found_code, uint32_t start_failed_code,
                      HANDLE* process) {
  *process = nullptr;
  // Only the size is set: the child gets the default window and standard
  // handles, none of ours.
  STARTUPINFOW startup;
  FillBytes(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started;
  FillBytes(&started, 0, sizeof started);

  // The program is named as the application so that no search path can
  // substitute another file for it. It gets the system's default error
  // mode rather than the installer's, so it behaves as when started alone.
  if (!CreateProcessW(program, command_line, nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr,
                      nullptr, &startup, &started)) {
    const DWORD error = GetLastError();
    // The attributes tell apart a file that is gone from one that exists
    // but could not be opened as a program.
    const DWORD attributes = GetFileAttributesW(program);
    if (error == ERROR_PATH_NOT_FOUND) {
      return MakeExitResult(path_not_found_code, attributes);
    }
    if (error == ERROR_FILE_NOT_FOUND) {
      return MakeExitResult(file_not_found_code, attributes);
    }
    return MakeExitResult(start_failed_code, error);
  }
  CloseHandle(started.hThread);
  *process = started.hProcess;
  return MakeExitResult(0, 0);
}

ExitResult WaitForChild(HANDLE process) {
  ExitResult result;
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) {
    result = MakeExitResult(EXIT_WAIT_FAILED, GetLastError());
  } else {
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process, &exit_code)) {
      result = MakeExitResult(exit_code, 0);
    } else {
      result = MakeExitResult(EXIT_WAIT_FAILED, GetLastError());
    }
  }
  CloseHandle(process);
  return result;
}

ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code) {
  HANDLE process = nullptr;
  const ExitResult started =
      StartChild(program, command_line, file_not_found_code,
                 path_not_found_code, start_failed_code, &process);
  if (process == nullptr) return started;
  return WaitForChild(process);
}
