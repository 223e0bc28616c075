// Whole runs about elevation: what an installer that a user raised with
// "Run as administrator" refuses to take from them. Each case says which
// token it starts the installer with: the test's own (the elevated half
// of a split token, which Wine gives every process and the Windows suite's
// administrator prompt gives its programs) or the limited one a double
// click gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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

// Lower case, for paths that the system and Wine spell in other cases.
std::wstring Lower(std::wstring text) {
  for (wchar_t& unit : text) unit = static_cast<wchar_t>(towlower(unit));
  return text;
}

// %SystemRoot%\Temp, as the system names it.
std::wstring SystemTemp() {
  wchar_t windows[MAX_PATH + 1];
  const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
  return n == 0 || n > MAX_PATH ? L"" : std::wstring(windows, n) + L"\\Temp";
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

// Under Wine a drive marked as a network drive answers DRIVE_REMOTE, but its
// volume reports persistent access lists and no remote device: only the
// drive type tells. network-drive.sh gives such a drive; on Windows,
// NETWORK_DRIVE_FOLDER may name a folder on a mapped drive.
TEST_F(ElevatedRun, FromANetworkDriveWorksInTheSystemsTemporaryFolder) {
  const char* network = std::getenv("NETWORK_DRIVE_FOLDER");
  if (network == nullptr || *network == 0) {
    GTEST_SKIP() << "no network drive given (NETWORK_DRIVE_FOLDER; "
                    "elevation_network_drive_e2e gives one)";
  }
  // Wine's mount manager answers for the drive a few seconds after the
  // prefix's server started; until then the drive reads as fixed.
  const std::wstring root = Widen(network).substr(0, 3);
  for (int i = 0; i < 600 && GetDriveTypeW(root.c_str()) != DRIVE_REMOTE; ++i) {
    Sleep(100);
  }
  ASSERT_EQ(GetDriveTypeW(root.c_str()), static_cast<UINT>(DRIVE_REMOTE))
      << Narrow(root) << " is not a network drive";
  const std::wstring folder =
      Widen(network) + L"Downloads-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  const std::wstring installer = folder + L"\\installer.exe";
  InstallerVariant variant(installer);
  Build(variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
            .Add(L"BL", L"SETUP.EX_", cabinet_));
  const std::vector<std::wstring> only_installer{L"installer.exe"};

  options_.token = ChildToken::kOwn;  // elevated: "Run as administrator"
  EXPECT_EQ(Run(installer), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring work = WorkDirectoryOf(runs_[0]);
  const std::wstring temp = SystemTemp();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(Lower(work.substr(0, temp.size() + 4)), Lower(temp + L"\\ZK_"))
      << "the elevated run worked in " << Narrow(work);
  EXPECT_EQ(Lower(Field(runs_[0], "command_line")).find(Lower(folder)),
            std::wstring::npos)
      << "the setup program was handed a path on the network drive";
  EXPECT_FALSE(Exists(work));
  EXPECT_EQ(ListDirectory(folder), only_installer);
  ExpectSuccessRecorded();

  // A double click from the same folder works beside the installer.
  ASSERT_TRUE(ResetState());
  options_.token = ChildToken::kLimited;
  EXPECT_EQ(Run(installer), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Lower(WorkDirectoryOf(runs_[0]).substr(0, folder.size() + 4)),
            Lower(folder + L"\\ZK_"));
  EXPECT_EQ(ListDirectory(folder), only_installer);
  ExpectSuccessRecorded();
  RemoveTree(folder);
}

}  // namespace
