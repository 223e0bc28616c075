// The version resource (VS_VERSIONINFO): a tree of keyed nodes whose root
// holds the fixed file information and whose string tables hold the texts
// that Explorer shows. Read for inspection, and rewritten when a packing
// stamps a release's version into the stub's block.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"

namespace packer {

struct VersionNode {
  std::u16string key;
  uint16_t type = 0;          // 1: the value is text, 0: binary
  uint16_t value_length = 0;  // as stored: code units for text, bytes else
  Bytes value;
  std::vector<VersionNode> children;
};

// False when BYTES is not a version block whose every node lies inside
// its parent, at most a few levels deep.
bool ParseVersionBlock(const Bytes& bytes, VersionNode* root);
// False when a node would not fit its 16-bit length: a block grown by
// stamping past 64 KiB cannot be written.
bool SerializeVersionBlock(const VersionNode& root, Bytes* bytes);

using VersionNumbers = std::array<uint16_t, 4>;

// The file and product version of the fixed information; false when the
// root holds none.
bool FixedVersions(const VersionNode& root, VersionNumbers* file,
                   VersionNumbers* product);
// Every string of every table: (table key, string key, text).
struct VersionString {
  std::u16string table, key, text;
};
std::vector<VersionString> VersionStrings(const VersionNode& root);

// Sets the fixed file and product version to NUMBERS and the strings
// "FileVersion" and "ProductVersion" of every string table to TEXT (adding
// them to a table that lacks them). False when the block has no fixed
// information or no string table.
bool StampVersion(VersionNode* root, const VersionNumbers& numbers,
                  const std::string& text);

std::string VersionText(const VersionNumbers& numbers);

}  // namespace packer
