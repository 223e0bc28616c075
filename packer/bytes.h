// Little-endian fields of the image formats, read from and written into
// byte buffers whose bounds the caller has checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

using Bytes = std::vector<uint8_t>;

inline uint16_t Load16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | at[1] << 8);
}
inline uint32_t Load32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}
inline void Store16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
inline void Store32(uint8_t* at, uint32_t value) {
  Store16(at, value);
  Store16(at + 2, value >> 16);
}
inline void Append16(Bytes* bytes, uint32_t value) {
  bytes->resize(bytes->size() + 2);
  Store16(bytes->data() + bytes->size() - 2, value);
}
inline void Append32(Bytes* bytes, uint32_t value) {
  bytes->resize(bytes->size() + 4);
  Store32(bytes->data() + bytes->size() - 4, value);
}
inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace packer
