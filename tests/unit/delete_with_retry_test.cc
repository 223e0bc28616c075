#include "delete_with_retry.h"

#include "clear_directory.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

// A work directory as a setup program leaves it, still held: the payload,
// a log, a read-only file, and a folder of its own with a subfolder.
struct LeftWorkDirectory {
  ScratchDir dir;
  WorkDirectory work;
  std::wstring path;
  LeftWorkDirectory() {
    ExitResult status = MakeExitResult(1, 1);
    CreateWorkDirectory((dir.path() + L"\\").c_str(), &work, &status);
    path = work.path.get();
    for (const wchar_t* name :
         {L"KORVEN.PACKED.7Z", L"setup.exe", L"setup.log", L"unpacked\\a.dll",
          L"unpacked\\deeper\\b.dat", L"unpacked\\deeper\\ro.txt"}) {
      const std::wstring file = path + name;
      CreateDirectoryW(file.substr(0, file.rfind(L'\\')).c_str(), nullptr);
      WriteFileBytes(file, "x");
    }
    CreateDirectoryW((path + L"unpacked\\empty").c_str(), nullptr);
    SetFileAttributesW((path + L"unpacked\\deeper\\ro.txt").c_str(),
                       FILE_ATTRIBUTE_READONLY);
  }
};

TEST(DeleteExtractedFiles, TheWholeTreeGoesAtOnceAndTheMaximumOnlyRises) {
  for (int32_t before : {0, 42}) {
    LeftWorkDirectory left;
    ASSERT_TRUE(Exists(left.path + L"unpacked\\deeper\\ro.txt"));
    int32_t max_attempts = before;
    DeleteExtractedFiles(&left.work, &max_attempts);
    EXPECT_EQ(max_attempts, before == 0 ? 1 : before);
    EXPECT_FALSE(Exists(left.path));
    EXPECT_FALSE(left.work.IsHeld());
  }
}

TEST(DeleteExtractedFiles, ACurrentDirectoryInsideIsWaitedFor) {
  // What a tool the setup program started there keeps for a moment: it
  // does not share deletion, so the directory cannot go before it ends.
  LeftWorkDirectory left;
  wchar_t previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW((left.path + L"unpacked").c_str()));
  std::thread leaver([&previous] {
    Sleep(400);
    SetCurrentDirectoryW(previous);
  });
  int32_t attempts = 0;
  EXPECT_TRUE(DeleteWorkDirectory(&left.work, &attempts));
  leaver.join();
  EXPECT_GT(attempts, 1);
  EXPECT_LT(attempts, kMaxDeleteAttempts);
  EXPECT_FALSE(Exists(left.path));
}

TEST(DeleteExtractedFiles, AFileThatStaysBusyEndsAtOneHundredAndAloneStays) {
  LeftWorkDirectory left;
  const std::wstring stray = left.path + L"unpacked\\deeper\\b.dat";
  HeldFile holder(stray, -1);
  ASSERT_TRUE(holder.held());
  int32_t max_attempts = 0;
  DeleteExtractedFiles(&left.work, &max_attempts);
  EXPECT_EQ(max_attempts, kMaxDeleteAttempts);
  // With the run's marker, for a later run to take the rest back whole.
  EXPECT_EQ(testing_support::ListDirectory(left.path),
            (std::vector<std::wstring>{L"INSTALLER.RUN", L"unpacked"}));
  EXPECT_EQ(testing_support::ListDirectory(left.path + L"unpacked"),
            std::vector<std::wstring>{L"deeper"});
  EXPECT_TRUE(Exists(stray));
}

TEST(DeleteExtractedFiles,
     APassLeavesTheMarkerLastAndGivesUpOnWhatItCannotEnter) {
  LeftWorkDirectory left;
  HeldFile holder(left.path + L"setup.log", -1);
  ASSERT_TRUE(holder.held());
  // Half done, the folder still says whose it is.
  ClearLimits limits = {0, 1000, kRunMarkerName};
  EXPECT_EQ(ClearDirectoryOnce(left.work.handle, &limits),
            DeleteOutcome::kBusy);
  EXPECT_TRUE(Exists(left.path + kRunMarkerName));
  EXPECT_FALSE(Exists(left.path + L"unpacked"));
  holder.Release();

  // Deeper than a pass enters: no pause helps, so none is taken.
  std::wstring deep = left.path + L"unpacked";
  for (int level = 0; level <= kMaxClearDepth; ++level) {
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << level;
    deep += L"\\d";
  }
  int32_t attempts = 0;
  EXPECT_FALSE(DeleteWorkDirectory(&left.work, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_TRUE(Exists(left.path + kRunMarkerName));
}

}  // namespace
