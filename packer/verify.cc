#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "authenticode.h"
#include "byte_place.h"
#include "cabinet.h"
#include "digest.h"
#include "file_io.h"
#include "input_checks.h"
#include "output_file.h"
#include "pack.h"
#include "payload.h"
#include "pe_checksum.h"
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

// Whether the record is the one packing writes for the program the
// installer must start (the setup program, or what the patch makes).
Status RecordDifference(const InputFile& packed, const ResourceEntry* record,
                        const InputFile& started, std::string* difference) {
  difference->clear();
  if (record == nullptr) {
    *difference = "it carries no record of its setup program (RT_RCDATA 2)";
    return Ok();
  }
  Bytes bytes;
  std::string wanted;
  Status status =
      ReadBytesAt(packed, record->file_offset,
                  std::min<uint32_t>(record->size, kRecordSize + 1), &bytes);
  if (status.ok()) status = Sha256Of(started, 0, started.size, &wanted);
  if (!status.ok()) return status;
  SetupRecord parsed;
  if (!ParseSetupRecord(bytes, &parsed) ||
      record->language != kLanguageEnglishUs || record->codepage != 0) {
    *difference = "its record of the setup program is not as packing writes it";
  } else if (HexOf(parsed.sha256) != wanted || parsed.size != started.size) {
    *difference = "its record names another setup program (SHA-256 " +
                  HexOf(parsed.sha256) + ") than " + Quoted(started.path) +
                  " (" + wanted + ")";
  }
  return Ok();
}

