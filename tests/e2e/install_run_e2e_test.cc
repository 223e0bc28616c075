// Whole installer runs: the real installer.exe, carrying a real 7z archive
// and the stand-in setup program, started as a child process. Each case
// checks the exit code, the setup program's exact command line, what is
// left in the installer's folder and the update client's values together.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "launch_settings.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

class InstallRun : public WholeRun {
 protected:
  // The ordinary payload: the archive under "B7", the stand-in in a
  // cabinet under "BL".
  InstallerVariant& Ordinary(InstallerVariant& variant) {
    return variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
        .Add(L"BL", L"SETUP.EX_", cabinet_)
        .SetupRecord(stand_in_);
  }

  std::wstring ExpectedInstallLine(
      const std::wstring& work, const std::wstring& rest = L"",
      const wchar_t* archive_switch = L"install-archive") const {
    return L"\"" + work + L"setup.exe\" --" + archive_switch + L"=\"" + work +
           L"KORVEN.PACKED.7Z\"" + rest;
  }
  // A work directory with the cleanup turned off: the run's marker and
  // payload, and what the setup program left beside itself.
  static std::vector<std::wstring> KeptFiles() {
    return {L"INSTALLER.RUN", L"KORVEN.PACKED.7Z", L"setup.exe",
            stand_in::kLogName, stand_in::kUnpackedName};
  }
};

TEST_F(InstallRun, CabinetRoadSucceedsAndLeavesNothingBehind) {
  InstallerVariant variant(InstallerPath());
  const DWORD code = Run(Build(Ordinary(variant)));
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const stand_in::Run& run = runs_[0];
  EXPECT_EQ(Field(run, "mode"), L"install");
  const std::wstring work = WorkDirectoryOf(run) + L"\\";
  EXPECT_EQ(work.substr(0, folder_.size() + 4), folder_ + L"\\ZK_");
  EXPECT_EQ(Field(run, "command_line"), ExpectedInstallLine(work));
  ExpectFolderClean();
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, InstallerPackedByTheReleasePackagingRunsToTheEnd) {
  // Built by the packaging from the 7z archive and the stand-in, with the
  // previous version 1.2.3.4; the cleanup preference keeps the files so that
  // what was unpacked can be looked at.
  SetStringValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                 kCleanupPreferenceValue, L"0", false);
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("PACKED_BL").c_str(),
                        InstallerPath().c_str(), FALSE));
  EXPECT_EQ(Run(InstallerPath()), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring work = WorkDirectoryOf(runs_[0]) + L"\\";
  EXPECT_EQ(Field(runs_[0], "command_line"),
            ExpectedInstallLine(work, L" --previous-version=\"1.2.3.4\""));
  EXPECT_EQ(ListDirectory(work.substr(0, work.size() - 1)), KeptFiles());
  EXPECT_EQ(ReadFileBytes(work + L"KORVEN.PACKED.7Z"), archive_);
  EXPECT_EQ(ReadFileBytes(work + L"setup.exe"), stand_in_);
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, SetupFailureIsPassedThroughAndRecorded) {
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Ordinary(variant));
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"7";
  EXPECT_EQ(Run(installer), 7u);
  ExpectFolderClean();
  ExpectFailureRecorded(7, 0);

  // A code equal to one of the installer's own passes through unchanged.
  DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  SetStringValue(HKEY_CURRENT_USER, StatePath(), L"ap", L"stable", true);
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"118";
  EXPECT_EQ(Run(installer), 118u);
  ExpectFailureRecorded(118, 0);
}

TEST_F(InstallRun, ResultWrittenByTheSetupProgramIsKept) {
  InstallerVariant variant(InstallerPath());
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"7";
  options_.set_env[L"STAND_IN_INSTALLER_RESULT"] = L"3";
  EXPECT_EQ(Run(Build(Ordinary(variant))), 7u);
  EXPECT_EQ(Value(L"InstallerResult").Dword(), 3u);
  EXPECT_FALSE(Value(L"InstallerError").present);
  ExpectFolderClean();
}

