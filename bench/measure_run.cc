// Runs one program the way a user starts it (from its own folder), waits
// for it and prints what it cost, on one line:
//   exit=N wall_ms=T peak_working_set=B peak_pagefile=B samples=S
//
//   measure_run.exe PROGRAM [ARGUMENTS...]
//   measure_run.exe --spin MS
//
// wall_ms runs from just before CreateProcessW to the moment the process
// handle is signalled: the platform's process start and end are inside it,
// this program's own start is not. The memory figures are the child's
// process memory counters, read every few milliseconds while it runs and
// kept at their highest, because the counters of a process that has ended
// cannot be read under Wine (they come from the running Unix process).
//
// With --spin it starts nothing: it keeps the processor busy until its own
// process has used MS milliseconds of processor time, and exits 0. Started
// as the PROGRAM of another measure_run.exe, it is a Windows child with a
// known cost, started as an installer is, which tells whether a count of
// processor time includes such children.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
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

// Processor time this process has used so far, in milliseconds.
double OwnProcessorMs() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
    return -1;
  }
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
           t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
}

int Spin(const wchar_t* ms_text) {
  const double until = std::wcstod(ms_text, nullptr);
  if (until <= 0 || OwnProcessorMs() < 0) {
    std::fprintf(stderr, "measure_run: --spin needs MS and processor times\n");
    return 2;
  }
  volatile unsigned long long sink = 0;
  while (OwnProcessorMs() < until) {
    for (int i = 0; i < 1000000; ++i) sink = sink + i;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--spin") return Spin(argv[2]);
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: measure_run.exe PROGRAM [ARGUMENTS...]\n"
                 "       measure_run.exe --spin MS\n");
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
