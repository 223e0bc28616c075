#include "file_identity.h"

#include "relative_file.h"
#include "wide_buf.h"

namespace {

// FILE_ID_INFO and its class number, which the headers declare only for
// builds that target Windows 8 and later; on Windows 7 the call fails and
// the 64-bit index is used instead.
struct FileIdRecord {
  ULONGLONG volume;
  unsigned char id[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfoClass =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

}  // namespace

FileIdentity UnknownFileIdentity(DWORD error) {
  FileIdentity identity;
  FillBytes(&identity, 0, sizeof identity);
  identity.known = false;
  identity.error = error;
  return identity;
}

namespace {

// Some file servers answer 0 for every file: an identifier that tells
// nothing apart is none.
bool IsZero(const unsigned char (&id)[16]) {
  for (unsigned char byte : id) {
    if (byte != 0) return false;
  }
  return true;
}

}  // namespace

bool ReadFileIdentity(HANDLE handle, FileIdentity* identity) {
  *identity = UnknownFileIdentity(0);
  // 128-bit identifiers where the system has them (on ReFS only all of
  // them are unique); the 64-bit index elsewhere.
  FileIdRecord record;
  if (GetFileInformationByHandleEx(handle, kFileIdInfoClass, &record,
                                   sizeof record)) {
    identity->volume = record.volume;
    for (size_t i = 0; i < sizeof identity->id; ++i) {
      identity->id[i] = record.id[i];
    }
  } else {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
      identity->error = GetLastError();
      return false;
    }
    identity->volume = info.dwVolumeSerialNumber;
    for (size_t i = 0; i < 4; ++i) {
      identity->id[i] =
          static_cast<unsigned char>(info.nFileIndexLow >> (8 * i));
      identity->id[4 + i] =
          static_cast<unsigned char>(info.nFileIndexHigh >> (8 * i));
    }
  }
  if (IsZero(identity->id)) {
    identity->error = ERROR_INVALID_DATA;
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  identity->known = true;
  return true;
}

FileIdentity FileIdentityIn(HANDLE directory, const wchar_t* name) {
  HANDLE handle =
      OpenRelative(directory, name, FILE_READ_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   kOpenExisting, kNotThroughLinks);
  if (handle == INVALID_HANDLE_VALUE)
    return UnknownFileIdentity(GetLastError());
  FileIdentity identity;
  ReadFileIdentity(handle, &identity);
  CloseHandle(handle);
  return identity;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (!a.known || !b.known || a.volume != b.volume) return false;
  for (size_t i = 0; i < sizeof a.id; ++i) {
    if (a.id[i] != b.id[i]) return false;
  }
  return true;
}
