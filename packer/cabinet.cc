#include "cabinet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "output_file.h"
#include "run_tool.h"

namespace packer {
namespace {

constexpr size_t kHeaderSize = 36;
constexpr size_t kFolderSize = 8;
constexpr size_t kFileEntrySize = 16;
constexpr size_t kBlockSize = 32768;  // MSZIP's largest block and its window

// The file time stored in the cabinet: SOURCE_DATE_EPOCH when the release
// sets one that a DOS date can hold (1980 on), else 2000-01-01.
time_t CabinetTime() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0' &&
      std::strspn(epoch, "0123456789") == std::strlen(epoch)) {
    const long long seconds = std::atoll(epoch);
    if (seconds >= 315532800) return static_cast<time_t>(seconds);
  }
  return 946684800;
}

struct Inflater {
  z_stream stream{};
  bool ready = false;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

}  // namespace

Status MakeCabinet(const InputFile& setup, StagingDir* staging,
                   std::string* cabinet) {
  // gcab stores the name and the time of the file it is given: a copy
  // called setup.exe with the fixed time.
  OutputFile copy;
  Status status = CreateOutput(staging->PathOf("setup.exe"), &copy);
  if (status.ok()) status = CopyFrom(&copy, setup, 0, setup.size);
  if (status.ok()) status = CloseOutput(&copy);
  if (!status.ok()) return status;
  const struct timespec times[2] = {{CabinetTime(), 0}, {CabinetTime(), 0}};
  if (utimensat(AT_FDCWD, copy.path.c_str(), times, 0) != 0) {
    return OsFailure("setting the time of " + Quoted(copy.path), errno);
  }
  *cabinet = staging->PathOf("SETUP.EX_");
  // TZ=UTC: the stored DOS time is local time to gcab.
  return RunTool({{"gcab", "-c", "-n", "-z", *cabinet, copy.path},
                  {"TZ=UTC"},
                  staging->PathOf("gcab.log"),
                  "gcab"});
}

Status CabinetHolds(const InputFile& image, uint64_t offset, uint64_t size,
                    const InputFile& expected, std::string* difference) {
  difference->clear();
  const auto differs = [difference](const std::string& what) {
    *difference = what;
    return Ok();
  };
  if (size < kHeaderSize + kFolderSize + kFileEntrySize)
    return differs("it is too short to be a cabinet");
  Bytes header;
  Status status =
      ReadBytesAt(image, offset, kHeaderSize + kFolderSize, &header);
  if (!status.ok()) return status;
  if (std::memcmp(header.data(), "MSCF", 4) != 0)
    return differs("it is not a cabinet");
  if (Load32(&header[8]) != size)
    return differs("its stated size is not the resource's size");
  if (Load16(&header[26]) != 1 || Load16(&header[28]) != 1 ||
      Load16(&header[30]) != 0) {
    return differs("it is not one folder with one file and no reserved fields");
  }
  if ((Load16(&header[kHeaderSize + 6]) & 0xF) != 1)
    return differs("it is not MSZIP-compressed");
  const uint32_t files_at = Load32(&header[16]);
  if (uint64_t{files_at} + kFileEntrySize + 10 > size)
    return differs("its file entry lies outside it");
  Bytes entry;
  status = ReadBytesAt(image, offset + files_at, kFileEntrySize + 10, &entry);
  if (!status.ok()) return status;
  if (std::memcmp(&entry[kFileEntrySize], "setup.exe", 10) != 0) {
    return differs("its file is not called setup.exe");
  }
  const uint64_t file_size = Load32(&entry[0]);
  if (Load32(&entry[4]) != 0 || Load16(&entry[8]) != 0)
    return differs("its file does not start its folder");
  if (file_size != expected.size) {
    return differs("its setup.exe is " + std::to_string(file_size) +
                   " bytes, " + Quoted(expected.path) + " is " +
                   std::to_string(expected.size));
  }

  Inflater inflater;
  if (inflateInit2(&inflater.stream, -MAX_WBITS) != Z_OK)
    return Failed("zlib cannot start inflating");
  inflater.ready = true;
  uint64_t block_at = offset + Load32(&header[kHeaderSize]);
  const unsigned blocks = Load16(&header[kHeaderSize + 4]);
  Bytes packed, unpacked(kBlockSize), wanted(kBlockSize), window;
  uint64_t produced = 0;
  for (unsigned block = 0; block < blocks; ++block) {
    Bytes block_header;
    if (block_at + 8 > offset + size)
      return differs("a data block lies outside it");
    status = ReadBytesAt(image, block_at, 8, &block_header);
    const size_t packed_size = Load16(&block_header[4]),
                 unpacked_size = Load16(&block_header[6]);
    if (status.ok() &&
        (block_at + 8 + packed_size > offset + size || packed_size < 2 ||
         unpacked_size > kBlockSize || produced + unpacked_size > file_size)) {
      return differs("data block " + std::to_string(block) + " is malformed");
    }
    if (status.ok())
      status = ReadBytesAt(image, block_at + 8, packed_size, &packed);
    if (!status.ok()) return status;
    if (packed[0] != 'C' || packed[1] != 'K')
      return differs("data block " + std::to_string(block) + " is not MSZIP");
    // Each block is a deflate stream of its own that may refer back into
    // the data of the blocks before it.
    inflateReset(&inflater.stream);
    if (!window.empty())
      inflateSetDictionary(&inflater.stream, window.data(),
                           uInt(window.size()));
    inflater.stream.next_in = packed.data() + 2;
    inflater.stream.avail_in = uInt(packed_size - 2);
    inflater.stream.next_out = unpacked.data();
    inflater.stream.avail_out = uInt(unpacked.size());
    const int result = inflate(&inflater.stream, Z_FINISH);
    if (result != Z_STREAM_END ||
        kBlockSize - inflater.stream.avail_out != unpacked_size) {
      return differs("data block " + std::to_string(block) +
                     " does not inflate to its stated size");
    }
    status = ReadAt(expected, produced, wanted.data(), unpacked_size);
    if (!status.ok()) return status;
    if (std::memcmp(unpacked.data(), wanted.data(), unpacked_size) != 0) {
      return differs("its setup.exe differs from " + Quoted(expected.path) +
                     " in bytes " + std::to_string(produced) + " to " +
                     std::to_string(produced + unpacked_size));
    }
    window.insert(window.end(), unpacked.begin(),
                  unpacked.begin() + unpacked_size);
    if (window.size() > kBlockSize)
      window.erase(window.begin(), window.end() - kBlockSize);
    produced += unpacked_size;
    block_at += 8 + packed_size;
  }
  if (produced != file_size)
    return differs("its data blocks hold less than its setup.exe");
  return Ok();
}

}  // namespace packer
