// What holding the setup program keeps others from doing, what it refuses,
// and that a held program can still be started.
#include "held_program.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "run_process.h"
#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using namespace testing_support;

class HeldProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_ / L"setup.exe";
    ASSERT_TRUE(CopyFileW(PathFromEnvironment("EXIT_WITH_EXE").c_str(),
                          program_.c_str(), FALSE));
    written_ = FileIdentityAt(program_.c_str());
    ASSERT_TRUE(written_.known);
  }
  // Holds path; on failure the last error, else 0.
  DWORD Hold(const std::wstring& path, const FileIdentity& written,
             HeldProgram* held) {
    SafeCopy(held->path.get(), kPathCapacity, path.c_str());
    return held->Hold(written) ? 0 : GetLastError();
  }
  ScratchDir dir_{L"held"};
  std::wstring program_;
  FileIdentity written_;
};

TEST_F(HeldProgramTest, HeldProgramRunsButNoNameOfItCanChangeIt) {
  // A second name of the file, as a patch run may make, is the same file.
  const std::wstring other = dir_ / L"other-name.exe";
  ASSERT_TRUE(CreateHardLinkW(other.c_str(), program_.c_str(), nullptr));
  HeldProgram held;
  ASSERT_EQ(Hold(program_, written_, &held), 0u);
  for (const std::wstring& name : {program_, other}) {
    HANDLE writer =
        CreateFileW(name.c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << Narrow(name);
    EXPECT_FALSE(DeleteFileW(name.c_str()));
    EXPECT_FALSE(MoveFileW(name.c_str(), (dir_ / L"moved.exe").c_str()));
  }

  CmdBuf command_line;
  SafeCopy(command_line.get(), kCmdCapacity,
           (L"\"" + program_ + L"\" 42").c_str());
  const ExitResult result =
      RunProcessAndWait(held.path.get(), command_line.get(), 1, 2, 3);
  EXPECT_EQ(result.exit_code, 42u);

  held.Release();
  EXPECT_EQ(held.handle, INVALID_HANDLE_VALUE);
  held.Release();  // harmless once released
  EXPECT_TRUE(DeleteFileW(program_.c_str()));
}

TEST_F(HeldProgramTest, WhatIsNotTheWrittenPlainFileIsRefused) {
  const std::wstring folder = dir_ / L"folder.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring replaced = dir_ / L"replaced.exe";
  ASSERT_TRUE(WriteFileBytes(replaced, "MZ, but not the file written"));
  const struct {
    std::wstring path;
    FileIdentity written;
    DWORD error;
  } cases[] = {
      {dir_ / L"absent.exe", UnknownFileIdentity(), ERROR_FILE_NOT_FOUND},
      // A directory cannot even be opened as a program file.
      {folder, UnknownFileIdentity(), ERROR_ACCESS_DENIED},
      {replaced, written_, ERROR_FILE_INVALID},
      {replaced, UnknownFileIdentity(), 0},
      {program_, written_, 0},
  };
  for (const auto& c : cases) {
    HeldProgram held;
    EXPECT_EQ(Hold(c.path, c.written, &held), c.error) << Narrow(c.path);
    EXPECT_EQ(held.handle != INVALID_HANDLE_VALUE, c.error == 0);
  }
}

TEST_F(HeldProgramTest, SomeoneStillWritingIsWaitedFor) {
  HANDLE writer = CreateFileW(program_.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  std::thread closer([writer] {
    Sleep(500);
    CloseHandle(writer);
  });
  const DWORD start = GetTickCount();
  HeldProgram held;
  EXPECT_EQ(Hold(program_, written_, &held), 0u);
  EXPECT_GE(GetTickCount() - start, 400u) << "held while still written";
  closer.join();
}

}  // namespace