TEST_F(InstallRun, PayloadFailureStillCleansUpAndReports) {
  InstallerVariant variant(InstallerPath());
  variant.Add(L"BL", L"SETUP.EX_", cabinet_);  // no archive
  EXPECT_EQ(Run(Build(variant)), 112u);
  EXPECT_TRUE(runs_.empty()) << "the setup program must not run";
  ExpectFolderClean();
  ExpectFailureRecorded(112, 2);
}

TEST_F(InstallRun, OnlyTheRecordedProgramIsEverStarted) {
  std::string changed = stand_in_;
  changed[changed.size() / 2] ^= 1;
  const struct {
    const char* label;
    const wchar_t* type;
    std::string setup;
    bool record;
    DWORD code, error;
  } cases[] = {
      // The packer's reading of the format gives the stand-in; the cabinet
      // library's, after the short block, other bytes.
      {"re-split cabinet", L"BL",
       ReadFileBytes(PathFromEnvironment("RUN_RESPLIT_CABINET")), true, 124,
       323},
      {"uncompressed, one byte changed", L"BN", changed, true, 124, 323},
      {"no record", L"BL", cabinet_, false, 115, 1814},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(ResetState());
    InstallerVariant variant(InstallerPath());
    variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
        .Add(c.type, L"SETUP.EX_", c.setup);
    if (c.record) variant.SetupRecord(stand_in_);
    EXPECT_EQ(Run(Build(variant)), c.code);
    EXPECT_TRUE(runs_.empty()) << "nothing may be started";
    ExpectFolderClean();
    ExpectFailureRecorded(c.code, c.error);
  }
}

TEST_F(InstallRun, CleanupPreferenceZeroKeepsTheFilesButNotTheCabinet) {
  SetStringValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                 kCleanupPreferenceValue, L"0", false);
  InstallerVariant variant(InstallerPath());
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring work = WorkDirectoryOf(runs_[0]) + L"\\";
  EXPECT_EQ(ListDirectory(work.substr(0, work.size() - 1)), KeptFiles());
  EXPECT_EQ(ReadFileBytes(work + L"KORVEN.PACKED.7Z"), archive_);
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, PlainSetupUnderBnRunsDirectly) {
  InstallerVariant variant(InstallerPath());
  variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
      .Add(L"BN", L"SETUP.BIN", stand_in_)
      .SetupRecord(stand_in_);
  EXPECT_EQ(Run(Build(variant)), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring work = WorkDirectoryOf(runs_[0]) + L"\\";
  EXPECT_EQ(Field(runs_[0], "exe"), work + L"setup.exe");
  EXPECT_EQ(Field(runs_[0], "command_line"), ExpectedInstallLine(work));
  ExpectFolderClean();
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, ArchiveOutsideB7IsHandedOverUncompressed) {
  InstallerVariant variant(InstallerPath());
  variant.Add(L"BN", L"KORVEN.PACKED.7Z", archive_)
      .Add(L"BL", L"SETUP.EX_", cabinet_)
      .SetupRecord(stand_in_);
  EXPECT_EQ(Run(Build(variant)), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Field(runs_[0], "command_line"),
            ExpectedInstallLine(WorkDirectoryOf(runs_[0]) + L"\\", L"",
                                L"uncompressed-archive"));
}

TEST_F(InstallRun, OwnArgumentsPreviousVersionAndReferralCodeReachSetup) {
  SetStringValue(
      HKEY_CURRENT_USER, L"Software\\Quenby\\Promo", L"StubInstallerPath",
      L"C:\\Users\\u1\\Downloads\\KorvenSetup-xyz789 (2).exe", false);
  InstallerVariant variant(InstallerPath());
  Ordinary(variant).PreviousVersion(L"118.0.1");
  EXPECT_EQ(Run(Build(variant), L"  --do-not-launch \"--x=a b\" "), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Field(runs_[0], "command_line"),
            ExpectedInstallLine(WorkDirectoryOf(runs_[0]) + L"\\",
                                L" --previous-version=\"118.0.1\"  "
                                L"--do-not-launch \"--x=a b\"  "
                                L"--tarvo-referral-code=\"XYZ789\""));
  EXPECT_EQ(Field(runs_[0], "referral_code"), L"XYZ789");
  ExpectFolderClean();
}

TEST_F(InstallRun, OwnPathWithSpacesUnquotedIsNoArgumentOfTheUsers) {
  // Windows makes the bare application name the command line when a
  // launcher passes none; Wine quotes it even then, so the command line
  // is given here as Windows would make it.
  const std::wstring folder = dir_ / L"John Smith\\my downloads";
  ASSERT_TRUE(CreateDirectoryW((dir_ / L"John Smith").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  InstallerVariant variant(folder + L"\\installer.exe");
  const std::wstring installer = Build(Ordinary(variant));
  DeleteFileW(report_.c_str());
  const ChildOutcome outcome =
      RunChild(installer, installer + L" --do-not-launch", options_);
  ASSERT_TRUE(outcome.started) << outcome.start_error;
  EXPECT_EQ(outcome.exit_code, 0u);
  runs_ = stand_in::ParseReport(ReadFileBytes(report_));
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Field(runs_[0], "command_line"),
            ExpectedInstallLine(WorkDirectoryOf(runs_[0]) + L"\\",
                                L" --do-not-launch"));
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"installer.exe"});
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, MissingClientStateKeyWritesNothingAndCreatesNoKey) {
  DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  InstallerVariant variant(InstallerPath());
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, StatePath(), true));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Quenby", true));
  ExpectFolderClean();
}

