#include "clear_directory.h"

#include "delete_mark.h"
#include "relative_file.h"
#include "wide_buf.h"

namespace {

// Our own opens share everything so that they never cause the very sharing
// violations a caller waits out.
constexpr ULONG kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kAttributeAccess =
    FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// A subdirectory is listed, emptied and deleted through one handle.
constexpr ACCESS_MASK kSubdirectoryAccess =
    DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | kAttributeAccess;

// Deletions and attribute repairs that succeed go straight back to the
// open. Normally the next open finds nothing, but a file system that keeps
// a deleted object openable, or ignores a cleared attribute while
// reporting success, would spin here for ever; past this many quick
// rounds the object counts as busy.
constexpr int kQuickRounds = 8;

constexpr ULONG kFileDirectoryInformation = 1;

// A FILE_DIRECTORY_INFORMATION entry of a listing.
struct DirectoryEntry {
  ULONG next_entry_offset;
  ULONG file_index;
  LARGE_INTEGER times[4];
  LARGE_INTEGER end_of_file;
  LARGE_INTEGER allocation_size;
  ULONG file_attributes;
  ULONG file_name_length;  // bytes
  WCHAR file_name[1];
};

// Room for one entry with the longest name a file system gives, and some.
constexpr size_t kListingBytes = 1024;
// The longest name a listing can give, in units, with its terminator.
constexpr size_t kNameCapacity = 256;

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

// A file with more than one name: its attributes are those of every name.
bool HasOtherNames(HANDLE handle) {
  FILE_STANDARD_INFO standard;
  return !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                       sizeof standard) ||
         standard.NumberOfLinks > 1;
}

// The read-only attribute of a file whose other names lie elsewhere is
// not the run's to change: deleting this one name does not need it where
// Windows deletes with POSIX semantics, and elsewhere the name stays.
bool ClearReadOnly(HANDLE directory, const wchar_t* name, ULONG options) {
  HANDLE handle = OpenRelative(directory, name, kAttributeAccess, kShareAll,
                               kOpenExisting, kNotThroughLinks | options);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool cleared = !HasOtherNames(handle) && ClearReadOnlyOn(handle);
  CloseHandle(handle);
  return cleared;
}

enum class Next { kGone, kRetryNow, kBusy, kStuck };

// What a failed open or deletion mark calls for. A read-only attribute is
// repaired by repair(), which says whether it found one to clear.
template <typename Repair>
Next AfterError(DWORD error, Repair repair) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Next::kGone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
    case kErrorOplockBreakInProgress:
      return Next::kBusy;
    case ERROR_ACCESS_DENIED:
      // Either the read-only attribute, or an object whose deletion is
      // already pending while someone still holds it: the latter only
      // needs time.
      return repair() ? Next::kRetryNow : Next::kBusy;
    default:
      return Next::kStuck;
  }
}

DeleteOutcome OutcomeOf(Next next) {
  switch (next) {
    case Next::kGone:
      return DeleteOutcome::kGone;
    case Next::kStuck:
      return DeleteOutcome::kStuck;
    default:
      return DeleteOutcome::kBusy;
  }
}

// One open-and-delete round by name inside the directory. The object goes
// with the close; the next round's open confirms it.
Next TryDelete(HANDLE directory, const wchar_t* name, ULONG options) {
  const auto repair = [directory, name, options] {
    return ClearReadOnly(directory, name, options);
  };
  HANDLE handle = OpenRelative(directory, name, DELETE, kShareAll,
                               kOpenExisting, kNotThroughLinks | options);
  if (handle == INVALID_HANDLE_VALUE) return AfterError(GetLastError(), repair);
  const bool marked = MarkForDeletion(handle);
  const DWORD error = marked ? 0 : GetLastError();
  CloseHandle(handle);
  if (marked) return Next::kRetryNow;
  return AfterError(error, repair);
}

bool IsDots(const DirectoryEntry& entry) {
  const size_t units = entry.file_name_length / sizeof(wchar_t);
  const wchar_t* name = entry.file_name;
  return (units == 1 && name[0] == L'.') ||
         (units == 2 && name[0] == L'.' && name[1] == L'.');
}

