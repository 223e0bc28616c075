// The real installer.exe, started as a child process: the early exits, and
// the runs that must end before anything is touched. Each starts the
// installer as a double click does, with the limited token (DoubleClick).
#include <gtest/gtest.h>

#include <string>

#include "launch_settings.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

ChildOptions DoubleClick() {
  ChildOptions options;
  options.token = ChildToken::kLimited;
  return options;
}

class EntryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER,
                               ClientStatePath(kStableAppGuid), L"ap",
                               L"stable", true));
    InstallerVariant variant(dir_ / L"installer.exe");
    ASSERT_TRUE(variant.Build()) << variant.error();
    installer_ = variant.path();
  }
  void TearDown() override {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  }

  DWORD Run(const std::wstring& arguments,
            const ChildOptions& options = DoubleClick()) {
    const ChildOutcome outcome =
        RunChild(installer_, L"\"" + installer_ + L"\"" + arguments, options);
    EXPECT_TRUE(outcome.started) << "start error " << outcome.start_error;
    EXPECT_FALSE(outcome.timed_out);
    return outcome.exit_code;
  }

  // Nothing but the installer itself in its folder, and the update
  // client's key exactly as the test left it.
  void ExpectNothingTouched(const std::wstring& folder) {
    EXPECT_EQ(ListDirectory(folder).size(), 1u)
        << "the run left something in " << Narrow(folder);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kStableAppGuid),
                            L"ap", &type, &data, true));
    EXPECT_EQ(data, Utf16Bytes(L"stable"));
    EXPECT_FALSE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kStableAppGuid),
                             L"InstallerResult", &type, &data, true));
  }

  ScratchDir dir_{L"entry"};
  std::wstring installer_;
};

TEST_F(EntryRun, EarlySwitchesEndTheRunWith118AndTouchNothing) {
  for (const wchar_t* arguments :
       {L" --cleanup", L" --CLEANUP", L" --korven-frame",
        L" --korven-beta --KorVen-Frame --system-level", L"\t--cleanup"}) {
    EXPECT_EQ(Run(arguments), 118u) << Narrow(arguments);
    ExpectNothingTouched(dir_.path());
  }
}

TEST_F(EntryRun, EarlySwitchWithAValueOrAsProgramNameIsNotOne) {
  EXPECT_NE(Run(L" --cleanup=1"), 118u);
  const ChildOutcome outcome =
      RunChild(installer_, L"--cleanup", DoubleClick());
  ASSERT_TRUE(outcome.started);
  EXPECT_NE(outcome.exit_code, 118u);
}

TEST_F(EntryRun, ModulePathOf260UnitsOrMoreEndsWith108) {
  // A folder deep enough that installer.exe's own path no longer fits.
  const std::wstring folder = MakeFolderOfLength(
      dir_.path(), 260 - std::wstring(L"\\installer.exe").size());
  ASSERT_FALSE(folder.empty());
  const std::wstring deep = folder + L"\\installer.exe";
  ASSERT_EQ(deep.size(), 260u);
  // The test programs are not long-path aware: past MAX_PATH only the
  // prefixed form reaches the file.
  ASSERT_TRUE(CopyFileW(installer_.c_str(), LongPath(deep).c_str(), FALSE))
      << GetLastError();
  ChildOutcome outcome = RunChild(deep, L"\"" + deep + L"\"", DoubleClick());
  if (!outcome.started) {
    // Windows starts a program of that length only by its prefixed path;
    // its module path is longer still.
    outcome = RunChild(LongPath(deep), L"\"" + deep + L"\"", DoubleClick());
  }
  if (!outcome.started) {
    GTEST_SKIP() << (RunningOnWine() ? "Wine" : "this system")
                 << " cannot start a program from a path of " << deep.size()
                 << " units (error " << outcome.start_error << ")";
  }
  EXPECT_EQ(outcome.exit_code, 108u);
  ExpectNothingTouched(LongPath(folder));
}

}  // namespace