TEST_F(InstallRun, MachineWideRunsReportUnderTheMachineKey) {
  // Elevated, as a machine-wide install is: a limited token cannot write
  // the machine's key.
  options_.token = ChildToken::kOwn;
  ASSERT_TRUE(
      SetStringValue(HKEY_LOCAL_MACHINE, StatePath(), L"ap", L"stable", true));
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Ordinary(variant));

  EXPECT_EQ(Run(installer, L" --system-level"), 0u);
  ExpectSuccessRecorded(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(Value(L"ap").Text(), L"stable") << "per-user key touched";

  SetStringValue(HKEY_LOCAL_MACHINE, StatePath(), L"ap", L"stable", true);
  options_.set_env[kMachineWideVariable] = L"1";
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"9";
  EXPECT_EQ(Run(installer), 9u);
  ExpectFailureRecorded(9, 0, HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(Value(L"InstallerResult").present);
  ExpectFolderClean();
}

TEST_F(InstallRun, ChannelSwitchSelectsItsOwnKey) {
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(kBetaAppGuid), L"ap",
                             L"beta", true));
  InstallerVariant variant(InstallerPath());
  EXPECT_EQ(Run(Build(Ordinary(variant)), L" --korven-beta"), 0u);
  EXPECT_EQ(Value(L"ap", HKEY_CURRENT_USER, kBetaAppGuid).Text(), L"beta-full");
  EXPECT_EQ(Value(L"ap").Text(), L"stable");
}

TEST_F(InstallRun, FileHeldAfterSetupExitsIsDeletedWithRetries) {
  InstallerVariant variant(InstallerPath());
  options_.set_env[L"STAND_IN_HOLD_MS"] = L"800";
  options_.set_env[L"STAND_IN_HOLDER_EXE"] = dir_ / L"holder.exe";
  // The holder keeps the archive from the setup program's own late read.
  options_.set_env[stand_in::kWithout] = L"straggler,reread";
  ASSERT_TRUE(WriteFileBytes(dir_ / L"holder.exe", stand_in_));
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  ExpectFolderClean();
  const DWORD extra = Value(L"InstallerExtraCode1").Dword();
  EXPECT_GT(extra, 0x30000u) << "the held archive needed retries";
  EXPECT_LT(extra, 0x30063u);
}

TEST_F(InstallRun, ArgumentsThatDoNotFitEndWith105AndRunNothing) {
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Ordinary(variant));
  EXPECT_EQ(Run(installer, L" --x=" + std::wstring(1000, L'a')), 105u);
  EXPECT_TRUE(runs_.empty());
  ExpectFolderClean();
  ExpectFailureRecorded(105, 0);
}

