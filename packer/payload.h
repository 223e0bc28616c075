// The payload resources of an image as the installer finds them: under the
// types "B7", "BL" and "BN", a name beginning with "korven" is the archive
// and one beginning with "setup" the setup resource, whose type says what
// it is (BL: a cabinet, BN: the setup program, B7: a patch).
#pragma once

#include <string>
#include <vector>

#include "resource_tree.h"

namespace packer {

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
