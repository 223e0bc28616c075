// A second, independent reading of a whole installer as a run of it reads
// it on Windows: the loader maps the sections (raw data rounded down to
// 512, cut at VirtualSize), finds resources by binary search with the
// name upper-cased and the language chosen as FindResourceW chooses it,
// the installer's scan takes the payload, and the cabinet library expands
// the setup program keeping its window by block position. Written apart
// from the packer, so that where the two disagree one of them is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace installer_model {

struct Blob {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  bool found = false;
};

struct Reading {
  bool understood = false;  // false: the model cannot say (see why)
  std::string why;
  bool refused = false;  // the installer ends before starting anything
  Blob archive, setup, record;
  std::string setup_type;        // "B7", "BL" or "BN"
  std::vector<uint8_t> program;  // BN: the resource; BL: the expansion
  bool expanded = false;         // the program is whole
  std::vector<uint8_t> image;    // the mapped image the blobs point into
};

// FILE as a run of it would read it. Allocates at most about 64 MiB.
Reading Read(const uint8_t* file, size_t size);

}  // namespace installer_model