TEST_F(InstallRun, ReferralSwitchIsAddedWholeOrNotAtAll) {
  SetStringValue(HKEY_CURRENT_USER, L"Software\\Quenby\\Promo",
                 L"StubInstallerPath", L"C:\\dl\\Setup-abc123.exe", false);
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Ordinary(variant));
  // Find the room the install line leaves, then fill all but a few units.
  EXPECT_EQ(Run(installer), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring line = Field(runs_[0], "command_line");
  const size_t switch_length =
      std::wstring(L" --tarvo-referral-code=\"ABC123\"").size();
  ASSERT_EQ(line.substr(line.size() - switch_length),
            L" --tarvo-referral-code=\"ABC123\"");
  const size_t base = line.size() - switch_length;
  // 1039 units fit; leave room for all of the switch but its last unit.
  const size_t tail = 1039 - base - (switch_length - 1);
  const std::wstring arguments = L" --" + std::wstring(tail - 3, L'p');
  EXPECT_EQ(Run(installer, arguments), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  const std::wstring cut = Field(runs_[0], "command_line");
  EXPECT_EQ(cut.substr(cut.size() - arguments.size()), arguments);
  EXPECT_EQ(cut.find(L"--tarvo-referral-code"), std::wstring::npos);
}

TEST_F(InstallRun, LibrariesPlantedBesideTheInstallerAreNeverLoaded) {
  const std::string marker = ReadFileBytes(PathFromEnvironment("MARKER_DLL"));
  ASSERT_FALSE(marker.empty());
  const std::wstring current = dir_ / L"current";
  ASSERT_TRUE(CreateDirectoryW(current.c_str(), nullptr));
  // Libraries that programs commonly load late, by name, and that the
  // system libraries the installer calls load for it.
  const wchar_t* const names[] = {
      L"version",  L"uxtheme",  L"cryptbase", L"dwmapi",   L"userenv",
      L"cabinet",  L"profapi",  L"propsys",   L"sspicli",  L"cryptsp",
      L"rsaenh",   L"bcrypt",   L"ntmarta",   L"shcore",   L"comctl32",
      L"apphelp",  L"secur32",  L"winmm",     L"dbghelp",  L"imm32",
      L"setupapi", L"wintrust", L"crypt32",   L"shfolder", L"linkinfo",
      L"oleacc",   L"xmllite",  L"powrprof",  L"winhttp",  L"ws2_32",
      L"iphlpapi", L"msimg32"};
  // Wine loads its own library for a system name unless the program's
  // overrides let a file of that name load; the control, which asks for
  // each by its bare name, shows that they do.
  const std::wstring control = folder_ + L"\\load-by-name.exe";
  const std::wstring installer = folder_ + L"\\planted-beside.exe";
  const std::wstring overrides = L"Software\\Wine\\AppDefaults\\";
  std::wstring arguments;
  for (const wchar_t* name : names) {
    const std::wstring file = std::wstring(name) + L".dll";
    ASSERT_TRUE(WriteFileBytes(folder_ + L"\\" + file, marker));
    ASSERT_TRUE(WriteFileBytes(current + L"\\" + file, marker));
    arguments += L" " + file;
    for (const wchar_t* program :
         {L"load-by-name.exe", L"planted-beside.exe"}) {
      ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER,
                                 overrides + program + L"\\DllOverrides", name,
                                 L"native,builtin", false));
    }
  }
  options_.current_directory = current;
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("LOAD_BY_NAME_EXE").c_str(),
                        control.c_str(), FALSE));
  const ChildOutcome loading =
      RunChild(control, L"\"" + control + L"\"" + arguments, options_);
  EXPECT_EQ(loading.exit_code, 0u);
  // Under Wine's overrides every one. On Windows the KnownDLLs among them
  // (imm32, setupapi, shcore, ws2_32) come from System32 whatever the search,
  // and a few may be in the process already: version.dll stands for them.
  for (const wchar_t* name : names) {
    if (!RunningOnWine() && std::wstring(name) != L"version") continue;
    EXPECT_TRUE(
        Exists(folder_ + L"\\" + name + L".dll.load-by-name.exe.loaded"))
        << "the control did not load " << Narrow(name);
  }

  InstallerVariant variant(installer);
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  ExpectSuccessRecorded();
  for (const std::wstring& place : {folder_, current}) {
    for (const std::wstring& name : ListDirectory(place)) {
      EXPECT_EQ(name.find(L".planted-beside.exe.loaded"), std::wstring::npos)
          << "the installer loaded " << Narrow(place + L"\\" + name);
      EXPECT_EQ(name.find(L"ZK_"), std::wstring::npos);
    }
  }
  for (const wchar_t* program : {L"load-by-name.exe", L"planted-beside.exe"}) {
    DeleteKeyTree(HKEY_CURRENT_USER, overrides + program, false);
  }
}

