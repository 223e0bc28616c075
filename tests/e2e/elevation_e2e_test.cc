// Whole runs about elevation: what an installer that a user raised with
// "Run as administrator" refuses to take from them. Each case says which
// token it starts the installer with: the test's own (the elevated half of
// a split token, which Wine gives every process and the Windows suite's
// administrator prompt gives its programs) or the limited one a double
// click gives. The OnWindowsElevation cases need what Wine does not have
// (shares, FAT volumes, execution aliases, oplocks): they skip themselves
// under Wine and have not run on Windows yet.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "launch_settings.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

std::wstring Lower(std::wstring text) {
  for (wchar_t& unit : text) unit = static_cast<wchar_t>(towlower(unit));
  return text;
}

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
  // The previous setup program (the stand-in, or program), named by
  // "UninstallString" of the key under root.
  void InstallPrevious(HKEY root, const std::wstring& program = L"") {
    const std::wstring folder = dir_ / L"1.0.0.0";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(program.empty()
                    ? WriteFileBytes(folder + L"\\setup.exe", stand_in_)
                    : CopyFileW(program.c_str(),
                                (folder + L"\\setup.exe").c_str(), FALSE));
    ASSERT_TRUE(SetStringValue(root, StatePath(), L"ap", L"stable", true));
    ASSERT_TRUE(SetStringValue(root, StatePath(), L"UninstallString",
                               L"\"" + folder + L"\\setup.exe\"", true));
  }
  std::wstring PatchInstaller() {
    return Build(InstallerVariant(InstallerPath())
                     .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
                     .Add(L"B7", L"SETUP.PATCH", "a patch")
                     .PreviousVersion(L"1.0.0.0")
                     .SetupRecord(stand_in_));
  }
  // Runs the ordinary installer placed in folder elevated, and then as a
  // double click when asked: the elevated run works in %SystemRoot%\Temp
  // and hands the setup program no path into folder, where others may
  // write beside what it starts elevated; the double click works beside
  // the installer.
  void ExpectOnlyTheElevatedRunMovesOut(const std::wstring& folder,
                                        bool double_click = true) {
    const std::wstring installer = Ordinary(folder + L"\\installer.exe");
    const std::vector<std::wstring> only_installer{L"installer.exe"};
    wchar_t windows[MAX_PATH + 1];
    const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    ASSERT_TRUE(n > 0 && n <= MAX_PATH);
    const std::wstring temp = std::wstring(windows, n) + L"\\Temp\\ZK_";
    for (const ChildToken token : {ChildToken::kOwn, ChildToken::kLimited}) {
      if (token == ChildToken::kLimited && !double_click) break;
      ASSERT_TRUE(ResetState());
      options_.token = token;
      EXPECT_EQ(Run(installer), 0u);
      ASSERT_EQ(runs_.size(), 1u);
      const std::wstring work = WorkDirectoryOf(runs_[0]);
      const std::wstring place =
          token == ChildToken::kOwn ? temp : folder + L"\\ZK_";
      EXPECT_EQ(Lower(work.substr(0, place.size())), Lower(place))
          << Narrow(work);
      const bool handed_folder =
          Lower(Field(runs_[0], "command_line")).find(Lower(folder)) !=
          std::wstring::npos;
      EXPECT_EQ(handed_folder, token == ChildToken::kLimited);
      EXPECT_FALSE(Exists(work));
      EXPECT_EQ(ListDirectory(folder), only_installer);
      ExpectSuccessRecorded();
    }
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
  ExpectSuccessRecorded(HKEY_LOCAL_MACHINE);
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
  const std::wstring folder =
      Widen(network) + L"Downloads-" + std::to_wstring(GetCurrentProcessId());
  // Wine's mount manager may answer for the drive a moment after start.
  const std::wstring root = folder.substr(0, 3);
  for (int i = 0; i < 300 && GetDriveTypeW(root.c_str()) != DRIVE_REMOTE; ++i) {
    Sleep(100);
  }
  ASSERT_EQ(GetDriveTypeW(root.c_str()), static_cast<UINT>(DRIVE_REMOTE));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  ExpectOnlyTheElevatedRunMovesOut(folder);
  RemoveTree(folder);
}

