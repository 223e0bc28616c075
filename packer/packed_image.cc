#include "packed_image.h"

#include <algorithm>

#include "input_checks.h"
#include "text.h"

namespace packer {
namespace {

void SetSection(Bytes* headers, const Section& section) {
  uint8_t* header = headers->data() + section.header_at;
  Store32(header + 8, section.virtual_size);
  Store32(header + 12, section.virtual_address);
  Store32(header + 16, section.raw_size);
  Store32(header + 20, section.raw_offset);
}

}  // namespace

Status WritePackedImage(const InputFile& stub, const StubLayout& layout,
                        std::vector<PackedResource>* resources,
                        OutputFile* output) {
  const PeImage& image = layout.image;
  std::vector<Section> sections = image.sections;
  Section& resource_section = sections[layout.resource_section];
  const uint32_t stub_resources_at = resource_section.raw_offset;

  std::vector<PlacedResource> placements;
  for (const PackedResource& resource : *resources)
    placements.push_back(resource.placement);
  uint64_t content_size = 0;
  const Bytes directory = LayOutResources(resource_section.virtual_address,
                                          &placements, &content_size);
  for (size_t i = 0; i < resources->size(); ++i)
    (*resources)[i].placement = placements[i];
  if (content_size > kPayloadLimit) {
    return Refused("the packed installer would be " +
                   std::to_string(content_size) +
                   " bytes of resources; at most " +
                   std::to_string(kPayloadLimit) + " fit");
  }

  // Every address, size and offset below is worked out in 64 bits and
  // must fit the 32 of its field: a stub whose resources lie high enough
  // would otherwise give a relocation address or an image size that wraps.
  bool fits = true;
  const auto narrow = [&fits](uint64_t value) {
    fits &= value <= 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
  };
  resource_section.virtual_size = narrow(content_size);
  resource_section.raw_size =
      narrow(AlignUp(content_size, image.file_alignment));
  resource_section.raw_offset = narrow(AlignUp(stub_resources_at, kPage));
  Bytes headers = image.headers;
  uint8_t* optional = headers.data() + image.optional_at;
  uint8_t* directories = headers.data() + image.directories_at;
  Store32(directories + 8 * kResourceDirectory + 4,
          resource_section.virtual_size);
  if (layout.relocation_section) {
    Section& moved = sections[*layout.relocation_section];
    const uint32_t old_address = moved.virtual_address;
    moved.virtual_address = narrow(
        AlignUp(uint64_t{resource_section.virtual_address} + content_size,
                image.section_alignment));
    moved.raw_offset = narrow(uint64_t{resource_section.raw_offset} +
                              resource_section.raw_size);
    narrow(uint64_t{moved.raw_offset} + moved.raw_size);
    const uint32_t relocations = Load32(directories + 8 * kRelocationDirectory);
    Store32(
        directories + 8 * kRelocationDirectory,
        narrow(uint64_t{relocations} - old_address + moved.virtual_address));
  }
  uint64_t image_end = 0, initialized = 0;
  for (const Section& section : sections) {
    SetSection(&headers, section);
    image_end = std::max(
        image_end, uint64_t{section.virtual_address} + section.virtual_size);
    if (section.characteristics & kSectionInitializedData)
      initialized += section.raw_size;
  }
  Store32(optional + kSizeOfImage,
          narrow(AlignUp(image_end, image.section_alignment)));
  Store32(optional + kSizeOfInitializedData, narrow(initialized));
  if (!fits) {
    return Refused("the stub " + Quoted(stub.path) + " has its resources at " +
                   Hex(resource_section.virtual_address) +
                   ", where the payload would take the image past the 4 GiB "
                   "its 32-bit addresses and sizes can reach");
  }
  Store32(optional + kChecksumField, 0);

  // Headers, the stub's sections before the resources, the resources, and
  // the relocations.
  Status status = Write(output, headers.data(), headers.size());
  if (status.ok())
    status = CopyFrom(output, stub, headers.size(),
                      stub_resources_at - headers.size());
  if (status.ok()) status = PadTo(output, resource_section.raw_offset);
  if (status.ok()) status = Write(output, directory.data(), directory.size());
  std::vector<const PackedResource*> by_offset;
  for (const PackedResource& resource : *resources)
    by_offset.push_back(&resource);
  std::sort(by_offset.begin(), by_offset.end(),
            [](const PackedResource* a, const PackedResource* b) {
              return a->placement.offset < b->placement.offset;
            });
  for (const PackedResource* resource : by_offset) {
    if (status.ok())
      status = PadTo(output, resource_section.raw_offset +
                                 uint64_t{resource->placement.offset});
    if (!status.ok()) break;
    status =
        resource->file != nullptr
            ? CopyFrom(output, *resource->file, resource->file_offset,
                       resource->placement.size)
            : Write(output, resource->bytes.data(), resource->bytes.size());
  }
  if (status.ok())
    status = PadTo(output, resource_section.raw_offset +
                               uint64_t{resource_section.raw_size});
  if (status.ok() && layout.relocation_section) {
    const Section& moved = image.sections[*layout.relocation_section];
    status = CopyFrom(output, stub, moved.raw_offset, moved.raw_size);
  }
  if (!status.ok()) return status;
  uint8_t checksum[4];
  Store32(checksum, ChecksumFinish(output->checksum));
  return WriteAt(output, image.optional_at + kChecksumField, checksum,
                 sizeof checksum);
}

}  // namespace packer
