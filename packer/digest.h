// SHA-256 of a range of a file, read a chunk at a time, or of bytes that
// stream past.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bytes.h"
#include "file_io.h"
#include "status.h"

namespace packer {

// *HEX: 64 lower-case hex digits.
Status Sha256Of(const InputFile& input, uint64_t offset, uint64_t size,
                std::string* hex);

// 64 lower-case hex digits of DIGEST.
std::string HexOf(const Bytes& digest);

// A digest fed piece by piece.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  void Add(const uint8_t* data, size_t size);
  // The 32 bytes of the digest of everything added.
  Bytes Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace packer
