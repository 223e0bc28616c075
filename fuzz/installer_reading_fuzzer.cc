// Whatever the packer finds sound in a whole file, a run of the installer
// reads the same way: the same archive bytes, and a setup program (BN as
// it is, BL as the cabinet library expands it) whose SHA-256 is the one
// recorded. The run's reading is installer_model's, written apart from
// the packer: a disagreement is the next false pass.
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "image_facts.h"
#include "installer_model.h"
#include "packer_input.h"
#include "payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const packer::InputFile file = MemoryFile(data, size);
  packer::ImageFacts facts;
  const packer::Status status = packer::ExamineImage(file, false, &facts);
  if (!status.ok() || !facts.has_payload ||
      !packer::InstallerProblems(facts).empty()) {
    return 0;
  }
  // Sound to the packer: the run must take exactly this.
  const installer_model::Reading run = installer_model::Read(data, size);
  FUZZ_CHECK(run.understood);
  FUZZ_CHECK(!run.refused);
  std::vector<packer::ResourceEntry> entries;
  for (const packer::ResourceFacts& resource : facts.resources)
    entries.push_back(resource.entry);
  const packer::PayloadView payload = packer::FindPayload(entries);
  FUZZ_CHECK(payload.archive != nullptr && payload.setup != nullptr);
  FUZZ_CHECK(run.archive.size == payload.archive->size);
  FUZZ_CHECK(std::memcmp(run.archive.data, data + payload.archive->file_offset,
                         run.archive.size) == 0);
  if (facts.setup_type == "PATCH") return 0;
  FUZZ_CHECK(run.expanded);
  FUZZ_CHECK(run.program.size() == facts.record.size);
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(run.program.data(), run.program.size(), digest);
  FUZZ_CHECK(packer::Bytes(digest, digest + sizeof digest) ==
             facts.record.sha256);
  return 0;
}
