#include "loader_lookup.h"

namespace packer {
namespace {

constexpr uint16_t kNeutral = 0;

uint16_t Primary(uint16_t language) { return language & 0x3FF; }

}  // namespace

std::vector<const ResourceEntry*> LanguagesOf(
    const std::vector<ResourceEntry>& resources, const ResourceId& type,
    const ResourceId& name) {
  std::vector<const ResourceEntry*> found;
  for (const ResourceEntry& entry : resources) {
    if (SameId(entry.type, type) && SameId(entry.name, name))
      found.push_back(&entry);
  }
  return found;
}

const ResourceEntry* LoaderChoice(const std::vector<ResourceEntry>& resources,
                                  const ResourceId& type,
                                  const ResourceId& name,
                                  uint16_t user_language) {
  const std::vector<const ResourceEntry*> languages =
      LanguagesOf(resources, type, name);
  if (languages.empty()) return nullptr;
  // Neutral; the user's language, then its primary language alone and
  // with the default sublanguage; English (United States); the first.
  const uint16_t tried[] = {
      kNeutral, user_language, Primary(user_language),
      static_cast<uint16_t>(Primary(user_language) | 0x400),
      kLanguageEnglishUs};
  for (const uint16_t language : tried) {
    for (const ResourceEntry* entry : languages) {
      if (entry->language == language) return entry;
    }
  }
  return languages.front();
}

std::string ChoiceByMachine(const std::vector<ResourceEntry>& resources,
                            const ResourceId& type, const ResourceId& name) {
  const std::vector<const ResourceEntry*> languages =
      LanguagesOf(resources, type, name);
  if (languages.size() < 2) return "";
  for (const ResourceEntry* entry : languages) {
    if (entry->language == kNeutral) return "";
  }
  std::string list;
  for (const ResourceEntry* entry : languages)
    list += (list.empty() ? "" : ", ") + std::to_string(entry->language);
  return Describe(type) + "/" + Describe(name) + " has languages " + list +
         ": the installer takes the user's own where there is one, so "
         "machines of other languages get other bytes";
}

}  // namespace packer
