// The fixture shared by the tests that run the whole installer: a folder
// standing for the user's downloads, the stand-in setup program reporting
// what it saw, and the update client's key as the client leaves it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "launch_settings.h"
#include "setup_stand_in/stand_in.h"
#include "support/test_support.h"

namespace testing_support {

struct RegistryValue {
  bool present = false;
  DWORD type = 0;
  std::string data;
  DWORD Dword() const {
    DWORD value = 0;
    if (type == REG_DWORD && data.size() == 4) memcpy(&value, data.data(), 4);
    return value;
  }
  std::wstring Text() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()),
                      data.size() / 2);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
  }
};

// A value the stand-in reported, as wide text.
inline std::wstring Field(const stand_in::Run& run, const std::string& key) {
  return Widen(run.Get(key));
}

// Ends a process the test did not start itself (a helper of the stand-in,
// by the pid it reported) when it goes, on every way out of a test. By
// then the helper may have ended and its id named another process: only a
// process still running the program the helper was started from goes.
struct EndsProcess {
  DWORD pid;
  std::wstring program;
  ~EndsProcess() {
    HANDLE process = OpenProcess(
        PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
        FALSE, pid);
    if (process == nullptr) return;
    wchar_t image[MAX_PATH + 1];
    DWORD length = MAX_PATH + 1;
    if (QueryFullProcessImageNameW(process, 0, image, &length) &&
        CompareStringOrdinal(image, static_cast<int>(length), program.c_str(),
                             static_cast<int>(program.size()),
                             TRUE) == CSTR_EQUAL) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 30000);
    }
    CloseHandle(process);
  }
};

class WholeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearRegistry();
    folder_ = dir_ / L"Downloads";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    report_ = dir_ / L"report.txt";
    archive_ = ReadFileBytes(PathFromEnvironment("RUN_ARCHIVE"));
    cabinet_ = ReadFileBytes(PathFromEnvironment("RUN_CABINET"));
    stand_in_ = ReadFileBytes(PathFromEnvironment("STAND_IN_EXE"));
    ASSERT_GT(archive_.size(), 32u);
    ASSERT_GT(cabinet_.size(), 32u);
    ASSERT_GT(stand_in_.size(), 1024u);
    ASSERT_TRUE(ResetState());
    options_.set_env[L"STAND_IN_REPORT"] = report_;
    // The setup program behaves as ordinary ones do, unless a case says
    // otherwise (stand_in::kWithout).
    options_.set_env[stand_in::kRealistic] = L"1";
    // Every whole run starts the installer as a double click does, with
    // the limited token; the cases about elevation say otherwise.
    options_.token = ChildToken::kLimited;
    options_.unset_env.push_back(kMachineWideVariable);
  }
  void TearDown() override { ClearRegistry(); }

  static void ClearRegistry() {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true);
    DeleteKeyTree(HKEY_CURRENT_USER, kCleanupPreferenceKey, false);
  }
  // A ClientStateKey holding only "ap" = "stable", as the update client
  // leaves it.
  static bool ResetState() {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    return SetStringValue(HKEY_CURRENT_USER, StatePath(), L"ap", L"stable",
                          true);
  }
  static std::wstring StatePath(const wchar_t* guid = kStableAppGuid) {
    return ClientStatePath(guid);
  }
  std::wstring InstallerPath() const { return folder_ + L"\\installer.exe"; }

  std::wstring Build(InstallerVariant& variant) {
    EXPECT_TRUE(variant.Build()) << variant.error();
    return variant.path();
  }
  // An installer at path with the ordinary payload: the archive under
  // "B7", the stand-in in a cabinet under "BL".
  std::wstring Ordinary(const std::wstring& path) {
    return Build(InstallerVariant(path)
                     .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
                     .Add(L"BL", L"SETUP.EX_", cabinet_)
                     .SetupRecord(stand_in_));
  }

  // Starts the installer and returns once as many setup programs as given
  // have reported; the last one stays (STAND_IN_LINGER_UNTIL) until
  // LetSetupGo().
  bool StartAndWaitForSetup(const std::wstring& installer, size_t count) {
    DeleteFileW(report_.c_str());
    options_.set_env[stand_in::kLingerUntil] = release_;
    if (!installer_.Start(installer, L"\"" + installer + L"\"", options_)) {
      ADD_FAILURE() << "not started, error " << installer_.start_error();
      return false;
    }
    // Generous: only the start of the setup programs is waited for.
    for (int i = 0; i < 12000; ++i) {
      runs_ = stand_in::ParseReport(ReadFileBytes(report_));
      if (runs_.size() >= count && runs_[count - 1].Has("exit")) return true;
      if (installer_.Wait(10)) break;
    }
    ADD_FAILURE() << "the setup program never reported";
    return false;
  }
  // Lets the waiting setup program go and returns the installer's code.
  DWORD LetSetupGo() {
    EXPECT_TRUE(WriteFileBytes(release_, ""));
    DWORD code = 0xDEAD;
    EXPECT_TRUE(installer_.Wait(120000, &code));
    runs_ = stand_in::ParseReport(ReadFileBytes(report_));
    options_.set_env.erase(stand_in::kLingerUntil);
    return code;
  }

  // Runs the installer to its end; runs_ then holds what the setup
  // programs it started reported, in order.
  DWORD Run(const std::wstring& installer,
            const std::wstring& arguments = L"") {
    DeleteFileW(report_.c_str());
    const ChildOutcome outcome =
        RunChild(installer, L"\"" + installer + L"\"" + arguments, options_);
    EXPECT_TRUE(outcome.started) << "start error " << outcome.start_error;
    EXPECT_FALSE(outcome.timed_out);
    runs_ = stand_in::ParseReport(ReadFileBytes(report_));
    return outcome.exit_code;
  }

  static RegistryValue Value(const wchar_t* name, HKEY root = HKEY_CURRENT_USER,
                             const wchar_t* guid = kStableAppGuid) {
    RegistryValue value;
    value.present = GetRawValue(root, StatePath(guid), name, &value.type,
                                &value.data, true);
    return value;
  }
  // The success record with exactly this InstallerExtraCode1 (0x30000 and
  // the cleanup's retries).
  static void ExpectSuccessRecorded(DWORD extra_code,
                                    HKEY root = HKEY_CURRENT_USER) {
    EXPECT_EQ(Value(L"ap", root).data, Utf16Bytes(L"stable-full"));
    EXPECT_EQ(Value(L"InstallerExtraCode1", root).Dword(), extra_code);
    EXPECT_FALSE(Value(L"InstallerResult", root).present);
    EXPECT_FALSE(Value(L"InstallerError", root).present);
  }
  // The success record with at most the retries the setup program's
  // straggler costs: it keeps its folder (its current directory) and
  // setup.exe (its image) about 300 ms past the setup program, and the
  // cleanup pauses 100 ms between two attempts; three, more on a loaded
  // machine.
  static void ExpectSuccessRecorded(HKEY root = HKEY_CURRENT_USER) {
    const DWORD extra = Value(L"InstallerExtraCode1", root).Dword();
    EXPECT_GE(extra, 0x30000u);
    EXPECT_LE(extra, 0x30000u + kStragglerRetries);
    ExpectSuccessRecorded(extra, root);
  }
  static constexpr DWORD kStragglerRetries = 10;
  static void ExpectFailureRecorded(DWORD error, DWORD extra,
                                    HKEY root = HKEY_CURRENT_USER) {
    EXPECT_EQ(Value(L"ap", root).data, Utf16Bytes(L"stable-full"));
    EXPECT_EQ(Value(L"InstallerResult", root).Dword(), 1u);
    EXPECT_EQ(Value(L"InstallerError", root).Dword(), error);
    EXPECT_EQ(Value(L"InstallerExtraCode1", root).Dword(), extra);
  }
  // Only the installer itself is left in its folder.
  void ExpectFolderClean() const {
    const std::vector<std::wstring> left = ListDirectory(folder_);
    EXPECT_EQ(left, std::vector<std::wstring>{L"installer.exe"});
    for (const std::wstring& name : left) {
      if (name == L"installer.exe") continue;
      std::string inside;
      for (const std::wstring& item : ListDirectory(folder_ + L"\\" + name)) {
        inside += " " + Narrow(item);
      }
      ADD_FAILURE() << Narrow(name) << " holds:" << inside;
    }
  }
  // The work directory the setup program ran in, without its backslash.
  static std::wstring WorkDirectoryOf(const stand_in::Run& run) {
    const std::wstring exe = Field(run, "exe");
    return exe.substr(0, exe.rfind(L'\\'));
  }

  ScratchDir dir_{L"run"};
  std::wstring folder_;
  std::wstring report_;
  std::string archive_;
  std::string cabinet_;
  std::string stand_in_;
  ChildOptions options_;
  std::vector<stand_in::Run> runs_;
  std::wstring release_ = dir_ / L"release";
  BackgroundChild installer_;
};

}  // namespace testing_support
