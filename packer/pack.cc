#include "pack.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cabinet.h"
#include "image_facts.h"
#include "input_checks.h"
#include "packed_image.h"
#include "payload.h"
#include "run_tool.h"
#include "setup_program.h"
#include "staging.h"
#include "stub.h"
#include "version_block.h"

namespace packer {
namespace {

struct Inputs {
  InputFile stub, archive, setup, cert, key;
};

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
                  Inputs* inputs) {
  Status status = OpenInput("stub", request.stub, &inputs->stub);
  if (status.ok())
    status = OpenInput("archive", request.archive, &inputs->archive);
  if (status.ok()) status = OpenInput(kind.role, request.setup, &inputs->setup);
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
  SetupProgramFacts program;
  if (status.ok() && kind.is_program)
    status = ReadSetupProgram(inputs->setup, &program);
  if (status.ok() && kind.is_program) {
    status =
        CheckSetupProgram("the setup program " + Quoted(inputs->setup.path),
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
Status ReadBack(const std::string& path) {
  InputFile packed;
  ImageFacts facts;
  Status status = OpenInput("packed installer", path, &packed);
  if (status.ok()) status = ExamineImage(packed, false, &facts);
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

Status Pack(const PackRequest& request) {
  const SetupKind* kind = nullptr;
  VersionNumbers version{};
  Inputs inputs;
  StubLayout layout;
  std::vector<PackedResource> resources;
  Status status = CheckOptions(request, &kind, &version);
  if (status.ok()) status = OpenInputs(request, *kind, &inputs);
  if (status.ok()) status = CheckStub(inputs.stub, &layout);
  if (status.ok())
    status = StubResources(inputs.stub, layout, request.file_version, version,
                           &resources);
  if (status.ok()) {
    status = CheckOutputPath(request.output,
                             {&inputs.stub, &inputs.archive, &inputs.setup,
                              &inputs.cert, &inputs.key});
  }
  if (!status.ok()) return status;

  StagingDir staging;
  status = staging.Make(request.output);
  InputFile cabinet;
  const InputFile* setup_data = &inputs.setup;
  if (status.ok() && kind->cabinet) {
    std::string cabinet_path;
    status = MakeCabinet(inputs.setup, &staging, &cabinet_path);
    if (status.ok()) status = OpenInput("cabinet", cabinet_path, &cabinet);
    setup_data = &cabinet;
  }
  if (!status.ok()) return status;
  if (request.previous_version)
    resources.push_back(PreviousVersion(*request.previous_version));
  resources.push_back(PayloadFile(kArchiveType, kArchiveName, inputs.archive));
  resources.push_back(PayloadFile(kind->type, kind->name, *setup_data));

  OutputFile image;
  status = CreateOutput(staging.PathOf("unsigned.exe"), &image);
  if (status.ok())
    status = WritePackedImage(inputs.stub, layout, &resources, &image);
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
  if (status.ok()) status = ReadBack(result);
  if (status.ok()) status = staging.Publish(result, request.output, 0755);
  if (!status.ok()) return status;
  struct stat info;
  const long long size =
      stat(request.output.c_str(), &info) == 0 ? info.st_size : -1;
  std::printf("packed installer: %s (%lld bytes%s)\n", request.output.c_str(),
              size, request.sign_cert.empty() ? "" : ", signed");
  return Ok();
}

}  // namespace packer
