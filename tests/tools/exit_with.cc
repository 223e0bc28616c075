// A child for the process tests.
//   exit_with CODE            exits with CODE (decimal or 0x-hex, 32 bits)
//   exit_with --handle VALUE  exits 1 when VALUE names an open handle here,
//                             0 when it does not
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--handle") == 0) {
    const HANDLE handle = reinterpret_cast<HANDLE>(
        static_cast<uintptr_t>(std::strtoull(argv[2], nullptr, 0)));
    DWORD flags = 0;
    ExitProcess(GetHandleInformation(handle, &flags) ? 1 : 0);
  }
  if (argc != 2) ExitProcess(250);
  ExitProcess(static_cast<UINT>(std::strtoul(argv[1], nullptr, 0)));
}
