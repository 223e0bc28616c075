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

// The most deletions one pass makes, so that a process that keeps making
// names cannot keep a pass going for ever; the next pass goes on.
constexpr int64_t kDeletionsPerPass = 65536;
// Once nothing is left inside, the attempts that wait for other processes
// to let go of the directory itself. A setup program that made its folder
// its current directory passes it on to what it starts last, the product
// among them, which may run for days; that folder, empty by then, is left
// to the reclaim of a later run.
constexpr int kMaxEmptyDirectoryRounds = 20;

struct Removal {
  bool removed;
  int empty_rounds;  // rounds that found only the directory itself held
};

// One attempt at the whole work directory. The first round empties it
// through the hold; once it is empty the hold is traded for a handle that
// may delete it, the contents are looked at once more through that handle
// (something may have been made meanwhile) and the directory is marked.
// The run's marker goes last, so that a run cut short in between still
// leaves a folder that a later run knows for a run's own.
DeleteOutcome RemovalRound(WorkDirectory* work, Removal* removal) {
  ClearLimits limits = {0, kDeletionsPerPass, kRunMarkerName};
  // A round that had to let go of the directory takes it up again.
  if (!work->IsHeld() && !work->Retake(true) && !work->Retake(false)) {
    return OutcomeOfError(GetLastError());
  }
  for (int step = 0; step < 2; ++step) {
    const DeleteOutcome contents = ClearDirectoryOnce(work->handle, &limits);
    if (contents != DeleteOutcome::kGone) return contents;
    if (work->deletable) {
      const DeleteOutcome marker =
          DeleteObjectOnce(work->handle, kRunMarkerName, 0);
      if (marker != DeleteOutcome::kGone) return marker;
      const DeleteOutcome marked = MarkDirectoryOnce(work->handle);
      removal->removed = marked == DeleteOutcome::kGone;
      return marked;
    }
    if (!work->Retake(true)) {
      const DWORD error = GetLastError();
      // Held again for the wait, so that the directory stays the run's.
      work->Retake(false);
      ++removal->empty_rounds;
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
  Removal removal = {false, 0};
  if (work->IsHeld()) {
    RetryWhileBusy(
        [work, &removal] {
          const DeleteOutcome outcome = RemovalRound(work, &removal);
          return outcome == DeleteOutcome::kBusy &&
                         removal.empty_rounds >= kMaxEmptyDirectoryRounds
                     ? DeleteOutcome::kStuck
                     : outcome;
        },
        attempts);
  }
  // Marked or not, the hold ends here: a directory that stays is the
  // user's to remove, or a later run's to take back.
  work->Release();
  return removal.removed;
}

void DeleteExtractedFiles(WorkDirectory* work, int32_t* max_delete_attempts) {
  int32_t attempts = 0;
  DeleteWorkDirectory(work, &attempts);
  RaiseDeleteAttempts(max_delete_attempts, attempts);
}
