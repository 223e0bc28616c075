// A stub unlike installer.exe, for the packer: its resource section is not
// on a page of the file, and its resources have string names and two
// languages. Packed, it looks up every resource it should carry through
// the loader, whose binary search finds an entry only in a directory in
// the right order; it exits with 0, or with 10 + the number of the first
// lookup that failed.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE module, HINSTANCE, PWSTR, int) {
  struct Lookup {
    const wchar_t* type;
    const wchar_t* name;
    WORD language;
  };
  const Lookup lookups[] = {
      {L"ZZ", L"ALPHA", 1033},
      {L"ZZ", L"MIDDLE", 1033},
      {L"ZZ", L"MIDDLE", 1031},
      {L"ZZ", L"ZULU", 1033},
      {RT_RCDATA, MAKEINTRESOURCEW(7), 1033},
      {RT_VERSION, MAKEINTRESOURCEW(1), 1033},
      {L"B7", L"KORVEN.PACKED.7Z", 1033},
      {L"BN", L"SETUP.EXE", 1033},
      {RT_RCDATA, MAKEINTRESOURCEW(1), 1033},
  };
  for (int i = 0; i < static_cast<int>(sizeof lookups / sizeof lookups[0]);
       ++i) {
    if (FindResourceExW(module, lookups[i].type, lookups[i].name,
                        lookups[i].language) == nullptr) {
      return 10 + i;
    }
  }
  return 0;
}
