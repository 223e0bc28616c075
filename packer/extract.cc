#include "extract.h"

#include <cstdio>

#include "input_checks.h"
#include "loader_lookup.h"
#include "output_file.h"
#include "pe_image.h"
#include "resource_tree.h"
#include "staging.h"

namespace packer {
namespace {

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos &&
         std::stoul(text) <= 0xFFFF;
}

// A number names an integer identifier, and so does "#" and a number, as
// the loader reads such a name; anything else is a name.
ResourceId IdFromText(const std::string& text) {
  if (IsNumber(text)) return IdOf(static_cast<uint16_t>(std::stoul(text)));
  if (text.size() > 1 && text[0] == '#' && IsNumber(text.substr(1)))
    return IdOf(static_cast<uint16_t>(std::stoul(text.substr(1))));
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
  uint16_t language = kDefaultUserLanguage;
  if (request.language) {
    if (!IsNumber(*request.language))
      return Refused(
          "--language takes a language identifier, a number up "
          "to 65535 (1033 for English (US))");
    language = static_cast<uint16_t>(std::stoul(*request.language));
  }
  const ResourceId type = IdFromText(request.type),
                   name = IdFromText(request.name);
  const ResourceEntry* found = LoaderChoice(resources, type, name, language);
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
    std::printf("%s: %u bytes of %s/%s, language %u\n", request.output.c_str(),
                found->size, request.type.c_str(), request.name.c_str(),
                found->language);
  return status;
}

}  // namespace packer
