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

constexpr DWORD kErrorDataChecksum = 323;  // ERROR_DATA_CHECKSUM_ERROR

ContentDigest DigestOf(const std::string& bytes) {
  return DigestBytes(bytes.data(), bytes.size());
}

class HeldProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_ / L"setup.exe";
    ASSERT_TRUE(CopyFileW(PathFromEnvironment("EXIT_WITH_EXE").c_str(),
                          program_.c_str(), FALSE));
    written_ = ExpectContent(DigestOf(ReadFileBytes(program_)),
                             DigestOf(ReadFileBytes(program_)));
    OpenDirectory folder(dir_.path());
    left_ = ExpectIdentity(FileIdentityIn(folder.handle(), L"setup.exe"),
                           written_.content, written_.written);
    ASSERT_TRUE(left_.identity.known);
  }
  // Holds path inside the test's folder; on failure the last error, else 0.
  DWORD Hold(const std::wstring& path, const ExpectedProgram& expected,
             HeldProgram* held) {
    SafeCopy(held->path.get(), kPathCapacity, path.c_str());
    OpenDirectory folder(dir_.path());
    return held->Hold(folder.handle(), expected) ? 0 : GetLastError();
  }
  ScratchDir dir_{L"held"};
  std::wstring program_;
  ExpectedProgram written_;  // its bytes, recorded and as written
  ExpectedProgram left_;     // the file itself, with its bytes
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
      RunProcessAndWait(held.path.get(), command_line.get(), nullptr, 1, 2, 3);
  EXPECT_EQ(result.exit_code, 42u);

  held.Release();
  EXPECT_EQ(held.handle, INVALID_HANDLE_VALUE);
  held.Release();  // harmless once released
  EXPECT_TRUE(DeleteFileW(program_.c_str()));
}

TEST_F(HeldProgramTest, OnlyTheFileExpectedIsHeldAndAnUnknownIsARefusal) {
  const std::wstring folder = dir_ / L"folder.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring other = dir_ / L"other.exe";
  ASSERT_TRUE(WriteFileBytes(other, "MZ, but not the file written"));
  // The program rewritten in place: the same file, the same identity, on
  // FAT even the same file ID; only its bytes differ.
  const std::wstring rewritten = dir_ / L"rewritten.exe";
  ASSERT_TRUE(CopyFileW(program_.c_str(), rewritten.c_str(), FALSE));
  std::string bytes = ReadFileBytes(rewritten);
  const ExpectedProgram rewritten_written =
      ExpectContent(DigestOf(bytes), DigestOf(bytes));
  bytes[bytes.size() / 2] ^= 0x01;
  ASSERT_TRUE(WriteFileBytes(rewritten, bytes));
  const struct {
    std::wstring path;
    ExpectedProgram expected;
    DWORD error;
  } cases[] = {
      {dir_ / L"absent.exe", written_, ERROR_FILE_NOT_FOUND},
      {folder, written_, ERROR_BAD_FILE_TYPE},
      // Changed since the run wrote the packed bytes.
      {other, written_, ERROR_FILE_INVALID},
      {rewritten, rewritten_written, ERROR_FILE_INVALID},
      {other, left_, ERROR_FILE_INVALID},
      {rewritten,
       ExpectIdentity(left_.identity, rewritten_written.content,
                      rewritten_written.written),
       ERROR_FILE_INVALID},
      // Other bytes than the packed ones, as the run wrote them (or the
      // patch run made them): the payload gave another program.
      {other,
       ExpectContent(written_.content,
                     DigestOf(ReadFileBytes(dir_ / L"other.exe"))),
       kErrorDataChecksum},
      // No reading of what was written says otherwise.
      {other, ExpectContent(written_.content, UnknownContent(0)),
       kErrorDataChecksum},
      // What could not be learnt about the file written, or left by the
      // patch run, is never a pass: the reason it is not known is the
      // refusal's.
      {program_,
       ExpectContent(UnknownContent(ERROR_HANDLE_EOF), UnknownContent(0)),
       ERROR_HANDLE_EOF},
      {program_,
       ExpectIdentity(UnknownFileIdentity(ERROR_NOT_SUPPORTED),
                      written_.content, written_.written),
       ERROR_NOT_SUPPORTED},
      {program_,
       ExpectIdentity(left_.identity, UnknownContent(ERROR_GEN_FAILURE),
                      written_.written),
       ERROR_GEN_FAILURE},
      {program_, written_, 0},
      {program_, left_, 0},
  };
  for (const auto& c : cases) {
    HeldProgram held;
    EXPECT_EQ(Hold(c.path, c.expected, &held), c.error) << Narrow(c.path);
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