TEST_F(InstallRun, CabinetLibraryWhereTheEnvironmentPointsIsNeverLoaded) {
  // Any program of the user can set %WINDIR% and %SYSTEMROOT% for all it
  // starts later, elevated runs included.
  const std::wstring windows = dir_ / L"planted-windows";
  ASSERT_TRUE(CreateDirectoryW(windows.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((windows + L"\\system32").c_str(), nullptr));
  const std::wstring plant = windows + L"\\system32\\cabinet.dll";
  ASSERT_TRUE(
      WriteFileBytes(plant, ReadFileBytes(PathFromEnvironment("MARKER_DLL"))));
  options_.set_env[L"WINDIR"] = windows;
  options_.set_env[L"SYSTEMROOT"] = windows;
  // Wine loads its own cabinet.dll in place of any file of that name unless
  // the program's overrides let a native one load. Windows has no such
  // key, and gets none: it would stay on the tester's machine.
  const std::wstring control = folder_ + L"\\trust-windir.exe";
  const std::wstring installer = folder_ + L"\\plant-check.exe";
  struct Overrides {
    const std::wstring key = L"Software\\Wine\\AppDefaults\\";
    const bool wine = RunningOnWine();
    ~Overrides() {
      for (const wchar_t* name : {L"trust-windir.exe", L"plant-check.exe"}) {
        if (wine) DeleteKeyTree(HKEY_CURRENT_USER, key + name, false);
      }
    }
  } overrides;
  for (const wchar_t* name : {L"trust-windir.exe", L"plant-check.exe"}) {
    if (!overrides.wine) break;
    ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER,
                               overrides.key + name + L"\\DllOverrides",
                               L"cabinet", L"native,builtin", false));
  }

  // A program that trusts the environment does load the plant.
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("TRUST_WINDIR_EXE").c_str(),
                        control.c_str(), FALSE));
  const ChildOutcome trusting =
      RunChild(control, L"\"" + control + L"\"", options_);
  EXPECT_EQ(trusting.exit_code, 0u);
  EXPECT_TRUE(Exists(plant + L".trust-windir.exe.loaded"));

  InstallerVariant variant(installer);
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  EXPECT_FALSE(Exists(plant + L".plant-check.exe.loaded"));
  ExpectSuccessRecorded();
}

TEST_F(InstallRun, FolderOfNinetyCjkCharactersExpandsItsCabinet) {
  // Well inside every path limit in UTF-16, but past the cabinet library's
  // 256 bytes in UTF-8. Two levels: a Linux name holds 255 bytes at most.
  std::wstring folder = dir_.path();
  for (wchar_t first : {L'\x4E00', L'\x6C00'}) {
    std::wstring name;
    for (wchar_t unit = first; name.size() < 45; unit += 7) name += unit;
    folder += L"\\" + name;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  }
  InstallerVariant variant(folder + L"\\installer.exe");
  EXPECT_EQ(Run(Build(Ordinary(variant))), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"installer.exe"});
  ExpectSuccessRecorded();
}

