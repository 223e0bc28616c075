#include "pe_image.h"

#include <algorithm>

#include "text.h"

namespace packer {
namespace {

constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kMagicPe32 = 0x10b;
// Signature, file header and the fixed part of the larger optional header.
constexpr size_t kFixedHeaders = 24 + 112;

Status NotAnImage(const InputFile& input, const std::string& why) {
  return Refused("the " + input.role + " " + Quoted(input.path) +
                 " is not a Windows image: " + why);
}

// The format wants section addresses ascending, adjacent and aligned, and
// linkers write them so; the loader maps nothing else. Holding to it lets
// SectionAt search instead of scanning, whatever the number of sections.
bool SectionsInOrder(PeImage* image) {
  const uint32_t alignment = image->section_alignment;
  uint64_t next = AlignUp(image->size_of_headers, alignment);
  for (size_t i = 0; i < image->sections.size(); ++i) {
    const Section& section = image->sections[i];
    if (section.virtual_address % alignment != 0 ||
        (i == 0 ? section.virtual_address < next
                : section.virtual_address != next)) {
      return false;
    }
    const uint32_t extent =
        section.virtual_size != 0 ? section.virtual_size : section.raw_size;
    next = AlignUp(uint64_t{section.virtual_address} + extent, alignment);
  }
  image->end_of_addresses = next;
  return next <= 0x100000000;
}

}  // namespace

Status ReadPeImage(const InputFile& input, PeImage* image) {
  image->file_size = input.size;
  if (input.size < 64) return NotAnImage(input, "it is too short");
  uint8_t dos[64];
  Status status = ReadAt(input, 0, dos, sizeof dos);
  if (!status.ok()) return status;
  if (dos[0] != 'M' || dos[1] != 'Z') {
    return NotAnImage(input, "it does not begin with \"MZ\"");
  }
  const uint32_t nt_at = Load32(dos + 0x3C);
  const uint64_t fixed_end = uint64_t{nt_at} + kFixedHeaders;
  if (fixed_end > input.size || fixed_end > (1u << 20)) {
    return NotAnImage(input, "its PE header lies outside the file");
  }
  Bytes nt;
  status = ReadBytesAt(input, nt_at, kFixedHeaders, &nt);
  if (!status.ok()) return status;
  if (Load32(nt.data()) != 0x00004550)
    return NotAnImage(input, "it has no PE header");
  image->machine = Load16(nt.data() + 4);
  const uint16_t section_count = Load16(nt.data() + 6);
  const uint16_t optional_size = Load16(nt.data() + 20);
  image->characteristics = Load16(nt.data() + 22);
  const uint8_t* optional = nt.data() + 24;
  const uint16_t magic = Load16(optional);
  if (magic != kMagicPe32Plus && magic != kMagicPe32) {
    return NotAnImage(input, "its optional header is neither PE32 nor PE32+ (" +
                                 Hex(magic) + ")");
  }
  image->pe32_plus = magic == kMagicPe32Plus;
  const size_t directories = image->pe32_plus ? 112 : 96;
  image->optional_at = nt_at + 24;
  image->directories_at = image->optional_at + directories;
  image->section_alignment = Load32(optional + 32);
  image->file_alignment = Load32(optional + 36);
  image->size_of_image = Load32(optional + kSizeOfImage);
  image->size_of_headers = Load32(optional + 60);
  image->checksum = Load32(optional + kChecksumField);
  image->subsystem = Load16(optional + 68);
  const uint32_t directory_count = Load32(optional + directories - 4);

  const uint64_t table_at = image->optional_at + optional_size;
  const uint64_t table_end =
      table_at + uint64_t{section_count} * kSectionHeaderSize;
  if (section_count == 0 || optional_size < directories ||
      directory_count > (optional_size - directories) / 8 ||
      directory_count <= kRelocationDirectory) {
    return NotAnImage(input,
                      "its optional header or section table is malformed");
  }
  const uint32_t size_of_headers = image->size_of_headers;
  if (table_end > size_of_headers || size_of_headers > input.size ||
      size_of_headers > (1u << 20)) {
    return NotAnImage(input, "its headers do not fit in the file");
  }
  if (image->file_alignment < 512 ||
      image->section_alignment < image->file_alignment ||
      (image->file_alignment & (image->file_alignment - 1)) != 0 ||
      (image->section_alignment & (image->section_alignment - 1)) != 0) {
    return NotAnImage(input, "its alignments (file " +
                                 Hex(image->file_alignment) + ", sections " +
                                 Hex(image->section_alignment) +
                                 ") are not powers of two from 512 on, the "
                                 "sections' no finer than the file's");
  }
  status = ReadBytesAt(input, 0, size_of_headers, &image->headers);
  if (!status.ok()) return status;

  const uint8_t* entries = image->headers.data() + image->directories_at;
  image->directories.resize(directory_count);
  for (uint32_t i = 0; i < directory_count; ++i) {
    image->directories[i] = {Load32(entries + 8 * i),
                             Load32(entries + 8 * i + 4)};
  }
  image->sections.clear();
  image->end_of_sections = size_of_headers;
  for (uint16_t i = 0; i < section_count; ++i) {
    const size_t at = table_at + size_t{i} * kSectionHeaderSize;
    const uint8_t* header = image->headers.data() + at;
    Section section;
    const auto* name = reinterpret_cast<const char*>(header);
    section.name =
        Printable(std::string(name, std::find(name, name + 8, '\0')));
    section.virtual_size = Load32(header + 8);
    section.virtual_address = Load32(header + 12);
    section.raw_size = Load32(header + 16);
    section.raw_offset = Load32(header + 20);
    section.characteristics = Load32(header + 36);
    section.header_at = at;
    if (section.raw_size != 0) {
      if (section.raw_offset < size_of_headers) {
        return NotAnImage(
            input, "its section " + section.name + " overlaps its headers");
      }
      const uint64_t end = uint64_t{section.raw_offset} + section.raw_size;
      if (end > input.size) {
        return NotAnImage(input, "its section " + section.name +
                                     " ends past the end of the file");
      }
      image->end_of_sections = std::max(image->end_of_sections, end);
    }
    image->sections.push_back(section);
  }
  if (!SectionsInOrder(image)) {
    return NotAnImage(input,
                      "its sections are not at ascending, adjacent addresses "
                      "aligned to its section alignment, as the format "
                      "requires and linkers write them");
  }
  return Ok();
}

std::string MachineName(uint16_t machine) {
  if (machine == kMachineAmd64) return "x64";
  if (machine == kMachineI386) return "x86";
  return "machine " + Hex(machine);
}

const Section* SectionAt(const PeImage& image, uint32_t rva) {
  const auto after =
      std::upper_bound(image.sections.begin(), image.sections.end(), rva,
                       [](uint32_t value, const Section& section) {
                         return value < section.virtual_address;
                       });
  if (after == image.sections.begin()) return nullptr;
  const Section& section = *(after - 1);
  const uint32_t extent = std::max(section.virtual_size, section.raw_size);
  return rva - section.virtual_address < extent ? &section : nullptr;
}

uint64_t LoadedOffset(const Section& section) {
  return section.raw_offset & ~uint64_t{kLoaderRawRounding - 1};
}

uint64_t LoadedSize(const PeImage& image, const Section& section) {
  uint64_t size = AlignUp(section.raw_size, image.file_alignment);
  if (section.virtual_size != 0)
    size = std::min<uint64_t>(size, section.virtual_size);
  return size;
}

bool FileOffsetOf(const PeImage& image, uint32_t rva, uint32_t size,
                  uint64_t* offset) {
  const Section* section = SectionAt(image, rva);
  if (section == nullptr) return false;
  const uint64_t inside = rva - section->virtual_address;
  if (inside + size > LoadedSize(image, *section)) return false;
  *offset = LoadedOffset(*section) + inside;
  return *offset + size <= image.file_size;
}

}  // namespace packer
