#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "interruption.h"

namespace packer {

Status CreateOutput(const std::string& path, OutputFile* output) {
  output->path = path;
  output->file = File(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!output->file.is_open()) return OsFailure("creating " + Quoted(path), errno);
  output->offset = 0;
  output->checksum = PeChecksum();
  return Ok();
}

Status Write(OutputFile* output, const void* data, size_t size) {
  ChecksumAdd(&output->checksum, static_cast<const uint8_t*>(data), size);
  output->offset += size;
  return WriteAll(output->file.fd(), data, size, output->path);
}

Status PadTo(OutputFile* output, uint64_t offset) {
  static const uint8_t kZeros[4096] = {};
  while (output->offset < offset) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(offset - output->offset, sizeof kZeros));
    Status status = Write(output, kZeros, size);
    if (!status.ok()) return status;
  }
  return Ok();
}

Status CopyFrom(OutputFile* output, const InputFile& input, uint64_t offset,
                uint64_t size) {
  output->buffer.resize(kChunk);
  while (size > 0) {
    if (Interrupted()) return InterruptedStatus();
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size, kChunk));
    Status status = ReadAt(input, offset, output->buffer.data(), chunk);
    if (status.ok()) status = Write(output, output->buffer.data(), chunk);
    if (!status.ok()) return status;
    offset += chunk;
    size -= chunk;
  }
  return Ok();
}

Status WriteAt(OutputFile* output, uint64_t offset, const void* data, size_t size) {
  const auto* at = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = pwrite(output->file.fd(), at, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return OsFailure("writing " + Quoted(output->path), errno);
    at += put;
    offset += static_cast<uint64_t>(put);
    size -= static_cast<size_t>(put);
  }
  return Ok();
}

Status CloseOutput(OutputFile* output) { return output->file.Close(output->path); }

}  // namespace packer
