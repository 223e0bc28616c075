#include "reclaim_killed_runs.h"

#include "clear_directory.h"
#include "relative_file.h"
#include "wide_buf.h"
#include "work_directory.h"

namespace {

// "ZK_" + five digits + ".tmp".
constexpr size_t kWorkNameLength = 12;
constexpr ULONG kFileNamesInformation = 12;
// What the file system is asked for; the names it returns are checked
// again exactly, since it compares without regard to case.
const wchar_t kWorkNameMask[] = L"ZK_?????.tmp";

// The names the installer itself writes into a work directory: the
// archive, the setup program's cabinet, the setup program (expanded or
// written as it is), and the patch.
const wchar_t* const kPayloadNames[] = {L"KORVEN.PACKED.7Z", L"SETUP.EX_",
                                        L"setup.exe", L"SETUP.PATCH"};

// A listing entry of FileNamesInformation.
struct NameEntry {
  ULONG next_entry_offset;
  ULONG file_index;
  ULONG file_name_length;  // bytes
  WCHAR file_name[1];
};

// How far this run has got.
struct Progress {
  ClearLimits limits;
  int examined;
  int reclaimed;

  bool Done() const {
    return examined >= kMaxExaminedFolders ||
           reclaimed >= kMaxReclaimedFolders || limits.objects_left <= 0;
  }
};

bool IsUpperHex(wchar_t unit) {
  return (unit >= L'0' && unit <= L'9') || (unit >= L'A' && unit <= L'F');
}

bool SameName(const wchar_t* a, const wchar_t* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return b[length] == 0;
}

// The folder, opened as a run's cleanup opens its own for deletion:
// delete access without delete sharing. A sharing violation here is a
// folder a process of its run still has open.
HANDLE OpenUnheldFolder(HANDLE folder, const wchar_t* name) {
  HANDLE opened =
      OpenRelative(folder, name,
                   DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                       FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, kOpenExisting,
                   kDirectoryOnly | kNotThroughLinks | kNeverWaitForOplocks);
  if (opened == INVALID_HANDLE_VALUE) return opened;
  // A junction or a directory link of that name is opened itself, and
  // left; a folder whose content only lives elsewhere (a cloud placeholder)
  // is a folder.
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
       IsReparseTagNameSurrogate(tag.ReparseTag))) {
    CloseHandle(opened);
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

bool HasRunMarker(HANDLE left) {
  HANDLE marker = OpenRelative(
      left, kRunMarkerName, FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kOpenExisting,
      kFileOnly | kNotThroughLinks | kNeverWaitForOplocks);
  if (marker == INVALID_HANDLE_VALUE) return false;
  CloseHandle(marker);
  return true;
}

// Takes back what a killed run left in the folder named name; true when
// the folder itself went.
bool ReclaimFolder(HANDLE folder, const wchar_t* name, ClearLimits* limits) {
  HANDLE left = OpenUnheldFolder(folder, name);
  if (left == INVALID_HANDLE_VALUE) return false;
  bool emptied = false;
  if (HasRunMarker(left)) {
    // The marker goes last: a folder this run leaves half taken stays one
    // that a later run knows for a run's own.
    limits->spare = kRunMarkerName;
    emptied = ClearDirectoryOnce(left, limits) == DeleteOutcome::kGone &&
              DeleteObjectOnce(left, kRunMarkerName, limits->options) ==
                  DeleteOutcome::kGone;
    limits->spare = nullptr;
  } else {
    // A folder of somebody else's that only bears a name like ours keeps
    // everything but the installer's own names.
    for (const wchar_t* payload : kPayloadNames) {
      --limits->objects_left;
      DeleteObjectOnce(left, payload, limits->options);
    }
    emptied = HoldsNothing(left, nullptr);
  }
  const bool removed =
      emptied && MarkDirectoryOnce(left) == DeleteOutcome::kGone;
  CloseHandle(left);
  return removed;
}

}  // namespace

bool IsWorkDirectoryName(const wchar_t* name, size_t length) {
  if (length != kWorkNameLength) return false;
  if (name[0] != L'Z' || name[1] != L'K' || name[2] != L'_') return false;
  for (size_t i = 3; i < 8; ++i) {
    if (!IsUpperHex(name[i])) return false;
  }
  return name[8] == L'.' && name[9] == L't' && name[10] == L'm' &&
         name[11] == L'p';
}

int ReclaimKilledRuns(HANDLE folder, const wchar_t* own_name) {
  Progress progress = {
      {kNeverWaitForOplocks, kMaxReclaimedObjects, nullptr}, 0, 0};
  // One filtered pass: the file system applies the mask, so a folder of a
  // hundred thousand entries costs one listing of the names that match,
  // and each folder is taken back as the listing reaches it.
  alignas(8) unsigned char entries[4096];
  for (bool restart = true; !progress.Done(); restart = false) {
    // Anything but entries (no more names, none at all, a folder that
    // cannot be listed) ends the reclaim.
    if (ListEntries(folder, entries, sizeof entries, kFileNamesInformation,
                    kWorkNameMask, restart) != 0) {
      break;
    }
    for (const unsigned char* at = entries; !progress.Done();) {
      const NameEntry* entry = reinterpret_cast<const NameEntry*>(at);
      const size_t length = entry->file_name_length / sizeof(wchar_t);
      if (IsWorkDirectoryName(entry->file_name, length) &&
          !SameName(entry->file_name, own_name, length)) {
        wchar_t name[kWorkNameLength + 1];
        for (size_t i = 0; i < length; ++i) name[i] = entry->file_name[i];
        name[length] = 0;
        ++progress.examined;
        if (ReclaimFolder(folder, name, &progress.limits)) {
          ++progress.reclaimed;
        }
      }
      if (entry->next_entry_offset == 0) break;
      at += entry->next_entry_offset;
    }
  }
  return progress.reclaimed;
}
