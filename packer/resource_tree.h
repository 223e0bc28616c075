// The resource directory of an image: reading every resource out of it,
// and writing a new one whose data the caller places after it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "file_io.h"
#include "pe_image.h"
#include "status.h"

namespace packer {

constexpr uint16_t kTypeVersion = 16;
constexpr uint16_t kTypeRcdata = 10;
constexpr uint16_t kLanguageEnglishUs = 1033;

// A type or a name: an integer identifier or a string.
struct ResourceId {
  bool is_name = false;
  uint16_t id = 0;
  // A name's units, shared by every entry that has it: one directory may
  // give thousands of entries one long name.
  std::shared_ptr<const std::u16string> name;
  const std::u16string& Text() const;
};
ResourceId IdOf(uint16_t id);
ResourceId NameOf(const std::string& ascii);
// Names compare as the loader compares them: ASCII letters in any case.
bool SameId(const ResourceId& a, const ResourceId& b);
// A number as decimal digits, a name as printable text.
std::string Describe(const ResourceId& id);

// One resource as an image carries it.
struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  uint32_t codepage = 0;
  uint32_t size = 0;
  uint64_t file_offset = 0;  // where its data lies in the file
};

// Every resource of the image, in directory order; none when it has no
// resource directory. A directory that points outside itself or outside
// the file is refused, and so is one that no linker writes and that would
// make reading it cost more than the file's size: a table or data entry
// reached twice, entries out of the loader's order, resources whose data
// partly overlap. Names are read once however many entries share them.
Status ReadResources(const InputFile& input, const PeImage& image,
                     std::vector<ResourceEntry>* resources);

// A resource of a directory being built.
struct PlacedResource {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  uint32_t codepage = 0;
  uint64_t size = 0;
  uint32_t alignment = 8;  // of its data's offset in the section
  uint32_t offset = 0;     // from the section's start; set by the layout
};

// Writes the directory for RESOURCES (entries ordered as the loader's
// binary search needs them) for a section at SECTION_RVA, and places each
// resource's data after it, in the order given, at its alignment. Returns
// the directory's bytes; *CONTENT_SIZE is where the last data ends.
Bytes LayOutResources(uint32_t section_rva,
                      std::vector<PlacedResource>* resources,
                      uint64_t* content_size);

}  // namespace packer
