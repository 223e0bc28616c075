// Starts a program the way a double click in the user's desktop does,
// with the limited half of an elevated token, waits for it and exits with
// its exit code (the main job runs the installer through it).
//   start_limited PROGRAM [ARGUMENTS...]
// The program gets its full path in quotes and the arguments as written.
// 250 when it cannot be started.
#include <windows.h>

#include <string>

#include "support/test_support.h"

int wmain() {
  // The own program name ends at its closing quote or at the first blank.
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    for (++line; *line != 0 && *line != L'"'; ++line) {
    }
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  std::wstring program;
  const wchar_t* rest = line;
  if (*rest == L'"') {
    for (++rest; *rest != 0 && *rest != L'"'; ++rest) program += *rest;
    if (*rest == L'"') ++rest;
  } else {
    for (; *rest != 0 && *rest != L' ' && *rest != L'\t'; ++rest) {
      program += *rest;
    }
  }
  if (program.empty()) return 250;
  testing_support::ChildOptions options;
  options.token = testing_support::ChildToken::kLimited;
  options.timeout_ms = INFINITE;
  const testing_support::ChildOutcome outcome = testing_support::RunChild(
      program, L"\"" + program + L"\"" + rest, options);
  return outcome.started ? static_cast<int>(outcome.exit_code) : 250;
}