class OnWindowsElevation : public ElevatedRun {
 protected:
  void SetUp() override {
    if (RunningOnWine()) {
      GTEST_SKIP() << "Windows only: Wine has no shares or FAT volumes, sets "
                      "no reparse point from a Windows program, follows no "
                      "execution alias and grants no oplock";
    }
    ElevatedRun::SetUp();
  }
};

// A share (the administrative share of the folder's own drive, remote to
// the installer as any server's is; only administrators reach it, so the
// double click is left out) and a FAT or exFAT volume, where
// FAT_VOLUME_FOLDER names a folder (a USB stick, say).
TEST_F(OnWindowsElevation, FoldersThatCannotProtectSendTheElevatedRunOut) {
  ASSERT_EQ(folder_[1], L':');
  const std::wstring share =
      std::wstring(L"\\\\localhost\\") + folder_[0] + L"$" + folder_.substr(2);
  ASSERT_TRUE(Exists(share)) << Narrow(share) << ": " << GetLastError();
  ExpectOnlyTheElevatedRunMovesOut(share, false);
  const char* fat = std::getenv("FAT_VOLUME_FOLDER");
  if (fat == nullptr || *fat == 0) {
    GTEST_SKIP() << "the share was shown; no FAT_VOLUME_FOLDER given";
  }
  const std::wstring folder =
      Widen(fat) + L"\\korven-fat-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  ExpectOnlyTheElevatedRunMovesOut(folder);
  RemoveTree(folder);
}

// The patch run leaves the genuine new setup program made an execution
// alias naming a decoy (exit_with.exe, which ends with 250 when given the
// install run's arguments): CreateProcessW starts an alias's target,
// whatever bytes the file holds.
TEST_F(OnWindowsElevation, ExecutionAliasInTheSetupProgramsPlaceIsRefused) {
  InstallPrevious(HKEY_CURRENT_USER, PathFromEnvironment("PLANT_ALIAS_EXE"));
  const std::wstring decoy = dir_ / L"decoy.exe";
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("EXIT_WITH_EXE").c_str(),
                        decoy.c_str(), FALSE));
  options_.set_env[L"ALIAS_GENUINE_EXE"] = PathFromEnvironment("STAND_IN_EXE");
  options_.set_env[L"ALIAS_TARGET_EXE"] = decoy;
  options_.token = ChildToken::kLimited;  // a double click: the user's road
  // 250: the decoy ran; 3: the alias could not be planted.
  EXPECT_EQ(Run(PatchInstaller()), 124u);
  EXPECT_TRUE(runs_.empty()) << "a setup program was started";
  ExpectFailureRecorded(124, ERROR_BAD_FILE_TYPE);
  ExpectFolderClean();
}

// A folder named like a killed run's and marked as one, whose archive the
// test holds with a batch oplock and never lets go of: the run neither
// waits for the holder nor takes the folder.
TEST_F(OnWindowsElevation, OplockInAKilledRunsFolderMakesNothingWait) {
  const std::wstring planted = folder_ + L"\\ZK_0A1B2.tmp";
  ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(planted + L"\\INSTALLER.RUN", ""));
  ASSERT_TRUE(WriteFileBytes(planted + L"\\KORVEN.PACKED.7Z", archive_));
  const HANDLE locked =
      CreateFileW((planted + L"\\KORVEN.PACKED.7Z").c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  OVERLAPPED broken = {};
  broken.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(locked, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                               nullptr, 0, &returned, &broken));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING))
      << "no batch oplock granted";

  options_.token = ChildToken::kLimited;  // a double click
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Run(Ordinary(InstallerPath())), 0u);
  // An open that waits for the break waits for an answer that never comes.
  EXPECT_LT(GetTickCount64() - start, 20000u) << "the run waited";
  EXPECT_EQ(WaitForSingleObject(broken.hEvent, 0),
            static_cast<DWORD>(WAIT_OBJECT_0))
      << "the run never asked for the locked archive: this shows nothing";
  EXPECT_TRUE(Exists(planted + L"\\KORVEN.PACKED.7Z"));
  ExpectSuccessRecorded();
  CloseHandle(locked);
  CloseHandle(broken.hEvent);
}

}  // namespace
