#include "digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace packer {

Status Sha256Of(const InputFile& input, uint64_t offset, uint64_t size,
                std::string* hex) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
      EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context ||
      EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return Failed("the SHA-256 digest cannot be started");
  }
  Bytes chunk(static_cast<size_t>(std::min<uint64_t>(size, kChunk)));
  while (size > 0) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    Status status = ReadAt(input, offset, chunk.data(), part);
    if (!status.ok()) return status;
    EVP_DigestUpdate(context.get(), chunk.data(), part);
    offset += part;
    size -= part;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  static const char kDigits[] = "0123456789abcdef";
  hex->clear();
  for (unsigned int i = 0; i < length; ++i) {
    *hex += kDigits[digest[i] >> 4];
    *hex += kDigits[digest[i] & 0xF];
  }
  return Ok();
}

}  // namespace packer
