// Whole runs about elevation: what an installer that a user raised with
// "Run as administrator" refuses to take from them. Each case says which
// token it starts the installer with: the test's own (the elevated half
// of a split token, which Wine gives every process and the Windows suite's
// administrator prompt gives its programs) or the limited one a double
// click gives.
#include <gtest/gtest.h>

#include <string>

#include "e2e/whole_run.h"
#include "launch_settings.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

bool OwnTokenIsElevatedHalf() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
  CloseHandle(token);
  return type == TokenElevationTypeFull;
}

class ElevatedRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (!OwnTokenIsElevatedHalf()) {
      GTEST_SKIP() << "the test's own token is not the elevated half of a "
                      "split token (User Account Control is off)";
    }
  }
  // The previous setup program, named by "UninstallString" of the key
  // under root.
  void InstallPrevious(HKEY root) {
    const std::wstring folder = dir_ / L"1.0.0.0";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(folder + L"\\setup.exe", stand_in_));
    ASSERT_TRUE(SetStringValue(root, StatePath(), L"ap", L"stable", true));
    ASSERT_TRUE(SetStringValue(root, StatePath(), L"UninstallString",
                               L"\"" + folder + L"\\setup.exe\"", true));
  }
  std::wstring PatchInstaller() {
    return Build(InstallerVariant(InstallerPath())
                     .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
                     .Add(L"B7", L"SETUP.PATCH", "a patch")
                     .PreviousVersion(L"1.0.0.0"));
  }
};

TEST_F(ElevatedRun, PerUserPatchRoadStartsNothingTheUserCouldHavePut) {
  InstallPrevious(HKEY_CURRENT_USER);
  const std::wstring installer = PatchInstaller();

  options_.token = ChildToken::kOwn;  // elevated: "Run as administrator"
  EXPECT_EQ(Run(installer), 125u);
  EXPECT_TRUE(runs_.empty()) << "the per-user setup program was started";
  ExpectFolderClean();
  ExpectFailureRecorded(125, 0);

  // The same installer from a double click goes the patch road as ever.
  ASSERT_TRUE(ResetState());
  InstallPrevious(HKEY_CURRENT_USER);
  options_.token = ChildToken::kLimited;
  EXPECT_EQ(Run(installer), 0u);
  EXPECT_EQ(runs_.size(), 2u);
  ExpectSuccessRecorded();
}

TEST_F(ElevatedRun, MachineWidePatchRoadRunsElevatedAsEver) {
  InstallPrevious(HKEY_LOCAL_MACHINE);
  options_.token = ChildToken::kOwn;  // elevated, as machine-wide runs are
  EXPECT_EQ(Run(PatchInstaller(), L" --system-level"), 0u);
  ASSERT_EQ(runs_.size(), 2u);
  EXPECT_EQ(Field(runs_[0], "mode"), L"patch");
  ExpectFolderClean();
  ExpectSuccessRecorded(0x30000, HKEY_LOCAL_MACHINE);
}

}  // namespace
