#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interruption.h"

namespace packer {

Status OsFailure(const std::string& what, int error) {
  return Failed(what + ": " + std::strerror(error));
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

File::~File() {
  if (fd_ >= 0) close(fd_);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Status File::Close(const std::string& path) {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && close(fd) != 0)
    return OsFailure("closing " + Quoted(path), errno);
  return Ok();
}

Status OpenInput(const std::string& role, const std::string& path,
                 InputFile* input) {
  input->role = role;
  input->path = path;
  input->file = File(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const std::string named = "the " + role + " " + Quoted(path);
  if (!input->file.is_open()) {
    // A file that is not there or cannot be read is the caller's input to
    // mend, not a failure of the packing.
    return Refused(named + " cannot be opened: " + std::strerror(errno));
  }
  struct stat info;
  if (fstat(input->file.fd(), &info) != 0) return OsFailure(named, errno);
  if (S_ISDIR(info.st_mode))
    return Refused(named + " is a directory, not a file");
  if (!S_ISREG(info.st_mode)) return Refused(named + " is not a regular file");
  input->size = static_cast<uint64_t>(info.st_size);
  input->device = info.st_dev;
  input->inode = info.st_ino;
  return Ok();
}

Status ReadAt(const InputFile& input, uint64_t offset, void* data,
              size_t size) {
  if (Interrupted()) return InterruptedStatus();
  if (!input.pieces.empty()) {
    for (const MemoryPiece& piece : input.pieces) {
      if (offset >= piece.offset && size <= piece.bytes.size() &&
          offset - piece.offset <= piece.bytes.size() - size) {
        if (size != 0)
          std::memcpy(data, &piece.bytes[offset - piece.offset], size);
        return Ok();
      }
    }
    return Refused("the " + input.role + " " + Quoted(input.path) +
                   " has no bytes at " + std::to_string(offset) + " to " +
                   std::to_string(offset + size) + " among those read");
  }
  auto* at = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t got =
        pread(input.file.fd(), at, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0)
      return OsFailure("reading the " + input.role + " " + Quoted(input.path),
                       errno);
    if (got == 0) {
      return Failed("the " + input.role + " " + Quoted(input.path) +
                    " ended early: it changed while it was being packed");
    }
    at += got;
    offset += static_cast<uint64_t>(got);
    size -= static_cast<size_t>(got);
  }
  return Ok();
}

Status ReadBytesAt(const InputFile& input, uint64_t offset, size_t size,
                   Bytes* bytes) {
  bytes->resize(size);
  return ReadAt(input, offset, bytes->data(), size);
}

Status WriteAll(int fd, const void* data, size_t size,
                const std::string& path) {
  const auto* at = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return OsFailure("writing " + Quoted(path), errno);
    at += put;
    size -= static_cast<size_t>(put);
  }
  return Ok();
}

}  // namespace packer
