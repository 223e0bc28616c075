#include "work_directory.h"

#include <sddl.h>

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

}  // namespace

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
  if (GetTokenInformation(token, TokenOwner, nullptr, 0, &size) ||
      size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
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
  bool ok = GetTokenInformation(token, TokenOwner, block, size, &size) &&
            ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(block)->Owner,
                                   sid);
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
  if (!GetVolumeInformationW(volume.get(), nullptr, 0, nullptr, nullptr,
                             &flags, nullptr, 0)) {
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

bool CreateWorkDirectory(const wchar_t* base, PathBuf* work_directory,
                         ExitResult* status) {
  *status = MakeExitResult(EXIT_PATH_TOO_LONG, 0);
  wchar_t* path = work_directory->get();
  if (!SafeCopy(path, kPathCapacity, base) ||
      !SafeAppend(path, kPathCapacity, L"ZK_")) {
    return false;
  }
  const size_t n = static_cast<size_t>(BoundedLength(path, kPathCapacity));
  if (kPathCapacity - n < kNameTailUnits) return false;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildWorkDirSecurity(base, &descriptor)) {
    *status = MakeExitResult(EXIT_WORK_DIR_SECURITY_FAILED, GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;

  *status = MakeExitResult(EXIT_WORK_DIR_FAILED, 0);
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    unsigned char bytes[4];
    FillBytes(bytes, 0, sizeof(bytes));
    const bool drawn = SystemFunction036(bytes, sizeof(bytes)) != FALSE;
    MixTryIntoNameBytes(bytes, drawn, static_cast<unsigned>(attempt));
    HexEncode(bytes, sizeof(bytes), path + n, kPathCapacity - n);
    path[n + kNameDigits] = 0;
    SafeAppend(path, kPathCapacity, L".tmp");
    if (CreateDirectoryW(path,
                         descriptor != nullptr ? &attributes : nullptr)) {
      SafeAppend(path, kPathCapacity, L"\\");
      *status = MakeExitResult(0, 0);
      break;
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return status->exit_code == 0;
}
