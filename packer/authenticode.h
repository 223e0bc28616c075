// The Authenticode signature of an image, checked only for whether the
// digest it carries is the digest of the file as it is now. Neither the
// certificate nor the signer is judged here: `osslsigncode verify` does
// that.
#pragma once

#include <cstdint>
#include <string>

#include "file_io.h"
#include "pe_image.h"
#include "status.h"

namespace packer {

struct SignatureCheck {
  enum State { kNone, kMatches, kDiffers, kDamaged };
  State state = kNone;
  uint64_t offset = 0;    // where the security directory puts it
  uint32_t size = 0;      // what the security directory says
  std::string algorithm;  // the digest's, as the signature names it
  std::string problem;    // what is damaged
};

Status CheckSignature(const InputFile& input, const PeImage& image,
                      SignatureCheck* check);

}  // namespace packer
