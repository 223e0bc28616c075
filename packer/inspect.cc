#include "inspect.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "digest.h"
#include "file_io.h"
#include "payload.h"
#include "pe_checksum.h"
#include "pe_image.h"
#include "resource_tree.h"
#include "text.h"
#include "version_block.h"

namespace packer {
namespace {

struct ResourceFacts {
  ResourceEntry entry;
  std::string sha256;
};

struct ImageFacts {
  uint64_t size = 0;
  uint16_t subsystem = 0;
  uint32_t stored_checksum = 0, computed_checksum = 0;
  uint32_t signature_size = 0;
  std::vector<ResourceFacts> resources;
  bool has_payload = false, payload_aligned = false;
  std::string payload_problem, setup_type;
  std::optional<std::string> previous_version;
  bool has_version = false;
  VersionNumbers file_version{}, product_version{};
  std::vector<VersionString> version_strings;
};

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
std::optional<std::string> PreviousVersionText(const Bytes& bytes) {
  if (bytes.empty() || bytes.size() % 2 != 0 ||
      Load16(&bytes[bytes.size() - 2]) != 0) {
    return std::nullopt;
  }
  std::u16string text;
  for (size_t i = 0; i + 2 < bytes.size(); i += 2)
    text += static_cast<char16_t>(Load16(&bytes[i]));
  return Utf8(text);
}

Status Gather(const InputFile& input, const PeImage& image, ImageFacts* facts) {
  facts->size = input.size;
  facts->subsystem = image.subsystem;
  facts->stored_checksum = image.checksum;
  facts->signature_size = image.directories[kSecurityDirectory].size;
  Status status = ComputeChecksum(input, image, &facts->computed_checksum);
  std::vector<ResourceEntry> entries;
  if (status.ok()) status = ReadResources(input, image, &entries);
  for (const ResourceEntry& entry : entries) {
    ResourceFacts resource{entry, ""};
    if (status.ok())
      status = Sha256Of(input, entry.file_offset, entry.size, &resource.sha256);
    facts->resources.push_back(resource);
  }
  if (!status.ok()) return status;

  const PayloadView payload = FindPayload(entries);
  facts->payload_problem = payload.problem;
  facts->has_payload = payload.archive != nullptr || payload.setup != nullptr;
  facts->payload_aligned = facts->has_payload;
  // The loader maps a section straight from the file only when the
  // section starts on a page; the payload must then start on one too.
  for (const ResourceEntry* entry : {payload.archive, payload.setup}) {
    if (entry == nullptr) continue;
    bool mapped = false;
    for (const Section& section : image.sections) {
      mapped |= entry->file_offset >= section.raw_offset &&
                entry->file_offset <
                    uint64_t{section.raw_offset} + section.raw_size &&
                section.raw_offset % kPage == 0;
    }
    if (!mapped || entry->file_offset % kPage != 0)
      facts->payload_aligned = false;
  }
  if (payload.setup != nullptr) facts->setup_type = SetupTypeOf(*payload.setup);
  Bytes bytes;
  if (payload.previous_version != nullptr) {
    status = ReadBytesAt(input, payload.previous_version->file_offset,
                         payload.previous_version->size, &bytes);
    if (!status.ok()) return status;
    facts->previous_version = PreviousVersionText(bytes);
    if (!facts->previous_version)
      facts->previous_version = "(not a terminated UTF-16 text)";
  }
  for (const ResourceEntry& entry : entries) {
    if (entry.type.is_name || entry.type.id != kTypeVersion ||
        facts->has_version)
      continue;
    status = ReadBytesAt(input, entry.file_offset, entry.size, &bytes);
    if (!status.ok()) return status;
    VersionNode root;
    if (ParseVersionBlock(bytes, &root) &&
        FixedVersions(root, &facts->file_version, &facts->product_version)) {
      facts->has_version = true;
      facts->version_strings = VersionStrings(root);
    }
  }
  return Ok();
}

std::string TypeName(const ResourceId& type) {
  if (type.is_name) return Describe(type);
  switch (type.id) {
    case 3:
      return "ICON";
    case 10:
      return "RCDATA";
    case 14:
      return "GROUP_ICON";
    case 16:
      return "VERSION";
    case 24:
      return "MANIFEST";
    default:
      return Describe(type);
  }
}

void PrintText(const std::string& path, const ImageFacts& facts) {
  std::printf("%s: %llu bytes, x64 image, subsystem %u%s\n", path.c_str(),
              static_cast<unsigned long long>(facts.size), facts.subsystem,
              facts.subsystem == kSubsystemGui ? " (GUI)" : "");
  std::printf(
      "checksum: %s (%s)\n", Hex(facts.stored_checksum).c_str(),
      facts.stored_checksum == facts.computed_checksum
          ? "valid"
          : ("invalid, the file sums to " + Hex(facts.computed_checksum))
                .c_str());
  std::printf(
      "signature: %s\n",
      facts.signature_size == 0
          ? "none"
          : ("present, " + std::to_string(facts.signature_size) + " bytes")
                .c_str());
  if (facts.has_version) {
    std::printf("version: file %s, product %s\n",
                VersionText(facts.file_version).c_str(),
                VersionText(facts.product_version).c_str());
    for (const VersionString& string : facts.version_strings) {
      std::printf("  %s %s: %s\n", string.table.c_str(), string.key.c_str(),
                  string.text.c_str());
    }
  } else {
    std::printf("version: no version block\n");
  }
  std::printf("previous version: %s\n", facts.previous_version
                                            ? facts.previous_version->c_str()
                                            : "none");
  if (!facts.has_payload) {
    std::printf("payload: none\n");
  } else {
    std::printf(
        "payload: setup type %s, page-aligned: %s%s\n",
        facts.setup_type.empty() ? "(none)" : facts.setup_type.c_str(),
        facts.payload_aligned ? "yes" : "no",
        facts.payload_problem.empty()
            ? ""
            : ("; the installer would refuse it: " + facts.payload_problem)
                  .c_str());
  }
  std::printf("resources:\n  %-10s %-18s %8s %12s %12s  %s\n", "type", "name",
              "language", "size", "offset", "sha256");
  for (const ResourceFacts& resource : facts.resources) {
    const ResourceEntry& entry = resource.entry;
    std::printf("  %-10s %-18s %8u %12u %12s  %s\n",
                TypeName(entry.type).c_str(), Describe(entry.name).c_str(),
                entry.language, entry.size, Hex(entry.file_offset).c_str(),
                resource.sha256.c_str());
  }
}

std::string JsonId(const ResourceId& id) {
  return id.is_name ? JsonString(Utf8(id.name)) : std::to_string(id.id);
}

void PrintJson(const std::string& path, const ImageFacts& facts) {
  std::string out =
      "{\"file\": " + JsonString(path) +
      ", \"size\": " + std::to_string(facts.size) +
      ", \"subsystem\": " + std::to_string(facts.subsystem) +
      ", \"checksum\": {\"stored\": " + std::to_string(facts.stored_checksum) +
      ", \"computed\": " + std::to_string(facts.computed_checksum) +
      ", \"valid\": " +
      (facts.stored_checksum == facts.computed_checksum ? "true" : "false") +
      "}, \"signed\": " + (facts.signature_size != 0 ? "true" : "false") +
      ", \"payload\": " + (facts.has_payload ? "true" : "false") +
      ", \"payload_page_aligned\": " +
      (facts.payload_aligned ? "true" : "false") + ", \"payload_problem\": " +
      (facts.payload_problem.empty() ? "null"
                                     : JsonString(facts.payload_problem)) +
      ", \"setup_type\": " +
      (facts.setup_type.empty() ? "null" : JsonString(facts.setup_type)) +
      ", \"previous_version\": " +
      (facts.previous_version ? JsonString(*facts.previous_version) : "null") +
      ", \"version\": ";
  if (!facts.has_version) {
    out += "null";
  } else {
    out += "{\"file\": " + JsonString(VersionText(facts.file_version)) +
           ", \"product\": " + JsonString(VersionText(facts.product_version)) +
           ", \"strings\": [";
    for (size_t i = 0; i < facts.version_strings.size(); ++i) {
      const VersionString& string = facts.version_strings[i];
      out += std::string(i == 0 ? "" : ", ") +
             "{\"table\": " + JsonString(string.table) +
             ", \"key\": " + JsonString(string.key) +
             ", \"text\": " + JsonString(string.text) + "}";
    }
    out += "]}";
  }
  out += ", \"resources\": [";
  for (size_t i = 0; i < facts.resources.size(); ++i) {
    const ResourceEntry& entry = facts.resources[i].entry;
    out += std::string(i == 0 ? "" : ", ") +
           "{\"type\": " + JsonId(entry.type) +
           ", \"name\": " + JsonId(entry.name) +
           ", \"language\": " + std::to_string(entry.language) +
           ", \"size\": " + std::to_string(entry.size) +
           ", \"offset\": " + std::to_string(entry.file_offset) +
           ", \"sha256\": " + JsonString(facts.resources[i].sha256) + "}";
  }
  std::printf("%s]}\n", out.c_str());
}

}  // namespace

Status Inspect(const InspectRequest& request) {
  InputFile input;
  PeImage image;
  ImageFacts facts;
  Status status = OpenInput("file", request.file, &input);
  if (status.ok()) status = ReadPeImage(input, &image);
  if (status.ok()) status = Gather(input, image, &facts);
  if (!status.ok()) return status;
  if (request.json) {
    PrintJson(request.file, facts);
  } else {
    PrintText(request.file, facts);
  }
  return Ok();
}

}  // namespace packer
