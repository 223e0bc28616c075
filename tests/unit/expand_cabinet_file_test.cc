#include "expand_cabinet_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using testing_support::Exists;
using testing_support::ListDirectory;
using testing_support::PathFromEnvironment;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

std::wstring Fixture(const wchar_t* name) {
  return PathFromEnvironment("CABINET_FIXTURES") + L"\\" + name;
}

std::string FixtureBytes(const wchar_t* name) {
  const std::string bytes = ReadFileBytes(Fixture(name));
  EXPECT_FALSE(bytes.empty()) << "missing fixture";
  return bytes;
}

uint16_t Le16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes.at(at)) |
                               static_cast<unsigned char>(bytes.at(at + 1))
                                   << 8);
}

uint32_t Le32(const std::string& bytes, size_t at) {
  return Le16(bytes, at) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16;
}

// Where the cabinet format keeps the first file's entry and the first data
// block (a cabinet without reserved areas, as gcab writes them).
size_t FirstFileEntry(const std::string& cabinet) { return Le32(cabinet, 16); }
size_t FirstDataBlock(const std::string& cabinet) { return Le32(cabinet, 36); }
constexpr size_t kEntryDate = 10;
constexpr size_t kEntryTime = 12;
constexpr size_t kEntryAttributes = 14;

// Expands inside the folder the run holds, as the run does.
bool ExpandIn(const std::wstring& folder, const std::wstring& cabinet,
              const std::wstring& target, bool digest = false,
              WrittenFile* written = nullptr) {
  testing_support::OpenDirectory held(folder);
  WrittenFile ignored;
  return ExpandCabinetFile(held.handle(), cabinet.c_str(), target.c_str(),
                           digest, written != nullptr ? written : &ignored);
}

// A cabinet alone in a directory of its own, so that anything written
// besides the target shows up.
struct Layout {
  ScratchDir root{L"cab"};
  std::wstring cabinet = root / L"SETUP.EX_";
  std::wstring target = root / L"setup.exe";

  explicit Layout(const std::string& cabinet_bytes) {
    EXPECT_TRUE(WriteFileBytes(cabinet, cabinet_bytes));
  }
  bool Expand(bool digest = false, WrittenFile* written = nullptr) {
    return ExpandIn(root.path(), cabinet, target, digest, written);
  }
  std::vector<std::wstring> Files() const { return ListDirectory(root.path()); }
};

const std::vector<std::wstring> kCabinetAndTarget = {L"SETUP.EX_",
                                                     L"setup.exe"};
const std::vector<std::wstring> kJustCabinet = {L"SETUP.EX_"};

TEST(ExpandCabinetFile, OneFileBecomesANewTargetWithItsWholeContent) {
  const std::string expected = FixtureBytes(L"setup.exe");
  ASSERT_GT(expected.size(), 65536u) << "should span several data blocks";
  Layout layout(FixtureBytes(L"one.cab"));
  WrittenFile written;
  // A target that is already there was not made by the run: left alone.
  ASSERT_TRUE(WriteFileBytes(layout.target, std::string(200000, 'x')));
  EXPECT_FALSE(layout.Expand(true, &written));
  EXPECT_FALSE(written.created);
  EXPECT_EQ(ReadFileBytes(layout.target), std::string(200000, 'x'));
  ASSERT_TRUE(DeleteFileW(layout.target.c_str()));

  ASSERT_TRUE(layout.Expand(true, &written));
  EXPECT_TRUE(written.created);
  EXPECT_EQ(ReadFileBytes(layout.target), expected);
  EXPECT_EQ(layout.Files(), kCabinetAndTarget);
  // The digest is of the bytes the library wrote.
  ASSERT_TRUE(written.content.known);
  EXPECT_TRUE(SameReading(written.content,
                          DigestBytes(expected.data(), expected.size())));
  // gcab stores the archive bit only: nothing read-only or hidden appears.
  const DWORD attributes = GetFileAttributesW(layout.target.c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                          FILE_ATTRIBUTE_SYSTEM),
            0u);
}

// Whatever the library does after the first file is closed (go on to the
// next file or stop), the finished first file must stay as it is.
TEST(ExpandCabinetFile, TwoFilesWriteOnlyTheFirstAndKeepIt) {
  Layout layout(FixtureBytes(L"two.cab"));
  ASSERT_TRUE(layout.Expand());
  EXPECT_EQ(ReadFileBytes(layout.target), FixtureBytes(L"setup.exe"));
  EXPECT_EQ(layout.Files(), kCabinetAndTarget);
}

TEST(ExpandCabinetFile, StoredNameIsIgnored) {
  Layout layout(FixtureBytes(L"other_name.cab"));
  ASSERT_TRUE(layout.Expand());
  EXPECT_EQ(ReadFileBytes(layout.target), FixtureBytes(L"notes.dat"));
  EXPECT_EQ(layout.Files(), kCabinetAndTarget);
}

