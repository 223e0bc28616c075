#include "extract.h"

#include <cstdio>

#include "input_checks.h"
#include "output_file.h"
#include "pe_image.h"
#include "resource_tree.h"
#include "staging.h"

namespace packer {
namespace {

// A number names an integer identifier, anything else a name.
ResourceId IdFromText(const std::string& text) {
  if (!text.empty() && text.size() <= 5 &&
      text.find_first_not_of("0123456789") == std::string::npos &&
      std::stoul(text) <= 0xFFFF) {
    return IdOf(static_cast<uint16_t>(std::stoul(text)));
  }
  return NameOf(text);
}

}  // namespace

Status Extract(const ExtractRequest& request) {
  InputFile input;
  PeImage image;
  std::vector<ResourceEntry> resources;
  Status status = OpenInput("file", request.file, &input);
  if (status.ok()) status = ReadPeImage(input, &image);
  if (status.ok()) status = ReadResources(input, image, &resources);
  if (status.ok()) status = CheckOutputPath(request.output, {&input});
  if (!status.ok()) return status;
  const ResourceId type = IdFromText(request.type),
                   name = IdFromText(request.name);
  const ResourceEntry* found = nullptr;
  for (const ResourceEntry& entry : resources) {
    if (found == nullptr && SameId(entry.type, type) &&
        SameId(entry.name, name))
      found = &entry;
  }
  if (found == nullptr) {
    return Refused(Quoted(request.file) + " has no resource " + request.type +
                   "/" + request.name);
  }
  StagingDir staging;
  OutputFile output;
  status = staging.Make(request.output);
  if (status.ok()) status = CreateOutput(staging.PathOf("resource"), &output);
  if (status.ok())
    status = CopyFrom(&output, input, found->file_offset, found->size);
  if (status.ok()) status = CloseOutput(&output);
  if (status.ok()) status = staging.Publish(output.path, request.output, 0644);
  if (status.ok())
    std::printf("%s: %u bytes of %s/%s\n", request.output.c_str(), found->size,
                request.type.c_str(), request.name.c_str());
  return status;
}

}  // namespace packer
