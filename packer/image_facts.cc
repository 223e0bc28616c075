#include "image_facts.h"

#include <map>
#include <utility>

#include "digest.h"
#include "payload.h"
#include "pe_checksum.h"
#include "start_checks.h"
#include "text.h"

namespace packer {
namespace {

// A previous version is one to four numbers: anything much longer is not
// read into memory, only said to be wrong.
constexpr uint32_t kLongestPreviousVersion = 4096;
constexpr uint32_t kLongestVersionBlock = 0x10000;

// The checksum the file should carry: its own field counted as zero.
Status ComputeChecksum(const InputFile& input, const PeImage& image,
                       uint32_t* checksum) {
  PeChecksum sum;
  Bytes chunk(kChunk);
  const uint64_t field = image.optional_at + kChecksumField;
  for (uint64_t at = 0; at < input.size; at += chunk.size()) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>(input.size - at, chunk.size()));
    Status status = ReadAt(input, at, chunk.data(), part);
    if (!status.ok()) return status;
    for (uint64_t byte = field; byte < field + 4; ++byte) {
      if (byte >= at && byte < at + part) chunk[byte - at] = 0;
    }
    ChecksumAdd(&sum, chunk.data(), part);
  }
  *checksum = ChecksumFinish(sum);
  return Ok();
}

// The text the installer would take: even size, not empty, terminated.
std::optional<std::u16string> PreviousVersionText(const Bytes& bytes) {
  if (bytes.empty() || bytes.size() % 2 != 0 ||
      Load16(&bytes[bytes.size() - 2]) != 0) {
    return std::nullopt;
  }
  std::u16string text;
  for (size_t i = 0; i + 2 < bytes.size(); i += 2)
    text += static_cast<char16_t>(Load16(&bytes[i]));
  return text;
}

// The loader maps a section straight from the file only when the section
// starts on a page; the payload must then start on one too.
bool OnAPage(const PeImage& image, const ResourceEntry& entry) {
  for (const Section& section : image.sections) {
    const uint64_t at = LoadedOffset(section);
    if (entry.file_offset >= at &&
        entry.file_offset < at + LoadedSize(image, section) &&
        at % kPage == 0) {
      return entry.file_offset % kPage == 0;
    }
  }
  return false;
}

Status ExamineResources(const InputFile& input,
                        const std::vector<ResourceEntry>& entries,
                        ImageFacts* facts) {
  const PayloadView payload = FindPayload(entries);
  facts->payload_problem = payload.problem;
  facts->payload_by_machine = payload.by_machine;
  facts->has_payload = payload.archive != nullptr || payload.setup != nullptr;
  facts->payload_aligned = facts->has_payload;
  for (const ResourceEntry* entry : {payload.archive, payload.setup}) {
    if (entry != nullptr && !OnAPage(facts->image, *entry))
      facts->payload_aligned = false;
  }
  Bytes bytes;
  if (payload.previous_version != nullptr) {
    const ResourceEntry& entry = *payload.previous_version;
    Status status =
        ReadBytesAt(input, entry.file_offset,
                    std::min(entry.size, kLongestPreviousVersion), &bytes);
    if (!status.ok()) return status;
    facts->previous_version = PreviousVersionText(bytes);
    facts->previous_version_damaged =
        !facts->previous_version || entry.size > kLongestPreviousVersion;
  }
  for (const ResourceEntry& entry : entries) {
    if (entry.type.is_name || entry.type.id != kTypeVersion) continue;
    Status status =
        ReadBytesAt(input, entry.file_offset,
                    std::min(entry.size, kLongestVersionBlock), &bytes);
    if (!status.ok()) return status;
    VersionNode root;
    facts->has_version =
        ParseVersionBlock(bytes, &root) &&
        FixedVersions(root, &facts->file_version, &facts->product_version);
    facts->version_damaged = !facts->has_version;
    if (facts->has_version) facts->version_strings = VersionStrings(root);
    break;  // the loader's choice: the first
  }
  if (payload.record != nullptr) {
    facts->has_record = true;
    Status status = ReadBytesAt(
        input, payload.record->file_offset,
        std::min<uint32_t>(payload.record->size, kRecordSize + 1), &bytes);
    if (!status.ok()) return status;
    facts->record_damaged = !ParseSetupRecord(bytes, &facts->record);
  }
  if (payload.setup != nullptr && payload.problem.empty()) {
    facts->setup_type = SetupTypeOf(*payload.setup);
    if (facts->setup_type != "PATCH") {
      SetupProgramFacts program;
      Status status = ReadPackedSetupProgram(
          input, *payload.setup, facts->setup_type == "BL", &program,
          &facts->setup_program_problem,
          facts->has_record ? &facts->setup_digest : nullptr);
      if (!status.ok()) return status;
      if (facts->setup_program_problem.empty()) facts->setup_program = program;
    }
  }
  return Ok();
}

}  // namespace

