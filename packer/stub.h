// The payload-free installer that every packing starts from, and what the
// packer must know of its layout to grow its resource section.
//
// The resource section is rewritten where it stands and grows by the
// payload; the one section a linker puts after it, the base relocations,
// moves behind it. Nothing inside the relocations refers to where they
// themselves lie, so moving them only changes their section header and
// their data directory; every other section keeps its place in memory and
// in the file. The packed image thus has the linker's own layout with one
// resource section, and no second copy of the stub's resources.
#pragma once

#include <optional>
#include <vector>

#include "file_io.h"
#include "pe_image.h"
#include "resource_tree.h"
#include "status.h"

namespace packer {

struct StubLayout {
  PeImage image;
  std::vector<ResourceEntry> resources;
  size_t resource_section = 0;               // index in image.sections
  std::optional<size_t> relocation_section;  // the section that moves, if any
};

// Refuses whatever is not a payload-free x64 GUI program whose resource
// section can grow: a DLL, another subsystem, a signed stub, data after
// the last section, a stub that already carries payload, and layouts in
// which growing would move something that cannot move.
Status CheckStub(const InputFile& stub, StubLayout* layout);

}  // namespace packer
