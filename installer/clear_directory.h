// Deleting what lies inside a directory the run has open: one object, or
// one pass over a whole tree. Every object is opened by its name inside
// an open directory and deleted through that handle; a link (symbolic
// link, junction, mount point) is deleted itself and never entered, so
// nothing outside the directory is ever touched. Nothing here waits: a
// caller that wants to wait for busy objects pauses between passes.
#pragma once

#include <windows.h>

#include <cstdint>

// What became of an object, or of a directory's contents, after one try.
enum class DeleteOutcome {
  kGone,   // deleted or not there; for contents: nothing is left inside
  kBusy,   // in use, or not yet empty: another try after a pause may do
  kStuck,  // refused for a reason that no pause changes
};

// What an error met while opening or deleting an object calls for that no
// repair can help: gone for an object that is not there; busy for one in
// use (a sharing violation, access denied, a directory not yet empty, an
// oplock being broken); stuck for anything else.
DeleteOutcome OutcomeOfError(DWORD error);

// Subdirectories deeper than this below the directory a pass starts from
// are not entered: they stay, and so does everything above them, as stuck
// (no pause changes it).
constexpr int kMaxClearDepth = 64;

// Deletes name (one component: a file, an empty directory, or a link
// itself) inside the directory open on directory. A read-only attribute
// that stands in the way is cleared, unless the file has other names (the
// attribute is the file's, which those names share). A reparse point is
// deleted as itself. options are added to every open
// (kNeverWaitForOplocks for a caller that must not wait on anybody).
DeleteOutcome DeleteObjectOnce(HANDLE directory, const wchar_t* name,
                               ULONG options);

// Marks the directory open on handle (with delete and attribute access),
// which the caller has just seen empty, so that it goes when the handle
// closes. A read-only attribute that stands in the way is cleared.
DeleteOutcome MarkDirectoryOnce(HANDLE handle);

// Whether the directory open on directory (with listing access) holds
// nothing but "." and ".." (and spare, when not null): Windows refuses to
// mark a directory that is not empty, but Wine marks it and then keeps it
// at the close, so asking first gives both the same answer. A listing that
// cannot be read is not empty.
bool HoldsNothing(HANDLE directory, const wchar_t* spare);

// How far one pass over a tree may go.
struct ClearLimits {
  ULONG options;         // added to every open, as for DeleteObjectOnce
  int64_t objects_left;  // deletions still allowed; at 0 the pass stops
  // A name directly inside the directory the pass starts from that it
  // leaves in place and does not count (may be null): the caller deletes
  // it last.
  const wchar_t* spare;
};

// One pass over everything inside the directory open on directory (with
// listing access): files and links go as themselves, subdirectories are
// emptied the same way and then go; a directory that is a reparse point
// standing for another name (a junction, a directory link, a mount point)
// is a link, never entered, while one that only marks where its content
// lives (a cloud placeholder) is a subdirectory. kGone when nothing (but
// the spare name) is left inside (the directory itself stays, for its
// owner to delete); kBusy when
// something is left that a later pass may take, the limit of deletions
// reached included; kStuck when something is left that no later pass will
// take. A listing that cannot be read counts as not empty, never as empty.
DeleteOutcome ClearDirectoryOnce(HANDLE directory, ClearLimits* limits);
