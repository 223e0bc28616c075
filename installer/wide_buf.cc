#include "wide_buf.h"

namespace {

wchar_t FoldAscii(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20)
                                        : unit;
}

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

}  // namespace

size_t TextLength(const wchar_t* text) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

uint64_t BoundedLength(const wchar_t* text, size_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool SafeCopy(wchar_t* target, size_t capacity, const wchar_t* source) {
  if (target == nullptr || capacity == 0) return false;
  for (size_t i = 0; i < capacity; ++i) {
    // Read before write: a source that starts later in the same buffer
    // shifts the text left.
    const wchar_t unit = source[i];
    target[i] = unit;
    if (unit == 0) return true;
  }
  target[0] = 0;
  return false;
}

bool SafeAppend(wchar_t* target, size_t capacity, const wchar_t* source) {
  const size_t end = static_cast<size_t>(BoundedLength(target, capacity));
  if (target == nullptr || end == capacity) return false;
  if (SafeCopy(target + end, capacity - end, source)) return true;
  target[end] = 0;
  return false;
}

bool HexEncode(const void* bytes, size_t count, wchar_t* target,
               size_t capacity) {
  // Twice the count must be below the capacity; said without overflowing.
  if (capacity == 0 || count > (capacity - 1) / 2) return false;
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  target[2 * count] = 0;
  for (size_t i = 0; i < count; ++i) {
    target[2 * i] = kHexDigits[in[i] >> 4];
    target[2 * i + 1] = kHexDigits[in[i] & 0x0F];
  }
  return true;
}

bool EndsWithNoCase(const wchar_t* text, const wchar_t* suffix) {
  if (text == nullptr || suffix == nullptr) return false;
  size_t text_left = TextLength(text);
  size_t suffix_left = TextLength(suffix);
  while (suffix_left > 0) {
    if (text_left == 0) return false;
    --text_left;
    --suffix_left;
    if (FoldAscii(text[text_left]) != FoldAscii(suffix[suffix_left])) {
      return false;
    }
  }
  return true;
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (size_t i = 0; prefix[i] != 0; ++i) {
    // A shorter text differs at its terminator, so the scan stops there.
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle) {
  if (needle == nullptr || needle[0] == 0) return haystack;
  for (const wchar_t* start = haystack; *start != 0; ++start) {
    size_t i = 0;
    while (needle[i] != 0 && start[i] != 0 &&
           FoldAscii(start[i]) == FoldAscii(needle[i])) {
      ++i;
    }
    if (needle[i] == 0) return start;
  }
  return nullptr;
}

const wchar_t* NameFromPath(const wchar_t* path, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (path[i - 1] == L'\\') return path + i;
  }
  return path;
}

wchar_t* NameFromPath(wchar_t* path, size_t length) {
  return const_cast<wchar_t*>(
      NameFromPath(static_cast<const wchar_t*>(path), length));
}

void* FillBytes(void* target, int value, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(target);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value);
  return target;
}

bool StartsWithDriveRoot(const wchar_t* path) {
  const wchar_t drive = FoldAscii(path[0]);
  return drive >= L'a' && drive <= L'z' && path[1] == L':' && path[2] == L'\\';
}
