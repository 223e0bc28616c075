#include "output_file.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "interruption.h"
#include "pe_image.h"

namespace packer {

Status CreateOutput(const std::string& path, OutputFile* output) {
  output->path = path;
  output->file =
      File(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!output->file.is_open())
    return OsFailure("creating " + Quoted(path), errno);
  output->offset = 0;
  output->checksum = PeChecksum();
  return Ok();
}

void CompareOutput(const InputFile& existing, OutputFile* output) {
  output->path = existing.path;
  output->offset = 0;
  output->checksum = PeChecksum();
  output->compared = &existing;
  output->first_difference.reset();
}

namespace {

// Holds SIZE bytes at DATA against the compared file at OFFSET.
Status CompareAt(OutputFile* output, uint64_t offset, const uint8_t* data,
                 size_t size) {
  const InputFile& existing = *output->compared;
  Bytes theirs(std::min<size_t>(size, kChunk));
  while (size > 0 && !output->first_difference) {
    if (offset >= existing.size) {
      output->first_difference = offset;
      break;
    }
    const size_t part = static_cast<size_t>(std::min<uint64_t>(
        std::min<uint64_t>(size, theirs.size()), existing.size - offset));
    Status status = ReadAt(existing, offset, theirs.data(), part);
    if (!status.ok()) return status;
    for (size_t from = 0; from < part && !output->first_difference;) {
      const auto differs =
          std::mismatch(data + from, data + part, theirs.begin() + from);
      if (differs.first == data + part) break;
      const size_t at = static_cast<size_t>(differs.first - data);
      bool ignored = false;
      for (const auto& range : output->ignored)
        ignored |= offset + at >= range.first && offset + at < range.second;
      if (!ignored) output->first_difference = offset + at;
      from = at + 1;
    }
    data += part;
    offset += part;
    size -= part;
  }
  return Ok();
}

}  // namespace

Status Write(OutputFile* output, const void* data, size_t size) {
  ChecksumAdd(&output->checksum, static_cast<const uint8_t*>(data), size);
  output->offset += size;
  if (output->compared != nullptr) {
    constexpr size_t kKeptHead = 64 * 1024;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const uint64_t at = output->offset - size;
    if (at == output->head.size() && at < kKeptHead) {
      output->head.insert(output->head.end(), bytes,
                          bytes + std::min<uint64_t>(size, kKeptHead - at));
    }
    return CompareAt(output, at, bytes, size);
  }
  return WriteAll(output->file.fd(), data, size, output->path);
}

Status PadTo(OutputFile* output, uint64_t offset) {
  static const uint8_t kZeros[4096] = {};
  while (output->offset < offset) {
    if (Interrupted()) return InterruptedStatus();
    const size_t size = static_cast<size_t>(
        std::min<uint64_t>(offset - output->offset, sizeof kZeros));
    Status status = Write(output, kZeros, size);
    if (!status.ok()) return status;
  }
  return Ok();
}

namespace {

// The copy reads its input through a mapping, and a file that shrinks
// under a mapping raises SIGBUS at the first page past its new end. The
// checksum is the only code that touches the mapped bytes itself (write(2)
// reports EFAULT instead), and between it and the jump target below there
// is nothing that needs destroying.
sigjmp_buf* shrink_target = nullptr;

void OnBusError(int) {
  if (shrink_target != nullptr) siglongjmp(*shrink_target, 1);
  signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

bool ChecksumOfMapped(PeChecksum* checksum, const uint8_t* data, size_t size) {
  struct sigaction action, previous;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnBusError;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous);
  sigjmp_buf target;
  bool complete = false;
  if (sigsetjmp(target, 1) == 0) {
    shrink_target = &target;
    ChecksumAdd(checksum, data, size);
    complete = true;
  }
  shrink_target = nullptr;
  sigaction(SIGBUS, &previous, nullptr);
  return complete;
}

}  // namespace

Status CopyFrom(OutputFile* output, const InputFile& input, uint64_t offset,
                uint64_t size) {
  // A window of the input mapped at a time, written from the mapping: the
  // bytes are copied once, by the kernel, as cp copies them, instead of
  // into a buffer and out again; the resident size stays at one window.
  constexpr uint64_t kWindow = 4 << 20;
  if (!input.pieces.empty()) {
    Bytes bytes;
    Status status = ReadBytesAt(input, offset, size, &bytes);
    return status.ok() ? Write(output, bytes.data(), bytes.size()) : status;
  }
  while (size > 0) {
    if (Interrupted()) return InterruptedStatus();
    const uint64_t start = offset / kPage * kPage;
    const size_t skip = static_cast<size_t>(offset - start);
    const size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(size, kWindow - skip));
    void* view = mmap(nullptr, skip + chunk, PROT_READ, MAP_SHARED,
                      input.file.fd(), static_cast<off_t>(start));
    if (view == MAP_FAILED) {
      return OsFailure("mapping the " + input.role + " " + Quoted(input.path),
                       errno);
    }
    const uint8_t* data = static_cast<const uint8_t*>(view) + skip;
    Status status;
    if (!ChecksumOfMapped(&output->checksum, data, chunk)) {
      status = Failed("the " + input.role + " " + Quoted(input.path) +
                      " shrank while it was being packed");
    } else if (output->compared != nullptr) {
      status = CompareAt(output, output->offset, data, chunk);
      output->offset += chunk;
    } else {
      output->offset += chunk;
      status = WriteAll(output->file.fd(), data, chunk, output->path);
    }
    munmap(view, skip + chunk);
    if (!status.ok()) return status;
    offset += chunk;
    size -= chunk;
  }
  return Ok();
}

Status WriteAt(OutputFile* output, uint64_t offset, const void* data,
               size_t size) {
  const auto* at = static_cast<const uint8_t*>(data);
  // Compared, bytes written over are the checksum, which the comparison
  // leaves to its caller.
  if (output->compared != nullptr) return Ok();
  while (size > 0) {
    const ssize_t put =
        pwrite(output->file.fd(), at, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return OsFailure("writing " + Quoted(output->path), errno);
    at += put;
    offset += static_cast<uint64_t>(put);
    size -= static_cast<size_t>(put);
  }
  return Ok();
}

Status CloseOutput(OutputFile* output) {
  if (output->compared != nullptr) {
    if (!output->first_difference && output->offset < output->compared->size)
      output->first_difference = output->offset;
    return Ok();
  }
  return output->file.Close(output->path);
}

}  // namespace packer
