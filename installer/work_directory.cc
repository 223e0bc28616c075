#include "work_directory.h"

#include <sddl.h>

#include "delete_mark.h"
#include "owned_handle.h"
#include "random_bytes.h"
#include "relative_file.h"
#include "work_place.h"

const wchar_t kWorkDirAclPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

const wchar_t kHighLabel[] = L"S:(ML;OICI;NW;;;HI)";

const wchar_t kRunMarkerName[] = L"INSTALLER.RUN";

namespace {

constexpr size_t kAclCapacity = 300;
constexpr int kNameTries = 10;
// Five digits, ".tmp", the closing backslash and the terminator.
constexpr size_t kNameTailUnits = 11;
constexpr size_t kNameDigits = 5;
// "\\?\UNC\" is the longest prefix the system puts before a path.
constexpr size_t kFinalPathCapacity = kPathCapacity + 8;

// The hold: listing and traversal, which count as reading, so that a
// current directory (opened for traversal, sharing reading and writing)
// can be had alongside it; no DELETE, which that open would not share.
constexpr ACCESS_MASK kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
// What the cleanup deletes the directory through once it is empty:
// clearing a read-only attribute that blocks it needs the attribute
// rights, and asking whether it is empty needs the listing.
constexpr ACCESS_MASK kDeleteAccess =
    kHoldAccess | DELETE | FILE_WRITE_ATTRIBUTES;
constexpr ULONG kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The installer's own folder, opened to create the work directory in and
// to list what killed runs left there. Its path is followed like any
// other: a folder that is itself a link (a Downloads folder moved to
// another drive) is where the user keeps it. From here on the folder is
// this handle, not the path.
HANDLE OpenFolder(const wchar_t* base) {
  return CreateFileW(base, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

// Creates the directory named inside folder and returns the hold on it,
// or INVALID_HANDLE_VALUE when it cannot be made (the name is taken,
// access is denied, anything else).
HANDLE CreateHeldDirectory(HANDLE folder, const wchar_t* name,
                           PSECURITY_DESCRIPTOR descriptor) {
  return OpenRelative(folder, name, kHoldAccess, kHoldSharing, kCreateNew,
                      kDirectoryOnly | kNotThroughLinks, descriptor);
}

// A component the ordinary form would change: the system trims a trailing
// dot or space from a name it is given without the "\\?\" prefix.
bool HasTrimmedComponent(const wchar_t* path) {
  for (const wchar_t* at = path; *at != 0; ++at) {
    const bool ends_component = at[1] == 0 || at[1] == L'\\';
    if (ends_component && (*at == L'.' || *at == L' ')) return true;
  }
  return false;
}

// Reads the held directory's own path, with its closing backslash, into
// path (a PathBuf). False when it cannot be had (*error: the system's
// error) or does not fit (*error 0).
bool ReadOwnPath(HANDLE handle, wchar_t* path, DWORD* error) {
  *error = 0;
  WideBuf<kFinalPathCapacity> dos;
  WideBuf<kFinalPathCapacity> guid;
  const DWORD dos_length = GetFinalPathNameByHandleW(
      handle, dos.get(), kFinalPathCapacity, VOLUME_NAME_DOS);
  const DWORD dos_error = GetLastError();
  const DWORD guid_length = GetFinalPathNameByHandleW(
      handle, guid.get(), kFinalPathCapacity, VOLUME_NAME_GUID);
  const bool has_dos = dos_length != 0 && dos_length < kFinalPathCapacity;
  const bool has_guid = guid_length != 0 && guid_length < kFinalPathCapacity;
  // A volume without a drive letter, or mounted only in a folder of
  // another: its GUID names it.
  const wchar_t* chosen = nullptr;
  if (has_dos &&
      (!has_guid || DosPathStartsAtItsVolume(dos.get(), guid.get()))) {
    chosen = dos.get();
  } else if (has_guid) {
    chosen = guid.get();
  } else {
    if (dos_length == 0) *error = dos_error;
    return false;
  }
  return PlainFormOfFinalPath(chosen, path, kPathCapacity) &&
         SafeAppend(path, kPathCapacity, L"\\");
}

// Fills planned with place + "ZK_", and *n with its length, when a whole
// work directory name (and its backslash) still fits after it.
bool PlanName(const wchar_t* place, PathBuf* planned, size_t* n) {
  if (!SafeCopy(planned->get(), kPathCapacity, place) ||
      !SafeAppend(planned->get(), kPathCapacity, L"ZK_")) {
    return false;
  }
  *n = static_cast<size_t>(BoundedLength(planned->get(), kPathCapacity));
  return kPathCapacity - *n >= kNameTailUnits;
}

// Takes back a directory this run has just made, still empty.
void RemoveNewDirectory(WorkDirectory* work) {
  if (work->anchor == INVALID_HANDLE_VALUE) {
    // Found by its name then: it was made a moment ago, and is empty.
    work->anchor =
        OpenRelative(work->folder, work->name.get(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     kOpenExisting, kDirectoryOnly | kNotThroughLinks);
  }
  if (work->Retake(true)) MarkForDeletion(work->handle);
  work->Release();
  work->path.clear();
}

// The run's marker, made empty and closed at once. Best effort: without
// it the run only loses being reclaimed whole, should it be killed.
void MakeRunMarker(HANDLE directory) {
  HANDLE marker = OpenRelative(directory, kRunMarkerName, FILE_WRITE_DATA, 0,
                               kCreateNew, kFileOnly | kNotThroughLinks);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

}  // namespace

WorkDirectory::WorkDirectory()
    : handle(INVALID_HANDLE_VALUE),
      deletable(false),
      anchor(INVALID_HANDLE_VALUE),
      folder(INVALID_HANDLE_VALUE) {}

WorkDirectory::~WorkDirectory() { Release(); }

bool WorkDirectory::IsHeld() const { return handle != INVALID_HANDLE_VALUE; }

void WorkDirectory::Release() {
  ReleaseHold();
  CloseOwnedHandle(&anchor);
  ReleaseFolder();
}

void WorkDirectory::ReleaseHold() {
  CloseOwnedHandle(&handle);
  deletable = false;
}

void WorkDirectory::ReleaseFolder() { CloseOwnedHandle(&folder); }

bool WorkDirectory::Retake(bool for_deletion) {
  ReleaseHold();
  handle = Reopen(anchor, for_deletion ? kDeleteAccess : kHoldAccess,
                  kHoldSharing, kDirectoryOnly);
  deletable = for_deletion && IsHeld();
  return IsHeld();
}

void MixTryIntoNameBytes(unsigned char bytes[4], bool drawn,
                         unsigned try_index) {
  if (drawn) return;
  // The first byte gives the name's first two digits, so each try of a
  // run without random bytes still asks for a name of its own.
  bytes[0] = static_cast<unsigned char>(bytes[0] ^ try_index);
}

bool DosPathStartsAtItsVolume(const wchar_t* dos_path,
                              const wchar_t* guid_path) {
  if (!StartsWithNoCase(dos_path, L"\\\\?\\") ||
      !StartsWithDriveRoot(dos_path + 4) ||
      !StartsWithNoCase(guid_path, L"\\\\?\\Volume{")) {
    return true;
  }
  const wchar_t* guid_tail = guid_path + 4;
  while (*guid_tail != 0 && *guid_tail != L'\\') ++guid_tail;
  const wchar_t* dos_tail = dos_path + 6;
  const size_t length = TextLength(dos_tail);
  return length == TextLength(guid_tail) &&
         CompareStringOrdinal(dos_tail, static_cast<int>(length), guid_tail,
                              static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

bool PlainFormOfFinalPath(const wchar_t* final_path, wchar_t* out,
                          size_t capacity) {
  const wchar_t* plain = nullptr;
  bool unc = false;
  if (StartsWithNoCase(final_path, L"\\\\?\\UNC\\")) {
    plain = final_path + 8;
    unc = true;
  } else if (StartsWithNoCase(final_path, L"\\\\?\\") &&
             StartsWithDriveRoot(final_path + 4)) {
    plain = final_path + 4;
  }
  if (plain == nullptr || HasTrimmedComponent(plain)) {
    return SafeCopy(out, capacity, final_path);
  }
  if (!unc) return SafeCopy(out, capacity, plain);
  return SafeCopy(out, capacity, L"\\\\") && SafeAppend(out, capacity, plain);
}

bool GetTokenOwnerSidString(wchar_t** sid) {
  *sid = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  DWORD size = 0;
  if (GetTokenInformation(token, TokenOwner, nullptr, 0, &size) || size == 0 ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return false;
  }
  HLOCAL block = LocalAlloc(LMEM_ZEROINIT, size);
  if (block == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return false;
  }
  bool ok =
      GetTokenInformation(token, TokenOwner, block, size, &size) &&
      ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(block)->Owner, sid);
  const DWORD error = GetLastError();
  LocalFree(block);
  CloseHandle(token);
  if (!ok) {
    *sid = nullptr;
    SetLastError(error);
  }
  return ok;
}

bool BuildWorkDirSecurity(FolderVolume volume, PSECURITY_DESCRIPTOR* descriptor,
                          bool high_label) {
  *descriptor = nullptr;
  // A server reads the SIDs of a list as its own accounts: BUILTIN
  // Administrators, the owner of an elevated run's token, is the server's
  // group, not the account the server knows this user by, and the files
  // inside could not be made. The folder takes what the share passes on,
  // as it does on a volume that keeps no lists or cannot be told; the
  // started program is checked by its bytes, which no list decides. A run
  // raised above the user never works on such a volume (work_place.h).
  if (volume != FolderVolume::kProtects) return true;

  wchar_t* sid = nullptr;
  if (!GetTokenOwnerSidString(&sid)) return false;

  WideBuf<kAclCapacity> acl;
  if (!SafeAppend(acl.get(), kAclCapacity, kWorkDirAclPrefix) ||
      !SafeAppend(acl.get(), kAclCapacity, sid) ||
      !SafeAppend(acl.get(), kAclCapacity, L")") ||
      (high_label && !SafeAppend(acl.get(), kAclCapacity, kHighLabel))) {
    LocalFree(sid);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  const bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                      acl.get(), SDDL_REVISION_1, descriptor, nullptr) != 0;
  const DWORD error = GetLastError();
  LocalFree(sid);
  if (!ok) *descriptor = nullptr;
  SetLastError(error);
  return ok;
}

bool CreateWorkDirectory(const wchar_t* base, WorkDirectory* work,
                         ExitResult* status, const RunToken& token) {
  *status = MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  work->Release();
  work->path.clear();
  work->name.clear();
  PathBuf planned;
  size_t n = 0;
  if (!PlanName(base, &planned, &n)) return false;

  *status = MakeExitResult(EXIT_WORK_DIR_FAILED, 0);
  // Without its folder no try can succeed; that is ten failed tries.
  work->folder = OpenFolder(base);
  if (work->folder == INVALID_HANDLE_VALUE) return false;
  FolderVolume volume = ClassifyFolderVolume(work->folder);
  if (NeedsProtectedPlace(token, volume)) {
    // Never the folder that could not protect it, whatever happens here.
    work->Release();
    PathBuf place;
    if (!ProtectedPlacePath(token, &place)) return false;
    if (!PlanName(place.get(), &planned, &n)) {
      *status = MakeExitResult(EXIT_PATH_TOO_LONG, 0);
      return false;
    }
    work->folder = OpenFolder(place.get());
    if (work->folder == INVALID_HANDLE_VALUE) return false;
    volume = ClassifyFolderVolume(work->folder);
    if (volume != FolderVolume::kProtects) {
      work->Release();
      return false;
    }
  }
  // The name alone, from its "ZK_" on, is created inside the folder.
  wchar_t* name = planned.get() + n - 3;

  // An elevated token whose owner is the user (the "object creator" owner
  // policy) would give the user's own unelevated processes the owner's
  // entry; a high label that forbids writing up keeps them out.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildWorkDirSecurity(volume, &descriptor, token.high_integrity)) {
    *status = MakeExitResult(EXIT_WORK_DIR_SECURITY_FAILED, GetLastError());
    work->ReleaseFolder();
    return false;
  }

  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    unsigned char bytes[4];
    FillBytes(bytes, 0, sizeof(bytes));
    const bool drawn = DrawRandomBytes(bytes, sizeof(bytes));
    MixTryIntoNameBytes(bytes, drawn, static_cast<unsigned>(attempt));
    wchar_t* digits = planned.get() + n;
    HexEncode(bytes, sizeof(bytes), digits, kPathCapacity - n);
    digits[kNameDigits] = 0;
    SafeAppend(planned.get(), kPathCapacity, L".tmp");
    work->handle = CreateHeldDirectory(work->folder, name, descriptor);
    if (work->IsHeld()) break;
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  if (!work->IsHeld()) {
    work->ReleaseFolder();
    return false;
  }
  SafeCopy(work->name.get(), kWorkNameCapacity, name);
  // Without it the cleanup could not delete the directory it holds; taken
  // now, while the hold keeps everyone else from it.
  work->anchor = Reopen(work->handle, FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        kDirectoryOnly);
  if (work->anchor == INVALID_HANDLE_VALUE) {
    *status = MakeExitResult(EXIT_WORK_DIR_FAILED, GetLastError());
    RemoveNewDirectory(work);
    return false;
  }

  DWORD path_error = 0;
  if (!ReadOwnPath(work->handle, work->path.get(), &path_error)) {
    *status = MakeExitResult(EXIT_PATH_TOO_LONG, path_error);
    RemoveNewDirectory(work);
    return false;
  }
  MakeRunMarker(work->handle);
  *status = MakeExitResult(0, 0);
  return true;
}
