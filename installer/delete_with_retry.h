// Deletion that survives transient locks. Objects are deleted only through
// an open handle with the delete disposition, never by name; they are
// opened by name inside a directory the run holds, never by a path, and a
// link is deleted itself, never its target.
#pragma once

#include <cstdint>

#include "work_directory.h"

constexpr int32_t kMaxDeleteAttempts = 100;
constexpr unsigned kDeletePauseMs = 100;

// Deletes name (one component: a file, an empty directory, or a link
// itself) inside the directory open on directory. True when it no longer
// exists there at the end. *attempts is 1 plus the number of 100 ms pauses
// taken, at most 100.
bool DeleteInDirectory(HANDLE directory, const wchar_t* name,
                       int32_t* attempts);

// One attempt of each, without a pause, for what must never wait: true
// when name no longer exists inside directory; true when the directory
// open on directory (with delete and listing access) was empty and is
// marked, so that it goes when that handle closes.
bool DeleteInDirectoryOnce(HANDLE directory, const wchar_t* name);
bool DeleteHeldDirectoryOnce(HANDLE directory);

// Raises the run's running maximum to attempts when that is larger.
void RaiseDeleteAttempts(int32_t* max_delete_attempts, int32_t attempts);

// Deletes the work directory through its own hold, retrying while it is
// not yet empty or is busy, and then lets go of the hold whatever the
// outcome. True when the directory was marked and goes with the hold.
// *attempts is counted as by DeleteWithRetry.
bool DeleteWorkDirectory(WorkDirectory* work, int32_t* attempts);

// The end-of-run cleanup: the archive and the setup program (each skipped
// when empty; each deleted by its name inside the held work directory),
// then the work directory, always. Failures are not reported, only the
// attempt counts through max_delete_attempts.
void DeleteExtractedFiles(const wchar_t* archive_path,
                          const wchar_t* setup_path, WorkDirectory* work,
                          int32_t* max_delete_attempts);
