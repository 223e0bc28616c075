// trust_windir.exe: loads cabinet.dll from "%WINDIR%\system32", the way a
// program that trusts the environment would, and exits 0 when it loaded
// something there. The positive control of the planting test: it shows
// that a library planted under the directory the environment names is
// loaded by anyone who asks for it by that name.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t path[MAX_PATH];
  const DWORD n = ExpandEnvironmentStringsW(L"%WINDIR%\\system32\\cabinet.dll",
                                            path, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return 2;
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) ? 0 : 1;
}