// gcab always stores the archive bit alone, so the read-only bit is patched
// into the file entry (which carries no checksum). The bits beyond the four
// file attributes (here "execute" and "UTF-8 name") must not get through.
TEST(ExpandCabinetFile, StoredReadOnlyAttributeReachesTheTarget) {
  std::string cabinet = FixtureBytes(L"one.cab");
  const size_t at = FirstFileEntry(cabinet) + kEntryAttributes;
  cabinet.at(at) = static_cast<char>(0x20 | 0x01 | 0x40 | 0x80);
  cabinet.at(at + 1) = 0;
  Layout layout(cabinet);
  ASSERT_TRUE(layout.Expand());
  EXPECT_EQ(ReadFileBytes(layout.target), FixtureBytes(L"setup.exe"));
  const DWORD attributes = GetFileAttributesW(layout.target.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// Wine on a Unix file system reports a creation time made up from the
// other times and drops one that is set, so the comparison below means
// something only where a set creation time comes back.
bool KeepsCreationTimes(const std::wstring& directory) {
  const std::wstring probe = directory + L"\\creation-probe";
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const FILETIME wanted = {0x5A3C0000u, 0x01BF53EBu};  // in the year 2000
  FILETIME read = {0, 0};
  const bool kept = SetFileTime(file, &wanted, nullptr, nullptr) &&
                    GetFileTime(file, &read, nullptr, nullptr) &&
                    CompareFileTime(&read, &wanted) == 0;
  CloseHandle(file);
  DeleteFileW(probe.c_str());
  return kept;
}

TEST(ExpandCabinetFile, CreationTimeIsTheStoredLocalDateAndTime) {
  const std::string cabinet = FixtureBytes(L"one.cab");
  const size_t entry = FirstFileEntry(cabinet);
  const uint16_t date = Le16(cabinet, entry + kEntryDate);
  const uint16_t time = Le16(cabinet, entry + kEntryTime);
  // The fixture's inputs were dated 2019-06-15 13:45:30 before packing.
  EXPECT_EQ(date, (2019 - 1980) << 9 | 6 << 5 | 15);
  EXPECT_EQ(time, 13 << 11 | 45 << 5 | 30 / 2);
  FILETIME local;
  FILETIME expected;
  ASSERT_TRUE(DosDateTimeToFileTime(date, time, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &expected));

  Layout layout(cabinet);
  ASSERT_TRUE(layout.Expand());
  if (!KeepsCreationTimes(layout.root.path())) {
    GTEST_SKIP() << "this file system keeps no creation time of its own";
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(layout.target.c_str(), GetFileExInfoStandard,
                                   &data));
  EXPECT_EQ(data.ftCreationTime.dwLowDateTime, expected.dwLowDateTime);
  EXPECT_EQ(data.ftCreationTime.dwHighDateTime, expected.dwHighDateTime);
  // The last-write time is the time of expansion, not the stored one.
  EXPECT_GT(CompareFileTime(&data.ftLastWriteTime, &expected), 0);
}

TEST(ExpandCabinetFile, BrokenCabinetsLeaveNoTarget) {
  const std::string good = FixtureBytes(L"one.cab");
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"truncated in its data", good.substr(0, good.size() / 2)});
  cases.push_back({"truncated in its header", good.substr(0, 20)});
  cases.push_back({"empty", std::string()});
  std::string bad_signature = good;
  bad_signature[0] = 'X';
  cases.push_back({"bad signature", bad_signature});
  // The first deflate block header of the first data block (after its
  // 8-byte header and the "CK" marker) set to the reserved block type.
  std::string bad_data = good;
  bad_data.at(FirstDataBlock(good) + 8 + 2) = 0x07;
  cases.push_back({"reserved deflate block type", bad_data});
  std::string flipped = good;
  flipped.at(FirstDataBlock(good) + 8 + 2000) ^= 0x5A;
  cases.push_back({"flipped byte", flipped});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Layout layout(c.bytes);
    EXPECT_FALSE(layout.Expand());
    EXPECT_FALSE(Exists(layout.target));
    EXPECT_EQ(layout.Files(), kJustCabinet);
  }
}

TEST(ExpandCabinetFile, UnusablePathsFailWithoutWriting) {
  Layout layout(FixtureBytes(L"one.cab"));
  const std::wstring folder = layout.root.path();
  const std::wstring target = layout.target;

  // No backslash after the first character: nothing to split off.
  const std::wstring forward_slashes = L"Z:/tmp/SETUP.EX_";
  for (const std::wstring& cabinet :
       {std::wstring(L"SETUP.EX_"), std::wstring(L"\\SETUP.EX_"),
        std::wstring(L"\\"), std::wstring(), forward_slashes}) {
    SCOPED_TRACE(testing_support::Narrow(cabinet));
    EXPECT_FALSE(ExpandIn(folder, cabinet, target));
  }
  // A cabinet that is not there.
  EXPECT_FALSE(ExpandIn(folder, folder + L"\\none.cab", target));
  EXPECT_EQ(layout.Files(), kJustCabinet);

  // 259 units is the longest target that fits; 260 does not.
  const std::wstring prefix = folder + L"\\";
  ASSERT_LT(prefix.size(), 259u - 8);
  const std::wstring longest = prefix + std::wstring(259 - prefix.size(), 'a');
  const std::wstring too_long = prefix + std::wstring(260 - prefix.size(), 'b');
  const std::wstring far_too_long =
      prefix + std::wstring(300 - prefix.size(), 'c');
  EXPECT_FALSE(ExpandIn(folder, layout.cabinet, too_long));
  EXPECT_FALSE(ExpandIn(folder, layout.cabinet, far_too_long));
  EXPECT_EQ(layout.Files(), kJustCabinet);
  EXPECT_TRUE(ExpandIn(folder, layout.cabinet, longest));
  EXPECT_EQ(ReadFileBytes(longest), FixtureBytes(L"setup.exe"));
}

TEST(ExpandCabinetFile, LibraryIsLoadedOnceAndKept) {
  Layout first(FixtureBytes(L"one.cab"));
  ASSERT_TRUE(first.Expand());
  EXPECT_EQ(CabinetLibraryLoadCount(), 1);
  EXPECT_NE(GetModuleHandleW(L"cabinet.dll"), nullptr);
  Layout second(FixtureBytes(L"two.cab"));
  ASSERT_TRUE(second.Expand());
  EXPECT_EQ(CabinetLibraryLoadCount(), 1);
}

}  // namespace
