#include "cabinet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

// The date and time fields of a DOS directory entry for SECONDS, read as
// UTC: gcab runs with TZ=UTC.
void DosTime(time_t seconds, uint16_t* date, uint16_t* time) {
  struct tm parts;
  gmtime_r(&seconds, &parts);
  *date = static_cast<uint16_t>((parts.tm_year - 80) << 9 |
                                (parts.tm_mon + 1) << 5 | parts.tm_mday);
  *time = static_cast<uint16_t>(parts.tm_hour << 11 | parts.tm_min << 5 |
                                parts.tm_sec / 2);
}

// The cabinet format's block checksum: the little-endian 32-bit words
// XORed together, the last one to three bytes taken in reverse order; the
// data first, then the block's two size fields.
uint32_t BlockChecksum(const uint8_t* data, size_t size, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= size; i += 4) sum ^= Load32(data + i);
  uint32_t tail = 0;
  for (; i < size; ++i) tail = tail << 8 | data[i];
  return sum ^ tail;
}

struct Inflater {
  z_stream stream{};
  bool ready = false;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

// Header (36 bytes), folder (8), file entry (16) and name: the bytes
// packing writes before the first block, and what each of them is.
constexpr char kFileName[] = "setup.exe";
constexpr size_t kPrefixSize =
    kHeaderSize + kFolderSize + kFileEntrySize + sizeof kFileName;
struct Field {
  size_t end;
  const char* what;
};
constexpr Field kPrefixFields[] = {
    {4, "signature"},
    {8, "reserved field"},
    {12, "size"},
    {16, "reserved field"},
    {20, "file table offset"},
    {24, "reserved field"},
    {26, "format version"},
    {28, "number of folders"},
    {30, "number of files"},
    {32, "flags"},
    {34, "set identifier"},
    {36, "number in its set"},
    {40, "first block offset"},
    {42, "number of blocks"},
    {44, "compression"},
    {48, "file size"},
    {52, "file offset"},
    {54, "file's folder"},
    {56, "file date"},
    {58, "file time"},
    {60, "file attributes"},
    {kPrefixSize, "file name"},
};

Bytes ExpectedPrefix(uint64_t cabinet_size, uint32_t file_size) {
  Bytes prefix(kPrefixSize, 0);
  uint8_t* at = prefix.data();
  std::memcpy(at, "MSCF", 4);
  Store32(at + 8, static_cast<uint32_t>(cabinet_size));
  Store32(at + 16, kHeaderSize + kFolderSize);
  Store16(at + 24, 0x0103);  // version 1.3
  Store16(at + 26, 1);       // one folder
  Store16(at + 28, 1);       // one file
  Store32(at + 36, kPrefixSize);
  Store16(at + 40, (file_size + kBlockSize - 1) / kBlockSize);
  Store16(at + 42, 1);  // MSZIP
  Store32(at + 44, file_size);
  uint16_t date = 0, time = 0;
  DosTime(CabinetTime(), &date, &time);
  Store16(at + 54, date);
  Store16(at + 56, time);
  Store16(at + 58, 0x20);  // gcab's attributes: "archive"
  std::memcpy(at + 60, kFileName, sizeof kFileName);
  return prefix;
}

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

Status ReadCabinet(const InputFile& image, uint64_t offset, uint64_t size,
                   const CabinetSink& sink, CabinetReading* reading) {
  *reading = CabinetReading();
  const auto damaged = [reading](const std::string& why) {
    reading->problem = why;
    return Ok();
  };
  if (size < kHeaderSize + kFolderSize + kFileEntrySize)
    return damaged("it is too short to be a cabinet");
  Bytes header;
  Status status =
      ReadBytesAt(image, offset, kHeaderSize + kFolderSize, &header);
  if (!status.ok()) return status;
  if (std::memcmp(header.data(), "MSCF", 4) != 0)
    return damaged("it is not a cabinet");
  if (Load32(&header[8]) != size)
    return damaged("its stated size is not the resource's size");
  if (Load16(&header[26]) != 1 || Load16(&header[28]) != 1 ||
      Load16(&header[30]) != 0) {
    return damaged(
        "it is not one folder with one file, without reserved fields or "
        "other cabinets");
  }
  if ((Load16(&header[kHeaderSize + 6]) & 0xF) != 1)
    return damaged("it is not MSZIP-compressed");
  const uint32_t files_at = Load32(&header[16]);
  if (uint64_t{files_at} + kFileEntrySize > size)
    return damaged("its file entry lies outside it");
  Bytes entry;
  status = ReadBytesAt(image, offset + files_at, kFileEntrySize, &entry);
  if (!status.ok()) return status;
  reading->file_size = Load32(&entry[0]);
  if (Load32(&entry[4]) != 0 || Load16(&entry[8]) != 0)
    return damaged("its file does not start its folder");

  Inflater inflater;
  if (inflateInit2(&inflater.stream, -MAX_WBITS) != Z_OK)
    return Failed("zlib cannot start inflating");
  inflater.ready = true;
  uint64_t block_at = Load32(&header[kHeaderSize]);
  const unsigned blocks = Load16(&header[kHeaderSize + 4]);
  Bytes packed, unpacked(kBlockSize), window;
  uint64_t produced = 0;
  for (unsigned block = 0; block < blocks; ++block) {
    const std::string named = "data block " + std::to_string(block);
    Bytes block_header;
    if (block_at + 8 > size) return damaged(named + " lies outside it");
    status = ReadBytesAt(image, offset + block_at, 8, &block_header);
    if (!status.ok()) return status;
    const size_t packed_size = Load16(&block_header[4]),
                 unpacked_size = Load16(&block_header[6]);
    // The format's largest block: 32 KiB and what incompressible data
    // grows by.
    if (block_at + 8 + packed_size > size || packed_size < 2 ||
        packed_size > kBlockSize + 6144 || unpacked_size > kBlockSize ||
        produced + unpacked_size > reading->file_size) {
      return damaged(named + " is malformed");
    }
    // A short block before the last is not what MSZIP writers make, and
    // cabinet libraries (Wine's, libmspack) keep their window by the
    // block's own positions rather than by the stream: the blocks after
    // it expand to other bytes there than the format's reading gives.
    if (unpacked_size < kBlockSize && block + 1 < blocks) {
      return damaged(named + " holds " + std::to_string(unpacked_size) +
                     " bytes but is not the last: cabinet libraries would "
                     "expand the blocks after it to other bytes");
    }
    status = ReadBytesAt(image, offset + block_at + 8, packed_size, &packed);
    if (!status.ok()) return status;
    const uint32_t stored = Load32(&block_header[0]);
    if (stored == 0) {
      ++reading->unchecked_blocks;
    } else if (stored !=
               BlockChecksum(&block_header[4], 4,
                             BlockChecksum(packed.data(), packed_size, 0))) {
      return damaged(named + " fails its checksum");
    }
    if (packed[0] != 'C' || packed[1] != 'K')
      return damaged(named + " is not MSZIP");
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
      return damaged(named + " does not inflate to its stated size");
    }
    if (inflater.stream.avail_in != 0) {
      return damaged(named + " carries " +
                     std::to_string(inflater.stream.avail_in) +
                     " bytes after its deflate stream");
    }
    if (!sink(unpacked.data(), unpacked_size)) {
      reading->stopped = true;
      return Ok();
    }
    window.insert(window.end(), unpacked.begin(),
                  unpacked.begin() + unpacked_size);
    if (window.size() > kBlockSize)
      window.erase(window.begin(), window.end() - kBlockSize);
    produced += unpacked_size;
    block_at += 8 + packed_size;
  }
  if (produced != reading->file_size)
    return damaged("its data blocks hold less than its file");
  if (block_at != size)
    return damaged("it carries " + std::to_string(size - block_at) +
                   " bytes after its last data block");
  return Ok();
}

