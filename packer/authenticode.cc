#include "authenticode.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "text.h"

namespace packer {
namespace {

constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kPkcsSignedData = 2;
// Larger than any signature with its certificate chain and countersignatures.
constexpr uint32_t kLargestSignature = 16 << 20;
constexpr char kIndirectData[] = "1.3.6.1.4.1.311.2.1.4";

// The digest an Authenticode signature carries: the second element of
// the signed content (SpcIndirectDataContent), a DigestInfo.
bool SignedDigest(const Bytes& certificate, std::string* algorithm,
                  Bytes* digest, const EVP_MD** md) {
  const unsigned char* at = certificate.data();
  const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> pkcs7(
      d2i_PKCS7(nullptr, &at, static_cast<long>(certificate.size())),
      PKCS7_free);
  if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) return false;
  const PKCS7* contents = pkcs7->d.sign->contents;
  char type[64] = {};
  if (contents == nullptr || contents->type == nullptr ||
      OBJ_obj2txt(type, sizeof type, contents->type, 1) <= 0 ||
      std::string(type) != kIndirectData || contents->d.other == nullptr ||
      contents->d.other->type != V_ASN1_SEQUENCE) {
    return false;
  }
  const ASN1_STRING* encoded = contents->d.other->value.sequence;
  const unsigned char* cursor = ASN1_STRING_get0_data(encoded);
  const unsigned char* end = cursor + ASN1_STRING_length(encoded);
  long length = 0;
  int tag = 0, tag_class = 0;
  // Into the SEQUENCE, then over its first element.
  for (int step = 0; step < 2; ++step) {
    if ((ASN1_get_object(&cursor, &length, &tag, &tag_class, end - cursor) &
         0x80) != 0 ||
        length > end - cursor)
      return false;
    if (step == 1) cursor += length;
  }
  const std::unique_ptr<X509_SIG, decltype(&X509_SIG_free)> info(
      d2i_X509_SIG(nullptr, &cursor, end - cursor), X509_SIG_free);
  if (!info) return false;
  const X509_ALGOR* digest_algorithm = nullptr;
  const ASN1_OCTET_STRING* value = nullptr;
  X509_SIG_get0(info.get(), &digest_algorithm, &value);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, digest_algorithm);
  const int nid = OBJ_obj2nid(object);
  *md = EVP_get_digestbynid(nid);
  *algorithm = nid == NID_undef ? "an unknown algorithm" : OBJ_nid2sn(nid);
  const unsigned char* bytes = ASN1_STRING_get0_data(value);
  digest->assign(bytes, bytes + ASN1_STRING_length(value));
  return true;
}

// The file up to the signature, without the checksum field and the
// security directory's entry: what Authenticode hashes.
Status FileDigest(const InputFile& input, const PeImage& image,
                  uint64_t signature_at, const EVP_MD* md, Bytes* digest) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(
      EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
    return Failed("the signature's digest cannot be computed");
  const uint64_t checksum_at = image.optional_at + kChecksumField;
  const uint64_t entry_at = image.directories_at + 8 * kSecurityDirectory;
  const uint64_t ranges[3][2] = {{0, checksum_at},
                                 {checksum_at + 4, entry_at},
                                 {entry_at + 8, signature_at}};
  Bytes chunk(kChunk);
  for (const auto& range : ranges) {
    for (uint64_t at = range[0]; at < range[1]; at += chunk.size()) {
      const size_t part =
          static_cast<size_t>(std::min<uint64_t>(range[1] - at, chunk.size()));
      Status status = ReadAt(input, at, chunk.data(), part);
      if (!status.ok()) return status;
      EVP_DigestUpdate(context.get(), chunk.data(), part);
    }
  }
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), value, &length);
  digest->assign(value, value + length);
  return Ok();
}

}  // namespace

Status CheckSignature(const InputFile& input, const PeImage& image,
                      SignatureCheck* check) {
  *check = SignatureCheck();
  if (image.directories.size() <= kSecurityDirectory) return Ok();
  const DataDirectory& directory = image.directories[kSecurityDirectory];
  check->offset = directory.address;
  check->size = directory.size;
  if (directory.size == 0) return Ok();
  check->state = SignatureCheck::kDamaged;
  const uint64_t end = check->offset + check->size;
  if (check->offset < image.end_of_sections || check->offset % 8 != 0) {
    check->problem = "it does not start after the sections, on 8 bytes";
    return Ok();
  }
  if (end > input.size) {
    check->problem = check->offset >= input.size
                         ? "the file ends before it begins"
                         : "the file ends " +
                               std::to_string(input.size - check->offset) +
                               " bytes into it (cut off, or a false size)";
    return Ok();
  }
  if (end < input.size) {
    check->problem = std::to_string(input.size - end) +
                     " bytes follow it, which it does "
                     "not cover";
    return Ok();
  }
  if (check->size < 8 || check->size > kLargestSignature) {
    check->problem = "its size is not that of a signature";
    return Ok();
  }
  Bytes certificate;
  Status status = ReadBytesAt(input, check->offset, check->size, &certificate);
  if (!status.ok()) return status;
  const uint32_t length = Load32(&certificate[0]);
  if (length < 8 || length > check->size ||
      Load16(&certificate[4]) != kRevision2 ||
      Load16(&certificate[6]) != kPkcsSignedData) {
    check->problem = "it is not a PKCS#7 certificate entry";
    return Ok();
  }
  certificate.erase(certificate.begin() + length, certificate.end());
  certificate.erase(certificate.begin(), certificate.begin() + 8);
  Bytes signed_digest, file_digest;
  const EVP_MD* md = nullptr;
  if (!SignedDigest(certificate, &check->algorithm, &signed_digest, &md)) {
    check->problem = "it is not an Authenticode signature";
    return Ok();
  }
  if (md == nullptr) {
    check->problem = "its digest uses " + Printable(check->algorithm);
    return Ok();
  }
  status = FileDigest(input, image, check->offset, md, &file_digest);
  if (!status.ok()) return status;
  check->state = file_digest == signed_digest ? SignatureCheck::kMatches
                                              : SignatureCheck::kDiffers;
  return Ok();
}

}  // namespace packer
