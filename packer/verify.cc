#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cabinet.h"
#include "file_io.h"
#include "input_checks.h"
#include "payload.h"
#include "pe_image.h"
#include "start_checks.h"
#include "text.h"

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

// The type, name and language packing gives a payload resource; the
// installer writes the file under that name.
std::string PlaceDifference(const ResourceEntry& entry, const char* type,
                            const char* name) {
  const std::string where = Describe(entry.type) + "/" + Describe(entry.name);
  if (!entry.type.is_name || entry.type.Text() != Utf16FromAscii(type) ||
      !entry.name.is_name || entry.name.Text() != Utf16FromAscii(name)) {
    return "it is " + where + ", packing writes " + type + "/" + name;
  }
  if (entry.language != kLanguageEnglishUs || entry.codepage != 0)
    return where + " has language " + std::to_string(entry.language) +
           " and code page " + std::to_string(entry.codepage) +
           ", packing writes 1033 and 0";
  return "";
}

// What differs, in the order the installer meets it; empty when nothing.
Status FirstDifference(const InputFile& packed, const VerifyRequest& request,
                       const SetupKind& kind, const InputFile& archive,
                       const InputFile& setup, std::string* difference) {
  PeImage image;
  std::vector<ResourceEntry> resources;
  Status status = ReadPeImage(packed, &image);
  if (status.ok()) status = ReadResources(packed, image, &resources);
  if (!status.ok()) return status;
  std::vector<std::string> refusals = StartRefusals(image);
  if (image.machine != kMachineAmd64) refusals.push_back("it is not x64");
  if (!refusals.empty()) {
    *difference = "Windows would not start it as the installer: " + refusals[0];
    return Ok();
  }
  const PayloadView payload = FindPayload(resources);
  if (!payload.problem.empty()) {
    *difference = payload.problem;
    return Ok();
  }
  if (payload.archive == nullptr) {
    *difference = "it carries no payload";
    return Ok();
  }
  *difference = PlaceDifference(*payload.archive, kArchiveType, kArchiveName);
  if (!difference->empty()) {
    *difference = "its archive: " + *difference;
    return Ok();
  }
  status = SameBytes(packed, payload.archive->file_offset,
                     payload.archive->size, archive, difference);
  if (!status.ok() || !difference->empty()) {
    *difference = "its archive has " + *difference;
    return status;
  }
  const std::string setup_what =
      "its setup resource (" + SetupTypeOf(*payload.setup) + ")";
  *difference = PlaceDifference(*payload.setup, kind.type, kind.name);
  if (!difference->empty()) {
    *difference =
        setup_what + ": " + *difference + " (--setup-type " + kind.option + ")";
    return Ok();
  }
  if (kind.cabinet) {
    status = CabinetHolds(packed, payload.setup->file_offset,
                          payload.setup->size, setup, difference);
  } else {
    status = SameBytes(packed, payload.setup->file_offset, payload.setup->size,
                       setup, difference);
    if (!difference->empty()) *difference = "it has " + *difference;
  }
  if (!status.ok() || !difference->empty()) {
    *difference =
        setup_what + " does not hold the " + kind.role + ": " + *difference;
    return status;
  }
  const ResourceEntry* previous = payload.previous_version;
  if (previous == nullptr && request.previous_version) {
    *difference = "it carries no previous version, " +
                  *request.previous_version + " was given";
  } else if (previous != nullptr && !request.previous_version) {
    *difference = "it carries a previous version, none was given";
  } else if (previous != nullptr) {
    const Bytes wanted = PreviousVersionBytes(*request.previous_version);
    Bytes bytes;
    if (previous->size == wanted.size()) {
      status =
          ReadBytesAt(packed, previous->file_offset, previous->size, &bytes);
      if (!status.ok()) return status;
    }
    if (bytes != wanted || previous->language != kLanguageEnglishUs ||
        previous->codepage != 0) {
      *difference = "its previous version is not " + *request.previous_version +
                    " as packing writes it";
    }
  }
  return Ok();
}

}  // namespace

Status Verify(const VerifyRequest& request) {
  const SetupKind* kind = nullptr;
  InputFile packed, archive, setup;
  Status status = FindSetupKind(request.setup_type, &kind);
  if (status.ok() && request.previous_version)
    status = CheckPreviousVersion(*request.previous_version);
  if (status.ok()) status = OpenInput("installer", request.file, &packed);
  if (status.ok()) status = OpenInput("archive", request.archive, &archive);
  if (status.ok()) status = OpenInput(kind->role, request.setup, &setup);
  std::string difference;
  if (status.ok())
    status =
        FirstDifference(packed, request, *kind, archive, setup, &difference);
  if (!status.ok()) return status;
  if (!difference.empty()) {
    return {kExitMismatch,
            Quoted(request.file) +
                " does not carry the given payload: " + difference};
  }
  std::printf(
      "%s carries exactly %s and %s (setup type %s%s%s)\n",
      Printable(request.file).c_str(), Printable(request.archive).c_str(),
      Printable(request.setup).c_str(), kind->option,
      request.previous_version ? ", previous version " : "",
      request.previous_version ? request.previous_version->c_str() : "");
  return Ok();
}

}  // namespace packer
