#include "held_program.h"

#include "delete_with_retry.h"
#include "owned_handle.h"

namespace {

HANDLE OpenForHold(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// 0 when what is open is a plain file and, when known, the one written.
DWORD CheckHeld(HANDLE handle, const FileIdentity& written) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                    sizeof tag)) {
    return GetLastError();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return ERROR_BAD_FILE_TYPE;
  }
  // Only a link that stands for another name decides where the start
  // would go; other tags leave the file what it is.
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return ERROR_BAD_FILE_TYPE;
  }
  if (!written.known) return 0;
  FileIdentity held;
  if (!ReadFileIdentity(handle, &held)) return GetLastError();
  return SameFile(held, written) ? 0 : ERROR_FILE_INVALID;
}

}  // namespace

HeldProgram::HeldProgram() : handle(INVALID_HANDLE_VALUE) {}

HeldProgram::~HeldProgram() { Release(); }

bool HeldProgram::Hold(const FileIdentity& written) {
  Release();
  HANDLE opened = OpenForHold(path.get());
  for (int32_t attempt = 1; opened == INVALID_HANDLE_VALUE &&
                            GetLastError() == ERROR_SHARING_VIOLATION &&
                            attempt < kMaxDeleteAttempts;
       ++attempt) {
    Sleep(kDeletePauseMs);
    opened = OpenForHold(path.get());
  }
  if (opened == INVALID_HANDLE_VALUE) return false;
  const DWORD refused = CheckHeld(opened, written);
  if (refused != 0) {
    CloseHandle(opened);
    SetLastError(refused);
    return false;
  }
  handle = opened;
  return true;
}

void HeldProgram::Release() { CloseOwnedHandle(&handle); }
