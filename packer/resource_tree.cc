#include "resource_tree.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "text.h"

namespace packer {
namespace {

constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNameFlag = 0x80000000u;
constexpr size_t kMostEntries = 65536;

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c;
}

// Whether the loader's lookup, which upper-cases the name it is given and
// compares code units, can find NAME: only when NAME is in upper case
// already. Case is told by the C library's Unicode tables.
bool LoaderFinds(const std::u16string& name) {
  static const locale_t unicode =
      newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  for (const char16_t unit : name) {
    if (unit >= u'a' && unit <= u'z') return false;
    if (unit >= 0x80 && (unit < 0xD800 || unit > 0xDFFF) &&
        unicode != static_cast<locale_t>(0) &&
        towupper_l(static_cast<wint_t>(unit), unicode) !=
            static_cast<wint_t>(unit)) {
      return false;
    }
  }
  return true;
}

// Names before numbers; names by their upper-case code units, numbers by
// value: the order in which the loader searches.
bool IdLess(const ResourceId& a, const ResourceId& b) {
  if (a.is_name != b.is_name) return a.is_name;
  if (!a.is_name) return a.id < b.id;
  return std::lexicographical_compare(
      a.Text().begin(), a.Text().end(), b.Text().begin(), b.Text().end(),
      [](char16_t x, char16_t y) { return Upper(x) < Upper(y); });
}

// Reads the directory through bounds-checked reads relative to its start:
// a packed image's directory is small, its data is not. Each table and
// data entry is read once, each name once, and the names read together
// can be no larger than the section: the cost is linear in the file.
struct DirectoryReader {
  const InputFile& input;
  const PeImage& image;
  uint64_t base = 0;   // file offset of the directory's start
  uint32_t limit = 0;  // bytes of the section from there on
  std::vector<ResourceEntry>* out;
  size_t entries_seen = 0;  // at every level
  uint64_t name_bytes = 0;  // of the names read
  std::unordered_set<uint32_t> tables, data_entries;
  std::unordered_map<uint32_t, std::shared_ptr<const std::u16string>> names;

  Status Bad(const std::string& why) const {
    return Refused("the " + input.role + " " + Quoted(input.path) +
                   " has a damaged resource directory: " + why);
  }
  uint64_t extent = 0;  // the end of the furthest table, entry or name
  Status Read(uint64_t at, size_t size, Bytes* bytes) {
    if (at + size > limit) return Bad("an entry points past its section");
    extent = std::max<uint64_t>(extent, at + size);
    return ReadBytesAt(input, base + at, size, bytes);
  }
  Status ReadId(uint32_t field, ResourceId* id) {
    id->is_name = (field & kNameFlag) != 0;
    id->name.reset();
    if (!id->is_name) {
      if (field > 0xFFFF) return Bad("an identifier is out of range");
      id->id = static_cast<uint16_t>(field);
      return Ok();
    }
    id->id = 0;
    const uint32_t at = field & ~kNameFlag;
    auto known = names.find(at);
    if (known != names.end()) {
      id->name = known->second;
      return Ok();
    }
    Bytes length;
    Status status = Read(at, 2, &length);
    const size_t units = status.ok() ? Load16(length.data()) : 0;
    name_bytes += 2 + 2 * units;
    if (status.ok() && name_bytes > limit)
      return Bad("its names overlap, which no linker writes");
    Bytes bytes;
    if (status.ok()) status = Read(uint64_t{at} + 2, 2 * units, &bytes);
    if (!status.ok()) return status;
    auto text = std::make_shared<std::u16string>(units, u'\0');
    for (size_t i = 0; i < units; ++i)
      (*text)[i] = static_cast<char16_t>(Load16(&bytes[2 * i]));
    if (!LoaderFinds(*text)) {
      ResourceId shown;
      shown.is_name = true;
      shown.name = text;
      return Bad("the name " + Describe(shown) +
                 " has lower-case letters, and the loader, which looks "
                 "names up in upper case, never finds it (nor, past it in "
                 "its search, some of the others)");
    }
    id->name = names[at] = std::move(text);
    return Ok();
  }
  // Level 0: types, 1: names, 2: languages, whose entries lead to data.
  Status Walk(uint32_t at, int level, ResourceEntry* path) {
    if (!tables.insert(at).second)
      return Bad("it reaches one table twice, which no linker writes");
    Bytes header;
    Status status = Read(at, 16, &header);
    if (!status.ok()) return status;
    const size_t named = Load16(&header[12]);
    const size_t count = named + Load16(&header[14]);
    entries_seen += count;
    if (entries_seen > kMostEntries) return Bad("it has too many entries");
    Bytes entries;
    status = Read(uint64_t{at} + 16, count * 8, &entries);
    if (!status.ok()) return status;
    ResourceId previous;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t id_field = Load32(&entries[8 * i]);
      const uint32_t target = Load32(&entries[8 * i + 4]);
      const bool subdirectory = (target & kSubdirectoryFlag) != 0;
      if (subdirectory != (level < 2))
        return Bad("it is not three levels deep");
      if (((id_field & kNameFlag) != 0) != (i < named))
        return Bad("a table's counts of named and numbered entries are wrong");
      ResourceId id;
      status = ReadId(id_field, &id);
      if (!status.ok()) return status;
      if (i > 0 && !IdLess(previous, id)) {
        return Bad(
            "its entries are not in the order in which the loader "
            "searches them, which no linker writes");
      }
      previous = id;
      if (level == 0) path->type = id;
      if (level == 1) path->name = id;
      if (level < 2) {
        status = Walk(target & ~kSubdirectoryFlag, level + 1, path);
        if (!status.ok()) return status;
        continue;
      }
      if (id.is_name) return Bad("a language is out of range");
      path->language = id.id;
      if (!data_entries.insert(target).second)
        return Bad("it reaches one data entry twice, which no linker writes");
      Bytes data_entry;
      status = Read(target, 16, &data_entry);
      if (!status.ok()) return status;
      ResourceEntry entry = *path;
      entry.size = Load32(&data_entry[4]);
      entry.codepage = Load32(&data_entry[8]);
      if (!FileOffsetOf(image, Load32(&data_entry[0]), entry.size,
                        &entry.file_offset)) {
        return Bad("the data of " + Describe(entry.type) + "/" +
                   Describe(entry.name) +
                   " lies outside what the loader maps of its section");
      }
      out->push_back(entry);
    }
    return Ok();
  }
  // Two resources may have the very same data, as a file made by a tool
  // that shares it would; partly overlapping data no tool writes.
  Status CheckDataApart() const {
    std::vector<const ResourceEntry*> by_offset;
    for (const ResourceEntry& entry : *out) {
      if (entry.size != 0) by_offset.push_back(&entry);
    }
    std::sort(by_offset.begin(), by_offset.end(),
              [](const ResourceEntry* a, const ResourceEntry* b) {
                return a->file_offset != b->file_offset
                           ? a->file_offset < b->file_offset
                           : a->size < b->size;
              });
    for (size_t i = 1; i < by_offset.size(); ++i) {
      const ResourceEntry& before = *by_offset[i - 1];
      const ResourceEntry& entry = *by_offset[i];
      const bool same =
          entry.file_offset == before.file_offset && entry.size == before.size;
      if (!same && entry.file_offset < before.file_offset + before.size) {
        return Bad("the data of " + Describe(before.type) + "/" +
                   Describe(before.name) + " and " + Describe(entry.type) +
                   "/" + Describe(entry.name) +
                   " overlap, which no linker writes");
      }
    }
    return Ok();
  }
};

}  // namespace

