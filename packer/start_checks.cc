#include "start_checks.h"

#include "text.h"

namespace packer {

std::vector<std::string> StartRefusals(const PeImage& image) {
  std::vector<std::string> reasons;
  const bool x64 = image.machine == kMachineAmd64,
             x86 = image.machine == kMachineI386;
  if (!x64 && !x86) {
    reasons.push_back("it is for " + MachineName(image.machine) +
                      ", and 64-bit Windows on x64 runs x64 and x86 programs");
  } else if (x64 != image.pe32_plus) {
    reasons.push_back(std::string("its optional header is ") +
                      (image.pe32_plus ? "PE32+" : "PE32") + " for " +
                      MachineName(image.machine));
  }
  if ((image.characteristics & kFileDll) != 0) reasons.push_back("it is a DLL");
  if ((image.characteristics & kFileExecutable) == 0)
    reasons.push_back("it is not marked as an executable image");
  if (image.subsystem != kSubsystemGui &&
      image.subsystem != kSubsystemConsole) {
    reasons.push_back("its subsystem " + std::to_string(image.subsystem) +
                      " is neither GUI (2) nor console (3)");
  }
  // The format's bounds: file alignment 512 B to 64 KiB, and below a page
  // the sections aligned as in the file.
  if (image.file_alignment > 0x10000)
    reasons.push_back("its file alignment " + Hex(image.file_alignment) +
                      " is above 64 KiB");
  if (image.section_alignment < kPage &&
      image.section_alignment != image.file_alignment) {
    reasons.push_back(
        "its section alignment is below a page and not its "
        "file alignment");
  }
  if (image.size_of_image < image.end_of_addresses) {
    reasons.push_back("its image size " + Hex(image.size_of_image) +
                      " does not cover its sections (" +
                      Hex(image.end_of_addresses) + ")");
  }
  return reasons;
}

}  // namespace packer
