// An output file owned together with its path: opened exclusively for
// writing (others may only open it for deletion), and markable for deletion
// on close so that a half-written file never stays behind.
#pragma once

#include <windows.h>

#include "file_identity.h"
#include "resource_blob.h"
#include "wide_buf.h"

struct ScratchFile {
  PathBuf path;   // empty when closed
  HANDLE handle;  // INVALID_HANDLE_VALUE when closed

  ScratchFile();
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Closes any file held (without marking it), then creates the file at
  // file_path, which must not exist yet (ERROR_FILE_EXISTS otherwise).
  // False with CreateFileW's error, or with no error of its own when the
  // path does not fit.
  bool Create(const wchar_t* file_path);
  // Safe on a closed file and when called twice.
  void Close();
  bool IsOpen() const;
  // The file disappears when the last handle to it closes. False on a
  // closed file.
  bool MarkDeleteOnClose();
  // A second handle with the same access, owned by the caller;
  // INVALID_HANDLE_VALUE on a closed file or failure.
  HANDLE Duplicate() const;
  HANDLE Handle() const;
};

// Creates the file at path (a new one) with the blob's bytes, written in
// chunks of at most 8 MiB straight from the blob. On false nothing stays at
// the path and the last error says why. written (may be null) receives the
// identity of the file written, read before it is closed.
bool WriteResourceToFile(const ResourceBlob& blob, const wchar_t* path,
                         FileIdentity* written = nullptr);

constexpr uint32_t kMaxWriteChunk = 0x800000;  // 8 MiB
