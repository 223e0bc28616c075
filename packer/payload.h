// The payload resources of an image as the installer finds them: under the
// types "B7", "BL" and "BN", a name beginning with "korven" is the archive
// and one beginning with "setup" the setup resource, whose type says what
// it is (BL: a cabinet, BN: the setup program, B7: a patch).
#pragma once

#include <string>
#include <vector>

#include "bytes.h"
#include "resource_tree.h"
#include "status.h"

namespace packer {

// How packing stores the setup program, and what the installer makes of
// it (--setup-type).
struct SetupKind {
  const char* option;
  const char* type;
  const char* name;
  const char* role;
  bool is_program;  // checked as a Windows program
  bool cabinet;     // compressed into "SETUP.EX_" first
};
// Refused when OPTION is not BL, BN or PATCH.
Status FindSetupKind(const std::string& option, const SetupKind** kind);

constexpr char kArchiveType[] = "B7";
constexpr char kArchiveName[] = "KORVEN.PACKED.7Z";

// RT_RCDATA 1 as packing writes it: the UTF-16 text with its terminator.
Bytes PreviousVersionBytes(const std::string& text);

// RT_RCDATA 2, the record of the setup program the installer must start
// (for a patch: the program the patch must make): 48 bytes, the format
// (1, 32 bits), four zero bytes, the program's size (64 bits) and its
// SHA-256, little-endian. The installer refuses an installer without it,
// and starts nothing whose digest differs.
constexpr uint32_t kRecordId = 2;
constexpr size_t kRecordSize = 48;
Bytes SetupRecordBytes(uint64_t program_size, const Bytes& sha256);
struct SetupRecord {
  uint64_t size = 0;
  Bytes sha256;
};
// False when BYTES are not a record the installer reads.
bool ParseSetupRecord(const Bytes& bytes, SetupRecord* record);

bool IsPayloadResource(const ResourceEntry& entry);

// The payload as the installer finds it: the resources its scan takes, in
// the language the loader gives a machine of the default language.
struct PayloadView {
  const ResourceEntry* archive = nullptr;
  const ResourceEntry* setup = nullptr;
  const ResourceEntry* previous_version = nullptr;  // RT_RCDATA 1
  const ResourceEntry* record = nullptr;            // RT_RCDATA 2
  std::string problem;  // what the installer would refuse, if anything
  // Resources the installer takes that machines of other languages get
  // in another language.
  std::vector<std::string> by_machine;
};
PayloadView FindPayload(const std::vector<ResourceEntry>& resources);

// "BL", "BN" or "PATCH", as --setup-type names it.
std::string SetupTypeOf(const ResourceEntry& setup);

}  // namespace packer