// The patch road: the previously installed setup program, found through
// "UninstallString", builds the new setup program from the patch.
class PatchRun : public InstallRun {
 protected:
  void SetUp() override {
    InstallRun::SetUp();
    previous_dir_ = dir_ / L"Korven\\1.0.0.0";
    CreateDirectoryW((dir_ / L"Korven").c_str(), nullptr);
    CreateDirectoryW(previous_dir_.c_str(), nullptr);
    previous_setup_ = previous_dir_ + L"\\setup.exe";
    ASSERT_TRUE(WriteFileBytes(previous_setup_, stand_in_));
    ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(),
                               L"UninstallString",
                               L"\"" + previous_setup_ + L"\"", true));
  }
  InstallerVariant& Patch(InstallerVariant& variant) {
    return variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
        .Add(L"B7", L"SETUP.PATCH", "a patch for the previous setup program")
        .PreviousVersion(L"1.0.0.0")
        .SetupRecord(stand_in_);
  }
  std::wstring previous_dir_;
  std::wstring previous_setup_;
};

TEST_F(PatchRun, PatchThenInstallWithTheNewSetupProgram) {
  InstallerVariant variant(InstallerPath());
  EXPECT_EQ(Run(Build(Patch(variant)), L" --korven-x"), 0u);
  ASSERT_EQ(runs_.size(), 2u);
  const stand_in::Run& patch = runs_[0];
  const stand_in::Run& install = runs_[1];
  EXPECT_EQ(Field(patch, "mode"), L"patch");
  EXPECT_EQ(Field(patch, "exe"), previous_setup_);
  const std::wstring work = WorkDirectoryOf(install) + L"\\";
  EXPECT_EQ(Field(patch, "command_line"),
            L"\"" + previous_setup_ + L"\" --update-setup-exe=\"" + work +
                L"SETUP.PATCH\" --new-setup-exe=\"" + work +
                L"setup.exe\" --korven-x");
  EXPECT_EQ(Field(install, "exe"), work + L"setup.exe");
  EXPECT_EQ(
      Field(install, "command_line"),
      ExpectedInstallLine(work, L" --previous-version=\"1.0.0.0\" --korven-x"));
  ExpectFolderClean();
  ExpectSuccessRecorded();
  EXPECT_TRUE(Exists(previous_setup_));
}

TEST_F(PatchRun, FailingPatchRunSkipsTheInstallAndCleansUp) {
  InstallerVariant variant(InstallerPath());
  options_.set_env[L"STAND_IN_PATCH_EXIT_CODE"] = L"9";
  EXPECT_EQ(Run(Build(Patch(variant))), 9u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Field(runs_[0], "mode"), L"patch");
  ExpectFolderClean();
  ExpectFailureRecorded(9, 0);
}

TEST_F(PatchRun, PatchStageFailingBeforeItsRunLeavesNothingBehind) {
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Patch(variant));
  // Another version installed beside ours, whose folder begins with ours.
  const std::wstring other = dir_ / L"Korven\\11.0.0.0";
  ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(other + L"\\setup.exe", stand_in_));
  const struct {
    const wchar_t* what;
    std::wstring uninstall;  // empty: no value
    std::wstring current_directory;
    DWORD code;
    DWORD extra;
  } cases[] = {
      {L"no value", L"", L"", 110, 2},
      {L"another version", L"C:\\Korven\\2.0.0.0\\setup.exe", L"", 111, 0},
      {L"a version our own is a prefix of", L"\"" + other + L"\\setup.exe\"",
       L"", 111, 0},
      // Relative: the current directory holds a program of that name.
      {L"a relative path", L".\\1.0.0.0\\setup.exe", dir_ / L"Korven", 110,
       ERROR_BAD_PATHNAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.what));
    DeleteKeyTree(HKEY_CURRENT_USER, StatePath(), true);
    SetStringValue(HKEY_CURRENT_USER, StatePath(), L"ap", L"stable", true);
    if (!c.uninstall.empty()) {
      SetStringValue(HKEY_CURRENT_USER, StatePath(), L"UninstallString",
                     c.uninstall, true);
    }
    options_.current_directory = c.current_directory;
    EXPECT_EQ(Run(installer), c.code);
    EXPECT_TRUE(runs_.empty()) << "nothing may run";
    ExpectFolderClean();
    ExpectFailureRecorded(c.code, c.extra);
  }
}

