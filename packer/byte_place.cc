#include "byte_place.h"

#include "text.h"

namespace packer {
namespace {

struct Field {
  size_t at, size;
  const char* name;
};

// The optional header of PE32+, the only layout packing writes.
constexpr Field kOptionalFields[] = {
    {0, 2, "Magic"},
    {2, 2, "linker version"},
    {4, 4, "SizeOfCode"},
    {8, 4, "SizeOfInitializedData"},
    {12, 4, "SizeOfUninitializedData"},
    {16, 4, "AddressOfEntryPoint"},
    {20, 4, "BaseOfCode"},
    {24, 8, "ImageBase"},
    {32, 4, "SectionAlignment"},
    {36, 4, "FileAlignment"},
    {40, 8, "operating system and image versions"},
    {48, 4, "subsystem version"},
    {52, 4, "Win32VersionValue"},
    {56, 4, "SizeOfImage"},
    {60, 4, "SizeOfHeaders"},
    {64, 4, "CheckSum"},
    {68, 2, "Subsystem"},
    {70, 2, "DllCharacteristics"},
    {72, 8, "SizeOfStackReserve"},
    {80, 8, "SizeOfStackCommit"},
    {88, 8, "SizeOfHeapReserve"},
    {96, 8, "SizeOfHeapCommit"},
    {104, 4, "LoaderFlags"},
    {108, 4, "NumberOfRvaAndSizes"},
};

constexpr const char* kDirectoryNames[] = {"export",
                                           "import",
                                           "resource",
                                           "exception",
                                           "security",
                                           "relocation",
                                           "debug",
                                           "architecture",
                                           "global pointer",
                                           "TLS",
                                           "load configuration",
                                           "bound import",
                                           "import address table",
                                           "delay import",
                                           "runtime header",
                                           "reserved"};

constexpr Field kSectionFields[] = {
    {0, 8, "Name"},
    {8, 4, "VirtualSize"},
    {12, 4, "VirtualAddress"},
    {16, 4, "SizeOfRawData"},
    {20, 4, "PointerToRawData"},
    {24, 12, "relocation and line number fields"},
    {36, 4, "Characteristics"},
};

BytePlace InHeaders(const PeImage& image, uint64_t offset) {
  const uint64_t optional = image.optional_at;
  if (offset < optional - 20)
    return {0, optional - 20, "the DOS header, stub and PE signature"};
  if (offset < optional) return {optional - 20, optional, "the file header"};
  if (offset < image.directories_at) {
    for (const Field& field : kOptionalFields) {
      if (offset < optional + field.at + field.size)
        return {optional + field.at, optional + field.at + field.size,
                std::string("the optional header's ") + field.name};
    }
  }
  const uint64_t directories_end =
      image.directories_at + 8 * image.directories.size();
  if (offset < directories_end) {
    const size_t index = (offset - image.directories_at) / 8;
    const uint64_t at = image.directories_at + 8 * index;
    return {at, at + 8,
            std::string("the ") + (index < 16 ? kDirectoryNames[index] : "?") +
                " data directory entry"};
  }
  for (const Section& section : image.sections) {
    if (offset >= section.header_at && offset < section.header_at + 40) {
      for (const Field& field : kSectionFields) {
        if (offset < section.header_at + field.at + field.size) {
          return {section.header_at + field.at,
                  section.header_at + field.at + field.size,
                  std::string("the ") + field.name + " of section " +
                      Printable(section.name) + "'s header"};
        }
      }
    }
  }
  return {directories_end, image.size_of_headers,
          "the headers after the section table"};
}

}  // namespace

BytePlace PlaceOf(const PeImage& image,
                  const std::vector<PackedResource>& resources,
                  uint64_t offset) {
  if (offset < image.size_of_headers) return InHeaders(image, offset);
  const uint32_t resource_address =
      image.directories.size() > kResourceDirectory
          ? image.directories[kResourceDirectory].address
          : 0;
  for (const Section& section : image.sections) {
    const uint64_t begin = section.raw_offset, end = begin + section.raw_size;
    if (offset < begin || offset >= end) continue;
    const std::string name = "section " + Printable(section.name);
    if (section.virtual_address != resource_address)
      return {begin, end, "the data of " + name};
    uint64_t directory_end = end;
    for (const PackedResource& resource : resources)
      directory_end =
          std::min<uint64_t>(directory_end, begin + resource.placement.offset);
    if (offset < directory_end)
      return {begin, directory_end, "the resource directory"};
    for (const PackedResource& resource : resources) {
      const uint64_t at = begin + resource.placement.offset;
      if (offset >= at && offset < at + resource.placement.size) {
        return {at, at + resource.placement.size,
                "resource " + Describe(resource.placement.type) + "/" +
                    Describe(resource.placement.name) + " (language " +
                    std::to_string(resource.placement.language) + ")"};
      }
    }
    return {offset, offset + 1, "padding in " + name};
  }
  return {offset, offset + 1, "bytes outside every section"};
}

}  // namespace packer
