// The process entry point. No runtime start-up code runs before it and none
// after it: the run's exit code goes straight to ExitProcess.
#include <windows.h>

#include "run_installer.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void InstallerEntry() {
  const ExitResult result =
      RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  ExitProcess(result.exit_code);
}
