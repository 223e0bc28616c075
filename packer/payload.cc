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

PayloadView FindPayload(const std::vector<ResourceEntry>& resources) {
  PayloadView view;
  for (const ResourceEntry& entry : resources) {
    if (!IsPayloadResource(entry)) continue;
    const std::string where = Describe(entry.type) + "/" + Describe(entry.name);
    if (!entry.type.is_name) {
      const bool record = entry.name.id == kRecordId;
      const ResourceEntry** slot =
          record ? &view.record : &view.previous_version;
      if (*slot != nullptr)
        view.problem =
            where + " is a second " +
            (record ? "record of the setup program" : "previous version");
      else
        *slot = &entry;
      continue;
    }
    const ResourceEntry** slot = nullptr;
    if (entry.name.is_name && StartsWith(entry.name.Text(), "korven"))
      slot = &view.archive;
    if (entry.name.is_name && StartsWith(entry.name.Text(), "setup") &&
        slot == nullptr)
      slot = &view.setup;
    if (slot == nullptr) {
      view.problem = where + " is neither the archive nor the setup program";
    } else if (entry.size == 0) {
      // The installer takes an empty resource for a missing one.
      view.problem = where + " is empty";
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
