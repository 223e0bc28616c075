// The setup program stand-in that the whole-run tests rely on: what it
// refuses, what it reports, and the things it does on request (a new setup
// program, registry values, a file held open after it has ended, a wait
// for the test to let it go), and its realistic mode, which works in its
// own folder or says why it cannot.
#include <gtest/gtest.h>

#include <string>

#include "setup_stand_in/stand_in.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

const wchar_t kGuid[] = L"{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}";
const char kSevenZip[] = "7z\xBC\xAF\x27\x1C\x00\x04 rest of an archive";

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = PathFromEnvironment("SETUP_STAND_IN");
    ASSERT_TRUE(
        WriteFileBytes(archive_, std::string(kSevenZip, sizeof kSevenZip - 1)));
    options_.set_env[stand_in::kReport] = report_;
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  }
  void TearDown() override {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  }

  DWORD Run(const std::wstring& arguments) {
    const ChildOutcome outcome =
        RunChild(program_, L"\"" + program_ + L"\"" + arguments, options_);
    EXPECT_TRUE(outcome.started) << outcome.start_error;
    return outcome.exit_code;
  }
  std::vector<stand_in::Run> Report() {
    return stand_in::ParseReport(ReadFileBytes(report_));
  }

  ScratchDir dir_{L"stand-in"};
  std::wstring program_;
  std::wstring archive_ = dir_ / L"KORVEN.PACKED.7Z";
  std::wstring report_ = dir_ / L"report.txt";
  ChildOptions options_;
};

TEST_F(StandIn, RefusesWhatASetupProgramWouldNotAccept) {
  EXPECT_EQ(Run(L""), stand_in::kExitUsage);
  EXPECT_EQ(Run(L" --install-archive=\"\""), stand_in::kExitUsage);
  EXPECT_EQ(Run(L" --update-setup-exe=\"" + archive_ + L"\""),
            stand_in::kExitUsage);
  EXPECT_EQ(Run(L" --install-archive=\"" + dir_ / L"absent.7z" + L"\""),
            stand_in::kExitNoInput);
  ASSERT_TRUE(WriteFileBytes(dir_ / L"short.7z", "7z\xBC"));
  EXPECT_EQ(Run(L" --install-archive=\"" + dir_ / L"short.7z" + L"\""),
            stand_in::kExitNotAnArchive);
  EXPECT_EQ(Run(L" --update-setup-exe=\"" + dir_ / L"absent.patch" +
                L"\" --new-setup-exe=\"" + dir_ / L"new.exe" + L"\""),
            stand_in::kExitNoInput);
  EXPECT_FALSE(Exists(dir_ / L"new.exe"));
  options_.set_env[stand_in::kExitCode] = L"12x";
  EXPECT_EQ(Run(L" --install-archive=\"" + archive_ + L"\""),
            stand_in::kExitUsage);
  EXPECT_EQ(Report().size(), 7u);
}

TEST_F(StandIn, ReportsAnInstallRunPieceByPiece) {
  options_.set_env[stand_in::kExitCode] = L"1234";
  options_.set_env[L"PERCENT_AND_LINES"] = L"50%\r\nnext";
  options_.current_directory = dir_.path();
  const std::wstring line = L" --uncompressed-archive=\"" + archive_ +
                            L"\" --previous-version=\"\" --verbose \"a b\"" +
                            L" --tarvo-referral-code=\"XYZ789\"";
  EXPECT_EQ(Run(line), 1234u);
  const auto runs = Report();
  ASSERT_EQ(runs.size(), 1u);
  const stand_in::Run& run = runs[0];
  EXPECT_EQ(run.Get("mode"), "install");
  EXPECT_EQ(run.Get("command_line"), Narrow(L"\"" + program_ + L"\"" + line));
  EXPECT_EQ(run.Get("archive_switch"), "uncompressed-archive");
  EXPECT_EQ(run.Get("archive"), Narrow(archive_));
  EXPECT_TRUE(run.Has("previous_version"));
  EXPECT_EQ(run.Get("previous_version"), "");
  EXPECT_EQ(run.Get("referral_code"), "XYZ789");
  EXPECT_EQ(run.All("own_arg"), (std::vector<std::string>{"--verbose", "a b"}));
  EXPECT_EQ(run.Get("cwd"), Narrow(dir_.path()));
  std::string value;
  ASSERT_TRUE(run.Env("percent_and_lines", &value));
  EXPECT_EQ(value, "50%\r\nnext");
  EXPECT_EQ(run.Get("exit"), "1234");
}

TEST_F(StandIn, PatchRunWritesASetupProgramThatRunsInTurn) {
  ASSERT_TRUE(WriteFileBytes(dir_ / L"setup.patch", "patch"));
  const std::wstring fresh = dir_ / L"setup.exe";
  EXPECT_EQ(Run(L" --update-setup-exe=\"" + dir_ / L"setup.patch" +
                L"\" --new-setup-exe=\"" + fresh + L"\" --system-level"),
            0u);
  ASSERT_TRUE(Exists(fresh));
  const ChildOutcome second = RunChild(
      fresh, L"\"" + fresh + L"\" --install-archive=\"" + archive_ + L"\"",
      options_);
  EXPECT_EQ(second.exit_code, 0u);
  const auto runs = Report();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].Get("mode"), "patch");
  EXPECT_EQ(runs[0].All("own_arg"), std::vector<std::string>{"--system-level"});
  EXPECT_EQ(runs[1].Get("exe"), Narrow(fresh));

  // A failing patch run leaves no new setup program.
  options_.set_env[stand_in::kPatchExitCode] = L"9";
  const std::wstring other = dir_ / L"other.exe";
  EXPECT_EQ(Run(L" --update-setup-exe=\"" + dir_ / L"setup.patch" +
                L"\" --new-setup-exe=\"" + other + L"\""),
            9u);
  EXPECT_FALSE(Exists(other));
}

