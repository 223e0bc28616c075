// The process entry point. No runtime start-up code runs before it and none
// after it: the run's exit code goes straight to ExitProcess.
#include <windows.h>

#include "run_installer.h"
#include "system_library.h"

// The linker's own name for the image's first byte.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// The installer runs from a download folder that any program of the user
// can write to. Before anything else may load a library, the search is cut
// down to the system directory, so that no DLL planted beside the installer
// or in the current directory is ever picked up, by this code or by the
// system libraries it calls. Windows versions without the function (an
// unpatched Windows 7) keep their default search.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const SetDefaultDllDirectoriesFn set_default =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
          Kernel32Function("SetDefaultDllDirectories")));
  if (set_default != nullptr) {
    set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // The current directory also leaves the search of older loaders.
  SetDllDirectoryW(L"");
}

}  // namespace

extern "C" void InstallerEntry() {
  // The installer never shows a window, and an unattended run must not
  // wait on a box nobody sees: no critical-error, fault or open-file box
  // on its behalf.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  RestrictDllSearch();
  const ExitResult result =
      RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  ExitProcess(result.exit_code);
}
