// An output file owned together with its path: opened exclusively for
// writing (others may only open it for deletion), and markable for deletion
// on close so that a half-written file never stays behind.
#pragma once

#include <windows.h>

#include "content_digest.h"
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
  // file_path, by its last component inside the directory open on
  // directory (the folder of file_path, held by the caller). The file must
  // not exist yet (ERROR_FILE_EXISTS otherwise). False with the system's
  // error, or with no error of its own when the path does not fit.
  bool Create(HANDLE directory, const wchar_t* file_path);
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

// What one write of a resource did.
struct WrittenFile {
  // True once this run created the file: the name is the run's own, for
  // the cleanup to delete. False when the name was not free (a name
  // planted there is not the run's to delete) or the path did not fit.
  bool created;
  // The reading (size and fingerprint) of the bytes in the file as it was
  // closed; not known when none was asked for or it could not be taken.
  ContentDigest content;
};

// Creates the file at path (a new one, by its last component inside the
// directory open on directory) with the blob's bytes, written in chunks of
// at most 8 MiB straight from the blob. On false no file this run made
// stays at the path and the last error says why. With digest, the file's
// bytes are read back through the run's own handle before it is closed,
// while nobody else can have written to it.
bool WriteResourceToFile(const ResourceBlob& blob, HANDLE directory,
                         const wchar_t* path, bool digest,
                         WrittenFile* written);

constexpr uint32_t kMaxWriteChunk = 0x800000;  // 8 MiB
