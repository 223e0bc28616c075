#include "setup_program.h"

#include <algorithm>

#include "cabinet.h"
#include "digest.h"
#include "manifest.h"
#include "pe_image.h"
#include "start_checks.h"
#include "text.h"

namespace packer {
namespace {

constexpr uint16_t kTypeManifest = 24;
constexpr uint32_t kLargestManifest = 1 << 20;
constexpr uint64_t kHead = 1 << 20;  // the largest headers ReadPeImage takes
// How far into a packed setup program its resources are looked for, and
// how much of them is read: bounds on the work of reading a crafted one.
constexpr uint64_t kFarthest = 256 << 20;
constexpr uint64_t kMostResources = 16 << 20;

// The parts of a program its facts come from, gathered as its bytes stream
// past: its first bytes (the headers), then its resource section.
struct ProgramCapture {
  uint64_t size = 0;  // the whole program's
  uint64_t seen = 0;
  Bytes head;
  bool located = false;
  uint64_t want_at = 0, want_end = 0;
  Bytes wanted;

  void Locate() {
    located = true;
    InputFile partial;
    partial.size = size;
    partial.pieces.push_back({0, head});
    PeImage image;
    if (!ReadPeImage(partial, &image).ok() ||
        image.directories.size() <= kResourceDirectory)
      return;
    const Section* section =
        SectionAt(image, image.directories[kResourceDirectory].address);
    if (section == nullptr || section->raw_offset >= kFarthest) return;
    want_at = section->raw_offset;
    want_end = want_at + std::min<uint64_t>(section->raw_size, kMostResources);
    if (want_at < seen) {
      wanted.assign(head.begin() + want_at,
                    head.begin() + std::min(seen, want_end));
    }
  }
  // False once nothing more is wanted.
  bool Take(const uint8_t* data, size_t count) {
    if (!located) {
      const size_t part = static_cast<size_t>(
          std::min<uint64_t>(count, std::min(kHead, size) - seen));
      head.insert(head.end(), data, data + part);
      seen += part;
      data += part;
      count -= part;
      if (seen < std::min(kHead, size)) return true;
      Locate();
    }
    const uint64_t from = std::max(seen, want_at + wanted.size());
    const uint64_t to = std::min(seen + count, want_end);
    if (from < to)
      wanted.insert(wanted.end(), data + (from - seen), data + (to - seen));
    seen += count;
    return seen < want_end;
  }
  void Into(InputFile* program) {
    program->size = size;
    program->pieces.push_back({0, std::move(head)});
    if (!wanted.empty())
      program->pieces.push_back({want_at, std::move(wanted)});
  }
};

}  // namespace

Status ReadSetupProgram(const InputFile& program, SetupProgramFacts* facts) {
  *facts = SetupProgramFacts();
  PeImage image;
  std::vector<ResourceEntry> resources;
  Status status = ReadPeImage(program, &image);
  if (status.ok()) status = ReadResources(program, image, &resources);
  if (!status.ok()) return status;
  facts->machine = image.machine;
  facts->pe32_plus = image.pe32_plus;
  facts->subsystem = image.subsystem;
  facts->start_refusals = StartRefusals(image);
  const auto manifest =
      std::find_if(resources.begin(), resources.end(), [](const auto& entry) {
        return !entry.type.is_name && entry.type.id == kTypeManifest &&
               !entry.name.is_name && entry.name.id == 1;
      });
  if (manifest == resources.end()) return Ok();
  facts->has_manifest = true;
  if (manifest->size > kLargestManifest) {
    facts->manifest_problem = "it is larger than 1 MiB";
    return Ok();
  }
  Bytes text;
  status = ReadBytesAt(program, manifest->file_offset, manifest->size, &text);
  if (!status.ok()) return status;
  ReadExecutionLevel(text, &facts->level, &facts->manifest_problem);
  return Ok();
}

Status CheckSetupProgram(const std::string& named,
                         const SetupProgramFacts& facts, bool runs_elevated) {
  if (!facts.start_refusals.empty()) {
    std::string reasons;
    for (const std::string& reason : facts.start_refusals)
      reasons += (reasons.empty() ? "" : "; ") + reason;
    return Refused(named + " is not a program Windows would start: " + reasons);
  }
  if (!facts.manifest_problem.empty()) {
    return Refused(named + " has a manifest that cannot be read (" +
                   facts.manifest_problem +
                   "); Windows does not start a program whose manifest it "
                   "cannot read");
  }
  const std::string level = facts.level.value_or("");
  if (facts.machine == kMachineI386 && level.empty()) {
    return Refused(
        named + " is a 32-bit program " +
        (facts.has_manifest ? "whose manifest has no requestedExecutionLevel"
                            : "without a manifest") +
        ": Windows takes such a program named setup.exe for an installer "
        "and, from an installer that is not elevated, refuses to start it "
        "(ERROR_ELEVATION_REQUIRED, 740); give it a manifest that asks for "
        "asInvoker");
  }
  if (facts.level && level != "asInvoker" && level != "highestAvailable" &&
      level != "requireAdministrator") {
    return Refused(named + " asks for the execution level '" +
                   Printable(level) +
                   "', which is none of asInvoker, highestAvailable and "
                   "requireAdministrator");
  }
  if ((level == "highestAvailable" || level == "requireAdministrator") &&
      !runs_elevated) {
    return Refused(named + " asks for " + level +
                   " in its manifest: Windows refuses to start it from an "
                   "installer that is not elevated (ERROR_ELEVATION_REQUIRED, "
                   "740); if the installer always runs elevated, say so with "
                   "--setup-runs-elevated");
  }
  return Ok();
}

Status ReadPackedSetupProgram(const InputFile& image,
                              const ResourceEntry& setup, bool is_cabinet,
                              SetupProgramFacts* facts, std::string* problem,
                              ProgramDigest* digest) {
  problem->clear();
  if (digest != nullptr) *digest = ProgramDigest();
  uint64_t streamed = 0;
  ProgramCapture capture;
  Sha256Stream whole;
  bool capturing = true;
  // The headers and resources are taken from the same stream the digest
  // reads, in one pass.
  const auto take = [&](const uint8_t* data, size_t size) {
    if (capturing) capturing = capture.Take(data, size);
    if (digest != nullptr) whole.Add(data, size);
    streamed += size;
    return capturing || digest != nullptr;
  };
  Status status;
  if (is_cabinet) {
    CabinetReading reading;
    status = ReadCabinet(
        image, setup.file_offset, setup.size,
        [&capture, &reading, &take](const uint8_t* data, size_t size) {
          capture.size = reading.file_size;
          return take(data, size);
        },
        &reading);
    capture.size = reading.file_size;
    if (status.ok() && !reading.problem.empty()) {
      *problem = "its cabinet " + reading.problem;
      return Ok();
    }
  } else {
    capture.size = setup.size;
    Bytes chunk(kChunk);
    for (uint64_t at = 0; status.ok() && at < setup.size; at += kChunk) {
      const size_t part =
          static_cast<size_t>(std::min<uint64_t>(setup.size - at, kChunk));
      status = ReadAt(image, setup.file_offset + at, chunk.data(), part);
      if (status.ok() && !take(chunk.data(), part)) break;
    }
  }
  if (status.ok() && digest != nullptr) {
    digest->size = streamed;
    digest->sha256 = whole.Finish();
  }
  if (!status.ok()) return status;
  InputFile program;
  program.role = "setup program";
  program.path = "setup.exe";
  capture.Into(&program);
  status = ReadSetupProgram(program, facts);
  if (status.exit_code == kExitRefused) {
    *problem = status.message;
    return Ok();
  }
  return status;
}

std::string LevelText(const SetupProgramFacts& facts) {
  if (!facts.manifest_problem.empty())
    return "unreadable manifest (" + facts.manifest_problem + ")";
  if (!facts.has_manifest) return "none (no manifest)";
  if (!facts.level) return "none (its manifest asks for none)";
  return Printable(*facts.level);
}

}  // namespace packer
