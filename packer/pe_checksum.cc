#include "pe_checksum.h"

#include "bytes.h"

namespace packer {

void ChecksumAdd(PeChecksum* checksum, const uint8_t* data, size_t size) {
  // Finish a word begun by the previous call, a byte at a time.
  while (size > 0 && checksum->length % 4 != 0) {
    checksum->partial |= uint32_t{*data++} << (8 * (checksum->length % 4));
    ++checksum->length;
    --size;
    if (checksum->length % 4 == 0) {
      checksum->sum += checksum->partial;
      checksum->partial = 0;
    }
  }
  // Whole words: a 64-bit sum of 32-bit words cannot overflow below 16 GiB
  // of input, and folding it at the end gives the same 16-bit sum as
  // adding 16-bit words with end-around carry.
  uint64_t sum = 0;
  const size_t words = size / 4;
  for (size_t i = 0; i < words; ++i) sum += Load32(data + 4 * i);
  checksum->sum += sum;
  checksum->length += 4 * words;
  for (size_t i = 4 * words; i < size; ++i) {
    checksum->partial |= uint32_t{data[i]} << (8 * (checksum->length % 4));
    ++checksum->length;
  }
}

uint32_t ChecksumFinish(const PeChecksum& checksum) {
  uint64_t sum = checksum.sum + checksum.partial;
  while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + checksum.length);
}

}  // namespace packer
