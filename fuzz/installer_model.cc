#include "installer_model.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace installer_model {
namespace {

constexpr uint64_t kLargestImage = 64u << 20;

uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
         uint32_t(p[3]) << 24;
}

// The image as the loader lays it out in memory.
struct Image {
  std::vector<uint8_t> memory;
  uint32_t resource_rva = 0, resource_size = 0;
  bool Has(uint64_t rva, uint64_t size) const {
    return rva + size <= memory.size();
  }
};

bool Map(const uint8_t* file, size_t size, Image* image, std::string* why) {
  if (size < 64 || file[0] != 'M' || file[1] != 'Z')
    return *why = "no MZ", false;
  const uint32_t pe = U32(file + 60);
  if (uint64_t{pe} + 24 > size || std::memcmp(file + pe, "PE\0\0", 4) != 0)
    return *why = "no PE header", false;
  const uint16_t sections = U16(file + pe + 6);
  const uint16_t optional_size = U16(file + pe + 20);
  const uint64_t optional = pe + 24;
  if (optional + optional_size > size || optional_size < 112 + 8 * 3 ||
      U16(file + optional) != 0x20b)
    return *why = "not PE32+", false;
  const uint32_t file_alignment = U32(file + optional + 36);
  const uint32_t image_size = U32(file + optional + 56);
  const uint32_t headers = U32(file + optional + 60);
  if (image_size > kLargestImage || headers > image_size || file_alignment == 0)
    return *why = "image too large or odd", false;
  if (U32(file + optional + 108) > 2) {
    image->resource_rva = U32(file + optional + 112 + 16);
    image->resource_size = U32(file + optional + 112 + 20);
  }
  image->memory.assign(image_size, 0);
  std::memcpy(image->memory.data(), file, std::min<uint64_t>(headers, size));
  const uint64_t table = optional + optional_size;
  if (table + 40ull * sections > size) return *why = "section table", false;
  for (uint16_t i = 0; i < sections; ++i) {
    const uint8_t* s = file + table + 40 * i;
    const uint32_t virtual_size = U32(s + 8), rva = U32(s + 12);
    const uint32_t raw_size = U32(s + 16), raw = U32(s + 20) & ~0x1FFu;
    if ((U32(s + 36) & 0x40000000) == 0 && rva == image->resource_rva)
      image->resource_rva = image->resource_size = 0;  // cannot be read
    uint64_t mapped = (uint64_t{raw_size} + file_alignment - 1) /
                      file_alignment * file_alignment;
    if (virtual_size != 0) mapped = std::min<uint64_t>(mapped, virtual_size);
    if (uint64_t{rva} + mapped > image_size)
      return *why = "section past image", false;
    if (raw >= size) continue;
    mapped = std::min<uint64_t>(mapped, size - raw);
    std::memcpy(image->memory.data() + rva, file + raw, mapped);
  }
  return true;
}

// The loader's search of one table: names by binary search of the
// upper-cased query, compared unit by unit; numbers by binary search.
const uint8_t* FindEntry(const Image& image, uint32_t table,
                         const std::u16string* name, uint16_t id) {
  const uint32_t base = image.resource_rva;
  if (!image.Has(uint64_t{base} + table, 16)) return nullptr;
  const uint8_t* header = &image.memory[base + table];
  const int named = U16(header + 12), ids = U16(header + 14);
  if (!image.Has(uint64_t{base} + table + 16, 8ull * (named + ids)))
    return nullptr;
  const uint8_t* entries = header + 16;
  int low = name ? 0 : named, high = name ? named - 1 : named + ids - 1;
  while (low <= high) {
    const int middle = (low + high) / 2;
    const uint8_t* entry = entries + 8 * middle;
    int order = 0;
    if (name) {
      const uint32_t at = U32(entry) & 0x7FFFFFFF;
      if (!image.Has(uint64_t{base} + at, 2)) return nullptr;
      const uint16_t length = U16(&image.memory[base + at]);
      if (!image.Has(uint64_t{base} + at + 2, 2ull * length)) return nullptr;
      const uint8_t* units = &image.memory[base + at + 2];
      for (size_t i = 0; i < length && order == 0; ++i) {
        const char16_t query = i < name->size() ? (*name)[i] : 0;
        order = int(query) - int(U16(units + 2 * i));
      }
      if (order == 0 && name->size() != length)
        order = name->size() < length ? -1 : 1;
    } else {
      order = int(id) - int(U32(entry) & 0xFFFF);
    }
    if (order == 0) return entry;
    if (order < 0)
      high = middle - 1;
    else
      low = middle + 1;
  }
  return nullptr;
}

