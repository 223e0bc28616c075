#include "hold_open.h"

namespace {

constexpr DWORD kNotPlain = FILE_ATTRIBUTE_REPARSE_POINT;

// Fails the hold when what was opened is not what the installer made.
HANDLE Checked(HANDLE handle, bool want_directory) {
  if (handle == INVALID_HANDLE_VALUE) return handle;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error = 0;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = GetLastError();
  } else if ((info.dwFileAttributes & kNotPlain) != 0) {
    error = ERROR_BAD_FILE_TYPE;
  } else if (((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) !=
             want_directory) {
    error = ERROR_BAD_FILE_TYPE;
  } else if (!want_directory && info.nNumberOfLinks != 1) {
    // A second name means the file is also someone else's to change.
    error = ERROR_BAD_FILE_TYPE;
  }
  if (error == 0) return handle;
  CloseHandle(handle);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE HoldWorkDirectory(const wchar_t* work_directory) {
  // Sharing read and write but not delete: files inside can still be
  // created and removed, the directory itself cannot be moved or removed.
  return Checked(
      CreateFileW(work_directory, FILE_LIST_DIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                  nullptr),
      true);
}

HANDLE HoldSetupProgram(const wchar_t* setup_path) {
  // Starting a program only reads its file, so read sharing is all that
  // process creation needs; denying write and delete sharing also fails
  // the open while anybody else still holds the file for writing.
  return Checked(CreateFileW(setup_path, GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                 false);
}

void ReleaseHold(HANDLE* held) {
  if (*held == INVALID_HANDLE_VALUE) return;
  HANDLE handle = *held;
  *held = INVALID_HANDLE_VALUE;
  CloseHandle(handle);
}
