#include "version_block.h"

#include "text.h"

namespace packer {
namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedSize = 52;
// A block is four levels deep (root, StringFileInfo, table, string); the
// bound keeps a crafted one from nesting thousands deep.
constexpr int kDeepest = 8;

// Offsets are from the start of the block: the resource data itself lies
// at an aligned address, so that is what the 32-bit alignment refers to.
bool ParseNode(const Bytes& bytes, size_t at, size_t end, int depth,
               VersionNode* node) {
  if (at + 6 > end || depth > kDeepest) return false;
  const size_t length = Load16(&bytes[at]);
  if (length < 6 || at + length > end) return false;
  end = at + length;
  node->value_length = Load16(&bytes[at + 2]);
  node->type = Load16(&bytes[at + 4]);
  size_t cursor = at + 6;
  node->key.clear();
  for (;; cursor += 2) {
    if (cursor + 2 > end) return false;
    const char16_t unit = Load16(&bytes[cursor]);
    if (unit == 0) break;
    node->key += unit;
  }
  cursor = AlignUp(cursor + 2, 4);
  const size_t value_size =
      node->type == 1 ? size_t{node->value_length} * 2 : node->value_length;
  if (cursor + value_size > end) return false;
  node->value.assign(bytes.begin() + cursor,
                     bytes.begin() + cursor + value_size);
  cursor = AlignUp(cursor + value_size, 4);
  node->children.clear();
  while (cursor < end) {
    VersionNode child;
    if (!ParseNode(bytes, cursor, end, depth + 1, &child)) return false;
    cursor = AlignUp(cursor + Load16(&bytes[cursor]), 4);
    node->children.push_back(std::move(child));
  }
  return true;
}

bool SerializeNode(const VersionNode& node, Bytes* out) {
  const size_t start = out->size();
  out->resize(start + 6);
  for (const char16_t unit : node.key) Append16(out, unit);
  Append16(out, 0);
  out->resize(AlignUp(out->size(), 4));
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    out->resize(AlignUp(out->size(), 4));
    if (!SerializeNode(child, out)) return false;
  }
  if (out->size() - start > 0xFFFF) return false;
  Store16(&(*out)[start], uint32_t(out->size() - start));
  Store16(&(*out)[start + 2], node.value_length);
  Store16(&(*out)[start + 4], node.type);
  return true;
}

std::u16string TextOf(const Bytes& value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t unit = Load16(&value[i]);
    if (unit == 0) break;
    text += unit;
  }
  return text;
}

bool HasFixedInfo(const VersionNode& root) {
  return root.value.size() >= kFixedSize &&
         Load32(root.value.data()) == kFixedSignature;
}

void SetText(VersionNode* node, const std::string& text) {
  node->type = 1;
  node->value.clear();
  for (const char16_t unit : Utf16FromAscii(text)) Append16(&node->value, unit);
  Append16(&node->value, 0);
  node->value_length = uint16_t(text.size() + 1);
}

}  // namespace

bool ParseVersionBlock(const Bytes& bytes, VersionNode* root) {
  return ParseNode(bytes, 0, bytes.size(), 0, root);
}

bool SerializeVersionBlock(const VersionNode& root, Bytes* bytes) {
  bytes->clear();
  return SerializeNode(root, bytes);
}

bool FixedVersions(const VersionNode& root, VersionNumbers* file,
                   VersionNumbers* product) {
  if (!HasFixedInfo(root)) return false;
  const auto split = [&root](size_t at, VersionNumbers* numbers) {
    const uint32_t high = Load32(&root.value[at]),
                   low = Load32(&root.value[at + 4]);
    *numbers = {uint16_t(high >> 16), uint16_t(high), uint16_t(low >> 16),
                uint16_t(low)};
  };
  split(8, file);
  split(16, product);
  return true;
}

std::vector<VersionString> VersionStrings(const VersionNode& root) {
  std::vector<VersionString> strings;
  for (const VersionNode& info : root.children) {
    if (info.key != u"StringFileInfo") continue;
    for (const VersionNode& table : info.children) {
      for (const VersionNode& string : table.children) {
        strings.push_back({table.key, string.key, TextOf(string.value)});
      }
    }
  }
  return strings;
}

bool StampVersion(VersionNode* root, const VersionNumbers& numbers,
                  const std::string& text) {
  if (!HasFixedInfo(*root)) return false;
  for (const size_t at : {size_t{8}, size_t{16}}) {
    Store32(&root->value[at], uint32_t(numbers[0]) << 16 | numbers[1]);
    Store32(&root->value[at + 4], uint32_t(numbers[2]) << 16 | numbers[3]);
  }
  bool stamped_a_table = false;
  for (VersionNode& info : root->children) {
    if (info.key != u"StringFileInfo") continue;
    for (VersionNode& table : info.children) {
      // Every string of that name: a reader takes the first one.
      for (const char16_t* key : {u"FileVersion", u"ProductVersion"}) {
        bool found = false;
        for (VersionNode& string : table.children) {
          if (string.key != key) continue;
          SetText(&string, text);
          found = true;
        }
        if (!found) {
          table.children.emplace_back();
          table.children.back().key = key;
          SetText(&table.children.back(), text);
        }
      }
      stamped_a_table = true;
    }
  }
  return stamped_a_table;
}

std::string VersionText(const VersionNumbers& numbers) {
  return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
         std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
}

}  // namespace packer
