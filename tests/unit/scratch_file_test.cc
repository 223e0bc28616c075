#include "scratch_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::Exists;
using testing_support::ListDirectory;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 0x12345678u;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

ResourceBlob BlobOf(const std::string& bytes) {
  return ResourceBlob{bytes.data(), bytes.size()};
}

std::wstring FolderOf(const std::wstring& path) {
  return path.substr(0, path.rfind(L'\\'));
}

// The components work by name inside a folder the caller holds; the tests
// hold the file's folder around the call, which sees the last error the
// test left and leaves its own.
template <typename Call>
bool InFolderOf(const std::wstring& path, Call call) {
  const DWORD before = GetLastError();
  bool done = false;
  DWORD after = 0;
  {
    testing_support::OpenDirectory folder(FolderOf(path));
    SetLastError(before);
    done = call(folder.handle());
    after = GetLastError();
  }
  SetLastError(after);
  return done;
}

bool CreateIn(ScratchFile* file, const std::wstring& path) {
  return InFolderOf(
      path, [&](HANDLE folder) { return file->Create(folder, path.c_str()); });
}

bool Write(const std::string& bytes, const std::wstring& path,
           bool digest = false, WrittenFile* written = nullptr) {
  WrittenFile ignored;
  return InFolderOf(path, [&](HANDLE folder) {
    return WriteResourceToFile(BlobOf(bytes), folder, path.c_str(), digest,
                               written != nullptr ? written : &ignored);
  });
}

// Opens with every share flag so that only the scratch file's own share
// mode can refuse.
DWORD OpenError(const std::wstring& path, DWORD access) {
  HANDLE handle =
      CreateFileW(path.c_str(), access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

TEST(ScratchFile, ClosedFileRefusesEverythingAndClosesTwiceHarmlessly) {
  ScratchFile file;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(file.path.empty());
  file.Close();
  file.Close();
  EXPECT_FALSE(file.MarkDeleteOnClose());
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.IsOpen());
}

TEST(ScratchFile, CloseWithoutMarkKeepsTheFileAndDuplicateWritesToIt) {
  ScratchDir dir;
  const std::wstring path = dir / L"out.bin";
  ScratchFile file;
  ASSERT_TRUE(CreateIn(&file, path));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(std::wstring(file.path.get()), path);

  HANDLE duplicate = file.Duplicate();
  ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
  EXPECT_NE(duplicate, file.Handle());
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(duplicate, "abc", 3, &written, nullptr));
  CloseHandle(duplicate);
  EXPECT_TRUE(file.IsOpen());  // the duplicate was the caller's own

  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(file.path.empty());
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "abc");
}

TEST(ScratchFile, MarkedFileGoesWithTheLastHandle) {
  ScratchDir dir;
  const std::wstring path = dir / L"out.bin";
  ScratchFile file;
  ASSERT_TRUE(CreateIn(&file, path));
  HANDLE duplicate = file.Duplicate();
  ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(file.MarkDeleteOnClose());
  file.Close();
  CloseHandle(duplicate);
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

TEST(ScratchFile, FailedCreateLeavesItClosedAndKeepsTheEarlierFile) {
  ScratchDir dir;
  const std::wstring first = dir / L"first.bin";
  ScratchFile file;
  ASSERT_TRUE(CreateIn(&file, first));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Handle(), "1", 1, &written, nullptr));

  const std::wstring taken = dir / L"taken.bin";
  ASSERT_TRUE(WriteFileBytes(taken, "taken"));
  EXPECT_FALSE(CreateIn(&file, taken));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(file.path.empty());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  // The first file was closed by the second Create, not deleted.
  EXPECT_EQ(ReadFileBytes(first), "1");
  EXPECT_EQ(ReadFileBytes(taken), "taken");
}

