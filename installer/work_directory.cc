#include "work_directory.h"

#include <sddl.h>
#include <winternl.h>

#include "owned_handle.h"

// RtlGenRandom; advapi32 exports it under this name only.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

const wchar_t kWorkDirAclPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

namespace {

constexpr size_t kAclCapacity = 300;
constexpr int kNameTries = 10;
// Five digits, ".tmp", the closing backslash and the terminator.
constexpr size_t kNameTailUnits = 11;
constexpr size_t kNameDigits = 5;

// The hold: deleting the directory at the end through this very handle
// needs DELETE, clearing a read-only attribute that blocks it needs the
// attribute rights; nobody else may delete it meanwhile.
constexpr ACCESS_MASK kHoldAccess = DELETE | FILE_LIST_DIRECTORY |
                                    FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                    FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// NtCreateFile's dispositions and options, by the values the system
// defines for them.
constexpr ULONG kCreateNew = 0x2;             // FILE_CREATE
constexpr ULONG kDirectoryOnly = 0x1;         // FILE_DIRECTORY_FILE
constexpr ULONG kSynchronousIo = 0x20;        // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNotThroughLinks = 0x200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG kCaseInsensitive = 0x40;      // OBJ_CASE_INSENSITIVE

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK,
                                        POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                        ULONG, PVOID, ULONG);

// CreateDirectoryW closes the handle of the directory it has just made,
// and whatever is opened by that name afterwards may already be something
// else: a process allowed to rename entries of the installer's folder (the
// user's own programs, when an elevated installer runs from Downloads) can
// swap in a link or a directory of its own in between. The system call
// beneath CreateDirectoryW hands back that handle instead; ntdll is mapped
// into every process before any of its code runs, so looking it up by
// name cannot load anything.
NtCreateFileFn FindNtCreateFile() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  return reinterpret_cast<NtCreateFileFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
}

// Creates the directory named (a single component) inside parent and
// returns the hold on it, or INVALID_HANDLE_VALUE when it cannot be made
// (the name is taken, access is denied, anything else).
HANDLE CreateHeldDirectory(NtCreateFileFn nt_create_file, HANDLE parent,
                           const wchar_t* name,
                           PSECURITY_DESCRIPTOR descriptor) {
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name);
  object_name.Length = static_cast<USHORT>(TextLength(name) * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  FillBytes(&attributes, 0, sizeof attributes);
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = parent;
  attributes.ObjectName = &object_name;
  attributes.Attributes = kCaseInsensitive;
  attributes.SecurityDescriptor = descriptor;
  IO_STATUS_BLOCK io;
  FillBytes(&io, 0, sizeof io);
  HANDLE directory = nullptr;
  const NTSTATUS status = nt_create_file(
      &directory, kHoldAccess, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      kHoldSharing, kCreateNew,
      kDirectoryOnly | kSynchronousIo | kNotThroughLinks, nullptr, 0);
  if (status < 0 || directory == nullptr) return INVALID_HANDLE_VALUE;
  return directory;
}

// The installer's own folder, opened to create the work directory in. Its
// path is followed like any other: a folder that is itself a link (a
// Downloads folder moved to another drive) is where the user keeps it.
HANDLE OpenBase(const wchar_t* base) {
  return CreateFileW(base, FILE_TRAVERSE | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

}  // namespace

WorkDirectory::WorkDirectory() : handle(INVALID_HANDLE_VALUE) {}

WorkDirectory::~WorkDirectory() { Release(); }

bool WorkDirectory::IsHeld() const { return handle != INVALID_HANDLE_VALUE; }

void WorkDirectory::Release() { CloseOwnedHandle(&handle); }

void MixTryIntoNameBytes(unsigned char bytes[4], bool drawn,
                         unsigned try_index) {
  if (drawn) return;
  // The first byte gives the name's first two digits, so each try of a
  // run without random bytes still asks for a name of its own.
  bytes[0] = static_cast<unsigned char>(bytes[0] ^ try_index);
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

bool BuildWorkDirSecurity(const wchar_t* base,
                          PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  PathBuf volume;
  if (!GetVolumePathNameW(base, volume.get(),
                          static_cast<DWORD>(kPathCapacity))) {
    return true;
  }
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume.get(), nullptr, 0, nullptr, nullptr, &flags,
                             nullptr, 0)) {
    return true;
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;

  wchar_t* sid = nullptr;
  if (!GetTokenOwnerSidString(&sid)) return false;

  WideBuf<kAclCapacity> acl;
  if (!SafeAppend(acl.get(), kAclCapacity, kWorkDirAclPrefix) ||
      !SafeAppend(acl.get(), kAclCapacity, sid) ||
      !SafeAppend(acl.get(), kAclCapacity, L")")) {
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
                         ExitResult* status) {
  *status = MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  work->Release();
  wchar_t* path = work->path.get();
  if (!SafeCopy(path, kPathCapacity, base) ||
      !SafeAppend(path, kPathCapacity, L"ZK_")) {
    return false;
  }
  const size_t n = static_cast<size_t>(BoundedLength(path, kPathCapacity));
  if (kPathCapacity - n < kNameTailUnits) return false;
  // The name alone, from its "ZK_" on, is created inside the base.
  const size_t name_start = n - 3;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildWorkDirSecurity(base, &descriptor)) {
    *status = MakeExitResult(EXIT_WORK_DIR_SECURITY_FAILED, GetLastError());
    return false;
  }

  *status = MakeExitResult(EXIT_WORK_DIR_FAILED, 0);
  const NtCreateFileFn nt_create_file = FindNtCreateFile();
  HANDLE parent =
      nt_create_file != nullptr ? OpenBase(base) : INVALID_HANDLE_VALUE;
  // Without its folder no try can succeed; that is ten failed tries.
  for (int attempt = 0; parent != INVALID_HANDLE_VALUE && attempt < kNameTries;
       ++attempt) {
    unsigned char bytes[4];
    FillBytes(bytes, 0, sizeof(bytes));
    const bool drawn = SystemFunction036(bytes, sizeof(bytes)) != FALSE;
    MixTryIntoNameBytes(bytes, drawn, static_cast<unsigned>(attempt));
    HexEncode(bytes, sizeof(bytes), path + n, kPathCapacity - n);
    path[n + kNameDigits] = 0;
    SafeAppend(path, kPathCapacity, L".tmp");
    work->handle = CreateHeldDirectory(nt_create_file, parent,
                                       path + name_start, descriptor);
    if (work->IsHeld()) {
      SafeAppend(path, kPathCapacity, L"\\");
      *status = MakeExitResult(0, 0);
      break;
    }
  }
  if (parent != INVALID_HANDLE_VALUE) CloseHandle(parent);
  if (descriptor != nullptr) LocalFree(descriptor);
  return status->exit_code == 0;
}
