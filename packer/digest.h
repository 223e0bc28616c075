// SHA-256 of a range of a file, read a chunk at a time.
#pragma once

#include <cstdint>
#include <string>

#include "file_io.h"
#include "status.h"

namespace packer {

// *HEX: 64 lower-case hex digits.
Status Sha256Of(const InputFile& input, uint64_t offset, uint64_t size,
                std::string* hex);

}  // namespace packer
