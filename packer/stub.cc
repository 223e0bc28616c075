#include "stub.h"

#include "payload.h"

#include "text.h"

namespace packer {
namespace {

constexpr uint32_t kLargestAlignment = 0x10000;
// Base relocation types: padding, and the 64-bit address x64 images use;
// every other type writes at most 4 bytes.
constexpr uint32_t kFixupPadding = 0;
constexpr uint32_t kFixupDir64 = 10;

Status Refuse(const InputFile& stub, const std::string& why) {
  return Refused("the stub " + Quoted(stub.path) + " " + why);
}

// Every fixup of the relocations must lie before the resource section:
// anything at or after it moves or is rewritten. Each block is read to its
// end; one the loader would read otherwise (shorter than its header, past
// the directory, or not ending on a 32-bit boundary where the next begins)
// refuses the stub, since what follows it could not be told apart.
Status CheckRelocations(const InputFile& stub, const PeImage& image,
                        uint32_t resource_rva) {
  const DataDirectory& relocations = image.directories[kRelocationDirectory];
  uint64_t at = 0;
  if (relocations.size == 0) return Ok();
  if (!FileOffsetOf(image, relocations.address, relocations.size, &at)) {
    return Refuse(stub, "has relocations outside its file");
  }
  Bytes blocks;
  Status status = ReadBytesAt(stub, at, relocations.size, &blocks);
  if (!status.ok()) return status;
  for (size_t block = 0; block < blocks.size();) {
    const size_t left = blocks.size() - block;
    const uint32_t size = left < 8 ? 0 : Load32(&blocks[block + 4]);
    if (size < 8 || size > left || size % 4 != 0) {
      return Refuse(stub, "has a damaged relocation block at " +
                              Hex(relocations.address + block) +
                              ", which no linker writes");
    }
    const uint32_t page = Load32(&blocks[block]);
    for (size_t entry = block + 8; entry < block + size; entry += 2) {
      const uint16_t fixup = Load16(&blocks[entry]);
      const uint32_t type = fixup >> 12;
      if (type == kFixupPadding) continue;
      const uint64_t end =
          uint64_t{page} + (fixup & 0xFFF) + (type == kFixupDir64 ? 8 : 4);
      if (end > resource_rva) {
        return Refuse(stub,
                      "has relocations inside its resources or after them");
      }
    }
    block += size;
  }
  return Ok();
}

}  // namespace

Status CheckStub(const InputFile& stub, StubLayout* layout) {
  PeImage& image = layout->image;
  Status status = ReadPeImage(stub, &image);
  if (!status.ok()) return status;
  if (image.machine != kMachineAmd64 || !image.pe32_plus) {
    return Refuse(stub,
                  "is not an x64 image (machine " + Hex(image.machine) +
                      (image.pe32_plus ? ")" : ", 32-bit optional header)"));
  }
  if ((image.characteristics & kFileExecutable) == 0)
    return Refuse(stub, "is not marked as an executable image");
  if ((image.characteristics & kFileDll) != 0)
    return Refuse(stub, "is a DLL, not a program");
  if (image.subsystem != kSubsystemGui) {
    return Refuse(stub, "is not a GUI program (subsystem " +
                            std::to_string(image.subsystem) +
                            (image.subsystem == 3 ? ", console)" : ")"));
  }
  if (image.directories[kSecurityDirectory].size != 0) {
    return Refuse(stub,
                  "is signed; pack the unsigned installer.exe (--sign-cert "
                  "signs the result)");
  }
  if (image.end_of_sections < stub.size) {
    return Refuse(stub, "carries " +
                            std::to_string(stub.size - image.end_of_sections) +
                            " bytes after its last section");
  }
  if (image.section_alignment < kPage)
    return Refuse(stub, "has sections aligned to less than a page");
  // The format's largest file alignment; sections aligned more coarsely
  // than that are no program's, and the payload's pages follow them.
  if (image.file_alignment > kLargestAlignment ||
      image.section_alignment > kLargestAlignment) {
    return Refuse(stub, "aligns its file to " + Hex(image.file_alignment) +
                            " and its sections to " +
                            Hex(image.section_alignment) +
                            "; the packer takes 64 KiB at most");
  }

  const uint32_t resource_rva = image.directories[kResourceDirectory].address;
  bool found = false;
  for (size_t i = 0; i < image.sections.size(); ++i) {
    if (image.sections[i].virtual_address == resource_rva &&
        resource_rva != 0) {
      layout->resource_section = i;
      found = true;
    }
  }
  if (!found)
    return Refuse(stub,
                  "has no resource section of its own (its manifest, icon and "
                  "version block live there)");
  const Section& resources = image.sections[layout->resource_section];

  // Only the relocations may follow the resources, and nothing but them
  // may lie in the file after the resources.
  layout->relocation_section.reset();
  const DataDirectory& relocations = image.directories[kRelocationDirectory];
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const Section& section = image.sections[i];
    if (i == layout->resource_section) continue;
    if (section.virtual_address < resource_rva) {
      if (section.raw_size != 0 &&
          section.raw_offset + uint64_t{section.raw_size} >
              resources.raw_offset) {
        return Refuse(stub, "has section " + section.name +
                                " in the file after its resources");
      }
      continue;
    }
    const bool holds_relocations =
        relocations.size != 0 &&
        relocations.address == section.virtual_address &&
        relocations.size <= section.virtual_size;
    if (!holds_relocations || layout->relocation_section ||
        section.raw_offset <
            resources.raw_offset + uint64_t{resources.raw_size}) {
      return Refuse(stub, "has section " + section.name +
                              " after its resources, which cannot move");
    }
    layout->relocation_section = i;
  }
  for (size_t i = 0; i < image.directories.size(); ++i) {
    const DataDirectory& directory = image.directories[i];
    if (i == kResourceDirectory || i == kRelocationDirectory ||
        i == kSecurityDirectory)
      continue;
    if (directory.size != 0 && directory.address >= resource_rva) {
      return Refuse(stub, "has data directory " + std::to_string(i) +
                              " at or after its resources");
    }
  }
  status = CheckRelocations(stub, image, resource_rva);
  if (!status.ok()) return status;

  status = ReadResources(stub, image, &layout->resources);
  if (!status.ok()) return status;
  for (const ResourceEntry& entry : layout->resources) {
    if (IsPayloadResource(entry)) {
      return Refuse(stub, "already carries payload (" + Describe(entry.type) +
                              "/" + Describe(entry.name) +
                              "); pack the payload-free installer.exe");
    }
  }
  return Ok();
}

}  // namespace packer
