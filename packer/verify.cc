#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cabinet.h"
#include "file_io.h"
#include "payload.h"
#include "pe_image.h"

namespace packer {
namespace {

// Whether SIZE bytes of A at A_OFFSET are all of B; *DIFFERENCE says
// where not.
Status SameBytes(const InputFile& a, uint64_t a_offset, uint64_t size,
                 const InputFile& b, std::string* difference) {
  difference->clear();
  if (size != b.size) {
    *difference = std::to_string(size) + " bytes where " + Quoted(b.path) +
                  " has " + std::to_string(b.size);
    return Ok();
  }
  Bytes mine(kChunk), theirs(kChunk);
  for (uint64_t at = 0; at < size; at += kChunk) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>(size - at, kChunk));
    Status status = ReadAt(a, a_offset + at, mine.data(), part);
    if (status.ok()) status = ReadAt(b, at, theirs.data(), part);
    if (!status.ok()) return status;
    if (std::memcmp(mine.data(), theirs.data(), part) != 0) {
      const size_t first = static_cast<size_t>(
          std::mismatch(mine.begin(), mine.begin() + part, theirs.begin())
              .first -
          mine.begin());
      *difference = "other bytes than " + Quoted(b.path) + " from byte " +
                    std::to_string(at + first) + " on";
      return Ok();
    }
  }
  return Ok();
}

Status Mismatch(const std::string& file, const std::string& what) {
  return {kExitMismatch,
          Quoted(file) + " does not carry the given payload: " + what};
}

}  // namespace

Status Verify(const VerifyRequest& request) {
  InputFile packed, archive, setup;
  PeImage image;
  std::vector<ResourceEntry> resources;
  Status status = OpenInput("installer", request.file, &packed);
  if (status.ok()) status = OpenInput("archive", request.archive, &archive);
  if (status.ok()) status = OpenInput("setup program", request.setup, &setup);
  if (status.ok()) status = ReadPeImage(packed, &image);
  if (status.ok()) status = ReadResources(packed, image, &resources);
  if (!status.ok()) return status;
  const PayloadView payload = FindPayload(resources);
  if (!payload.problem.empty()) return Mismatch(request.file, payload.problem);
  if (payload.archive == nullptr)
    return Mismatch(request.file, "it carries no payload");

  std::string difference;
  status = SameBytes(packed, payload.archive->file_offset,
                     payload.archive->size, archive, &difference);
  if (!status.ok()) return status;
  if (!difference.empty())
    return Mismatch(request.file, "its archive has " + difference);
  const std::string setup_type = SetupTypeOf(*payload.setup);
  if (setup_type == "BL") {
    status = CabinetHolds(packed, payload.setup->file_offset,
                          payload.setup->size, setup, &difference);
  } else {
    status = SameBytes(packed, payload.setup->file_offset, payload.setup->size,
                       setup, &difference);
    if (!difference.empty()) difference = "it has " + difference;
  }
  if (!status.ok()) return status;
  if (!difference.empty()) {
    return Mismatch(request.file,
                    "its setup resource (" + setup_type +
                        ") does not hold the setup program: " + difference);
  }
  std::printf("%s carries exactly %s and %s (setup type %s)\n",
              request.file.c_str(), request.archive.c_str(),
              request.setup.c_str(), setup_type.c_str());
  return Ok();
}

}  // namespace packer
