// Starting a child program and waiting for it, and handing the installer's
// own arguments on to a child command line.
#pragma once

#include "exit_result.h"

// Runs program (by full path, no search) with command_line (a CmdBuf that
// already begins with the quoted program path), no inherited handles, no
// window, and waits without a time limit. The three codes are the caller's
// for a missing file, a missing directory and any other start failure.
ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code);

// Appends to command_line (capacity 1040) everything raw_command_line holds
// after its program name, verbatim. False when that tail does not fit
// whole: the command line then keeps its old text, and the caller must not
// run a child without the user's switches.
bool AppendArgumentTail(const wchar_t* raw_command_line,
                        wchar_t* command_line);
