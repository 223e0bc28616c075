// A stand-in for shell32.dll whose command-line splitter always fails, as
// the real one does only when memory runs out. Put in the system directory
// of a Wine prefix of its own and loaded only for one program name, it makes
// the settings failure reachable through the real installer.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI FakeShellEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" wchar_t** WINAPI CommandLineToArgvW(const wchar_t*, int* count) {
  if (count != nullptr) *count = 0;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}