TEST_F(StandIn, WritesTheUpdateClientsValuesWhenAsked) {
  options_.set_env[stand_in::kInstallerResult] = L"3";
  options_.set_env[stand_in::kInstallTo] = dir_ / L"Application";
  options_.set_env[stand_in::kInstallVersion] = L"7.1.0.2";
  EXPECT_EQ(Run(L" --install-archive=\"" + archive_ + L"\""), 0u);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kGuid),
                          L"InstallerResult", &type, &data, true));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\x03\0\0\0", 4));
  const std::wstring installed = dir_ / L"Application\\7.1.0.2\\setup.exe";
  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kGuid),
                          L"UninstallString", &type, &data, true));
  EXPECT_EQ(data, Utf16Bytes(L"\"" + installed + L"\""));
  EXPECT_TRUE(Exists(installed));
}

TEST_F(StandIn, HoldsAFileOpenAfterItHasEnded) {
  // Deleting needs delete sharing, which the helper grants only when asked,
  // as a scanner does.
  auto open_for_delete = [&] {
    const HANDLE file =
        CreateFileW(archive_.c_str(), DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return file != INVALID_HANDLE_VALUE ? 0 : error;
  };
  for (const wchar_t* share_delete : {L"", L"1"}) {
    SCOPED_TRACE(Narrow(share_delete));
    DeleteFileW(report_.c_str());
    // Long enough for any machine; the test ends the helper itself.
    options_.set_env[stand_in::kHoldMs] = L"120000";
    options_.set_env[stand_in::kHolderExe] = dir_ / L"holder.exe";
    options_.set_env[stand_in::kHoldShareDelete] = share_delete;
    EXPECT_EQ(Run(L" --install-archive=\"" + archive_ + L"\""), 0u);
    const auto runs = Report();
    ASSERT_EQ(runs.size(), 1u);
    const DWORD holder_pid = std::stoul(runs[0].Get("holder_pid"));
    HANDLE holder =
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, holder_pid);
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(open_for_delete(),
              *share_delete ? 0u : DWORD{ERROR_SHARING_VIOLATION});
    TerminateProcess(holder, 0);
    WaitForSingleObject(holder, 30000);
    CloseHandle(holder);
    EXPECT_EQ(open_for_delete(), 0u);
  }
}

TEST_F(StandIn, LingersUntilTheFileItWaitsForExists) {
  const std::wstring go = dir_ / L"go";
  options_.set_env[stand_in::kLingerUntil] = go;
  BackgroundChild child;
  ASSERT_TRUE(child.Start(
      program_,
      L"\"" + program_ + L"\" --install-archive=\"" + archive_ + L"\"",
      options_));
  // Generous: only the start and the report are waited for.
  for (int i = 0; i < 6000 && (Report().empty() || !Report()[0].Has("exit"));
       ++i) {
    Sleep(10);
  }
  ASSERT_EQ(Report().size(), 1u);
  EXPECT_EQ(Report()[0].Get("linger_until"), Narrow(go));
  EXPECT_FALSE(child.Wait(300)) << "it ended before the file existed";
  ASSERT_TRUE(WriteFileBytes(go, ""));
  DWORD code = 1;
  EXPECT_TRUE(child.Wait(60000, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace

TEST_F(StandIn, RealisticRunWorksInItsFolderOrSaysWhyItCannot) {
  const std::wstring work = dir_ / L"work";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  const std::wstring setup = work + L"\\setup.exe";
  ASSERT_TRUE(CopyFileW(program_.c_str(), setup.c_str(), FALSE));
  ASSERT_TRUE(MoveFileW(archive_.c_str(), (work + L"\\a.7z").c_str()));
  options_.set_env[stand_in::kRealistic] = L"1";
  options_.set_env[stand_in::kWithout] = L"straggler";
  const auto run = [&] {
    DeleteFileW(report_.c_str());
    const ChildOutcome outcome = RunChild(
        setup, L"\"" + setup + L"\" --install-archive=\"" + work + L"\\a.7z\"",
        options_);
    EXPECT_TRUE(outcome.started);
    return outcome.exit_code;
  };
  EXPECT_EQ(run(), 0u);
  ASSERT_EQ(Report().size(), 1u);
  EXPECT_EQ(Widen(Report()[0].Get("own_folder")), work);
  EXPECT_EQ(Widen(Report()[0].Get("tool_cwd")), work);
  EXPECT_EQ(Report()[0].Get("tool_archive"), "seen");
  EXPECT_EQ(ListDirectory(work),
            (std::vector<std::wstring>{L"a.7z", L"setup.exe", L"setup.log",
                                       L"unpacked"}));
  EXPECT_TRUE(
      GetFileAttributesW((work + L"\\unpacked\\res\\licence.txt").c_str()) &
      FILE_ATTRIBUTE_READONLY);

  // Held as a folder is held for its deletion, it cannot be made current,
  // and a tool started there lands elsewhere.
  const HANDLE held =
      CreateFileW(work.c_str(), DELETE | FILE_LIST_DIRECTORY,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  for (const wchar_t* without : {L"straggler", L"straggler,own-folder"}) {
    SCOPED_TRACE(Narrow(without));
    RemoveTree(work + L"\\unpacked");
    options_.set_env[stand_in::kWithout] = without;
    EXPECT_EQ(run(), stand_in::kExitOwnFolder);
    ASSERT_EQ(Report().size(), 1u);
    EXPECT_NE(Report()[0].Get("error"), "");
    EXPECT_NE(Widen(Report()[0].Get("tool_cwd")), work);
  }
  CloseHandle(held);
}
