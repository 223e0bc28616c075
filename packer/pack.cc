#include "pack.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cabinet.h"
#include "digest.h"
#include "image_facts.h"
#include "input_checks.h"
#include "packed_image.h"
#include "payload.h"
#include "run_tool.h"
#include "setup_program.h"
#include "staging.h"
#include "stub.h"
#include "text.h"
#include "version_block.h"

namespace packer {
namespace {

Status CheckOptions(const PackRequest& request, const SetupKind** kind,
                    VersionNumbers* version) {
  Status status = FindSetupKind(request.setup_type, kind);
  if (!status.ok()) return status;
  if (request.previous_version) {
    status = CheckPreviousVersion(*request.previous_version);
    if (!status.ok()) return status;
  } else if (!(*kind)->is_program) {
    return Refused(
        "a patch needs the previous version it applies to; without one the "
        "installer would patch whatever version is installed");
  }
  if ((*kind)->is_program != request.patched_setup.empty()) {
    return Refused(
        (*kind)->is_program
            ? "--patched-setup goes with --setup-type PATCH only"
            : "a patch needs --patched-setup, the setup program it must "
              "make: the installer starts only a program whose SHA-256 the "
              "packer recorded");
  }
  if (request.file_version) {
    status = ParseFileVersion(*request.file_version, version);
    if (!status.ok()) return status;
  }
  if (request.sign_cert.empty() != request.sign_key.empty()) {
    return Refused("signing needs both --sign-cert and --sign-key");
  }
  if (request.sign_time) {
    if (request.sign_cert.empty())
      return Refused("--sign-time needs --sign-cert and --sign-key");
    return CheckSignTime(*request.sign_time);
  }
  return Ok();
}

Status OpenInputs(const PackRequest& request, const SetupKind& kind,
                  PackInputs* inputs) {
  Status status = OpenInput("stub", request.stub, &inputs->stub);
  if (status.ok())
    status = OpenInput("archive", request.archive, &inputs->archive);
  if (status.ok()) status = OpenInput(kind.role, request.setup, &inputs->setup);
  if (status.ok() && !kind.is_program) {
    status = OpenInput("patched setup program", request.patched_setup,
                       &inputs->patched);
  }
  if (status.ok() && !request.sign_cert.empty()) {
    status = OpenInput("signing certificate", request.sign_cert, &inputs->cert);
    if (status.ok())
      status = OpenInput("signing key", request.sign_key, &inputs->key);
  }
  if (status.ok()) status = CheckNotEmpty(inputs->archive);
  if (status.ok()) status = CheckSevenZipArchive(inputs->archive);
  if (status.ok()) status = CheckNotEmpty(inputs->setup);
  // BN goes in as it is and BL in a cabinet: either way, this is the file
  // Windows will be asked to start.
  // For a patch, the program the patch must make is the one started.
  const InputFile& started = kind.is_program ? inputs->setup : inputs->patched;
  SetupProgramFacts program;
  if (status.ok()) status = CheckNotEmpty(started);
  if (status.ok()) status = ReadSetupProgram(started, &program);
  if (status.ok()) {
    status = CheckSetupProgram(
        std::string(kind.is_program ? "the setup program "
                                    : "the patched setup program ") +
            Quoted(started.path),
        program, request.setup_runs_elevated);
  }
  if (!status.ok()) return status;
  const uint64_t total = inputs->archive.size + inputs->setup.size;
  if (total > kPayloadLimit) {
    return Refused("archive and " + std::string(kind.role) + " together are " +
                   std::to_string(total) + " bytes; at most " +
                   std::to_string(kPayloadLimit) + " fit into an installer");
  }
  return Ok();
}

// The stub's resources, each as it is but for the version block when a
// version is stamped. A block that would not come out of the packer's own
// reading and writing byte for byte is not touched: rewriting it could
// only damage it.
Status StubResources(const InputFile& stub, const StubLayout& layout,
                     const std::optional<std::string>& version_text,
                     const VersionNumbers& version,
                     std::vector<PackedResource>* resources) {
  bool stamped = false;
  for (const ResourceEntry& entry : layout.resources) {
    PackedResource resource;
    resource.placement = {
        entry.type, entry.name, entry.language, entry.codepage, entry.size,
        8,          0};
    resource.file = &stub;
    resource.file_offset = entry.file_offset;
    if (version_text && !entry.type.is_name && entry.type.id == kTypeVersion) {
      Bytes block;
      Status status = ReadBytesAt(stub, entry.file_offset, entry.size, &block);
      if (!status.ok()) return status;
      VersionNode root;
      Bytes again;
      if (!ParseVersionBlock(block, &root) ||
          !SerializeVersionBlock(root, &again) || again != block ||
          !StampVersion(&root, version, *version_text)) {
        return Refused("the stub " + Quoted(stub.path) +
                       " has a version block that the packer "
                       "cannot stamp (no fixed information or string table, or "
                       "an unusual layout)");
      }
      if (!SerializeVersionBlock(root, &resource.bytes)) {
        return Refused("the stub " + Quoted(stub.path) +
                       " has a version block that stamping would grow past "
                       "64 KiB, more than its 16-bit length can say");
      }
      resource.placement.size = resource.bytes.size();
      resource.file = nullptr;
      stamped = true;
    }
    resources->push_back(std::move(resource));
  }
  if (version_text && !stamped) {
    return Refused("the stub " + Quoted(stub.path) +
                   " has no version block to stamp --file-version into");
  }
  return Ok();
}

// The record of the program the installer must start, digested as it is
// read from the file that goes in (or, for a patch, that the patch makes).
Status Record(const InputFile& program, PackedResource* resource) {
  Sha256Stream digest;
  Bytes chunk(kChunk);
  for (uint64_t at = 0; at < program.size; at += kChunk) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>(program.size - at, kChunk));
    Status status = ReadAt(program, at, chunk.data(), part);
    if (!status.ok()) return status;
    digest.Add(chunk.data(), part);
  }
  resource->placement = {
      IdOf(kTypeRcdata), IdOf(kRecordId), kLanguageEnglishUs, 0, 0, 8, 0};
  resource->bytes = SetupRecordBytes(program.size, digest.Finish());
  resource->placement.size = resource->bytes.size();
  return Ok();
}

