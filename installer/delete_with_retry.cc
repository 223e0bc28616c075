#include "delete_with_retry.h"

#include <windows.h>

#include "wide_buf.h"

namespace {

// Our own opens share everything so that they never cause the very sharing
// violations we are waiting out; the reparse flag makes a link delete
// itself rather than what it points to.
constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kOpenFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// Deletions and attribute repairs that succeed go straight back to the
// open without a pause. Normally the next open finds nothing, but a file
// system that keeps a deleted object openable, or ignores a cleared
// attribute while reporting success, would spin here for ever; past this
// many quick rounds the object is treated as busy and waited for instead.
constexpr int kQuickRoundsPerAttempt = 8;

HANDLE OpenPath(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING,
                     kOpenFlags, nullptr);
}

// True when a read-only attribute was found and cleared, so that the
// deletion is worth trying again at once.
bool ClearReadOnly(const wchar_t* path) {
  HANDLE handle = OpenPath(path, kAttributeAccess);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof info);
  bool cleared = false;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &info,
                                   sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // Zero here means "leave the attributes as they are", which would keep
    // the file read-only; FILE_ATTRIBUTE_NORMAL is how to ask for none.
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    cleared = SetFileInformationByHandle(handle, FileBasicInfo, &info,
                                         sizeof info) != FALSE;
  }
  CloseHandle(handle);
  return cleared;
}

enum class Next { kGone, kRetryNow, kPause, kGiveUp };

// One open-and-delete round and what the error (if any) calls for.
Next TryDelete(const wchar_t* path) {
  DWORD error = 0;
  HANDLE handle = OpenPath(path, DELETE);
  if (handle == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    const BOOL marked = SetFileInformationByHandle(
        handle, FileDispositionInfo, &disposition, sizeof disposition);
    if (!marked) error = GetLastError();
    CloseHandle(handle);
    // The object goes with the close; the next open confirms it.
    if (marked) return Next::kRetryNow;
  }
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Next::kGone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
      return Next::kPause;
    case ERROR_ACCESS_DENIED:
      // Either the read-only attribute, or an object whose deletion is
      // already pending while someone still holds it: the latter only
      // needs time.
      return ClearReadOnly(path) ? Next::kRetryNow : Next::kPause;
    default:
      return Next::kGiveUp;
  }
}

}  // namespace

bool DeleteWithRetry(const wchar_t* path, int32_t* attempts) {
  *attempts = 1;
  int quick_rounds = 0;
  for (;;) {
    Next next = TryDelete(path);
    if (next == Next::kRetryNow) {
      if (++quick_rounds <= kQuickRoundsPerAttempt) continue;
      next = Next::kPause;
    }
    if (next == Next::kGone) return true;
    if (next == Next::kGiveUp) return false;
    if (*attempts >= kMaxDeleteAttempts) return false;
    ++*attempts;
    quick_rounds = 0;
    Sleep(kDeletePauseMs);
  }
}

void RaiseDeleteAttempts(int32_t* max_delete_attempts, int32_t attempts) {
  if (attempts > *max_delete_attempts) *max_delete_attempts = attempts;
}

void DeleteExtractedFiles(const wchar_t* archive_path,
                          const wchar_t* setup_path,
                          const wchar_t* work_directory,
                          int32_t* max_delete_attempts) {
  // The directory goes last: it can only be deleted once it is empty.
  int32_t attempts = 0;
  if (BoundedLength(archive_path, kPathCapacity) != 0) {
    DeleteWithRetry(archive_path, &attempts);
    RaiseDeleteAttempts(max_delete_attempts, attempts);
  }
  if (BoundedLength(setup_path, kPathCapacity) != 0) {
    DeleteWithRetry(setup_path, &attempts);
    RaiseDeleteAttempts(max_delete_attempts, attempts);
  }
  DeleteWithRetry(work_directory, &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
}
