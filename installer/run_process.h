// Starting a child program and waiting for it.
#pragma once

#include <windows.h>

#include "exit_result.h"

// A child that was started suspended, owned together with what keeps a
// start that is cut short (the installer killed right then) from leaving
// it behind: a job object that ends it when its last handle closes, until
// the child is let run. A child that is never let run is ended when the
// owner goes.
struct StartedChild {
  HANDLE process;  // null when there is none
  HANDLE thread;
  HANDLE job;  // null where Windows cannot start a process inside a job

  StartedChild();
  ~StartedChild();
  StartedChild(const StartedChild&) = delete;
  StartedChild& operator=(const StartedChild&) = delete;

  // Lets the child run, and lets it outlive the installer from then on.
  // False, with the child ended and the last error set, when it cannot be
  // resumed.
  bool LetRun();
  // Ends a child that was never let run, and closes everything. Harmless
  // when there is nothing.
  void Release();

 private:
  bool running_;
};

// Starts program (by full path, no search) with command_line (a CmdBuf
// that already begins with the quoted program path), suspended, with no
// inherited handles, no window and the system's default error mode.
//
// Where Windows can (Windows 10 and later) it is made inside a job of its
// own that ends it should the installer be killed before it runs. Once it
// runs, the job sets no limits: the child may break away from it, and
// what the child starts leaves it without asking (unless a job the
// installer runs in keeps them), so nothing it starts is in it. The child
// itself stays in it; from Windows 8 on, jobs nest, and it may still put
// itself into jobs of its own, except one with limits on its user
// interface, which Windows refuses to any process already in a job. Where
// Windows cannot make it inside a job, or a job of the installer's own
// forbids one, the child starts without.
//
// lend (may be null): the child gets a duplicate of this handle that it
// does not know of and that none of its own children inherit, so that the
// object stays open exactly as long as the child lives (the work
// directory's hold, which tells the next run that this run's folder is
// still worked in).
//
// On success *child owns the suspended child, which the caller lets run
// (RunChildToEnd). Otherwise the result carries the caller's code for a
// missing file, a missing directory or any other start failure, and
// *child owns nothing.
ExitResult StartChild(const wchar_t* program, wchar_t* command_line,
                      HANDLE lend, uint32_t file_not_found_code,
                      uint32_t path_not_found_code, uint32_t start_failed_code,
                      StartedChild* child);

// Lets the started child run, waits for it without a time limit, lets go
// of it and returns its exit code (start_failed_code when it could not be
// resumed, 107 when waiting or reading the code failed).
ExitResult RunChildToEnd(StartedChild* child, uint32_t start_failed_code);

// StartChild, then RunChildToEnd.
ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             HANDLE lend, uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code);
