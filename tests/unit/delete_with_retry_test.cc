#include "delete_with_retry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using testing_support::Exists;
using testing_support::HeldFile;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

// Deletes path by its name inside its folder, held as the run holds its
// work directory, and hands back the attempt count.
bool Delete(const std::wstring& path, int32_t* attempts) {
  *attempts = -7;  // must be overwritten
  const size_t split = path.rfind(L'\\');
  testing_support::OpenDirectory folder(path.substr(0, split));
  return DeleteInDirectory(folder.handle(), path.c_str() + split + 1, attempts);
}

TEST(DeleteWithRetry, AbsentObjectsAreAlreadyGone) {
  ScratchDir dir;
  int32_t attempts = 0;
  EXPECT_TRUE(Delete(dir / L"never-there.bin", &attempts));
  EXPECT_EQ(attempts, 1);
}

TEST(DeleteWithRetry, UnheldFilesAndEmptyDirectoriesGoAtTheFirstAttempt) {
  ScratchDir dir;
  int32_t attempts = 0;

  const std::wstring file = dir / L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(file, "MZ"));
  EXPECT_TRUE(Delete(file, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(Exists(file));

  // The attribute is cleared first; attributes of exactly READONLY must
  // not leave a file that can never go.
  const std::wstring read_only = dir / L"read-only.bin";
  ASSERT_TRUE(WriteFileBytes(read_only, "ro"));
  ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(GetFileAttributesW(read_only.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(Delete(read_only, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(Exists(read_only));

  const std::wstring plain_dir = dir / L"ZK_00A1F.tmp";
  ASSERT_TRUE(CreateDirectoryW(plain_dir.c_str(), nullptr));
  EXPECT_TRUE(Delete(plain_dir, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(Exists(plain_dir));
}

TEST(DeleteWithRetry, OtherErrorsEndAtOnceWithoutAPause) {
  ScratchDir dir;
  int32_t attempts = 0;
  EXPECT_FALSE(Delete(dir / L"bad?name", &attempts));
  EXPECT_EQ(attempts, 1);
}

TEST(DeleteWithRetry, WaitsForAnotherProcessToLetGo) {
  ScratchDir dir;
  const std::wstring file = dir / L"KORVEN.PACKED.7Z";
  ASSERT_TRUE(WriteFileBytes(file, "7z"));
  HeldFile holder(file, 1000);
  ASSERT_TRUE(holder.held());
  int32_t attempts = 0;
  EXPECT_TRUE(Delete(file, &attempts));
  // One attempt plus one per pause; how many pauses depends on the machine.
  EXPECT_GT(attempts, 1);
  EXPECT_LT(attempts, kMaxDeleteAttempts);
  EXPECT_FALSE(Exists(file));
  EXPECT_TRUE(holder.WaitReleased());
}

TEST(DeleteWithRetry, GivesUpAfterNinetyNinePausesOnAnObjectThatStaysBusy) {
  ScratchDir dir;
  const std::wstring file = dir / L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(file, "MZ"));
  HeldFile holder(file, -1);
  ASSERT_TRUE(holder.held());
  int32_t attempts = 0;
  EXPECT_FALSE(Delete(file, &attempts));
  EXPECT_EQ(attempts, kMaxDeleteAttempts);
  EXPECT_TRUE(Exists(file));
  holder.Release();
  EXPECT_TRUE(Delete(file, &attempts));
  EXPECT_FALSE(Exists(file));
}

TEST(DeleteWithRetry, DirectoryIsRetriedUntilItsLastFileGoes) {
  ScratchDir dir;
  const std::wstring work = dir / L"ZK_1B2C3.tmp";
  const std::wstring file = work + L"\\left-over.bin";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(file, "x"));
  std::thread remover([&file] {
    Sleep(400);
    DeleteFileW(file.c_str());
  });
  int32_t attempts = 0;
  const bool deleted = Delete(work, &attempts);
  remover.join();
  EXPECT_TRUE(deleted);
  EXPECT_GT(attempts, 1);
  EXPECT_LT(attempts, kMaxDeleteAttempts);
  EXPECT_FALSE(Exists(work));
}

TEST(DeleteWithRetry, PendingDeletionStillHeldByAnotherIsWaitedForNotSpunOn) {
  // A holder that shares delete access lets the deletion through, but with
  // the classic disposition the object stays until that holder closes.
  // Windows then refuses new opens (access denied); Wine lets them succeed
  // again and again. Either way the routine must pause rather than loop
  // without end. With POSIX semantics (NTFS, Windows 10 1809 and later) the
  // name goes at the first attempt.
  ScratchDir dir;
  const std::wstring file = dir / L"setup.exe";
  ASSERT_TRUE(WriteFileBytes(file, "MZ"));
  HANDLE holder =
      CreateFileW(file.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread closer([holder] {
    Sleep(400);
    CloseHandle(holder);
  });
  int32_t attempts = 0;
  const bool deleted = Delete(file, &attempts);
  closer.join();
  EXPECT_TRUE(deleted);
  EXPECT_GE(attempts, 1);
  EXPECT_LT(attempts, kMaxDeleteAttempts);
  EXPECT_FALSE(Exists(file));
}

TEST(DeleteWithRetry, LinkGoesAndItsTargetStays) {
  ScratchDir dir;
  const std::wstring target_file = dir / L"target.bin";
  const std::wstring target_dir = dir / L"target-dir";
  const std::wstring file_link = dir / L"file-link";
  const std::wstring dir_link = dir / L"dir-link";
  ASSERT_TRUE(WriteFileBytes(target_file, "keep"));
  ASSERT_TRUE(CreateDirectoryW(target_dir.c_str(), nullptr));

  auto make_link = [](const std::wstring& link, const std::wstring& target,
                      DWORD flags) {
    // Unprivileged creation first (developer mode), then the plain call.
    if (!CreateSymbolicLinkW(
            link.c_str(), target.c_str(),
            flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
      CreateSymbolicLinkW(link.c_str(), target.c_str(), flags);
    }
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  if (!make_link(file_link, target_file, 0) ||
      !make_link(dir_link, target_dir, SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    GTEST_SKIP() << "CreateSymbolicLinkW made no link here (Wine 8 only "
                    "pretends to; Windows needs the privilege or developer "
                    "mode)";
  }

  int32_t attempts = 0;
  EXPECT_TRUE(Delete(file_link, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(Delete(dir_link, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(Exists(file_link));
  EXPECT_FALSE(Exists(dir_link));
  EXPECT_EQ(testing_support::ReadFileBytes(target_file), "keep");
  EXPECT_TRUE(Exists(target_dir));
}

// A work directory as the run leaves it, still held.
struct ExtractedFiles {
  ScratchDir dir;
  PathBuf archive;
  PathBuf setup;
  WorkDirectory work;
  ExtractedFiles() {
    ExitResult status = MakeExitResult(1, 1);
    CreateWorkDirectory((dir.path() + L"\\").c_str(), &work, &status);
    const std::wstring work_path = work.path.get();
    WriteFileBytes(work_path + L"KORVEN.PACKED.7Z", "7z");
    WriteFileBytes(work_path + L"setup.exe", "MZ");
    SafeCopy(archive.get(), kPathCapacity,
             (work_path + L"KORVEN.PACKED.7Z").c_str());
    SafeCopy(setup.get(), kPathCapacity, (work_path + L"setup.exe").c_str());
    path = work_path;
  }
  std::wstring path;
};

TEST(DeleteExtractedFiles, FilesGoBeforeTheirDirectoryAndTheMaximumOnlyRises) {
  {
    ExtractedFiles files;
    int32_t max_attempts = 0;
    DeleteExtractedFiles(files.archive.get(), files.setup.get(), &files.work,
                         &max_attempts);
    // Had the directory come first, it would have waited for ever.
    EXPECT_EQ(max_attempts, 1);
    EXPECT_FALSE(Exists(files.path));
  }
  {
    ExtractedFiles files;
    int32_t max_attempts = 42;
    DeleteExtractedFiles(files.archive.get(), files.setup.get(), &files.work,
                         &max_attempts);
    EXPECT_EQ(max_attempts, 42);
    EXPECT_FALSE(Exists(files.path));
  }
}

TEST(DeleteExtractedFiles, EmptyPathsAreSkippedButTheDirectoryIsAlwaysTried) {
  ExtractedFiles files;
  // Nothing extracted: the run had not written the payload yet.
  DeleteFileW(files.archive.get());
  DeleteFileW(files.setup.get());
  PathBuf none;
  int32_t max_attempts = 0;
  DeleteExtractedFiles(none.get(), none.get(), &files.work, &max_attempts);
  EXPECT_EQ(max_attempts, 1);
  EXPECT_FALSE(Exists(files.path));

  // And with the directory gone as well, the count is still taken.
  max_attempts = 0;
  DeleteExtractedFiles(none.get(), none.get(), &files.work, &max_attempts);
  EXPECT_EQ(max_attempts, 1);
}

TEST(DeleteExtractedFiles, DirectoryWithAFileThatStaysBehindEndsAtOneHundred) {
  ExtractedFiles files;
  const std::wstring stray = files.path + L"stray.bin";
  ASSERT_TRUE(WriteFileBytes(stray, "x"));
  HeldFile holder(stray, -1);
  ASSERT_TRUE(holder.held());
  int32_t max_attempts = 0;
  DeleteExtractedFiles(files.archive.get(), files.setup.get(), &files.work,
                       &max_attempts);
  EXPECT_EQ(max_attempts, kMaxDeleteAttempts);
  EXPECT_FALSE(Exists(files.archive.get()));
  EXPECT_FALSE(Exists(files.setup.get()));
  EXPECT_TRUE(Exists(stray));
}

}  // namespace
