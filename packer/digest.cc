#include "digest.h"

#include <openssl/evp.h>

#include <algorithm>

namespace packer {

struct Sha256Stream::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256Stream::Sha256Stream() : state_(new State) {
  // A context that cannot start gives no digest; Finish then returns the
  // digest of nothing, which matches no program of any size checked.
  if (state_->context != nullptr)
    EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Add(const uint8_t* data, size_t size) {
  if (state_->context != nullptr) EVP_DigestUpdate(state_->context, data, size);
}

Bytes Sha256Stream::Finish() {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (state_->context == nullptr ||
      EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1) {
    return Bytes();
  }
  digest.resize(length);
  return digest;
}

std::string HexOf(const Bytes& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

Status Sha256Of(const InputFile& input, uint64_t offset, uint64_t size,
                std::string* hex) {
  Sha256Stream stream;
  Bytes chunk(static_cast<size_t>(std::min<uint64_t>(size, kChunk)));
  while (size > 0) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    Status status = ReadAt(input, offset, chunk.data(), part);
    if (!status.ok()) return status;
    stream.Add(chunk.data(), part);
    offset += part;
    size -= part;
  }
  *hex = HexOf(stream.Finish());
  return Ok();
}

}  // namespace packer