PackedResource PreviousVersion(const std::string& text) {
  PackedResource resource;
  resource.placement = {
      IdOf(kTypeRcdata), IdOf(1), kLanguageEnglishUs, 0, 0, 8, 0};
  resource.bytes = PreviousVersionBytes(text);
  resource.placement.size = resource.bytes.size();
  return resource;
}

// A payload file, on a page of its own so that the loader maps it.
PackedResource PayloadFile(const char* type, const char* name,
                           const InputFile& file) {
  PackedResource resource;
  resource.placement = {
      NameOf(type), NameOf(name), kLanguageEnglishUs, 0, file.size, kPage, 0};
  resource.file = &file;
  return resource;
}

std::optional<std::string> SignTime(const PackRequest& request) {
  if (request.sign_time) return request.sign_time;
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && CheckSignTime(epoch).ok()) return std::string(epoch);
  return std::nullopt;
}

// The packed file as inspect reads it: whatever inspect would find wrong
// with it (a stub that slipped past the checks above, a signing tool that
// damaged it), it is not published.
Status ReadBack(const std::string& path,
                std::optional<uint32_t> written_checksum) {
  InputFile packed;
  ImageFacts facts;
  Status status = OpenInput("packed installer", path, &packed);
  if (status.ok())
    status = ExamineImage(packed, false, &facts, written_checksum);
  std::vector<std::string> problems;
  if (status.ok()) problems = InstallerProblems(facts);
  if (status.ok() && !facts.has_payload) problems.push_back("no payload");
  if (status.exit_code == kExitRefused) {
    problems.push_back(status.message);
  } else if (!status.ok()) {
    return status;
  }
  if (problems.empty()) return Ok();
  return Failed(
      "the packed installer fails inspect's checks, so it is not "
      "written: " +
      problems.front());
}

}  // namespace