uint32_t Subtable(const uint8_t* entry) { return U32(entry + 4) & 0x7FFFFFFF; }

std::u16string Upper(std::u16string text) {
  for (char16_t& unit : text)
    if (unit >= u'a' && unit <= u'z') unit -= 32;
  return text;
}

// FindResourceW(name, type) and LoadResource: the language neutral, the
// user's (English, United States, here), its primary, then the first.
Blob Find(const Image& image, const std::u16string* type, uint16_t type_id,
          const std::u16string* name, uint16_t name_id) {
  Blob blob;
  if (image.resource_rva == 0 || image.resource_size == 0) return blob;
  std::u16string upper_type, upper_name;
  if (type) upper_type = Upper(*type);
  if (name) upper_name = Upper(*name);
  const uint8_t* t = FindEntry(image, 0, type ? &upper_type : nullptr, type_id);
  if (!t || !(U32(t + 4) & 0x80000000)) return blob;
  const uint8_t* n =
      FindEntry(image, Subtable(t), name ? &upper_name : nullptr, name_id);
  if (!n || !(U32(n + 4) & 0x80000000)) return blob;
  const uint8_t* l = nullptr;
  for (uint16_t language : {0, 1033, 9, 1033})
    if (!l) l = FindEntry(image, Subtable(n), nullptr, language);
  if (!l) {
    const uint32_t table = image.resource_rva + Subtable(n);
    if (!image.Has(table, 24) ||
        U16(&image.memory[table + 12]) + U16(&image.memory[table + 14]) == 0)
      return blob;
    l = &image.memory[table + 16];
  }
  if (U32(l + 4) & 0x80000000) return blob;
  const uint32_t data = image.resource_rva + U32(l + 4);
  if (!image.Has(data, 16)) return blob;
  const uint32_t rva = U32(&image.memory[data]),
                 size = U32(&image.memory[data + 4]);
  if (!image.Has(rva, size)) return blob;
  blob.data = image.memory.data() + rva;
  blob.size = size;
  blob.found = true;
  return blob;
}

bool StartsNoCase(const std::u16string& name, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (i >= name.size()) return false;
    char16_t unit = name[i];
    if (unit >= u'A' && unit <= u'Z') unit += 32;
    if (unit != char16_t(prefix[i])) return false;
  }
  return true;
}

bool PlainName(const std::u16string& name) {
  if (name.empty() || name.size() >= 260) return false;
  for (char16_t unit : name)
    if (unit == u'\\' || unit == u'/' || unit == u':' || unit < 0x20)
      return false;
  return name.back() != u'.' && name.back() != u' ';
}

