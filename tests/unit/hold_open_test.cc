// What holding the work directory and the setup program keeps others from
// doing, and that a held setup program can still be started.
#include "hold_open.h"

#include <gtest/gtest.h>

#include <string>

#include "run_process.h"
#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using namespace testing_support;

class HoldOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = dir_ / L"work";
    ASSERT_TRUE(CreateDirectoryW(work_.c_str(), nullptr));
    program_ = work_ + L"\\setup.exe";
    ASSERT_TRUE(CopyFileW(PathFromEnvironment("EXIT_WITH_EXE").c_str(),
                          program_.c_str(), FALSE));
  }
  ScratchDir dir_{L"hold"};
  std::wstring work_;
  std::wstring program_;
};

TEST_F(HoldOpenTest, HeldSetupProgramRunsButCannotBeChanged) {
  HANDLE held = HoldSetupProgram(program_.c_str());
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();

  HANDLE writer = CreateFileW(program_.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(program_.c_str()));
  EXPECT_FALSE(MoveFileW(program_.c_str(), (work_ + L"\\moved.exe").c_str()));

  CmdBuf command_line;
  SafeCopy(command_line.get(), kCmdCapacity,
           (L"\"" + program_ + L"\" 42").c_str());
  const ExitResult result =
      RunProcessAndWait(program_.c_str(), command_line.get(), 1, 2, 3);
  EXPECT_EQ(result.exit_code, 42u);
  EXPECT_EQ(result.windows_error, 0u);

  ReleaseHold(&held);
  EXPECT_EQ(held, INVALID_HANDLE_VALUE);
  ReleaseHold(&held);  // harmless once closed
  EXPECT_TRUE(DeleteFileW(program_.c_str()));
}

TEST_F(HoldOpenTest, SetupProgramThatIsNotPlainlyOursIsRefused) {
  // Someone still writing to it.
  HANDLE writer = CreateFileW(program_.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HoldSetupProgram(program_.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(writer);

  // A directory where the program should be.
  const std::wstring folder = work_ + L"\\folder.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(HoldSetupProgram(folder.c_str()), INVALID_HANDLE_VALUE);

  // Absent: the caller turns this into its own not-found code.
  EXPECT_EQ(HoldSetupProgram((work_ + L"\\absent.exe").c_str()),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A second name elsewhere lets its other owner change it.
  const std::wstring other = dir_ / L"other-name.exe";
  if (!CreateHardLinkW(other.c_str(), program_.c_str(), nullptr)) {
    GTEST_SKIP() << "no hard links here (error " << GetLastError() << ")";
  }
  EXPECT_EQ(HoldSetupProgram(program_.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FILE_TYPE));
}

TEST_F(HoldOpenTest, HeldWorkDirectoryStaysWhereItIsButItsFilesMayGo) {
  HANDLE held = HoldWorkDirectory(work_.c_str());
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(MoveFileW(work_.c_str(), (dir_ / L"renamed").c_str()));
  EXPECT_TRUE(DeleteFileW(program_.c_str()));
  ASSERT_TRUE(WriteFileBytes(work_ + L"\\new.txt", "x"));
  EXPECT_TRUE(DeleteFileW((work_ + L"\\new.txt").c_str()));
  EXPECT_FALSE(RemoveDirectoryW(work_.c_str()));
  ReleaseHold(&held);
  EXPECT_TRUE(RemoveDirectoryW(work_.c_str()));

  // A file is not a work directory.
  ASSERT_TRUE(WriteFileBytes(dir_ / L"file", "x"));
  EXPECT_EQ(HoldWorkDirectory((dir_ / L"file").c_str()), INVALID_HANDLE_VALUE);
}

}  // namespace
