// Which resource the installer gets when it asks the system's loader for
// a type and a name: FindResourceW asks for no particular language, and
// the loader then takes, of the languages the name has, the neutral one,
// the user's own, English (United States), or else the first. Which one a
// name of several languages gives thus depends on the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resource_tree.h"

namespace packer {

// The language of the machines the tests run on (Wine's default).
constexpr uint16_t kDefaultUserLanguage = kLanguageEnglishUs;

// The entries of TYPE/NAME in RESOURCES (a directory's, in its order).
std::vector<const ResourceEntry*> LanguagesOf(
    const std::vector<ResourceEntry>& resources, const ResourceId& type,
    const ResourceId& name);

// The entry the loader takes on a machine whose user language is
// USER_LANGUAGE; null when TYPE/NAME has none.
const ResourceEntry* LoaderChoice(
    const std::vector<ResourceEntry>& resources, const ResourceId& type,
    const ResourceId& name, uint16_t user_language = kDefaultUserLanguage);

// Empty when every machine gets the same entry of TYPE/NAME; else what
// decides it, for a message.
std::string ChoiceByMachine(const std::vector<ResourceEntry>& resources,
                            const ResourceId& type, const ResourceId& name);

}  // namespace packer
