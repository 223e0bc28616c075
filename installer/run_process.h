// Starting a child program and waiting for it.
#pragma once

#include <windows.h>

#include "exit_result.h"

// Starts program (by full path, no search) with command_line (a CmdBuf
// that already begins with the quoted program path), no inherited handles,
// no window and the system's default error mode. On success *process is
// the child's process handle, which the caller hands to WaitForChild.
// Otherwise the result carries the caller's code for a missing file, a
// missing directory or any other start failure, and *process is null.
ExitResult StartChild(const wchar_t* program, wchar_t* command_line,
                      uint32_t file_not_found_code,
                      uint32_t path_not_found_code, uint32_t start_failed_code,
                      HANDLE* process);

// Waits for the child without a time limit, closes its handle and returns
// its exit code (or 107 when waiting or reading the code failed).
ExitResult WaitForChild(HANDLE process);

// StartChild, then WaitForChild.
ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code);
