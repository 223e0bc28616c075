#include "scratch_file.h"

#include "delete_mark.h"
#include "owned_handle.h"
#include "relative_file.h"

namespace {

// Reading too: the file's identity and its bytes, as written, are read
// back through this handle, while its sharing keeps every other process
// from writing to it. Read and attribute rights decide nothing about what
// others may do: the share mode does.
constexpr DWORD kScratchAccess =
    GENERIC_WRITE | GENERIC_READ | DELETE | FILE_READ_ATTRIBUTES;
constexpr DWORD kScratchShare = FILE_SHARE_DELETE;

}  // namespace

ScratchFile::ScratchFile() : handle(INVALID_HANDLE_VALUE) {}

ScratchFile::~ScratchFile() { Close(); }

bool ScratchFile::Create(HANDLE directory, const wchar_t* file_path) {
  Close();
  if (!SafeCopy(path.get(), kPathCapacity, file_path)) return false;
  // Only new files: the run writes into a work directory it has just made
  // and holds, so a name that is already there was not made by this run
  // and is not the run's to replace. Creating anew also spares the file
  // system the truncation of an existing file, which on ext4 under Wine
  // (CREATE_ALWAYS is an open and a truncation to zero there) makes the
  // close start the 150 MB archive's writeback and the flush of the setup
  // program wait for it.
  handle = OpenRelative(directory, LastComponent(path.get()), kScratchAccess,
                        kScratchShare, kCreateNew, kFileOnly | kSequentialOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    path.clear();
    return false;
  }
  return true;
}

void ScratchFile::Close() {
  CloseOwnedHandle(&handle);
  path.clear();
}

bool ScratchFile::IsOpen() const { return handle != INVALID_HANDLE_VALUE; }

bool ScratchFile::MarkDeleteOnClose() {
  return IsOpen() && MarkForDeletion(handle);
}

HANDLE ScratchFile::Duplicate() const {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(),
                       &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}

HANDLE ScratchFile::Handle() const { return handle; }

bool WriteResourceToFile(const ResourceBlob& blob, HANDLE directory,
                         const wchar_t* path, bool digest,
                         WrittenFile* written) {
  written->created = false;
  written->content = UnknownContent(0);
  ScratchFile file;
  if (!file.Create(directory, path)) return false;
  written->created = true;
  const unsigned char* data = static_cast<const unsigned char*>(blob.data);
  uint64_t offset = 0;
  while (offset < blob.size) {
    const uint64_t left = blob.size - offset;
    const DWORD chunk =
        static_cast<DWORD>(left < kMaxWriteChunk ? left : kMaxWriteChunk);
    DWORD stored = 0;
    BOOL ok = WriteFile(file.Handle(), data + offset, chunk, &stored, nullptr);
    if (ok && stored != chunk) {
      // A write that reports success but stores less would leave a file
      // that looks whole and is not.
      ok = FALSE;
      SetLastError(ERROR_WRITE_FAULT);
    }
    if (!ok) {
      const DWORD error = GetLastError();
      file.MarkDeleteOnClose();
      file.Close();
      SetLastError(error);
      return false;
    }
    offset += chunk;
  }
  if (digest) written->content = DigestFileContent(file.Handle(), false);
  file.Close();
  return true;
}