const std::u16string& ResourceId::Text() const {
  static const std::u16string kNone;
  return name ? *name : kNone;
}

ResourceId IdOf(uint16_t id) {
  ResourceId result;
  result.id = id;
  return result;
}

ResourceId NameOf(const std::string& ascii) {
  ResourceId result;
  result.is_name = true;
  result.name =
      std::make_shared<const std::u16string>(ascii.begin(), ascii.end());
  return result;
}

bool SameId(const ResourceId& a, const ResourceId& b) {
  return !IdLess(a, b) && !IdLess(b, a);
}

std::string Describe(const ResourceId& id) {
  return id.is_name ? Printable(id.Text()) : std::to_string(id.id);
}

Status ReadResources(const InputFile& input, const PeImage& image,
                     std::vector<ResourceEntry>* resources) {
  resources->clear();
  if (image.directories.size() <= kResourceDirectory) return Ok();
  const DataDirectory& directory = image.directories[kResourceDirectory];
  if (directory.address == 0) return Ok();
  const Section* section = SectionAt(image, directory.address);
  DirectoryReader reader{input, image, 0, 0, resources, 0, 0, {}, {}, {}};
  if (section == nullptr ||
      !FileOffsetOf(image, directory.address, 16, &reader.base)) {
    return reader.Bad("it lies outside what the loader maps of its section");
  }
  // What the loader maps without read access, it cannot search.
  if ((section->characteristics & kSectionReadable) == 0) {
    return reader.Bad("section " + Printable(section->name) +
                      " holding it is not readable once loaded "
                      "(IMAGE_SCN_MEM_READ is not among its characteristics)");
  }
  reader.limit =
      static_cast<uint32_t>(LoadedSize(image, *section) -
                            (directory.address - section->virtual_address));
  ResourceEntry path;
  Status status = reader.Walk(0, 0, &path);
  // The loader looks only inside the size its data directory gives.
  if (status.ok() && reader.extent > directory.size) {
    return reader.Bad("its data directory entry gives it " +
                      std::to_string(directory.size) +
                      " bytes, and its tables and names take " +
                      std::to_string(reader.extent));
  }
  return status.ok() ? reader.CheckDataApart() : status;
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
    return id.is_name ? uint32_t(2 + 2 * id.Text().size()) : 0u;
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
    const std::u16string& text = id.Text();
    Store16(&directory[next_string], uint32_t(text.size()));
    for (size_t i = 0; i < text.size(); ++i) {
      Store16(&directory[next_string + 2 + 2 * i], text[i]);
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
