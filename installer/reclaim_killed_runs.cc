#include "reclaim_killed_runs.h"

#include <winternl.h>

#include "delete_with_retry.h"
#include "relative_file.h"
#include "system_library.h"
#include "wide_buf.h"

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

using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID,
                                                PIO_STATUS_BLOCK, PVOID, ULONG,
                                                ULONG, BOOLEAN, PUNICODE_STRING,
                                                BOOLEAN);

struct Candidates {
  wchar_t names[kMaxReclaimedFolders][kWorkNameLength + 1];
  int count;
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

// Lists the folder for work directory names other than own_name. The file
// system applies the mask, so a folder of a hundred thousand entries costs
// one filtered listing, not a hundred thousand names handed back.
void ListCandidates(HANDLE folder, const wchar_t* own_name, Candidates* found) {
  found->count = 0;
  const NtQueryDirectoryFileFn query = reinterpret_cast<NtQueryDirectoryFileFn>(
      reinterpret_cast<void*>(NtdllFunction("NtQueryDirectoryFile")));
  if (query == nullptr) return;
  UNICODE_STRING mask;
  mask.Buffer = const_cast<wchar_t*>(kWorkNameMask);
  mask.Length = static_cast<USHORT>(kWorkNameLength * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  alignas(8) unsigned char entries[4096];
  for (BOOLEAN restart = TRUE; found->count < kMaxReclaimedFolders;
       restart = FALSE) {
    IO_STATUS_BLOCK io;
    FillBytes(&io, 0, sizeof io);
    // Anything but success (no more names, none at all, a folder that
    // cannot be listed) ends the listing.
    if (query(folder, nullptr, nullptr, nullptr, &io, entries, sizeof entries,
              kFileNamesInformation, FALSE, &mask, restart) != 0) {
      return;
    }
    for (const unsigned char* at = entries;
         found->count < kMaxReclaimedFolders;) {
      const NameEntry* entry = reinterpret_cast<const NameEntry*>(at);
      const size_t length = entry->file_name_length / sizeof(wchar_t);
      if (IsWorkDirectoryName(entry->file_name, length) &&
          !SameName(entry->file_name, own_name, length)) {
        wchar_t* name = found->names[found->count++];
        for (size_t i = 0; i < length; ++i) name[i] = entry->file_name[i];
        name[length] = 0;
      }
      if (entry->next_entry_offset == 0) break;
      at += entry->next_entry_offset;
    }
  }
}

// The folder, held as a run holds its own: delete access without delete
// sharing. A sharing violation here is a live run's folder.
HANDLE OpenUnheldFolder(HANDLE folder, const wchar_t* name) {
  HANDLE opened = OpenRelative(
      folder, name,
      DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, kOpenExisting,
      kDirectoryOnly | kNotThroughLinks);
  if (opened == INVALID_HANDLE_VALUE) return opened;
  // A junction or a directory link of that name is opened itself, and left.
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(opened);
    return INVALID_HANDLE_VALUE;
  }
  return opened;
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
  Candidates found;
  ListCandidates(folder, own_name, &found);
  int reclaimed = 0;
  for (int i = 0; i < found.count; ++i) {
    HANDLE left = OpenUnheldFolder(folder, found.names[i]);
    if (left == INVALID_HANDLE_VALUE) continue;
    for (const wchar_t* name : kPayloadNames) DeleteInDirectoryOnce(left, name);
    if (DeleteHeldDirectoryOnce(left)) ++reclaimed;
    CloseHandle(left);
  }
  return reclaimed;
}
