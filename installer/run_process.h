// Starting a child program and waiting for it.
#pragma once

#include "exit_result.h"

// Runs program (by full path, no search) with command_line (a CmdBuf that
// already begins with the quoted program path), no inherited handles, no
// window, the system's default error mode, and waits without a time limit. The
// three codes are the caller's for a missing file, a missing directory and any
// other start failure.
ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code);