TEST(ScratchFile, PathOfMaxPathUnitsFailsWithoutTouchingTheDisk) {
  ScratchDir dir;
  const std::wstring base = dir.path() + L"\\";
  ASSERT_LT(base.size(), 100u);
  // 259 units is the longest path that fits, 260 the shortest that does
  // not.
  const std::wstring fits = base + std::wstring(259 - base.size(), L'a');
  const std::wstring too_long = base + std::wstring(260 - base.size(), L'b');

  ScratchFile file;
  SetLastError(0xBEEF);
  EXPECT_FALSE(CreateIn(&file, too_long));
  EXPECT_EQ(GetLastError(), 0xBEEFu);  // the copy sets no error of its own
  EXPECT_FALSE(file.IsOpen());
  EXPECT_TRUE(file.path.empty());
  EXPECT_TRUE(ListDirectory(dir.path()).empty());

  const std::string bytes = "x";
  SetLastError(0xBEEF);
  EXPECT_FALSE(Write(bytes, too_long));
  EXPECT_EQ(GetLastError(), 0xBEEFu);
  EXPECT_TRUE(ListDirectory(dir.path()).empty());

  ASSERT_TRUE(CreateIn(&file, fits));
  file.Close();
  EXPECT_TRUE(Exists(fits));
}

