// Runs one program the way a user starts it (from its own folder), waits
// for it and prints what it cost, on one line:
//   exit=N wall_ms=T peak_working_set=B peak_pagefile=B samples=S
//
//   measure_run.exe PROGRAM [ARGUMENTS...]
//
// wall_ms runs from just before CreateProcessW to the moment the process
// handle is signalled: the platform's process start and end are inside it,
// this program's own start is not. The memory figures are the child's
// process memory counters, read every few milliseconds while it runs and
// kept at their highest, because the counters of a process that has ended
// cannot be read under Wine (they come from the running Unix process).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

// The rest of this program's own command line after its first argument,
// exactly as given, so that the child sees the user's quoting.
const wchar_t* ArgumentsAfterFirst(const wchar_t* line) {
  bool quoted = false;
  while (*line == L' ' || *line == L'\t') ++line;
  for (int pass = 0; pass < 2; ++pass) {  // this program, then PROGRAM
    for (; *line; ++line) {
      if (*line == L'"') quoted = !quoted;
      if (!quoted && (*line == L' ' || *line == L'\t')) break;
    }
    while (*line == L' ' || *line == L'\t') ++line;
  }
  return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: measure_run.exe PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  wchar_t full[MAX_PATH];
  wchar_t* name = nullptr;
  if (!GetFullPathNameW(argv[1], MAX_PATH, full, &name) || !name) {
    std::fprintf(stderr, "measure_run: bad program path\n");
    return 2;
  }
  std::wstring folder(full, name - full);
  std::wstring line = L"\"" + std::wstring(full) + L"\"";
  const wchar_t* rest = ArgumentsAfterFirst(GetCommandLineW());
  if (*rest) line += L" " + std::wstring(rest);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(full, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    std::fprintf(stderr, "measure_run: CreateProcess failed, error %lu\n",
                 GetLastError());
    return 2;
  }
  CloseHandle(process.hThread);
  SIZE_T peak_working_set = 0, peak_pagefile = 0;
  int samples = 0;
  for (;;) {
    const DWORD waited = WaitForSingleObject(process.hProcess, 5);
    if (waited == WAIT_OBJECT_0) break;
    if (waited != WAIT_TIMEOUT) {
      std::fprintf(stderr, "measure_run: wait failed, error %lu\n",
                   GetLastError());
      CloseHandle(process.hProcess);
      return 2;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) {
      ++samples;
      if (counters.PeakWorkingSetSize > peak_working_set)
        peak_working_set = counters.PeakWorkingSetSize;
      if (counters.PeakPagefileUsage > peak_pagefile)
        peak_pagefile = counters.PeakPagefileUsage;
    }
  }
  QueryPerformanceCounter(&end);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  const double ms = 1000.0 *
                    static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart);
  std::printf(
      "exit=%lu wall_ms=%.1f peak_working_set=%llu peak_pagefile=%llu "
      "samples=%d\n",
      code, ms, static_cast<unsigned long long>(peak_working_set),
      static_cast<unsigned long long>(peak_pagefile), samples);
  return 0;
}