// The cabinet library's expansion of the first file, its window kept by
// each block's own positions.
bool Expand(const Blob& cabinet, std::vector<uint8_t>* out) {
  const uint8_t* c = cabinet.data;
  const uint32_t size = cabinet.size;
  if (size < 36 + 8 + 16 || std::memcmp(c, "MSCF", 4) != 0 || U16(c + 30) != 0)
    return false;
  const uint32_t files = U32(c + 16);
  if (uint64_t{files} + 16 > size) return false;
  const uint32_t file_size = U32(c + files);
  if (U32(c + files + 4) != 0 || U16(c + files + 8) != 0) return false;
  uint32_t at = U32(c + 36);
  const uint16_t blocks = U16(c + 40);
  if ((U16(c + 42) & 0xF) != 1) return false;
  std::vector<uint8_t> window(32768, 0), chunk(32768);
  bool started = false;
  for (uint16_t b = 0; b < blocks && out->size() < file_size; ++b) {
    if (uint64_t{at} + 8 > size) return false;
    const uint16_t packed = U16(c + at + 4), unpacked = U16(c + at + 6);
    if (uint64_t{at} + 8 + packed > size || packed < 2 || unpacked > 32768 ||
        c[at + 8] != 'C' || c[at + 9] != 'K')
      return false;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    if (started) inflateSetDictionary(&z, window.data(), uInt(window.size()));
    z.next_in = const_cast<uint8_t*>(c + at + 10);
    z.avail_in = packed - 2;
    z.next_out = chunk.data();
    z.avail_out = uInt(chunk.size());
    const int result = inflate(&z, Z_FINISH);
    const uInt made = uInt(chunk.size()) - z.avail_out;
    inflateEnd(&z);
    if (result != Z_STREAM_END || made != unpacked) return false;
    std::copy(chunk.begin(), chunk.begin() + made, window.begin());
    out->insert(out->end(), chunk.begin(), chunk.begin() + made);
    started = true;
    at += 8 + packed;
  }
  if (out->size() < file_size) return false;
  out->resize(file_size);
  return true;
}

Reading Scan(const Image& image);

}  // namespace

Reading Read(const uint8_t* file, size_t size) {
  Reading reading;
  Image image;
  if (!Map(file, size, &image, &reading.why)) return reading;
  reading = Scan(image);
  // Moved, the memory stays where the blobs point.
  reading.image = std::move(image.memory);
  return reading;
}

namespace {

Reading Scan(const Image& image) {
  Reading reading;
  reading.understood = true;
  reading.record = Find(image, nullptr, 10, nullptr, 2);
  // The scan: per type, every name in directory order until a number, an
  // empty or unloadable resource; a bad name or a second one refuses.
  for (const char* type_text : {"B7", "BL", "BN"}) {
    const std::u16string type(type_text, type_text + 2);
    const uint8_t* t = image.resource_rva && image.resource_size
                           ? FindEntry(image, 0, &type, 0)
                           : nullptr;
    if (!t || !(U32(t + 4) & 0x80000000)) continue;
    const uint32_t table = image.resource_rva + Subtable(t);
    if (!image.Has(table, 16)) continue;
    const int named = U16(&image.memory[table + 12]);
    if (!image.Has(table + 16, 8ull * named)) continue;
    for (int i = 0; i < named; ++i) {
      const uint8_t* entry = &image.memory[table + 16 + 8 * i];
      const uint32_t at = image.resource_rva + (U32(entry) & 0x7FFFFFFF);
      if (!image.Has(at, 2)) break;
      const uint16_t length = U16(&image.memory[at]);
      if (!image.Has(at + 2, 2ull * length)) break;
      std::u16string name(length, u'\0');
      for (size_t k = 0; k < length; ++k)
        name[k] = U16(&image.memory[at + 2 + 2 * k]);
      const Blob blob = Find(image, &type, 0, &name, 0);
      if (!blob.found || blob.size == 0) break;
      Blob* slot = StartsNoCase(name, "korven")  ? &reading.archive
                   : StartsNoCase(name, "setup") ? &reading.setup
                                                 : nullptr;
      if (!slot || !PlainName(name) || slot->found) {
        reading.refused = true;
        return reading;
      }
      *slot = blob;
      if (slot == &reading.setup) reading.setup_type = type_text;
    }
  }
  if (!reading.archive.found || !reading.setup.found || !reading.record.found ||
      reading.record.size != 48) {
    reading.refused = true;
    return reading;
  }
  if (reading.setup_type == "BN") {
    reading.program.assign(reading.setup.data,
                           reading.setup.data + reading.setup.size);
    reading.expanded = true;
  } else if (reading.setup_type == "BL") {
    reading.expanded = Expand(reading.setup, &reading.program);
  }
  return reading;
}

}  // namespace
}  // namespace installer_model
