// The cases about where the protection of an elevated run ends that only
// Windows can decide: a share and a FAT volume, which Wine does not have,
// an execution alias, which Wine cannot make, and an opportunistic lock,
// which Wine does not grant. Each skips itself under Wine with the reason;
// written against Windows' documented behaviour, they have not run on
// Windows yet. Each case says which token it starts the installer with:
// the test's own (the Windows suite runs from an administrator prompt) or
// the limited one of a double click.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e/whole_run.h"
#include "setup_stand_in/stand_in.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

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

bool OwnTokenIsElevatedHalf() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
  CloseHandle(token);
  return type == TokenElevationTypeFull;
}

class OnWindowsElevation : public WholeRun {
 protected:
  std::wstring Ordinary(const std::wstring& path) {
    return Build(InstallerVariant(path)
                     .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
                     .Add(L"BL", L"SETUP.EX_", cabinet_));
  }
  // An elevated run of installer: it works in %SystemRoot%\Temp, hands
  // the setup program no path into its own folder, and leaves nothing.
  void ExpectElevatedRunInSystemTemp(const std::wstring& installer,
                                     const std::wstring& its_folder) {
    options_.token = ChildToken::kOwn;  // "Run as administrator"
    EXPECT_EQ(Run(installer), 0u);
    ASSERT_EQ(runs_.size(), 1u);
    const std::wstring work = WorkDirectoryOf(runs_[0]);
    const std::wstring temp = SystemTemp();
    // Without the protection the run works in its_folder, where others
    // may write beside the setup program it starts elevated.
    EXPECT_EQ(Lower(work.substr(0, temp.size() + 4)), Lower(temp + L"\\ZK_"))
        << Narrow(work);
    EXPECT_EQ(Lower(Field(runs_[0], "command_line")).find(Lower(its_folder)),
              std::wstring::npos);
    EXPECT_FALSE(Exists(work));
    EXPECT_EQ(ListDirectory(its_folder),
              std::vector<std::wstring>{L"installer.exe"});
    ExpectSuccessRecorded();
  }
};

TEST_F(OnWindowsElevation, RunFromAShareWorksInTheSystemsTemporaryFolder) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine has no file shares";
  }
  if (!OwnTokenIsElevatedHalf()) {
    GTEST_SKIP() << "the suite does not run elevated from a split token";
  }
  // The folder through the administrative share of its own drive: a
  // remote volume to the installer, as any server's share is.
  ASSERT_EQ(folder_[1], L':');
  const std::wstring share =
      std::wstring(L"\\\\localhost\\") + folder_[0] + L"$" + folder_.substr(2);
  if (!Exists(share)) {
    GTEST_SKIP() << Narrow(share) << " cannot be reached (error "
                 << GetLastError() << ")";
  }
  Ordinary(InstallerPath());
  ExpectElevatedRunInSystemTemp(share + L"\\installer.exe", folder_);
}

TEST_F(OnWindowsElevation, RunFromAFatVolumeWorksInTheSystemsTemporaryFolder) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: the kernel of these machines mounts no "
                    "FAT volume, and Wine keeps no access lists anywhere";
  }
  const char* given = std::getenv("FAT_VOLUME_FOLDER");
  if (given == nullptr || *given == 0) {
    GTEST_SKIP() << "no folder on a FAT or exFAT volume given "
                    "(FAT_VOLUME_FOLDER, a USB stick say)";
  }
  if (!OwnTokenIsElevatedHalf()) {
    GTEST_SKIP() << "the suite does not run elevated from a split token";
  }
  const std::wstring folder =
      Widen(given) + L"\\korven-fat-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  Ordinary(folder + L"\\installer.exe");
  ExpectElevatedRunInSystemTemp(folder + L"\\installer.exe", folder);

  // A double click from the stick works beside the installer, as ever.
  ASSERT_TRUE(ResetState());
  options_.token = ChildToken::kLimited;
  EXPECT_EQ(Run(folder + L"\\installer.exe"), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Lower(WorkDirectoryOf(runs_[0]).substr(0, folder.size() + 4)),
            Lower(folder + L"\\ZK_"));
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"installer.exe"});
  RemoveTree(folder);
}

// The patch run leaves the genuine new setup program, made an execution
// alias that names a decoy (exit_with.exe, which ends with 250 when given
// the install run's arguments). CreateProcessW starts an alias's target,
// whatever bytes the file holds.
TEST_F(OnWindowsElevation, ExecutionAliasInTheSetupProgramsPlaceIsRefused) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine sets no reparse point from a "
                    "Windows program and follows no execution alias";
  }
  const std::wstring previous = dir_ / L"1.0.0.0";
  ASSERT_TRUE(CreateDirectoryW(previous.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("PLANT_ALIAS_EXE").c_str(),
                        (previous + L"\\setup.exe").c_str(), FALSE));
  const std::wstring decoy = dir_ / L"decoy.exe";
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("EXIT_WITH_EXE").c_str(),
                        decoy.c_str(), FALSE));
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(), L"UninstallString",
                             L"\"" + previous + L"\\setup.exe\"", true));
  options_.set_env[L"ALIAS_GENUINE_EXE"] = PathFromEnvironment("STAND_IN_EXE");
  options_.set_env[L"ALIAS_TARGET_EXE"] = decoy;
  options_.token = ChildToken::kLimited;  // a double click: the user's road
  const std::wstring installer =
      Build(InstallerVariant(InstallerPath())
                .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
                .Add(L"B7", L"SETUP.PATCH", "a patch")
                .PreviousVersion(L"1.0.0.0"));
  // 250: the decoy ran; 3: the alias could not be planted.
  EXPECT_EQ(Run(installer), 124u);
  EXPECT_TRUE(runs_.empty()) << "a setup program was started";
  ExpectFailureRecorded(124, ERROR_BAD_FILE_TYPE);
  ExpectFolderClean();
}

// A folder named like a killed run's, marked as one, whose archive another
// process holds with a batch oplock and never lets go of: the run neither
// waits for the holder nor takes the folder.
TEST_F(OnWindowsElevation, OplockInAKilledRunsFolderMakesNothingWait) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine grants no opportunistic lock";
  }
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
  const BOOL answered =
      DeviceIoControl(locked, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr,
                      0, &returned, &broken);
  const DWORD granted = answered ? 0 : GetLastError();
  if (granted != ERROR_IO_PENDING) {
    CloseHandle(broken.hEvent);
    CloseHandle(locked);
    FAIL() << "no batch oplock granted on NTFS (error " << granted << ")";
  }

  options_.token = ChildToken::kLimited;  // a double click
  const ULONGLONG start = GetTickCount64();
  const DWORD code = Run(Ordinary(InstallerPath()));
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_EQ(code, 0u);
  // An open that waits for the break is held until the holder answers,
  // which this one never does.
  EXPECT_LT(took, 20000u) << "the run waited for the oplock's holder";
  EXPECT_EQ(WaitForSingleObject(broken.hEvent, 0),
            static_cast<DWORD>(WAIT_OBJECT_0))
      << "the run never touched the locked archive, so this shows nothing";
  EXPECT_TRUE(Exists(planted + L"\\KORVEN.PACKED.7Z"))
      << "the folder was taken in spite of the break in progress";
  ExpectSuccessRecorded();
  CloseHandle(locked);
  CloseHandle(broken.hEvent);
}

}  // namespace