Status ExamineImage(const InputFile& input, bool hashes, ImageFacts* facts,
                    std::optional<uint32_t> written_checksum) {
  *facts = ImageFacts();
  std::vector<ResourceEntry> entries;
  Status status = ReadPeImage(input, &facts->image);
  if (status.ok()) status = ReadResources(input, facts->image, &entries);
  if (status.ok() && written_checksum) {
    facts->computed_checksum = *written_checksum;
  } else if (status.ok()) {
    status = ComputeChecksum(input, facts->image, &facts->computed_checksum);
  }
  if (status.ok())
    status = CheckSignature(input, facts->image, &facts->signature);
  if (!status.ok()) return status;
  facts->start_refusals = StartRefusals(facts->image);
  std::map<std::pair<uint64_t, uint32_t>, std::string> digests;
  for (const ResourceEntry& entry : entries) {
    ResourceFacts resource{entry, ""};
    if (hashes) {
      std::string& digest = digests[{entry.file_offset, entry.size}];
      if (digest.empty())
        status = Sha256Of(input, entry.file_offset, entry.size, &digest);
      if (!status.ok()) return status;
      resource.sha256 = digest;
    }
    facts->resources.push_back(std::move(resource));
  }
  return ExamineResources(input, entries, facts);
}

std::vector<std::string> InstallerProblems(const ImageFacts& facts) {
  std::vector<std::string> problems;
  for (const std::string& reason : facts.start_refusals)
    problems.push_back("Windows would not start it: " + reason);
  if (facts.image.machine != kMachineAmd64)
    problems.push_back("it is not an x64 program");
  if (facts.image.subsystem == kSubsystemConsole)
    problems.push_back(
        "it is a console program: Windows would open a "
        "console window for it");
  if (facts.computed_checksum != facts.image.checksum)
    problems.push_back("its checksum is not the file's");
  if (facts.signature.state == SignatureCheck::kDiffers)
    problems.push_back(
        "its signature's digest is not the file's: the file "
        "changed after it was signed");
  if (facts.signature.state == SignatureCheck::kDamaged)
    problems.push_back("its signature is damaged: " + facts.signature.problem);
  if (facts.version_damaged) problems.push_back("its version block is damaged");
  if (facts.previous_version_damaged)
    problems.push_back("its previous version is not a terminated UTF-16 text");
  if (!facts.payload_problem.empty())
    problems.push_back("its payload: " + facts.payload_problem);
  for (const std::string& choice : facts.payload_by_machine)
    problems.push_back("what the installer takes depends on the machine: " +
                       choice);
  if (facts.has_payload && !facts.payload_aligned)
    problems.push_back("its payload does not start on a page of the file");
  if (facts.has_payload && !facts.has_record)
    problems.push_back(
        "it carries no record of its setup program (RT_RCDATA 2): the "
        "installer refuses it");
  if (facts.record_damaged)
    problems.push_back(
        "its record of the setup program (RT_RCDATA 2) is not one the "
        "installer reads");
  if (facts.has_record && !facts.record_damaged &&
      !facts.setup_digest.sha256.empty() &&
      (facts.setup_digest.sha256 != facts.record.sha256 ||
       facts.setup_digest.size != facts.record.size)) {
    problems.push_back(
        "its setup program is not the one its record names (SHA-256 " +
        HexOf(facts.setup_digest.sha256) + ", recorded " +
        HexOf(facts.record.sha256) +
        "): the installer would write it and refuse to start it");
  }
  if (!facts.setup_program_problem.empty())
    problems.push_back("its setup program cannot be read: " +
                       facts.setup_program_problem);
  if (facts.setup_program) {
    // Whether the installer runs elevated is not in the file: only what
    // Windows refuses whatever the installer's rights.
    Status status =
        CheckSetupProgram("its setup program", *facts.setup_program, true);
    if (!status.ok()) problems.push_back(status.message);
  }
  return problems;
}

}  // namespace packer
