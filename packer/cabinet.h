// The cabinet "SETUP.EX_" that carries the setup program: one folder, one
// MSZIP-compressed file "setup.exe". gcab makes it, with the file's time
// fixed so that one setup program always gives the same bytes; the packer
// reads it back itself, as the system's cabinet library would, to verify
// and to inspect a packed installer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "file_io.h"
#include "staging.h"
#include "status.h"

namespace packer {

// Makes the cabinet of SETUP in STAGING; *CABINET is its path.
Status MakeCabinet(const InputFile& setup, StagingDir* staging,
                   std::string* cabinet);

// What reading a cabinet found.
struct CabinetReading {
  uint32_t file_size = 0;
  size_t unchecked_blocks = 0;  // blocks without a checksum (the format's 0)
  bool stopped = false;         // the sink asked to stop
  std::string problem;          // why the cabinet does not read whole
};

// Reads the cabinet of SIZE bytes at OFFSET of IMAGE, of the shape packing
// makes, as the system's cabinet library reads it: each block's checksum
// (unless it has none), each block's deflate stream ending exactly where
// the block ends, the blocks' sizes adding up to the file's. SINK gets the
// file's bytes in order and stops the reading by returning false. A
// damaged cabinet is a PROBLEM, not a failure; only a failed read or an
// interruption fails.
using CabinetSink = std::function<bool(const uint8_t* data, size_t size)>;
Status ReadCabinet(const InputFile& image, uint64_t offset, uint64_t size,
                   const CabinetSink& sink, CabinetReading* reading);

// Whether the SIZE bytes at OFFSET of IMAGE are the cabinet packing makes
// of EXPECTED: its header, folder and file entry byte for byte (the file's
// name, time and attributes among them), every block with its checksum,
// and the file's bytes. *DIFFERENCE stays empty when they are, and names
// the first thing that differs when not.
Status CabinetHolds(const InputFile& image, uint64_t offset, uint64_t size,
                    const InputFile& expected, std::string* difference);

}  // namespace packer