Status PreparePacking(const PackRequest& request, bool check_output,
                      StagingDir* staging, Packing* packing) {
  VersionNumbers version{};
  const SetupKind* kind = nullptr;
  Status status = CheckOptions(request, &kind, &version);
  if (status.ok()) status = OpenInputs(request, *kind, &packing->inputs);
  PackInputs& inputs = packing->inputs;
  if (status.ok()) status = CheckStub(inputs.stub, &packing->layout);
  if (status.ok())
    status = StubResources(inputs.stub, packing->layout, request.file_version,
                           version, &packing->resources);
  if (status.ok() && check_output) {
    status = CheckOutputPath(request.output,
                             {&inputs.stub, &inputs.archive, &inputs.setup,
                              &inputs.patched, &inputs.cert, &inputs.key});
  }
  if (status.ok()) status = staging->Make(request.output);
  const InputFile* setup_data = &inputs.setup;
  if (status.ok() && kind->cabinet) {
    std::string cabinet_path;
    status = MakeCabinet(inputs.setup, staging, &cabinet_path);
    if (status.ok())
      status = OpenInput("cabinet", cabinet_path, &packing->cabinet);
    setup_data = &packing->cabinet;
  }
  PackedResource record;
  if (status.ok())
    status = Record(kind->is_program ? inputs.setup : inputs.patched, &record);
  if (!status.ok()) return status;
  if (request.previous_version)
    packing->resources.push_back(PreviousVersion(*request.previous_version));
  packing->resources.push_back(std::move(record));
  packing->resources.push_back(
      PayloadFile(kArchiveType, kArchiveName, inputs.archive));
  packing->resources.push_back(
      PayloadFile(kind->type, kind->name, *setup_data));
  return Ok();
}

Status Pack(const PackRequest& request) {
  StagingDir staging;
  Packing packing;
  Status status = PreparePacking(request, true, &staging, &packing);
  if (!status.ok()) return status;

  OutputFile image;
  status = CreateOutput(staging.PathOf("unsigned.exe"), &image);
  if (status.ok())
    status = WritePackedImage(packing.inputs.stub, packing.layout,
                              &packing.resources, &image);
  if (status.ok()) status = CloseOutput(&image);
  std::string result = image.path;
  if (status.ok() && !request.sign_cert.empty()) {
    // The signature goes on last, over the whole file, payload included.
    ToolCall sign{{"osslsigncode", "sign", "-certs", request.sign_cert, "-key",
                   request.sign_key, "-h", "sha256"},
                  {},
                  staging.PathOf("osslsigncode.log"),
                  "osslsigncode"};
    if (const std::optional<std::string> time = SignTime(request)) {
      sign.arguments.insert(sign.arguments.end(), {"-time", *time});
    }
    result = staging.PathOf("signed.exe");
    sign.arguments.insert(sign.arguments.end(),
                          {"-in", image.path, "-out", result});
    status = RunTool(sign);
  }
  // Unsigned, the file is the one just written, and its sum is known
  // without reading the archive again; a signing tool rewrote it.
  std::optional<uint32_t> written_checksum;
  if (request.sign_cert.empty())
    written_checksum = ChecksumFinish(image.checksum);
  if (status.ok()) status = ReadBack(result, written_checksum);
  if (status.ok()) status = staging.Publish(result, request.output, 0755);
  if (!status.ok()) return status;
  struct stat info;
  const long long size =
      stat(request.output.c_str(), &info) == 0 ? info.st_size : -1;
  std::printf("packed installer: %s (%lld bytes%s)\n", request.output.c_str(),
              size, request.sign_cert.empty() ? "" : ", signed");
  if (!request.patched_setup.empty()) {
    // The patch's format is the previous setup program's own: only that
    // program can apply it, on the user's machine.
    std::printf(
        "recorded: the SHA-256 of %s, which the patch must make; the packer "
        "cannot apply the patch to check it (only the installed setup "
        "program reads its format), so a patch that makes another program "
        "ends the install with 124 before anything is started\n",
        Printable(request.patched_setup).c_str());
  }
  return Ok();
}

}  // namespace packer
