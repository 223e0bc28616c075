// hold_file.exe PATH MILLISECONDS
//
// Holds a file or directory open from a second process so that tests can
// watch code wait for it.
//
// - Opens PATH (a file or a directory) for reading, sharing READ and WRITE
//   but not DELETE: while held, nobody can open it for deletion (sharing
//   violation), and a directory holding it cannot be emptied of it.
// - Once it holds PATH it creates the empty marker file PATH + ".held".
//   The caller waits for that marker (or for the process to end, which
//   means the open failed). The marker is a sibling of PATH, so it never
//   makes a held directory non-empty; it is removed again on a normal exit,
//   but stays behind when the process is killed.
// - Holds for MILLISECONDS, or until killed when MILLISECONDS is -1, then
//   closes PATH and exits 0.
//
// Exit codes: 0 held and released; 1 bad arguments; 2 PATH could not be
// opened; 3 the marker could not be created (PATH is released first).
// testing_support::HeldFile wraps all of this for the tests.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  const std::wstring path = argv[1];
  wchar_t* end = nullptr;
  const long milliseconds = std::wcstol(argv[2], &end, 10);
  if (end == argv[2] || *end != L'\0' || milliseconds < -1) return 1;

  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 2;

  const std::wstring marker = path + L".held";
  HANDLE marker_file =
      CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker_file == INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return 3;
  }
  CloseHandle(marker_file);

  Sleep(milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
  DeleteFileW(marker.c_str());
  CloseHandle(held);
  return 0;
}
