#include "inspect.h"

#include <cstdio>
#include <string>
#include <vector>

#include "digest.h"
#include "file_io.h"
#include "image_facts.h"
#include "text.h"

namespace packer {
namespace {

// Names longer than this are shown cut: a directory may give thousands of
// entries one name of 65,535 units.
constexpr size_t kLongestShownName = 256;

std::u16string Shown(const ResourceId& id) {
  const std::u16string& text = id.Text();
  if (text.size() <= kLongestShownName) return text;
  return text.substr(0, kLongestShownName) + u"... (" +
         Utf16FromAscii(std::to_string(text.size())) + u" units)";
}

std::string ShownId(const ResourceId& id) {
  return id.is_name ? Printable(Shown(id)) : std::to_string(id.id);
}

std::string TypeName(const ResourceId& type) {
  if (type.is_name) return ShownId(type);
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

std::string JsonId(const ResourceId& id) {
  return id.is_name ? JsonString(Shown(id)) : std::to_string(id.id);
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts)
    text += (text.empty() ? "" : "; ") + part;
  return text;
}

std::string SubsystemName(uint16_t subsystem) {
  if (subsystem == kSubsystemGui) return "GUI";
  if (subsystem == kSubsystemConsole) return "console";
  return "subsystem " + std::to_string(subsystem);
}

std::string ImageKind(const PeImage& image) {
  return MachineName(image.machine) + " image (" +
         (image.pe32_plus ? "PE32+" : "PE32") + "), " +
         SubsystemName(image.subsystem);
}

std::string SignatureText(const SignatureCheck& signature) {
  const std::string digest = Printable(signature.algorithm) + " digest";
  switch (signature.state) {
    case SignatureCheck::kNone:
      return "none";
    case SignatureCheck::kMatches:
      return std::to_string(signature.size) + " bytes; its " + digest +
             " is the file's as it is (the signer and the certificate are "
             "not checked here: osslsigncode verify does that)";
    case SignatureCheck::kDiffers:
      return std::to_string(signature.size) + " bytes; its " + digest +
             " is NOT the file's: the file changed after it was signed";
    case SignatureCheck::kDamaged:
      break;
  }
  return "damaged (" + std::to_string(signature.size) + " bytes at " +
         Hex(signature.offset) + "): " + signature.problem;
}

// The installer.exe a packed file was made from: its own string, which
// stamping --file-version leaves as it was.
const std::u16string* InstallerVersion(const ImageFacts& facts) {
  for (const VersionString& string : facts.version_strings) {
    if (string.key == u"InstallerVersion") return &string.text;
  }
  return nullptr;
}

// The record and, where the installer would write the program from the
// file itself (BL, BN), whether that program is the one recorded.
std::string RecordText(const ImageFacts& facts) {
  if (facts.record_damaged) return "damaged (not a record the installer reads)";
  std::string text = "SHA-256 " + HexOf(facts.record.sha256) + " of " +
                     std::to_string(facts.record.size) + " bytes";
  if (facts.setup_digest.sha256.empty()) {
    text += facts.setup_type == "PATCH"
                ? ", the program the patch must make (checked by the "
                  "installer once the patch run has made it)"
                : "";
  } else if (facts.setup_digest.sha256 == facts.record.sha256 &&
             facts.setup_digest.size == facts.record.size) {
    text += ", the setup program it carries";
  } else {
    text += ", not the setup program it carries (SHA-256 " +
            HexOf(facts.setup_digest.sha256) + ")";
  }
  return text;
}

std::string SetupProgramText(const ImageFacts& facts) {
  if (!facts.setup_program_problem.empty())
    return "cannot be read: " + facts.setup_program_problem;
  const SetupProgramFacts& program = *facts.setup_program;
  return MachineName(program.machine) + ", " +
         SubsystemName(program.subsystem) +
         ", requested execution level: " + LevelText(program);
}

void PrintText(const std::string& path, const ImageFacts& facts) {
  const PeImage& image = facts.image;
  const std::vector<std::string> problems = InstallerProblems(facts);
  std::printf("%s: %llu bytes, %s\n", Printable(path).c_str(),
              static_cast<unsigned long long>(image.file_size),
              ImageKind(image).c_str());
  std::printf(
      "start: %s\n",
      facts.start_refusals.empty()
          ? "nothing in its headers keeps Windows from starting it"
          : ("Windows would not start it: " + Joined(facts.start_refusals))
                .c_str());
  std::printf("checksum: %s, %s\n", Hex(image.checksum).c_str(),
              (facts.computed_checksum == image.checksum
                   ? "the sum of the whole file"
                   : "NOT the sum of the file, which is " +
                         Hex(facts.computed_checksum))
                  .c_str());
  std::printf(
      "  (a sum that shows damage, not changes: whoever changes "
      "the file can set it anew)\n");
  std::printf("signature: %s\n", SignatureText(facts.signature).c_str());
  if (facts.has_version) {
    std::printf("version: file %s, product %s\n",
                VersionText(facts.file_version).c_str(),
                VersionText(facts.product_version).c_str());
    for (const VersionString& string : facts.version_strings) {
      std::printf("  %s %s: %s\n", Printable(string.table).c_str(),
                  Printable(string.key).c_str(),
                  Printable(string.text).c_str());
    }
  } else {
    std::printf("version: %s\n", facts.version_damaged
                                     ? "the version block is damaged"
                                     : "no version block");
  }
  const std::u16string* installer = InstallerVersion(facts);
  std::printf("installer: %s\n",
              installer
                  ? Printable(*installer).c_str()
                  : "unknown (its version block has no InstallerVersion)");
  std::printf(
      "previous version: %s\n",
      facts.previous_version_damaged ? "damaged (not a terminated UTF-16 text)"
      : facts.previous_version ? Printable(*facts.previous_version).c_str()
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
  if (facts.setup_program || !facts.setup_program_problem.empty())
    std::printf("setup program: %s\n", SetupProgramText(facts).c_str());
  if (facts.has_record) std::printf("record: %s\n", RecordText(facts).c_str());
  std::printf("problems: %s\n",
              problems.empty() ? "none found" : Joined(problems).c_str());
  std::printf("resources:\n  %-10s %-18s %8s %12s %12s  %s\n", "type", "name",
              "language", "size", "offset", "sha256");
  for (const ResourceFacts& resource : facts.resources) {
    const ResourceEntry& entry = resource.entry;
    std::printf("  %-10s %-18s %8u %12u %12s  %s\n",
                TypeName(entry.type).c_str(), ShownId(entry.name).c_str(),
                entry.language, entry.size, Hex(entry.file_offset).c_str(),
                resource.sha256.c_str());
  }
}

std::string JsonOrNull(const std::string& text) {
  return text.empty() ? "null" : JsonString(text);
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i)
    out += (i == 0 ? "" : ", ") + JsonString(items[i]);
  return out + "]";
}

void PrintJson(const std::string& path, const ImageFacts& facts) {
  const PeImage& image = facts.image;
  const SignatureCheck& signature = facts.signature;
  static const char* const kStates[] = {"none", "matches", "differs",
                                        "damaged"};
  std::string out =
      "{\"file\": " + JsonString(path) +
      ", \"size\": " + std::to_string(image.file_size) +
      ", \"machine\": " + JsonString(MachineName(image.machine)) +
      ", \"subsystem\": " + std::to_string(image.subsystem) +
      ", \"start_refusals\": " + JsonList(facts.start_refusals) +
      ", \"checksum\": {\"stored\": " + std::to_string(image.checksum) +
      ", \"computed\": " + std::to_string(facts.computed_checksum) +
      ", \"valid\": " +
      (image.checksum == facts.computed_checksum ? "true" : "false") +
      "}, \"signed\": " + (signature.size != 0 ? "true" : "false") +
      ", \"signature\": {\"state\": " + JsonString(kStates[signature.state]) +
      ", \"digest\": " + JsonOrNull(signature.algorithm) +
      ", \"problem\": " + JsonOrNull(signature.problem) + "}" +
      ", \"payload\": " + (facts.has_payload ? "true" : "false") +
      ", \"payload_page_aligned\": " +
      (facts.payload_aligned ? "true" : "false") +
      ", \"payload_problem\": " + JsonOrNull(facts.payload_problem) +
      ", \"setup_type\": " + JsonOrNull(facts.setup_type) +
      ", \"previous_version\": " +
      (facts.previous_version && !facts.previous_version_damaged
           ? JsonString(*facts.previous_version)
           : "null") +
      ", \"installer_version\": " +
      (InstallerVersion(facts) ? JsonString(*InstallerVersion(facts))
                               : "null") +
      ", \"version_damaged\": " + (facts.version_damaged ? "true" : "false") +
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
  out += ", \"setup_program\": ";
  if (!facts.setup_program) {
    out +=
        facts.setup_program_problem.empty()
            ? "null"
            : "{\"problem\": " + JsonString(facts.setup_program_problem) + "}";
  } else {
    const SetupProgramFacts& program = *facts.setup_program;
    out += "{\"machine\": " + JsonString(MachineName(program.machine)) +
           ", \"subsystem\": " + std::to_string(program.subsystem) +
           ", \"manifest\": " + (program.has_manifest ? "true" : "false") +
           ", \"execution_level\": " +
           (program.level ? JsonString(*program.level) : "null") + "}";
  }
  out += ", \"record\": ";
  if (!facts.has_record || facts.record_damaged) {
    out += facts.has_record ? "{\"damaged\": true}" : "null";
  } else {
    out += "{\"size\": " + std::to_string(facts.record.size) +
           ", \"sha256\": " + JsonString(HexOf(facts.record.sha256)) +
           ", \"setup_program_sha256\": " +
           (facts.setup_digest.sha256.empty()
                ? "null"
                : JsonString(HexOf(facts.setup_digest.sha256))) +
           "}";
  }
  out += ", \"problems\": " + JsonList(InstallerProblems(facts));
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
  ImageFacts facts;
  Status status = OpenInput("file", request.file, &input);
  if (status.ok()) status = ExamineImage(input, true, &facts);
  if (!status.ok()) return status;
  if (request.json) {
    PrintJson(request.file, facts);
  } else {
    PrintText(request.file, facts);
  }
  return Ok();
}

}  // namespace packer
