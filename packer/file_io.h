// Files the packer reads and writes: an owned descriptor that is closed on
// every path, inputs opened once with their identity, and reads and writes
// that either do all they were asked or say why not.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "status.h"

namespace packer {

class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File();
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes and reports the error of close(2), which matters for a file
  // that was written.
  Status Close(const std::string& path);

 private:
  int fd_ = -1;
};

// Bytes of a file held in memory instead of read from a descriptor: the
// parts of a setup program decoded from its cabinet, or a fuzzer's input.
struct MemoryPiece {
  uint64_t offset = 0;
  Bytes bytes;
};

// An input, open for reading from the checks to the end of the packing, so
// that what was checked is what is packed.
struct InputFile {
  std::string role;  // "stub", "archive", "setup program", ...
  std::string path;
  File file;
  uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
  // When not empty, the only bytes there are: a read outside them fails.
  std::vector<MemoryPiece> pieces;
};

// Opens a regular file; refuses a missing file, a directory or anything
// else that is not a plain file.
Status OpenInput(const std::string& role, const std::string& path,
                 InputFile* input);

// Exactly SIZE bytes at OFFSET, or a failure naming the file. Every long
// loop of the packer reads through here, so an interruption ends it here.
Status ReadAt(const InputFile& input, uint64_t offset, void* data, size_t size);
Status ReadBytesAt(const InputFile& input, uint64_t offset, size_t size,
                   Bytes* bytes);

Status WriteAll(int fd, const void* data, size_t size, const std::string& path);

// Chunk size of the streamed reads (digests, comparisons, checksums):
// large enough that the system calls cost nothing next to the work, small
// enough to stay in the cache.
constexpr size_t kChunk = 1 << 20;

}  // namespace packer
