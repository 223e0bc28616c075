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

bool IsPayloadResource(const ResourceEntry& entry);

struct PayloadView {
  const ResourceEntry* archive = nullptr;
  const ResourceEntry* setup = nullptr;
  const ResourceEntry* previous_version = nullptr;  // RT_RCDATA 1
  std::string problem;  // what the installer would refuse, if anything
};
PayloadView FindPayload(const std::vector<ResourceEntry>& resources);

// "BL", "BN" or "PATCH", as --setup-type names it.
std::string SetupTypeOf(const ResourceEntry& setup);

}  // namespace packer