// "UninstallString" names an installed program, but without a version
// nothing says it is the one the patch was made for.
TEST_F(PatchRun, PatchWithoutAPreviousVersionRunsNothing) {
  for (const bool empty : {false, true}) {
    ResetState();
    SetStringValue(HKEY_CURRENT_USER, StatePath(), L"UninstallString",
                   L"\"" + previous_setup_ + L"\"", true);
    InstallerVariant variant(InstallerPath());
    variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
        .Add(L"B7", L"SETUP.PATCH", "a patch for the previous setup program")
        .SetupRecord(stand_in_);
    if (empty) variant.PreviousVersion(L"");
    EXPECT_EQ(Run(Build(variant)), 111u) << empty;
    EXPECT_TRUE(runs_.empty()) << "nothing may run";
    ExpectFolderClean();
    ExpectFailureRecorded(111, ERROR_INVALID_DATA);
  }
}

TEST_F(PatchRun, PatchThatMakesAnotherProgramStartsNothingMore) {
  // The record names the program the patch must make; this patch run makes
  // the previous program again.
  std::string recorded = stand_in_;
  recorded[recorded.size() / 2] ^= 1;
  InstallerVariant variant(InstallerPath());
  variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
      .Add(L"B7", L"SETUP.PATCH", "a patch for the previous setup program")
      .PreviousVersion(L"1.0.0.0")
      .SetupRecord(recorded);
  EXPECT_EQ(Run(Build(variant)), 124u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Field(runs_[0], "mode"), L"patch");
  ExpectFolderClean();
  ExpectFailureRecorded(124, 323);
}

TEST_F(PatchRun, NewSetupProgramWithASecondNameOrStillHeldIsRun) {
  InstallerVariant variant(InstallerPath());
  const std::wstring installer = Build(Patch(variant));
  // The previous setup program keeps its own copy and links it in; or
  // something still has the new program open for writing for a moment.
  const std::map<std::wstring, std::wstring> cases[] = {
      {{L"STAND_IN_NEW_SETUP_LINKED_FROM", previous_dir_ + L"\\next.exe"}},
      {{L"STAND_IN_HOLD_FILE", L"new-setup-exe"},
       {L"STAND_IN_HOLD_MS", L"500"},
       {L"STAND_IN_HOLD_WRITE", L"1"}},
  };
  for (const auto& environment : cases) {
    ResetState();
    SetStringValue(HKEY_CURRENT_USER, StatePath(), L"UninstallString",
                   L"\"" + previous_setup_ + L"\"", true);
    ChildOptions options = options_;
    for (const auto& entry : environment) options_.set_env.insert(entry);
    EXPECT_EQ(Run(installer), 0u) << Narrow(environment.begin()->first);
    options_ = options;
    ASSERT_EQ(runs_.size(), 2u);
    EXPECT_EQ(Field(runs_[1], "mode"), L"install");
    ExpectFolderClean();
    ExpectSuccessRecorded();
  }
}

TEST_F(PatchRun, NewSetupPathTooLongEndsWith108AndLeavesNothingBehind) {
  // A folder so deep that the short archive and patch names still fit in
  // the work directory, but "setup.exe" does not.
  const std::wstring folder = MakeFolderOfLength(dir_.path(), 239);
  ASSERT_EQ(folder.size() + 1, 240u);
  InstallerVariant variant(folder + L"\\i.exe");
  variant.Add(L"B7", L"KORVEN", archive_)
      .Add(L"B7", L"SETUP", "patch")
      .PreviousVersion(L"1.0.0.0")
      .SetupRecord(stand_in_);
  const std::wstring installer = Build(variant);
  const ChildOutcome outcome =
      RunChild(installer, L"\"" + installer + L"\"", options_);
  ASSERT_TRUE(outcome.started) << outcome.start_error;
  EXPECT_EQ(outcome.exit_code, 108u);
  EXPECT_EQ(ReadFileBytes(report_), "") << "nothing may run";
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"i.exe"});
  ExpectFailureRecorded(108, 0);
}

}  // namespace