TEST(ScratchFile, OthersMayOnlyOpenItForDeletionWhileHeld) {
  ScratchDir dir;
  const std::wstring path = dir / L"out.bin";
  ScratchFile file;
  ASSERT_TRUE(CreateIn(&file, path));
  EXPECT_EQ(OpenError(path, GENERIC_READ),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, DELETE), static_cast<DWORD>(ERROR_SUCCESS));
  file.Close();
  EXPECT_EQ(OpenError(path, GENERIC_READ), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST(WriteResourceToFile, WritesEveryByteAcrossChunkBoundaries) {
  ScratchDir dir;
  for (const size_t size :
       {size_t{0}, size_t{1}, size_t{kMaxWriteChunk},
        size_t{kMaxWriteChunk} + 1, 2 * size_t{kMaxWriteChunk} + 3}) {
    SCOPED_TRACE(size);
    const std::string bytes = Pattern(size);
    const std::wstring path = dir / (L"blob-" + std::to_wstring(size));
    ASSERT_TRUE(Write(bytes, path));
    ASSERT_TRUE(Exists(path));
    const std::string back = ReadFileBytes(path);
    EXPECT_EQ(back.size(), size);
    EXPECT_TRUE(back == bytes);  // not EXPECT_EQ: no 8 MiB diff on failure
  }
}

TEST(WriteResourceToFile, WritesOnlyNewFilesAndClosesThem) {
  ScratchDir dir;
  const std::wstring path = dir / L"archive.7z";
  const std::string bytes = "new";
  ASSERT_TRUE(Write(bytes, path));
  EXPECT_EQ(ReadFileBytes(path), "new");
  // Closed: an exclusive open now succeeds.
  EXPECT_EQ(OpenError(path, GENERIC_READ | GENERIC_WRITE),
            static_cast<DWORD>(ERROR_SUCCESS));

  const std::string empty;
  const std::wstring empty_path = dir / L"empty.bin";
  ASSERT_TRUE(Write(empty, empty_path));
  EXPECT_EQ(ReadFileBytes(empty_path), "");
}

TEST(WriteResourceToFile, WhatIsAlreadyThereIsLeftAloneWithTheOpenError) {
  ScratchDir dir;
  // Not made by this run, held by someone or not.
  const std::wstring path = dir / L"setup.ex_";
  ASSERT_TRUE(WriteFileBytes(path, "kept"));
  const std::string bytes = "replacement";
  EXPECT_FALSE(Write(bytes, path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Write(bytes, path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  CloseHandle(holder);
  EXPECT_EQ(ReadFileBytes(path), "kept");
}

TEST(WriteResourceToFile, SaysWhetherItMadeTheFileAndDigestsWhatItWrote) {
  ScratchDir dir;
  const std::string bytes = Pattern(100003);  // not a whole number of blocks
  WrittenFile written;
  ASSERT_TRUE(Write(bytes, dir / L"setup.exe", true, &written));
  EXPECT_TRUE(written.created);
  ASSERT_TRUE(written.content.known);
  EXPECT_EQ(written.content.size, bytes.size());
  EXPECT_TRUE(
      SameReading(written.content, DigestBytes(bytes.data(), bytes.size())));

  // A name that was there already is not the writer's: not made, and no
  // digest of what another process put there.
  EXPECT_FALSE(Write(bytes, dir / L"setup.exe", true, &written));
  EXPECT_FALSE(written.created);
  EXPECT_FALSE(written.content.known);
  // Unasked, nothing is digested.
  ASSERT_TRUE(Write(bytes, dir / L"archive.7z", false, &written));
  EXPECT_TRUE(written.created);
  EXPECT_FALSE(written.content.known);
}

// The small tmpfs that CTest mounts before this test (see the scratch-file
// section of tests/CMakeLists.txt); skipped when it is not there.
class SmallVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::PathFromEnvironment("SMALL_VOLUME_DIR");
    if (dir_.empty()) {
      GTEST_SKIP() << "SMALL_VOLUME_DIR is not set (CTest mounts that "
                      "volume on the build machine)";
    }
    ULARGE_INTEGER available, total, free;
    if (!GetDiskFreeSpaceExW((dir_ + L"\\").c_str(), &available, &total,
                             &free) ||
        total.QuadPart > 16u << 20) {
      GTEST_SKIP() << "no small tmpfs mounted at "
                   << testing_support::Narrow(dir_)
                   << " (mounting needs root on the host)";
    }
    total_ = total.QuadPart;
    for (const std::wstring& name : ListDirectory(dir_)) {
      testing_support::RemoveTree(dir_ + L"\\" + name);
    }
    ASSERT_TRUE(ListDirectory(dir_).empty());
  }
  void TearDown() override {
    if (dir_.empty()) return;
    for (const std::wstring& name : ListDirectory(dir_)) {
      testing_support::RemoveTree(dir_ + L"\\" + name);
    }
  }
  uint64_t Available() const {
    ULARGE_INTEGER available, total, free;
    GetDiskFreeSpaceExW((dir_ + L"\\").c_str(), &available, &total, &free);
    return available.QuadPart;
  }

  std::wstring dir_;
  uint64_t total_ = 0;
};

TEST_F(SmallVolume, WriteOnAFullVolumeFailsWithTheWritesErrorAndLeavesNothing) {
  // Fill the volume to the last byte first.
  const std::wstring filler = dir_ + L"\\filler";
  HANDLE handle = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const std::string block(64 * 1024, 'f');
  for (uint64_t done = 0; done <= total_;) {
    DWORD written = 0;
    if (!WriteFile(handle, block.data(), static_cast<DWORD>(block.size()),
                   &written, nullptr) ||
        written == 0) {
      break;
    }
    done += written;
  }
  CloseHandle(handle);
  ASSERT_EQ(Available(), 0u);

  const std::wstring path = dir_ + L"\\archive.7z";
  const std::string bytes = Pattern(4096);
  SetLastError(0);
  EXPECT_FALSE(Write(bytes, path));
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
      << "last error " << error;
  EXPECT_FALSE(Exists(path));
}

TEST_F(SmallVolume, WriteLargerThanTheVolumeFailsAndGivesTheSpaceBack) {
  // Wine reports a write that runs out of room part-way as a success that
  // stored fewer bytes; Windows fails it with ERROR_DISK_FULL. Either way
  // the writer must fail and leave nothing behind.
  const uint64_t before = Available();
  ASSERT_GT(before, 0u);
  const std::wstring path = dir_ + L"\\archive.7z";
  const std::string bytes = Pattern(static_cast<size_t>(total_) * 3);
  SetLastError(0);
  EXPECT_FALSE(Write(bytes, path));
  const DWORD error = GetLastError();
  EXPECT_TRUE(error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
              error == ERROR_WRITE_FAULT)
      << "last error " << error;
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(Available(), before);
}

}  // namespace
