// What an installer is made of, as inspect shows it and as pack checks its
// own output before publishing it: the headers, the checksum, the
// signature's digest, the version block, the payload and the setup program
// inside it. Reading any file costs time linear in its size.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "authenticode.h"
#include "file_io.h"
#include "payload.h"
#include "pe_image.h"
#include "resource_tree.h"
#include "setup_program.h"
#include "status.h"
#include "version_block.h"

namespace packer {

struct ResourceFacts {
  ResourceEntry entry;
  std::string sha256;  // empty unless asked for
};

struct ImageFacts {
  PeImage image;
  std::vector<std::string> start_refusals;
  uint32_t computed_checksum = 0;
  SignatureCheck signature;
  std::vector<ResourceFacts> resources;
  bool has_payload = false, payload_aligned = false;
  std::string payload_problem, setup_type;
  std::vector<std::string> payload_by_machine;
  std::optional<std::u16string> previous_version;
  bool previous_version_damaged = false;
  bool has_version = false, version_damaged = false;
  VersionNumbers file_version{}, product_version{};
  std::vector<VersionString> version_strings;
  std::optional<SetupProgramFacts> setup_program;
  std::string setup_program_problem;
  // The packer's record of the setup program, and what the installer
  // would write of it (BL, BN): the two must agree.
  bool has_record = false, record_damaged = false;
  SetupRecord record;
  ProgramDigest setup_digest;
};

// Reads INPUT; with HASHES, every resource's SHA-256 too (resources with
// the very same data share one). Refused when it is not an image whose
// headers and resource directory can be read. WRITTEN_CHECKSUM, when the
// caller wrote INPUT itself and summed it on the way, stands for the pass
// over the whole file that would otherwise compute it.
Status ExamineImage(const InputFile& input, bool hashes, ImageFacts* facts,
                    std::optional<uint32_t> written_checksum = std::nullopt);

// Whatever makes FACTS other than a sound installer: something Windows
// would refuse or show, a checksum or signature that does not fit the
// file, a damaged version block or payload, a setup program that cannot be
// read. Empty when nothing does.
std::vector<std::string> InstallerProblems(const ImageFacts& facts);

}  // namespace packer
