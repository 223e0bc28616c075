// The version block as inspect reads it and as pack stamps it: a block
// that reads is written back to a block that reads the same, and one
// stamped reads back with the stamped version, or is refused for its size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes.h"
#include "fuzz_check.h"
#include "version_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace packer;
  const Bytes block(data, data + size);
  VersionNode root;
  if (!ParseVersionBlock(block, &root)) return 0;
  Bytes written, again;
  FUZZ_CHECK(SerializeVersionBlock(root, &written));
  FUZZ_CHECK(written.size() <= block.size());
  VersionNode reread;
  FUZZ_CHECK(ParseVersionBlock(written, &reread));
  FUZZ_CHECK(SerializeVersionBlock(reread, &again) && again == written);
  VersionNumbers file{}, product{};
  FixedVersions(root, &file, &product);
  VersionStrings(root);

  const VersionNumbers stamp = {118, 0, 5993, 89};
  if (!StampVersion(&root, stamp, "118.0.5993.89")) return 0;
  if (!SerializeVersionBlock(root, &written)) return 0;
  FUZZ_CHECK(written.size() <= 0xFFFF);
  FUZZ_CHECK(ParseVersionBlock(written, &reread));
  FUZZ_CHECK(FixedVersions(reread, &file, &product));
  FUZZ_CHECK(file == stamp && product == stamp);
  for (const VersionString& string : VersionStrings(reread)) {
    if (string.key == u"FileVersion" || string.key == u"ProductVersion")
      FUZZ_CHECK(string.text == u"118.0.5993.89");
  }
  return 0;
}
