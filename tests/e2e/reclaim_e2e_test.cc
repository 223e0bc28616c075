// What runs that were killed before their cleanup left in the installer's
// folder, taken back by the next ordinary run there: only their work
// directories, only the names the installer writes, never a live run's.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "launch_settings.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

class ReclaimRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    Ordinary(InstallerPath());
  }
  // A folder as a killed run leaves it, holding these names.
  void Leave(const std::wstring& folder,
             const std::vector<std::wstring>& names) {
    const std::wstring path = folder_ + L"\\" + folder;
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    for (const std::wstring& name : names) {
      ASSERT_TRUE(WriteFileBytes(path + L"\\" + name, "left"));
    }
  }
  std::vector<std::wstring> In(const std::wstring& folder) const {
    return ListDirectory(folder_ + L"\\" + folder);
  }
};

TEST_F(ReclaimRun, KilledRunsLeftoversGoAndNothingElseIsTouched) {
  // (In the order a listing gives them.)
  const std::vector<std::wstring> payload = {L"KORVEN.PACKED.7Z", L"SETUP.EX_",
                                             L"SETUP.PATCH", L"setup.exe"};
  Leave(L"ZK_0A0A0.tmp", payload);
  Leave(L"ZK_0B0B0.tmp", {L"KORVEN.PACKED.7Z", L"setup.exe"});
  ASSERT_TRUE(
      SetFileAttributesW((folder_ + L"\\ZK_0B0B0.tmp\\setup.exe").c_str(),
                         FILE_ATTRIBUTE_READONLY));
  Leave(L"ZK_0C0C0.tmp", {});
  // The user's own file keeps its folder.
  Leave(L"ZK_0D0D0.tmp", {L"KORVEN.PACKED.7Z", L"notes.txt"});
  // A file still in use (a scanner, a setup program still running) stays
  // for a later run; nobody waits for it.
  Leave(L"ZK_0E0E0.tmp", {L"KORVEN.PACKED.7Z", L"setup.exe"});
  HeldFile in_use(folder_ + L"\\ZK_0E0E0.tmp\\setup.exe", -1);
  ASSERT_TRUE(in_use.held());
  // Not a work directory's name, or not a directory.
  const std::vector<std::wstring> others = {L"ZK_0F0F0F.tmp", L"ZK_0f0f0.tmp",
                                            L"ZK_0G0G0.tmp", L"ZK_0H0H0.tmp.x"};
  for (const std::wstring& other : others) Leave(other, payload);
  ASSERT_TRUE(WriteFileBytes(folder_ + L"\\ZK_01010.tmp", "a file"));

  // A live run in the same folder, its setup program still running.
  ASSERT_TRUE(CopyFileW(InstallerPath().c_str(),
                        (folder_ + L"\\live.exe").c_str(), FALSE));
  ChildOptions live_options = options_;
  const std::wstring live_report = dir_ / L"live-report.txt";
  live_options.set_env[L"STAND_IN_REPORT"] = live_report;
  // It stays until the ordinary run has been looked at.
  const std::wstring release = dir_ / L"live-release";
  live_options.set_env[stand_in::kLingerUntil] = release;
  BackgroundChild live;
  const std::wstring live_path = folder_ + L"\\live.exe";
  ASSERT_TRUE(live.Start(live_path, L"\"" + live_path + L"\"", live_options));
  std::wstring live_work;
  for (int i = 0; i < 6000 && live_work.empty(); ++i) {
    const auto runs = stand_in::ParseReport(ReadFileBytes(live_report));
    if (!runs.empty() && runs[0].Has("exit")) {
      live_work = WorkDirectoryOf(runs[0]);
    } else if (live.Wait(10)) {
      break;
    }
  }
  ASSERT_FALSE(live_work.empty()) << "the live run's setup program never ran";
  const std::wstring live_name = live_work.substr(folder_.size() + 1);

  ASSERT_TRUE(ResetState());
  options_.set_env[stand_in::kWithout] = L"straggler";
  EXPECT_EQ(Run(InstallerPath()), 0u);
  // Reclaiming counts for nothing in the run's own record.
  ExpectSuccessRecorded(0x30000);
  // (Looked at name by name: a held directory cannot be listed under Wine,
  // which lists without delete sharing.)
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    EXPECT_TRUE(Exists(live_work + L"\\" + name))
        << "the live run's folder was touched";
  }
  EXPECT_EQ(In(L"ZK_0D0D0.tmp"), std::vector<std::wstring>{L"notes.txt"});
  EXPECT_EQ(In(L"ZK_0E0E0.tmp"),
            (std::vector<std::wstring>{L"setup.exe", L"setup.exe.held"}));
  for (const std::wstring& other : others) EXPECT_EQ(In(other), payload);
  std::vector<std::wstring> expected = {L"ZK_01010.tmp", L"ZK_0D0D0.tmp",
                                        L"ZK_0E0E0.tmp", L"installer.exe",
                                        L"live.exe",     live_name};
  expected.insert(expected.end(), others.begin(), others.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListDirectory(folder_), expected);

  ASSERT_TRUE(WriteFileBytes(release, ""));
  DWORD live_code = 0xDEAD;
  EXPECT_TRUE(live.Wait(60000, &live_code));
  EXPECT_EQ(live_code, 0u);
  EXPECT_FALSE(Exists(live_work));
}

TEST_F(ReclaimRun, AtMostSixteenFoldersARunAndNoneWithTheCleanupOff) {
  for (int i = 0; i < 20; ++i) {
    wchar_t name[16];
    wsprintfW(name, L"ZK_%05X.tmp", 0xA0000 + i);
    Leave(name, {L"KORVEN.PACKED.7Z"});
  }
  const auto left = [this] {
    return ListDirectory(folder_).size() - 1;  // the installer itself
  };
  // Folders kept on purpose stay kept.
  SetStringValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                 kCleanupPreferenceValue, L"0", false);
  EXPECT_EQ(Run(InstallerPath()), 0u);
  EXPECT_EQ(left(), 21u) << "20 left before, and this run's own";
  DeleteKeyTree(HKEY_CURRENT_USER, kCleanupPreferenceKey, false);

  EXPECT_EQ(Run(InstallerPath()), 0u);
  EXPECT_EQ(left(), 5u);
  EXPECT_EQ(Run(InstallerPath()), 0u);
  EXPECT_EQ(left(), 0u);
}

}  // namespace
