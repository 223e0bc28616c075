// The headers of a Windows image (PE32+ or PE32), as far as packing and
// inspecting need them: the header bytes themselves, so that they can be
// copied with a few fields changed, and the section table and data
// directories read out of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "file_io.h"
#include "status.h"

namespace packer {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineI386 = 0x14c;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionReadable = 0x40000000;
constexpr uint32_t kPage = 4096;

enum DirectoryIndex : size_t {
  kResourceDirectory = 2,
  kSecurityDirectory = 4,  // holds a file offset, not an address
  kRelocationDirectory = 5,
};

// Offsets inside the optional header, the same in PE32 and PE32+.
enum OptionalField : size_t {
  kSizeOfInitializedData = 8,
  kSizeOfImage = 56,
  kChecksumField = 64,
};

struct Section {
  std::string name;
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint32_t characteristics = 0;
  size_t header_at = 0;  // offset of its 40-byte header in the file
};

struct DataDirectory {
  uint32_t address = 0;
  uint32_t size = 0;
};

struct PeImage {
  Bytes headers;  // the file's first size_of_headers bytes
  uint64_t file_size = 0;
  size_t optional_at = 0;     // offset of the optional header in the file
  size_t directories_at = 0;  // offset of the data directories in the file
  bool pe32_plus = false;     // the 64-bit layout of the optional header
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t subsystem = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint32_t checksum = 0;
  std::vector<DataDirectory> directories;
  std::vector<Section> sections;  // in the order of the section table
  uint64_t end_of_sections = 0;   // where the last section's data ends
  uint64_t end_of_addresses = 0;  // the last section's end, aligned
};

// Reads and checks the headers. Refused with the reason: anything that is
// not a well-formed PE32 or PE32+ image, and layouts no linker writes
// (sections that are not in ascending, adjacent order of addresses, as
// the format requires), which would make the packer's reading of the
// image other than the loader's.
Status ReadPeImage(const InputFile& input, PeImage* image);

// "x64", "x86" or the machine's number.
std::string MachineName(uint16_t machine);

// The section whose address range holds RVA, or null.
const Section* SectionAt(const PeImage& image, uint32_t rva);

// The file offset of SIZE bytes at RVA, when they lie in the bytes the
// loader maps from the file for one section (below).
bool FileOffsetOf(const PeImage& image, uint32_t rva, uint32_t size,
                  uint64_t* offset);

// Where the loader takes a section's bytes from, and how many it takes:
// PointerToRawData rounded down to 512, SizeOfRawData rounded up to the
// file alignment, no more than VirtualSize (past which it maps zeros).
constexpr uint32_t kLoaderRawRounding = 512;
uint64_t LoadedOffset(const Section& section);
uint64_t LoadedSize(const PeImage& image, const Section& section);

}  // namespace packer
