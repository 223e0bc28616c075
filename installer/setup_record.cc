#include "setup_record.h"

#include "wide_buf.h"

namespace {

uint64_t LoadLittleEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void StoreLittleEndian(unsigned char* bytes, uint64_t value, int count) {
  for (int i = 0; i < count; ++i) {
    bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace

ContentDigest ReadSetupRecord(HMODULE module) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kSetupRecordId),
                              MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (found == nullptr) return UnknownContent(ERROR_RESOURCE_NAME_NOT_FOUND);
  HGLOBAL loaded = LoadResource(module, found);
  const DWORD size = SizeofResource(module, found);
  const unsigned char* bytes =
      loaded == nullptr
          ? nullptr
          : static_cast<const unsigned char*>(LockResource(loaded));
  // Another format is one this run cannot read: refused, never guessed at.
  if (bytes == nullptr || size != kSetupRecordSize ||
      LoadLittleEndian(bytes, 4) != kSetupRecordFormat ||
      LoadLittleEndian(bytes + 4, 4) != 0) {
    return UnknownContent(ERROR_INVALID_DATA);
  }
  ContentDigest recorded = UnknownContent(0);
  recorded.known = true;
  recorded.has_sha256 = true;
  recorded.size = LoadLittleEndian(bytes + 8, 8);
  for (unsigned i = 0; i < kSha256Size; ++i) recorded.sha256[i] = bytes[16 + i];
  return recorded;
}

void MakeSetupRecord(const ContentDigest& program,
                     unsigned char (&record)[kSetupRecordSize]) {
  StoreLittleEndian(record, kSetupRecordFormat, 4);
  StoreLittleEndian(record + 4, 0, 4);
  StoreLittleEndian(record + 8, program.size, 8);
  for (unsigned i = 0; i < kSha256Size; ++i) record[16 + i] = program.sha256[i];
}
