#include "payload.h"

#include "loader_lookup.h"

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

constexpr SetupKind kSetupKinds[] = {
    {"BL", "BL", "SETUP.EX_", "setup program", true, true},
    {"BN", "BN", "SETUP.EXE", "setup program", true, false},
    {"PATCH", "B7", "SETUP.PATCH", "patch", false, false},
};

}  // namespace

Status FindSetupKind(const std::string& option, const SetupKind** kind) {
  for (const SetupKind& candidate : kSetupKinds) {
    if (option == candidate.option) {
      *kind = &candidate;
      return Ok();
    }
  }
  return Refused("setup type '" + option +
                 "' is not one of BL (setup program, compressed into a "
                 "cabinet), BN (setup program, uncompressed) or PATCH (a "
                 "patch for the installed setup program)");
}

Bytes PreviousVersionBytes(const std::string& text) {
  Bytes bytes;
  for (const char c : text) Append16(&bytes, static_cast<unsigned char>(c));
  Append16(&bytes, 0);
  return bytes;
}

Bytes SetupRecordBytes(uint64_t program_size, const Bytes& sha256) {
  Bytes bytes;
  Append32(&bytes, 1);
  Append32(&bytes, 0);
  Append32(&bytes, static_cast<uint32_t>(program_size));
  Append32(&bytes, static_cast<uint32_t>(program_size >> 32));
  bytes.insert(bytes.end(), sha256.begin(), sha256.end());
  return bytes;
}

bool ParseSetupRecord(const Bytes& bytes, SetupRecord* record) {
  if (bytes.size() != kRecordSize || Load32(&bytes[0]) != 1 ||
      Load32(&bytes[4]) != 0) {
    return false;
  }
  record->size = uint64_t{Load32(&bytes[8])} | uint64_t{Load32(&bytes[12])}
                                                   << 32;
  record->sha256.assign(bytes.begin() + 16, bytes.end());
  return true;
}

bool IsPayloadResource(const ResourceEntry& entry) {
  if (!entry.type.is_name)
    return entry.type.id == kTypeRcdata && !entry.name.is_name &&
           (entry.name.id == 1 || entry.name.id == kRecordId);
  for (const char* type : {"B7", "BL", "BN"}) {
    if (SameId(entry.type, NameOf(type))) return true;
  }
  return false;
}

// Whether the installer would write a file under NAME: the rules of its
// payload scan, which refuses names that could leave the work directory
// or lose a character on the way to the setup program.
std::string NameRefusal(const std::u16string& name) {
  if (name.size() >= 260) return "is too long for a path";
  for (const char16_t unit : name) {
    if (unit == u'\\' || unit == u'/' || unit == u':' || unit < 0x20)
      return "is not a plain file name";
  }
  if (name.back() == u'.' || name.back() == u' ')
    return "ends in a dot or a space, which the path would lose";
  return "";
}

PayloadView FindPayload(const std::vector<ResourceEntry>& resources) {
  PayloadView view;
  const auto note_choice = [&](const ResourceId& type, const ResourceId& name) {
    const std::string choice = ChoiceByMachine(resources, type, name);
    if (!choice.empty()) view.by_machine.push_back(choice);
  };
  for (const uint16_t id : {uint16_t{1}, uint16_t{kRecordId}}) {
    const ResourceEntry* entry =
        LoaderChoice(resources, IdOf(kTypeRcdata), IdOf(id));
    (id == 1 ? view.previous_version : view.record) = entry;
    if (entry != nullptr) note_choice(entry->type, entry->name);
  }
  // The installer's scan: the types in this order; in each, every name
  // once in directory order, until a number or an empty resource ends the
  // type quietly; each name the language the loader takes.
  for (const char* type_text : {"B7", "BL", "BN"}) {
    const ResourceId type = NameOf(type_text);
    const ResourceEntry* previous = nullptr;
    for (const ResourceEntry& candidate : resources) {
      if (!SameId(candidate.type, type)) continue;
      if (previous != nullptr && SameId(previous->name, candidate.name))
        continue;
      previous = &candidate;
      if (!candidate.name.is_name) break;
      const ResourceEntry* entry =
          LoaderChoice(resources, candidate.type, candidate.name);
      if (entry->size == 0) break;
      note_choice(entry->type, entry->name);
      const std::string where =
          Describe(entry->type) + "/" + Describe(entry->name);
      const ResourceEntry** slot = nullptr;
      if (StartsWith(entry->name.Text(), "korven")) {
        slot = &view.archive;
      } else if (StartsWith(entry->name.Text(), "setup")) {
        slot = &view.setup;
      } else {
        view.problem = where + " is neither the archive nor the setup program";
        return view;
      }
      const std::string refusal = NameRefusal(entry->name.Text());
      if (!refusal.empty()) {
        view.problem = where + " " + refusal;
        return view;
      }
      if (*slot != nullptr) {
        view.problem = where + " is a second " +
                       (slot == &view.archive ? "archive" : "setup resource");
        return view;
      }
      *slot = entry;
    }
  }
  if (view.archive != nullptr && view.setup == nullptr)
    view.problem = "there is an archive but no setup resource";
  if (view.archive == nullptr && view.setup != nullptr)
    view.problem = "there is a setup resource but no archive";
  return view;
}

std::string SetupTypeOf(const ResourceEntry& setup) {
  const std::string type = Describe(setup.type);
  return type == "B7" ? "PATCH" : type;
}

}  // namespace packer
