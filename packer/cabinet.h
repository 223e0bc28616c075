// The cabinet "SETUP.EX_" that carries the setup program: one folder, one
// MSZIP-compressed file "setup.exe". gcab makes it, with the file's time
// fixed so that one setup program always gives the same bytes; the packer
// reads it back itself to verify a packed installer.
#pragma once

#include <cstdint>
#include <string>

#include "file_io.h"
#include "staging.h"
#include "status.h"

namespace packer {

// Makes the cabinet of SETUP in STAGING; *CABINET is its path.
Status MakeCabinet(const InputFile& setup, StagingDir* staging,
                   std::string* cabinet);

// Whether the SIZE bytes at OFFSET of IMAGE are a cabinet of the shape the
// installer expands whose file is exactly EXPECTED. *DIFFERENCE stays
// empty when it is, and says what differs when not; a failed read is the
// only failure.
Status CabinetHolds(const InputFile& image, uint64_t offset, uint64_t size,
                    const InputFile& expected, std::string* difference);

}  // namespace packer
