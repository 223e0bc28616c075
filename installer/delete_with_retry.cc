#include "delete_with_retry.h"

#include <windows.h>

#include "delete_mark.h"
#include "relative_file.h"
#include "wide_buf.h"

namespace {

// Our own opens share everything so that they never cause the very sharing
// violations we are waiting out; the reparse flag makes a link delete
// itself rather than what it points to.
constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// Deletions and attribute repairs that succeed go straight back to the
// open without a pause. Normally the next open finds nothing, but a file
// system that keeps a deleted object openable, or ignores a cleared
// attribute while reporting success, would spin here for ever; past this
// many quick rounds the object is treated as busy and waited for instead.
constexpr int kQuickRoundsPerAttempt = 8;

HANDLE OpenInside(HANDLE directory, const wchar_t* name, DWORD access) {
  return OpenRelative(directory, name, access, kShareAll, kOpenExisting,
                      kNotThroughLinks);
}

// True when a read-only attribute was found and cleared on the open
// handle, so that the deletion is worth trying again at once.
bool ClearReadOnlyOn(HANDLE handle) {
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof info);
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info,
                                    sizeof info) ||
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  // Zero here means "leave the attributes as they are", which would keep
  // the file read-only; FILE_ATTRIBUTE_NORMAL is how to ask for none.
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &info,
                                    sizeof info) != FALSE;
}

bool ClearReadOnly(HANDLE directory, const wchar_t* name) {
  HANDLE handle = OpenInside(directory, name, kAttributeAccess);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool cleared = ClearReadOnlyOn(handle);
  CloseHandle(handle);
  return cleared;
}

enum class Next { kGone, kRetryNow, kPause, kGiveUp };

// What a failed open or deletion mark calls for. A read-only attribute
// is repaired by repair(), which says whether it found one to clear.
template <typename Repair>
Next AfterError(DWORD error, Repair repair) {
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
      return repair() ? Next::kRetryNow : Next::kPause;
    default:
      return Next::kGiveUp;
  }
}

// One open-and-delete round by name inside the directory.
Next TryDelete(HANDLE directory, const wchar_t* name) {
  const auto repair = [directory, name] {
    return ClearReadOnly(directory, name);
  };
  HANDLE handle = OpenInside(directory, name, DELETE);
  if (handle == INVALID_HANDLE_VALUE) return AfterError(GetLastError(), repair);
  const bool marked = MarkForDeletion(handle);
  const DWORD error = marked ? 0 : GetLastError();
  CloseHandle(handle);
  // The object goes with the close; the next open confirms it.
  if (marked) return Next::kRetryNow;
  return AfterError(error, repair);
}

// True when the directory open on handle is seen to hold anything but "."
// and "..". Windows refuses to mark a directory that is not empty; Wine
// marks it and then keeps it at the close, so the run would count as done
// a deletion that did not happen. Asking first gives both the same answer;
// where the question cannot be asked, the mark decides alone.
bool HoldsEntries(HANDLE handle) {
  // Room for "." and ".." and at least one entry with the longest name.
  alignas(8) unsigned char entries[2048];
  if (!GetFileInformationByHandleEx(handle, FileIdBothDirectoryRestartInfo,
                                    entries, sizeof entries)) {
    return false;
  }
  const unsigned char* at = entries;
  for (;;) {
    const FILE_ID_BOTH_DIR_INFO* entry =
        reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
    const DWORD units = entry->FileNameLength / sizeof(wchar_t);
    const wchar_t* name = entry->FileName;
    const bool dots = (units == 1 && name[0] == L'.') ||
                      (units == 2 && name[0] == L'.' && name[1] == L'.');
    if (!dots) return true;
    if (entry->NextEntryOffset == 0) return false;
    at += entry->NextEntryOffset;
  }
}

// One round through a handle the caller holds: once marked, the object goes
// when that handle closes, so there is nothing left to confirm.
Next TryDeleteHeld(HANDLE handle) {
  if (HoldsEntries(handle)) return Next::kPause;
  if (MarkForDeletion(handle)) return Next::kGone;
  return AfterError(GetLastError(),
                    [handle] { return ClearReadOnlyOn(handle); });
}

// Runs rounds with pauses between them until the object is gone or
// max_attempts attempts are used up.
template <typename Round>
bool RetryDeletion(Round round, int32_t max_attempts, int32_t* attempts) {
  *attempts = 1;
  int quick_rounds = 0;
  for (;;) {
    Next next = round();
    if (next == Next::kRetryNow) {
      if (++quick_rounds <= kQuickRoundsPerAttempt) continue;
      next = Next::kPause;
    }
    if (next == Next::kGone) return true;
    if (next == Next::kGiveUp) return false;
    if (*attempts >= max_attempts) return false;
    ++*attempts;
    quick_rounds = 0;
    Sleep(kDeletePauseMs);
  }
}

}  // namespace

bool DeleteInDirectory(HANDLE directory, const wchar_t* name,
                       int32_t* attempts) {
  return RetryDeletion([directory, name] { return TryDelete(directory, name); },
                       kMaxDeleteAttempts, attempts);
}

bool DeleteInDirectoryOnce(HANDLE directory, const wchar_t* name) {
  int32_t attempts = 0;
  return RetryDeletion([directory, name] { return TryDelete(directory, name); },
                       1, &attempts);
}

bool DeleteHeldDirectoryOnce(HANDLE directory) {
  int32_t attempts = 0;
  return RetryDeletion([directory] { return TryDeleteHeld(directory); }, 1,
                       &attempts);
}

bool DeleteWorkDirectory(WorkDirectory* work, int32_t* attempts) {
  *attempts = 1;
  if (!work->IsHeld()) return false;
  HANDLE handle = work->handle;
  const bool marked = RetryDeletion([handle] { return TryDeleteHeld(handle); },
                                    kMaxDeleteAttempts, attempts);
  // Marked or not, the hold ends here: a directory that stays is the
  // user's to remove.
  work->Release();
  return marked;
}

void RaiseDeleteAttempts(int32_t* max_delete_attempts, int32_t attempts) {
  if (attempts > *max_delete_attempts) *max_delete_attempts = attempts;
}

void DeleteExtractedFiles(const wchar_t* archive_path,
                          const wchar_t* setup_path, WorkDirectory* work,
                          int32_t* max_delete_attempts) {
  // The directory goes last: it can only be deleted once it is empty. The
  // files go by their names inside the held directory, so that nothing a
  // link in the folder's path names by now is ever touched.
  int32_t attempts = 0;
  const wchar_t* const files[] = {archive_path, setup_path};
  for (const wchar_t* path : files) {
    if (BoundedLength(path, kPathCapacity) == 0) continue;
    DeleteInDirectory(work->handle, LastComponent(path), &attempts);
    RaiseDeleteAttempts(max_delete_attempts, attempts);
  }
  DeleteWorkDirectory(work, &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
}
