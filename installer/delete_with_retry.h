// Deletion that survives transient locks: a busy object is tried again
// after a pause of 100 ms, up to 100 attempts in all. Objects are deleted
// only through an open handle with the delete disposition, never by name;
// they are opened by name inside a directory the run holds, never by a
// path, and a link is deleted itself, never its target (clear_directory.h).
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

// Raises the run's running maximum to attempts when that is larger.
void RaiseDeleteAttempts(int32_t* max_delete_attempts, int32_t attempts);

// Deletes the work directory with everything in it, whoever put it there,
// and lets go of it whatever the outcome. Each attempt is one pass over
// the whole tree through the hold; what is busy (in use, or a folder not
// yet empty) is tried again by the next pass, after a pause, with one
// budget of attempts for the whole tree. Once the tree is empty, the hold
// is traded for a handle that may delete the directory (see
// WorkDirectory::Retake), which another process that still has it open
// without sharing deletion (as its current directory, say) makes wait
// too, but for 20 attempts at most: an empty folder is left to a later
// run's reclaim. True when the directory was marked and went. *attempts
// is counted as by DeleteInDirectory; what still cannot go stays.
bool DeleteWorkDirectory(WorkDirectory* work, int32_t* attempts);

// The end-of-run cleanup: DeleteWorkDirectory, with its attempt count
// raising the run's maximum. Failures are not reported otherwise.
void DeleteExtractedFiles(WorkDirectory* work, int32_t* max_delete_attempts);
