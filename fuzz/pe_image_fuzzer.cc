// The packer's reading of a whole file, as inspect and pack's read-back
// read it (headers, resource directory, checksum, signature, version
// block, payload, the setup program inside its cabinet) and as pack reads
// a stub. Whatever it accepts must lie inside the file.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "image_facts.h"
#include "packer_input.h"
#include "stub.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const packer::InputFile file = MemoryFile(data, size);
  packer::ImageFacts facts;
  const packer::Status status = packer::ExamineImage(file, true, &facts);
  FUZZ_CHECK(status.ok() || status.exit_code == packer::kExitRefused);
  if (status.ok()) {
    for (const packer::ResourceFacts& resource : facts.resources) {
      FUZZ_CHECK(resource.entry.file_offset + resource.entry.size <= size);
      FUZZ_CHECK(resource.sha256.size() == 64);
    }
    FUZZ_CHECK(facts.image.end_of_sections <= size);
    packer::InstallerProblems(facts);
  }
  packer::StubLayout layout;
  const packer::Status stub = packer::CheckStub(file, &layout);
  FUZZ_CHECK(stub.ok() || stub.exit_code == packer::kExitRefused);
  if (stub.ok()) {
    FUZZ_CHECK(layout.resource_section < layout.image.sections.size());
  }
  return 0;
}
