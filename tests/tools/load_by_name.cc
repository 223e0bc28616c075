// load_by_name.exe NAME...: loads each library by its bare name, through
// the ordinary search that begins in the program's own folder, as a program
// without the installer's protection would, and exits with the number it
// could not load. The positive control of the planting test: under the same
// overrides it must pick up every library planted beside it. It imports
// kernel32 alone (and splits its own command line), so that none of the
// planted names is bound before it asks for them.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
  int missing = 0;
  wchar_t name[MAX_PATH];
  for (const wchar_t* at = arguments; *at != 0;) {
    while (*at == L' ') ++at;
    int length = 0;
    while (*at != 0 && *at != L' ' && length < MAX_PATH - 1)
      name[length++] = *at++;
    name[length] = 0;
    if (length != 0 && LoadLibraryW(name) == nullptr) ++missing;
  }
  return missing;
}
