#include "resource_tree.h"

#include <algorithm>

namespace packer {
namespace {

constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNameFlag = 0x80000000u;
constexpr size_t kMostEntries = 65536;

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

// Names before numbers; names by their upper-case code units, numbers by
// value: the order in which the loader searches.
bool IdLess(const ResourceId& a, const ResourceId& b) {
  if (a.is_name != b.is_name) return a.is_name;
  if (!a.is_name) return a.id < b.id;
  return std::lexicographical_compare(
      a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
      [](char16_t x, char16_t y) { return Upper(x) < Upper(y); });
}

// Reads the directory through bounds-checked reads relative to its start:
// a packed image's directory is small, its data is not.
struct DirectoryReader {
  const InputFile& input;
  const PeImage& image;
  uint64_t base = 0;   // file offset of the directory's start
  uint32_t limit = 0;  // bytes of the section from there on
  std::vector<ResourceEntry>* out;
  size_t entries_seen = 0;  // at every level: a directory may point anywhere

  Status Bad(const std::string& why) const {
    return Refused("the " + input.role + " " + Quoted(input.path) +
                   " has a damaged resource directory: " + why);
  }
  Status Read(uint32_t at, size_t size, Bytes* bytes) const {
    if (uint64_t{at} + size > limit)
      return Bad("an entry points past its section");
    return ReadBytesAt(input, base + at, size, bytes);
  }
  Status ReadId(uint32_t field, ResourceId* id) const {
    if ((field & kNameFlag) == 0) {
      if (field > 0xFFFF) return Bad("an identifier is out of range");
      *id = IdOf(static_cast<uint16_t>(field));
      return Ok();
    }
    Bytes length;
    Status status = Read(field & ~kNameFlag, 2, &length);
    if (!status.ok()) return status;
    Bytes units;
    status = Read((field & ~kNameFlag) + 2, size_t{Load16(length.data())} * 2,
                  &units);
    if (!status.ok()) return status;
    id->is_name = true;
    id->id = 0;
    id->name.clear();
    for (size_t i = 0; i < units.size(); i += 2)
      id->name += static_cast<char16_t>(Load16(&units[i]));
    return Ok();
  }
  // Level 0: types, 1: names, 2: languages, whose entries lead to data.
  Status Walk(uint32_t at, int level, ResourceEntry* path) {
    Bytes header;
    Status status = Read(at, 16, &header);
    if (!status.ok()) return status;
    const size_t count = size_t{Load16(&header[12])} + Load16(&header[14]);
    entries_seen += count;
    if (entries_seen > kMostEntries) return Bad("it has too many entries");
    Bytes entries;
    status = Read(at + 16, count * 8, &entries);
    if (!status.ok()) return status;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t id_field = Load32(&entries[8 * i]);
      const uint32_t target = Load32(&entries[8 * i + 4]);
      const bool subdirectory = (target & kSubdirectoryFlag) != 0;
      if (subdirectory != (level < 2))
        return Bad("it is not three levels deep");
      if (level == 0) status = ReadId(id_field, &path->type);
      if (level == 1) status = ReadId(id_field, &path->name);
      if (!status.ok()) return status;
      if (level < 2) {
        status = Walk(target & ~kSubdirectoryFlag, level + 1, path);
        if (!status.ok()) return status;
        continue;
      }
      if (id_field > 0xFFFF) return Bad("a language is out of range");
      path->language = static_cast<uint16_t>(id_field);
      Bytes data_entry;
      status = Read(target, 16, &data_entry);
      if (!status.ok()) return status;
      ResourceEntry entry = *path;
      entry.size = Load32(&data_entry[4]);
      entry.codepage = Load32(&data_entry[8]);
      if (!FileOffsetOf(image, Load32(&data_entry[0]), entry.size,
                        &entry.file_offset)) {
        return Bad("the data of " + Describe(entry.type) + "/" +
                   Describe(entry.name) + " lies outside the file");
      }
      out->push_back(entry);
    }
    return Ok();
  }
};

}  // namespace

ResourceId IdOf(uint16_t id) {
  ResourceId result;
  result.id = id;
  return result;
}

ResourceId NameOf(const std::string& ascii) {
  ResourceId result;
  result.is_name = true;
  result.name.assign(ascii.begin(), ascii.end());
  return result;
}

bool SameId(const ResourceId& a, const ResourceId& b) {
  return !IdLess(a, b) && !IdLess(b, a);
}

std::string Describe(const ResourceId& id) {
  if (!id.is_name) return std::to_string(id.id);
  std::string text;
  for (const char16_t unit : id.name)
    text += unit < 0x80 ? static_cast<char>(unit) : '?';
  return text;
}

Status ReadResources(const InputFile& input, const PeImage& image,
                     std::vector<ResourceEntry>* resources) {
  resources->clear();
  const DataDirectory& directory = image.directories[kResourceDirectory];
  if (directory.address == 0) return Ok();
  const Section* section = SectionAt(image, directory.address);
  DirectoryReader reader{input, image, 0, 0, resources, 0};
  if (section == nullptr ||
      !FileOffsetOf(image, directory.address, 16, &reader.base)) {
    return reader.Bad("it lies outside the file");
  }
  reader.limit =
      section->raw_size - (directory.address - section->virtual_address);
  ResourceEntry path;
  return reader.Walk(0, 0, &path);
}

