#include "delete_mark.h"

namespace {

// FileDispositionInfoEx and its flags, which the headers declare only for
// builds that target Windows 10.
constexpr FILE_INFO_BY_HANDLE_CLASS kDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

struct DispositionInfoEx {
  DWORD flags;
};

}  // namespace

bool MarkForDeletion(HANDLE handle) {
  DispositionInfoEx posix;
  posix.flags = kDispositionDelete | kDispositionPosixSemantics |
                kDispositionIgnoreReadOnly;
  if (SetFileInformationByHandle(handle, kDispositionInfoEx, &posix,
                                 sizeof posix)) {
    return true;
  }
  // Windows 10 1709 to 1803 take POSIX semantics but not the read-only
  // flag, and refuse the whole call for it (87); a read-only attribute
  // then stands in the way as it does for the ordinary mark.
  if (GetLastError() == ERROR_INVALID_PARAMETER) {
    posix.flags = kDispositionDelete | kDispositionPosixSemantics;
    if (SetFileInformationByHandle(handle, kDispositionInfoEx, &posix,
                                   sizeof posix)) {
      return true;
    }
  }
  // Refused: a file system or a Windows that does not know the class or one
  // of its flags. The ordinary mark decides, and its error is the one the
  // caller acts on.
  FILE_DISPOSITION_INFO ordinary;
  ordinary.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &ordinary,
                                    sizeof ordinary) != FALSE;
}
