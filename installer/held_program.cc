#include "held_program.h"

#include "delete_with_retry.h"
#include "owned_handle.h"
#include "relative_file.h"

namespace {

// ERROR_DATA_CHECKSUM_ERROR, which the compiler's headers do not name: "a
// data integrity checksum error occurred; data in the file stream is
// corrupt".
constexpr DWORD kErrorDataChecksum = 323;

// Read only, sharing only reading; a link is opened itself, so that it is
// seen for what it is rather than followed.
HANDLE OpenForHold(HANDLE directory, const wchar_t* name) {
  return OpenRelative(directory, name, GENERIC_READ, FILE_SHARE_READ,
                      kOpenExisting, kNotThroughLinks);
}

// Reparse tags that leave a file's content where it is: a file system
// filter of Windows' own gives the file's bytes back from this very volume
// under the file's own name, so the bytes the check reads through the
// hold are the bytes the start maps.
//   - data deduplication: the chunks lie in the volume's own chunk store;
//   - the Windows Overlay Filter (compact /exe, WIMBoot): the compressed
//     bytes lie in the file's own stream, or in an image the system keeps.
constexpr DWORD kContentStaysTags[] = {
    0x80000013,  // IO_REPARSE_TAG_DEDUP
    0x80000017,  // IO_REPARSE_TAG_WOF
};

// The content lies elsewhere, to be fetched when the file is opened or
// read: FILE_ATTRIBUTE_OFFLINE, RECALL_ON_OPEN, RECALL_ON_DATA_ACCESS.
constexpr DWORD kContentElsewhere = 0x1000 | 0x40000 | 0x400000;

bool ContentStays(DWORD tag) {
  for (DWORD allowed : kContentStaysTags) {
    if (tag == allowed) return true;
  }
  return false;
}

// 0 when what is open on handle is a plain file. Every other reparse point
// is refused: one that stands for another name (a symbolic link, a
// junction, a mount point, a WSL link) leads the start elsewhere; an
// execution alias makes CreateProcessW start the program it names,
// whatever bytes the file itself holds; a cloud placeholder, a projected
// file or a tiered one gets its bytes from a provider when read (for an
// elevated run, from a process of the user's); and a tag that nobody knew
// of when this was written tells nothing either.
DWORD CheckPlainFile(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                    sizeof tag)) {
    return GetLastError();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (tag.FileAttributes & kContentElsewhere) != 0) {
    return ERROR_BAD_FILE_TYPE;
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      !ContentStays(tag.ReparseTag)) {
    return ERROR_BAD_FILE_TYPE;
  }
  return 0;
}

// 0 when the file open on handle is what was expected. An expectation that
// is not known is a refusal with the error that kept it so, never a pass.
DWORD CheckExpected(HANDLE handle, const ExpectedProgram& expected) {
  if (expected.by_identity) {
    if (!expected.identity.known) return expected.identity.error;
    FileIdentity held;
    if (!ReadFileIdentity(handle, &held)) return GetLastError();
    if (!SameFile(held, expected.identity)) return ERROR_FILE_INVALID;
  }
  if (!expected.content.known) return expected.content.error;
  const ContentDigest held = DigestFileContent(handle, true);
  if (!held.known) return held.error;
  if (SameContent(held, expected.content)) return 0;
  // Not the packed program: as the run found it when it was written (or
  // no reading says otherwise), or changed since.
  return !expected.written.known || SameReading(held, expected.written)
             ? kErrorDataChecksum
             : ERROR_FILE_INVALID;
}

// A refusal must never read as success, whatever error a check handed on.
DWORD AsRefusal(DWORD error) { return error != 0 ? error : ERROR_FILE_INVALID; }

}  // namespace

ExpectedProgram ExpectContent(const ContentDigest& content,
                              const ContentDigest& written) {
  ExpectedProgram expected;
  expected.content = content;
  expected.written = written;
  expected.by_identity = false;
  expected.identity = UnknownFileIdentity(0);
  return expected;
}

ExpectedProgram ExpectIdentity(const FileIdentity& identity,
                               const ContentDigest& content,
                               const ContentDigest& written) {
  ExpectedProgram expected = ExpectContent(content, written);
  expected.by_identity = true;
  expected.identity = identity;
  return expected;
}

HeldProgram::HeldProgram() : handle(INVALID_HANDLE_VALUE) {}

HeldProgram::~HeldProgram() { Release(); }

bool HeldProgram::HoldAsItIs(HANDLE directory, const wchar_t* name) {
  Release();
  HANDLE opened = OpenForHold(directory, name);
  for (int32_t attempt = 1; opened == INVALID_HANDLE_VALUE &&
                            GetLastError() == ERROR_SHARING_VIOLATION &&
                            attempt < kMaxDeleteAttempts;
       ++attempt) {
    Sleep(kDeletePauseMs);
    opened = OpenForHold(directory, name);
  }
  if (opened == INVALID_HANDLE_VALUE) return false;
  handle = opened;
  return true;
}

bool HeldProgram::Hold(HANDLE directory, const ExpectedProgram& expected) {
  if (!HoldAsItIs(directory, LastComponent(path.get()))) return false;
  DWORD refused = CheckPlainFile(handle);
  if (refused == 0) refused = CheckExpected(handle, expected);
  if (refused != 0) {
    Release();
    SetLastError(AsRefusal(refused));
    return false;
  }
  return true;
}

void HeldProgram::Release() { CloseOwnedHandle(&handle); }