// Whether the entry is the spare name (compared as the file system
// compares names, which NtCreateFile was asked to do: without case).
bool IsSpare(const DirectoryEntry& entry, const wchar_t* spare) {
  if (spare == nullptr) return false;
  const size_t units = entry.file_name_length / sizeof(wchar_t);
  return units == TextLength(spare) &&
         CompareStringOrdinal(entry.file_name, static_cast<int>(units), spare,
                              static_cast<int>(units), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool HoldsNothing(HANDLE directory, const wchar_t* spare) {
  alignas(8) unsigned char entries[kListingBytes];
  const DWORD error = ListEntries(directory, entries, sizeof entries,
                                  kFileDirectoryInformation, nullptr, true);
  if (error == ERROR_NO_MORE_FILES) return true;
  if (error != 0) return false;
  for (const unsigned char* at = entries;;) {
    const DirectoryEntry* entry = reinterpret_cast<const DirectoryEntry*>(at);
    if (!IsDots(*entry) && !IsSpare(*entry, spare)) return false;
    if (entry->next_entry_offset == 0) break;
    at += entry->next_entry_offset;
  }
  // The dots may fill a first batch on their own; the next one decides.
  return ListEntries(directory, entries, sizeof entries,
                     kFileDirectoryInformation, nullptr,
                     false) == ERROR_NO_MORE_FILES;
}

namespace {

DeleteOutcome Worse(DeleteOutcome a, DeleteOutcome b) {
  return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

DeleteOutcome ClearLevel(HANDLE directory, ClearLimits* limits, int depth);

// A subdirectory: emptied through a handle of its own, then deleted
// through that same handle. What the name leads to by the time it is
// opened decides, not what the listing said: a link, or a link put in its
// place meanwhile, is deleted as itself.
DeleteOutcome RemoveSubdirectory(HANDLE directory, const wchar_t* name,
                                 ClearLimits* limits, int depth) {
  HANDLE child =
      OpenRelative(directory, name, kSubdirectoryAccess, kShareAll,
                   kOpenExisting, kNotThroughLinks | limits->options);
  if (child == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Not a directory any more: whatever it is now goes as itself.
    if (error == ERROR_DIRECTORY) {
      return DeleteObjectOnce(directory, name, limits->options);
    }
    return OutcomeOfError(error);
  }
  FILE_ATTRIBUTE_TAG_INFO tag;
  const bool plain_directory =
      GetFileInformationByHandleEx(child, FileAttributeTagInfo, &tag,
                                   sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
       !IsReparseTagNameSurrogate(tag.ReparseTag));
  if (!plain_directory) {
    CloseHandle(child);
    return DeleteObjectOnce(directory, name, limits->options);
  }
  DeleteOutcome outcome = ClearLevel(child, limits, depth + 1);
  if (outcome == DeleteOutcome::kGone) outcome = MarkDirectoryOnce(child);
  CloseHandle(child);
  return outcome;
}

DeleteOutcome ClearLevel(HANDLE directory, ClearLimits* limits, int depth) {
  alignas(8) unsigned char entries[kListingBytes];
  DeleteOutcome worst = DeleteOutcome::kGone;
  for (bool restart = true;; restart = false) {
    const DWORD error =
        ListEntries(directory, entries, sizeof entries,
                    kFileDirectoryInformation, nullptr, restart);
    if (error == ERROR_NO_MORE_FILES) break;
    if (error != 0) return DeleteOutcome::kStuck;
    for (const unsigned char* at = entries;;) {
      const DirectoryEntry* entry = reinterpret_cast<const DirectoryEntry*>(at);
      const size_t units = entry->file_name_length / sizeof(wchar_t);
      if (depth == 0 && IsSpare(*entry, limits->spare)) {
        // Left for the caller, and not counted.
      } else if (!IsDots(*entry) && units < kNameCapacity) {
        if (limits->objects_left <= 0) return DeleteOutcome::kBusy;
        --limits->objects_left;
        wchar_t name[kNameCapacity];
        for (size_t i = 0; i < units; ++i) name[i] = entry->file_name[i];
        name[units] = 0;
        DeleteOutcome outcome;
        if ((entry->file_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          outcome = DeleteObjectOnce(directory, name, limits->options);
        } else if (depth + 1 >= kMaxClearDepth) {
          // Too deep to enter; a link there still goes as itself.
          outcome = (entry->file_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                        ? DeleteObjectOnce(directory, name, limits->options)
                        : DeleteOutcome::kStuck;
        } else {
          outcome = RemoveSubdirectory(directory, name, limits, depth);
        }
        worst = Worse(worst, outcome);
      } else if (units >= kNameCapacity) {
        worst = DeleteOutcome::kStuck;
      }
      if (entry->next_entry_offset == 0) break;
      at += entry->next_entry_offset;
    }
  }
  if (worst != DeleteOutcome::kGone) return worst;
  // Everything listed was deleted; what Windows keeps while others still
  // hold it, and what was made meanwhile, is still there.
  return HoldsNothing(directory, depth == 0 ? limits->spare : nullptr)
             ? DeleteOutcome::kGone
             : DeleteOutcome::kBusy;
}

}  // namespace

DeleteOutcome DeleteObjectOnce(HANDLE directory, const wchar_t* name,
                               ULONG options) {
  for (int round = 0; round < kQuickRounds; ++round) {
    const Next next = TryDelete(directory, name, options);
    if (next != Next::kRetryNow) return OutcomeOf(next);
  }
  return DeleteOutcome::kBusy;
}

DeleteOutcome MarkDirectoryOnce(HANDLE handle) {
  if (MarkForDeletion(handle)) return DeleteOutcome::kGone;
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && ClearReadOnlyOn(handle) &&
      MarkForDeletion(handle)) {
    return DeleteOutcome::kGone;
  }
  return OutcomeOfError(error);
}

DeleteOutcome ClearDirectoryOnce(HANDLE directory, ClearLimits* limits) {
  return ClearLevel(directory, limits, 0);
}

DeleteOutcome OutcomeOfError(DWORD error) {
  return OutcomeOf(AfterError(error, [] { return false; }));
}
