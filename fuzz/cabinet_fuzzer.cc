// The cabinet as verify and inspect read it: what a reading yields never
// exceeds the file it states, a whole reading yields all of it, and verify
// finds a cabinet equal to its own content only when it reads whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cabinet.h"
#include "fuzz_check.h"
#include "packer_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace packer;
  const InputFile cabinet = MemoryFile(data, size);
  Bytes content;
  CabinetReading reading;
  const Status status = ReadCabinet(
      cabinet, 0, size,
      [&content](const uint8_t* part, size_t count) {
        content.insert(content.end(), part, part + count);
        return content.size() <= (8 << 20);
      },
      &reading);
  FUZZ_CHECK(status.ok());
  FUZZ_CHECK(content.size() <= reading.file_size);
  if (!reading.problem.empty() || reading.stopped) return 0;
  FUZZ_CHECK(content.size() == reading.file_size);
  const InputFile expected = MemoryFile(content.data(), content.size());
  std::string difference;
  FUZZ_CHECK(CabinetHolds(cabinet, 0, size, expected, &difference).ok());
  if (difference.empty()) FUZZ_CHECK(reading.unchecked_blocks == 0);
  return 0;
}