// What differs, in the order the installer meets it; empty when nothing.
Status FirstDifference(const InputFile& packed, const VerifyRequest& request,
                       const SetupKind& kind, const InputFile& archive,
                       const InputFile& setup, const InputFile& started,
                       std::string* difference) {
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
  if (!payload.by_machine.empty()) {
    *difference = payload.by_machine.front();
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
  status = RecordDifference(packed, payload.record, started, difference);
  if (!status.ok() || !difference->empty()) return status;
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

// The whole file against what packing the same inputs with the same
// options writes, byte for byte, but for a signature: its bytes, its
// directory entry and the checksum it changes are left out, and the
// signature must cover the file as it is.
Status WholeDifference(const VerifyRequest& request, std::string* difference) {
  PackRequest pack;
  pack.stub = *request.stub;
  pack.archive = request.archive;
  pack.setup = request.setup;
  pack.patched_setup = request.patched_setup;
  pack.setup_type = request.setup_type;
  pack.previous_version = request.previous_version;
  pack.file_version = request.file_version;
  // Whether the installer runs elevated is a packing decision, not a byte.
  pack.setup_runs_elevated = true;
  const char* temporary = std::getenv("TMPDIR");
  pack.output =
      std::string(temporary != nullptr && *temporary != '\0' ? temporary
                                                             : "/tmp") +
      "/installer-packer-verify";
  StagingDir staging;
  Packing packing;
  InputFile file;
  PeImage image;
  SignatureCheck signature;
  Status status = PreparePacking(pack, false, &staging, &packing);
  if (status.ok()) status = OpenInput("installer", request.file, &file);
  if (!status.ok()) return status;
  // A file whose headers do not read carries no signature to leave out:
  // the comparison says where it differs.
  status = ReadPeImage(file, &image);
  if (status.ok()) status = CheckSignature(file, image, &signature);
  if (status.exit_code == kExitRefused) {
    signature = SignatureCheck();
    status = Ok();
  }
  if (!status.ok()) return status;

  // Packing keeps the stub's headers where they are.
  const PeImage& stub = packing.layout.image;
  OutputFile compared;
  CompareOutput(file, &compared);
  const uint64_t checksum_at = stub.optional_at + kChecksumField;
  compared.ignored.push_back({checksum_at, checksum_at + 4});
  const bool is_signed = signature.state != SignatureCheck::kNone;
  if (is_signed) {
    const uint64_t entry = stub.directories_at + 8 * kSecurityDirectory;
    compared.ignored.push_back({entry, entry + 8});
  }
  status = WritePackedImage(packing.inputs.stub, packing.layout,
                            &packing.resources, &compared);
  if (!status.ok()) return status;
  const uint64_t made = compared.offset;
  if (!is_signed || signature.offset != made) status = CloseOutput(&compared);
  if (!status.ok()) return status;

  Bytes checksum;
  status = ReadBytesAt(file, checksum_at, 4, &checksum);
  if (!status.ok()) return status;
  uint64_t first = 0;
  if (compared.first_difference) {
    first = *compared.first_difference;
  } else if (!is_signed &&
             Load32(checksum.data()) != ChecksumFinish(compared.checksum)) {
    first = checksum_at;
  } else if (is_signed && signature.state != SignatureCheck::kMatches) {
    *difference = "its signature does not cover the file as it is: " +
                  (signature.state == SignatureCheck::kDamaged
                       ? "it is damaged (" + signature.problem + ")"
                       : std::string("its digest is not the file's"));
    return Ok();
  } else {
    return Ok();
  }
  if (first >= made) {
    *difference = "it has " + std::to_string(file.size - made) +
                  " bytes after the " + std::to_string(made) +
                  " packing writes, from byte " + std::to_string(first) +
                  " on" + (is_signed ? "" : " (and no signature)");
    return Ok();
  }
  InputFile head;
  head.size = made;
  head.pieces.push_back({0, compared.head});
  PeImage expected;
  status = ReadPeImage(head, &expected);
  if (!status.ok()) return status;
  const BytePlace place = PlaceOf(expected, packing.resources, first);
  *difference = "byte " + std::to_string(first) +
                " differs from what packing writes, in " + place.what +
                " (bytes " + std::to_string(place.begin) + " to " +
                std::to_string(place.end) + ")";
  return Ok();
}

}  // namespace

Status Verify(const VerifyRequest& request) {
  if (request.stub) {
    std::string difference;
    Status status = WholeDifference(request, &difference);
    if (!status.ok()) return status;
    if (!difference.empty()) {
      return {kExitMismatch,
              Quoted(request.file) +
                  " is not what packing these inputs makes: " + difference};
    }
    std::printf(
        "%s is byte for byte what packing %s and %s into %s makes (setup "
        "type %s%s%s)\n",
        Printable(request.file).c_str(), Printable(request.archive).c_str(),
        Printable(request.setup).c_str(), Printable(*request.stub).c_str(),
        request.setup_type.c_str(),
        request.previous_version ? ", previous version " : "",
        request.previous_version ? request.previous_version->c_str() : "");
    return Ok();
  }
  const SetupKind* kind = nullptr;
  InputFile packed, archive, setup, patched;
  Status status = FindSetupKind(request.setup_type, &kind);
  if (status.ok() && kind->is_program != request.patched_setup.empty()) {
    status = Refused(kind->is_program
                         ? "--patched-setup goes with --setup-type PATCH only"
                         : "a patch needs --patched-setup, the setup program "
                           "it must make");
  }
  if (status.ok() && request.file_version)
    status = Refused("--file-version goes with --stub only");
  if (status.ok() && request.previous_version)
    status = CheckPreviousVersion(*request.previous_version);
  if (status.ok()) status = OpenInput("installer", request.file, &packed);
  if (status.ok()) status = OpenInput("archive", request.archive, &archive);
  if (status.ok()) status = OpenInput(kind->role, request.setup, &setup);
  if (status.ok() && !kind->is_program) {
    status =
        OpenInput("patched setup program", request.patched_setup, &patched);
  }
  std::string difference;
  if (status.ok())
    status = FirstDifference(packed, request, *kind, archive, setup,
                             kind->is_program ? setup : patched, &difference);
  if (!status.ok()) return status;
  if (!difference.empty()) {
    return {kExitMismatch,
            Quoted(request.file) +
                " does not carry the given payload: " + difference};
  }
  std::printf(
      "%s carries exactly %s and %s (setup type %s%s%s); without --stub the "
      "rest of the file is not compared\n",
      Printable(request.file).c_str(), Printable(request.archive).c_str(),
      Printable(request.setup).c_str(), kind->option,
      request.previous_version ? ", previous version " : "",
      request.previous_version ? request.previous_version->c_str() : "");
  return Ok();
}

}  // namespace packer
