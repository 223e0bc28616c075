#include "delete_with_retry.h"

#include <windows.h>

#include "clear_directory.h"

namespace {

// Runs rounds with pauses between them while the object is busy, until it
// is gone, is stuck, or max_attempts attempts are used up.
template <typename Round>
DeleteOutcome RetryWhileBusy(Round round, int32_t* attempts) {
  *attempts = 1;
  for (;;) {
    const DeleteOutcome outcome = round();
    if (outcome != DeleteOutcome::kBusy) return outcome;
    if (*attempts >= kMaxDeleteAttempts) return outcome;
    ++*attempts;
    Sleep(kDeletePauseMs);
  }
}

// One attempt at the whole work directory. The first round empties it
// through the hold; once it is empty the hold is traded for a handle that
// may delete it, the contents are looked at once more through that handle
// (something may have been made meanwhile) and the directory is marked.
DeleteOutcome RemovalRound(WorkDirectory* work, ClearLimits* limits,
                           bool* removed) {
  // A round that had to let go of the directory (another process still
  // had it open) takes it up again by name, as it was held.
  if (!work->IsHeld() && !work->Retake(true) && !work->Retake(false)) {
    // ERROR_FILE_INVALID, something else under its name, is not the run's
    // to delete: stuck, as is every error that waiting does not change.
    return OutcomeOfError(GetLastError());
  }
  for (int step = 0; step < 2; ++step) {
    const DeleteOutcome contents = ClearDirectoryOnce(work->handle, limits);
    if (contents != DeleteOutcome::kGone) return contents;
    if (work->deletable) {
      const DeleteOutcome marked = MarkDirectoryOnce(work->handle);
      *removed = marked == DeleteOutcome::kGone;
      return marked;
    }
    if (!work->Retake(true)) {
      const DWORD error = GetLastError();
      // Held again for the wait, so that the directory stays the run's.
      work->Retake(false);
      return OutcomeOfError(error);
    }
  }
  return DeleteOutcome::kBusy;
}

}  // namespace

bool DeleteInDirectory(HANDLE directory, const wchar_t* name,
                       int32_t* attempts) {
  return RetryWhileBusy(
             [directory, name] { return DeleteObjectOnce(directory, name, 0); },
             attempts) == DeleteOutcome::kGone;
}

void RaiseDeleteAttempts(int32_t* max_delete_attempts, int32_t attempts) {
  if (attempts > *max_delete_attempts) *max_delete_attempts = attempts;
}

bool DeleteWorkDirectory(WorkDirectory* work, int32_t* attempts) {
  *attempts = 1;
  bool removed = false;
  if (work->IsHeld()) {
    // The run's own directory: everything in it goes, however much.
    ClearLimits limits = {0, INT64_MAX};
    RetryWhileBusy([work, &limits,
                    &removed] { return RemovalRound(work, &limits, &removed); },
                   attempts);
  }
  // Marked or not, the hold ends here: a directory that stays is the
  // user's to remove, or a later run's to take back.
  work->Release();
  return removed;
}

void DeleteExtractedFiles(WorkDirectory* work, int32_t* max_delete_attempts) {
  int32_t attempts = 0;
  DeleteWorkDirectory(work, &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
}
