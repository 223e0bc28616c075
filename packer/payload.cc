#include "payload.h"

namespace packer {
namespace {

bool StartsWith(const std::u16string& name, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= name.size()) return false;
    char16_t unit = name[i];
    if (unit >= u'A' && unit <= u'Z') unit += u'a' - u'A';
    if (unit != static_cast<char16_t>(prefix[i])) return false;
  }
  return true;
}

}  // namespace

bool IsPayloadResource(const ResourceEntry& entry) {
  if (!entry.type.is_name)
    return entry.type.id == kTypeRcdata && !entry.name.is_name &&
           entry.name.id == 1;
  for (const char* type : {"B7", "BL", "BN"}) {
    if (SameId(entry.type, NameOf(type))) return true;
  }
  return false;
}

PayloadView FindPayload(const std::vector<ResourceEntry>& resources) {
  PayloadView view;
  for (const ResourceEntry& entry : resources) {
    if (!IsPayloadResource(entry)) continue;
    if (!entry.type.is_name) {
      if (view.previous_version == nullptr) view.previous_version = &entry;
      continue;
    }
    const std::string where = Describe(entry.type) + "/" + Describe(entry.name);
    const ResourceEntry** slot = nullptr;
    if (entry.name.is_name && StartsWith(entry.name.name, "korven"))
      slot = &view.archive;
    if (entry.name.is_name && StartsWith(entry.name.name, "setup") &&
        slot == nullptr)
      slot = &view.setup;
    if (slot == nullptr) {
      view.problem = where + " is neither the archive nor the setup program";
    } else if (*slot != nullptr) {
      view.problem = where + " is a second " +
                     (slot == &view.archive ? "archive" : "setup resource");
    } else {
      *slot = &entry;
    }
  }
  if (view.problem.empty() && view.archive != nullptr &&
      view.setup == nullptr) {
    view.problem = "there is an archive but no setup resource";
  }
  if (view.problem.empty() && view.archive == nullptr &&
      view.setup != nullptr) {
    view.problem = "there is a setup resource but no archive";
  }
  return view;
}

std::string SetupTypeOf(const ResourceEntry& setup) {
  const std::string type = Describe(setup.type);
  return type == "B7" ? "PATCH" : type;
}

}  // namespace packer