Bytes LayOutResources(uint32_t section_rva,
                      std::vector<PlacedResource>* resources,
                      uint64_t* content_size) {
  std::vector<const PlacedResource*> order;
  for (const PlacedResource& resource : *resources) order.push_back(&resource);
  std::sort(order.begin(), order.end(),
            [](const PlacedResource* a, const PlacedResource* b) {
              if (!SameId(a->type, b->type)) return IdLess(a->type, b->type);
              if (!SameId(a->name, b->name)) return IdLess(a->name, b->name);
              return a->language < b->language;
            });

  // The tree: types, the names under each type, the languages under each.
  struct NameNode {
    const ResourceId* id;
    std::vector<const PlacedResource*> languages;
  };
  struct TypeNode {
    const ResourceId* id;
    std::vector<NameNode> names;
  };
  std::vector<TypeNode> types;
  for (const PlacedResource* resource : order) {
    if (types.empty() || !SameId(*types.back().id, resource->type)) {
      types.push_back({&resource->type, {}});
    }
    auto& names = types.back().names;
    if (names.empty() || !SameId(*names.back().id, resource->name)) {
      names.push_back({&resource->name, {}});
    }
    names.back().languages.push_back(resource);
  }

  // Tables first (root, types, names), then the data entries, then the
  // strings, then the data.
  const auto table_size = [](size_t entries) {
    return uint32_t(16 + 8 * entries);
  };
  const auto string_size = [](const ResourceId& id) {
    return id.is_name ? uint32_t(2 + 2 * id.name.size()) : 0u;
  };
  uint32_t cursor = table_size(types.size());
  for (TypeNode& type : types) cursor += table_size(type.names.size());
  const uint32_t name_tables_at = cursor;
  for (TypeNode& type : types) {
    for (NameNode& name : type.names)
      cursor += table_size(name.languages.size());
  }
  const uint32_t data_entries_at = cursor;
  cursor += uint32_t(16 * order.size());
  uint32_t next_string = cursor;
  for (TypeNode& type : types) {
    cursor += string_size(*type.id);
    for (NameNode& name : type.names) cursor += string_size(*name.id);
  }
  Bytes directory(AlignUp(cursor, 8), 0);

  uint64_t data_cursor = directory.size();
  for (PlacedResource& resource : *resources) {
    data_cursor = AlignUp(data_cursor, resource.alignment);
    resource.offset = static_cast<uint32_t>(data_cursor);
    data_cursor += resource.size;
  }
  *content_size = data_cursor;

  // A table's header counts its named and its numbered entries; each entry
  // is an identifier (or a string's offset) and what it leads to.
  const auto write_table = [&directory](uint32_t at, const auto& nodes) {
    const auto named =
        std::count_if(nodes.begin(), nodes.end(),
                      [](const auto& node) { return node.id->is_name; });
    Store16(&directory[at + 12], uint32_t(named));
    Store16(&directory[at + 14], uint32_t(nodes.size() - named));
  };
  const auto write_entry = [&](uint32_t at, const ResourceId& id,
                               uint32_t target) {
    Store32(&directory[at + 4], target);
    if (!id.is_name) {
      Store32(&directory[at], id.id);
      return;
    }
    Store32(&directory[at], next_string | kNameFlag);
    Store16(&directory[next_string], uint32_t(id.name.size()));
    for (size_t i = 0; i < id.name.size(); ++i) {
      Store16(&directory[next_string + 2 + 2 * i], id.name[i]);
    }
    next_string += string_size(id);
  };

  write_table(0, types);
  uint32_t type_table = table_size(types.size());
  uint32_t name_table = name_tables_at;
  uint32_t data_entry = data_entries_at;
  for (size_t t = 0; t < types.size(); ++t) {
    const TypeNode& type = types[t];
    write_entry(16 + 8 * uint32_t(t), *type.id, type_table | kSubdirectoryFlag);
    write_table(type_table, type.names);
    for (size_t n = 0; n < type.names.size(); ++n) {
      const NameNode& name = type.names[n];
      write_entry(type_table + 16 + 8 * uint32_t(n), *name.id,
                  name_table | kSubdirectoryFlag);
      Store16(&directory[name_table + 14], uint32_t(name.languages.size()));
      for (size_t l = 0; l < name.languages.size(); ++l, data_entry += 16) {
        const PlacedResource& resource = *name.languages[l];
        Store32(&directory[name_table + 16 + 8 * l], resource.language);
        Store32(&directory[name_table + 16 + 8 * l + 4], data_entry);
        Store32(&directory[data_entry], section_rva + resource.offset);
        Store32(&directory[data_entry + 4],
                static_cast<uint32_t>(resource.size));
        Store32(&directory[data_entry + 8], resource.codepage);
      }
      name_table += table_size(name.languages.size());
    }
    type_table += table_size(type.names.size());
  }
  return directory;
}

}  // namespace packer