Status CabinetHolds(const InputFile& image, uint64_t offset, uint64_t size,
                    const InputFile& expected, std::string* difference) {
  difference->clear();
  if (size < kPrefixSize) {
    *difference = "it is too short to be the cabinet packing makes";
    return Ok();
  }
  if (expected.size > 0xFFFFFFFF) {
    *difference = Quoted(expected.path) + " is too large for a cabinet";
    return Ok();
  }
  Bytes prefix;
  Status status = ReadBytesAt(image, offset, kPrefixSize, &prefix);
  if (!status.ok()) return status;
  const Bytes wanted =
      ExpectedPrefix(size, static_cast<uint32_t>(expected.size));
  size_t begin = 0;
  for (const Field& field : kPrefixFields) {
    if (!std::equal(&prefix[begin], &prefix[0] + field.end, &wanted[begin])) {
      *difference = std::string("its cabinet's ") + field.what + " (bytes " +
                    std::to_string(begin) + " to " + std::to_string(field.end) +
                    ") is not what packing writes" +
                    (field.end == 58 || field.end == 56
                         ? " (SOURCE_DATE_EPOCH, or 2000-01-01, in UTC)"
                         : "");
      return Ok();
    }
    begin = field.end;
  }

  Bytes theirs(kBlockSize);
  uint64_t compared = 0;
  CabinetReading reading;
  Status expected_read;
  status = ReadCabinet(
      image, offset, size,
      [&](const uint8_t* data, size_t part) {
        expected_read = ReadAt(expected, compared, theirs.data(), part);
        if (!expected_read.ok()) return false;
        if (std::memcmp(data, theirs.data(), part) != 0) {
          const size_t first = static_cast<size_t>(
              std::mismatch(data, data + part, theirs.begin()).first - data);
          *difference = "its setup.exe differs from " + Quoted(expected.path) +
                        " from byte " + std::to_string(compared + first) +
                        " on";
          return false;
        }
        compared += part;
        return true;
      },
      &reading);
  if (status.ok()) status = expected_read;
  if (!status.ok() || !difference->empty()) return status;
  if (!reading.problem.empty()) {
    *difference = "its cabinet " + reading.problem;
  } else if (reading.unchecked_blocks != 0) {
    *difference = "its cabinet has " +
                  std::to_string(reading.unchecked_blocks) +
                  " data blocks without a checksum; packing writes them all";
  }
  return Ok();
}

}  // namespace packer
