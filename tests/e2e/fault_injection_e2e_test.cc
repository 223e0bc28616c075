// Whole installer runs under faults: a volume that fills up, files held by
// other processes at the cleanup, a setup program that crashes or is
// killed, installers racing each other in one folder, a ClientStateKey that
// is missing, read-only or holds values of the wrong shape, a folder whose
// work-directory names are taken, folder paths at the length limit, a
// folder that cannot be written, and links planted where the installer
// writes or deletes. Each case looks at the exit code, the update client's
// values and what is left on disk together.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "launch_settings.h"
#include "setup_stand_in/stand_in.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

constexpr DWORD kAccessViolation = 0xC0000005;
// What the test ends a setup program with: no program picks it by itself.
constexpr DWORD kKilledCode = 0x0BADC0DE;

class FaultRun : public WholeRun {
 protected:
  // The ordinary payload, optionally with an archive of other bytes.
  std::wstring Build(const std::wstring& path,
                     const std::string* archive = nullptr) {
    InstallerVariant variant(path);
    variant.Add(L"B7", L"KORVEN.PACKED.7Z", archive ? *archive : archive_)
        .Add(L"BL", L"SETUP.EX_", cabinet_)
        .SetupRecord(stand_in_);
    EXPECT_TRUE(variant.Build()) << variant.error();
    return path;
  }
  // Neither the marker nor an outcome: the run ended before its work
  // directory existed.
  static void ExpectNothingRecorded() {
    EXPECT_EQ(Value(L"ap").data, Utf16Bytes(L"stable"));
    EXPECT_FALSE(Value(L"InstallerResult").present);
    EXPECT_FALSE(Value(L"InstallerError").present);
    EXPECT_FALSE(Value(L"InstallerExtraCode1").present);
  }

  // Starts the installer, waits for the setup program's report, and ends
  // the setup program (which lingers) from outside.
  DWORD RunAndKillSetup(const std::wstring& installer) {
    DeleteFileW(report_.c_str());
    BackgroundChild child;
    EXPECT_TRUE(child.Start(installer, L"\"" + installer + L"\"", options_))
        << child.start_error();
    DWORD pid = 0;
    // Generous: only the setup program's start is waited for.
    for (int i = 0; i < 6000 && pid == 0; ++i) {
      const auto runs = stand_in::ParseReport(ReadFileBytes(report_));
      if (!runs.empty() && runs[0].Has("exit")) {
        pid = std::stoul(runs[0].Get("pid"));
      } else if (child.Wait(10)) {
        break;
      }
    }
    EXPECT_NE(pid, 0u) << "the setup program never reported";
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
      EXPECT_TRUE(TerminateProcess(process, kKilledCode));
      CloseHandle(process);
    } else {
      ADD_FAILURE() << "setup program not opened, error " << GetLastError();
    }
    DWORD code = 0;
    EXPECT_TRUE(child.Wait(120000, &code));
    runs_ = stand_in::ParseReport(ReadFileBytes(report_));
    return code;
  }
};

// A directory prepared by the CTest fixture; empty when the fixture could
// not make it (it needs root for mounts).
std::wstring FixtureDirectory(const char* variable) {
  const std::wstring dir = PathFromEnvironment(variable);
  return dir.empty() || !Exists(dir) ? std::wstring() : dir;
}

uint64_t FreeBytes(const std::wstring& dir) {
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExW((dir + L"\\").c_str(), &available, &total, &free)) {
    return 0;
  }
  return available.QuadPart;
}

uint64_t VolumeSize(const std::wstring& dir) {
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExW((dir + L"\\").c_str(), &available, &total, &free)) {
    return 0;
  }
  return total.QuadPart;
}

// Bytes that no compressor or deduplicator can shrink.
std::string Noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 0x9E3779B9u;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  return bytes;
}

TEST_F(FaultRun, VolumeFillingUpEndsWithTheWritesErrorAndLeavesNothing) {
  const std::wstring volume = FixtureDirectory("FAULT_SMALL_VOLUME");
  const uint64_t size = volume.empty() ? 0 : VolumeSize(volume);
  if (size == 0 || size > 16u << 20) {
    GTEST_SKIP() << "no small tmpfs mounted at FAULT_SMALL_VOLUME "
                 << "(mounting needs root on the host)";
  }
  for (const std::wstring& name : ListDirectory(volume)) {
    RemoveTree(volume + L"\\" + name);
  }
  const std::wstring installer = volume + L"\\i.exe";

  // The archive: more than half the volume, so the installer carrying it
  // fits, and its copy in the work directory cannot.
  std::string big = archive_ + Noise(size * 5 / 8);
  ASSERT_TRUE(CopyFileW(Build(dir_ / L"big.exe", &big).c_str(),
                        installer.c_str(), FALSE));
  const uint64_t before = FreeBytes(volume);
  ASSERT_LT(before, big.size());
  EXPECT_EQ(Run(installer), 112u);
  EXPECT_TRUE(runs_.empty()) << "the setup program must not run";
  EXPECT_EQ(ListDirectory(volume), std::vector<std::wstring>{L"i.exe"});
  EXPECT_EQ(FreeBytes(volume), before) << "a partial file still takes space";
  const DWORD write_error = Value(L"InstallerExtraCode1").Dword();
  ExpectFailureRecorded(112, write_error);
  EXPECT_NE(write_error, 0u);
  std::cout << "[ info ] the full volume's write failed with error "
            << write_error << "\n";

  // The archive fits, the setup program expanded from the cabinet does not.
  ASSERT_TRUE(ResetState());
  ASSERT_TRUE(
      CopyFileW(Build(dir_ / L"small.exe").c_str(), installer.c_str(), FALSE));
  const std::wstring filler = volume + L"\\filler";
  const uint64_t page = 4096;
  auto pages = [&](uint64_t bytes) { return (bytes + page - 1) / page * page; };
  const uint64_t room =
      pages(archive_.size()) + pages(cabinet_.size()) + 2 * page;
  ASSERT_GT(stand_in_.size(), 4 * page);
  ASSERT_GT(FreeBytes(volume), room);
  ASSERT_TRUE(
      WriteFileBytes(filler, std::string(FreeBytes(volume) - room, 'f')));
  const uint64_t filled = FreeBytes(volume);
  EXPECT_EQ(Run(installer), 115u);
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(ListDirectory(volume),
            (std::vector<std::wstring>{L"filler", L"i.exe"}));
  EXPECT_EQ(FreeBytes(volume), filled);
  ExpectFailureRecorded(115, 0);
  RemoveTree(filler);
  RemoveTree(installer);
}

TEST_F(FaultRun, FilesHeldBrieflyAtTheCleanupAreDeletedWithRetries) {
  const std::wstring installer = Build(InstallerPath());
  // The setup program itself: the helper that lingers after it runs from
  // the same file, so the file stays in use; the file it holds open is
  // one outside the work directory.
  const std::wstring outside = dir_ / L"outside.txt";
  ASSERT_TRUE(WriteFileBytes(outside, "outside"));
  options_.set_env[L"STAND_IN_HOLD_MS"] = L"800";
  options_.set_env[L"STAND_IN_HOLD_FILE"] = outside;
  options_.set_env[stand_in::kWithout] = L"straggler";
  EXPECT_EQ(Run(installer), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
  DWORD extra = Value(L"InstallerExtraCode1").Dword();
  EXPECT_GT(extra, 0x30000u) << "the running setup program needed retries";
  EXPECT_LT(extra, 0x30063u);
  ExpectSuccessRecorded(extra);
  EXPECT_EQ(ReadFileBytes(outside), "outside");

  // The archive, held by a helper from a copy outside, after a failing
  // setup program: its code passes through; a failure records no retries.
  ASSERT_TRUE(ResetState());
  options_.set_env.erase(L"STAND_IN_HOLD_FILE");
  options_.set_env[L"STAND_IN_HOLDER_EXE"] = dir_ / L"holder.exe";
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"7";
  EXPECT_EQ(Run(installer), 7u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Widen(runs_[0].Get("held")),
            WorkDirectoryOf(runs_[0]) + L"\\KORVEN.PACKED.7Z");
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
  ExpectFailureRecorded(7, 0);
}

TEST_F(FaultRun, ArchiveHeldForGoodIsGivenUpAfterAHundredAttempts) {
  const std::wstring installer = Build(InstallerPath());
  options_.set_env[L"STAND_IN_HOLD_MS"] = L"120000";
  options_.set_env[L"STAND_IN_HOLDER_EXE"] = dir_ / L"holder.exe";
  // The holder keeps the archive from the setup program's own late read.
  options_.set_env[stand_in::kWithout] = L"reread";
  const DWORD code = Run(installer);
  ASSERT_EQ(runs_.size(), 1u);
  const EndsProcess end_holder{
      static_cast<DWORD>(std::stoul("0" + runs_[0].Get("holder_pid"))),
      dir_ / L"holder.exe"};
  EXPECT_EQ(code, 0u) << "the exit code stays the setup program's";
  const std::wstring work = WorkDirectoryOf(runs_[0]);
  // The tree was tried 100 times; the setup program and all it left
  // beside itself went, and the run's marker may stay for a later run.
  ExpectSuccessRecorded(0x30063);
  std::vector<std::wstring> left = ListDirectory(work);
  left.erase(std::remove(left.begin(), left.end(), L"INSTALLER.RUN"),
             left.end());
  EXPECT_EQ(left, (std::vector<std::wstring>{L"KORVEN.PACKED.7Z"}));
  EXPECT_EQ(ReadFileBytes(work + L"\\KORVEN.PACKED.7Z"), archive_);
}

TEST_F(FaultRun, CrashedOrKilledSetupProgramsCodeIsPassedThroughAndRecorded) {
  const std::wstring installer = Build(InstallerPath());
  options_.set_env[L"STAND_IN_CRASH"] = L"1";
  EXPECT_EQ(Run(installer), kAccessViolation);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(runs_[0].Get("crash"), "access-violation");
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
  ExpectFailureRecorded(kAccessViolation, 0);

  ASSERT_TRUE(ResetState());
  options_.set_env.erase(L"STAND_IN_CRASH");
  options_.set_env[L"STAND_IN_LINGER_MS"] = L"60000";
  EXPECT_EQ(RunAndKillSetup(installer), kKilledCode);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
  ExpectFailureRecorded(kKilledCode, 0);
}

TEST_F(FaultRun, EightInstallersAtOnceInOneFolderKeepToTheirOwnFiles) {
  constexpr int kCount = 8;
  const std::wstring first = Build(folder_ + L"\\i1.exe");
  std::vector<std::wstring> names{L"i1.exe"};
  for (int i = 2; i <= kCount; ++i) {
    names.push_back(L"i" + std::to_wstring(i) + L".exe");
    ASSERT_TRUE(CopyFileW(first.c_str(),
                          (folder_ + L"\\" + names.back()).c_str(), FALSE));
  }
  // Each setup program stays a while, so that the runs overlap; each
  // checks at its start that its archive is there and whole.
  std::unique_ptr<BackgroundChild> children[kCount];
  for (int i = 0; i < kCount; ++i) {
    ChildOptions options = options_;
    options.set_env[L"STAND_IN_REPORT"] =
        dir_ / (L"report" + std::to_wstring(i) + L".txt");
    options.set_env[L"STAND_IN_LINGER_MS"] = L"1500";
    const std::wstring installer = folder_ + L"\\" + names[i];
    children[i] = std::make_unique<BackgroundChild>();
    ASSERT_TRUE(
        children[i]->Start(installer, L"\"" + installer + L"\"", options))
        << children[i]->start_error();
  }
  std::set<std::wstring> work_directories;
  std::set<DWORD> pids;
  for (int i = 0; i < kCount; ++i) {
    DWORD code = 0xDEAD;
    EXPECT_TRUE(children[i]->Wait(120000, &code));
    EXPECT_EQ(code, 0u) << "installer " << i + 1;
    const auto runs = stand_in::ParseReport(
        ReadFileBytes(dir_ / (L"report" + std::to_wstring(i) + L".txt")));
    ASSERT_EQ(runs.size(), 1u) << "installer " << i + 1;
    EXPECT_EQ(runs[0].Get("exit"), "0") << runs[0].Get("error");
    work_directories.insert(WorkDirectoryOf(runs[0]));
    pids.insert(std::stoul(runs[0].Get("pid")));
  }
  EXPECT_EQ(work_directories.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(pids.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(ListDirectory(folder_), names);
  ExpectSuccessRecorded();
}

TEST_F(FaultRun, ClientStateKeyMissingOrHoldingValuesOfTheWrongShape) {
  const std::wstring installer = Build(InstallerPath());
  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"7";

  // Missing: a failing run creates nothing either.
  DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  EXPECT_EQ(Run(installer), 7u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Quenby", true));
  // Only the parent is there: the key itself is still not created.
  ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER,
                        L"Software\\Quenby\\Update\\ClientState", true));
  EXPECT_EQ(Run(installer), 7u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, StatePath(), true));
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});

  struct Shape {
    const char* what;
    DWORD ap_type;
    std::string ap;
    std::string ap_after;  // empty: unchanged
    DWORD result_type;
    std::string result;
  };
  const DWORD five = 5;
  const std::string five_bytes(reinterpret_cast<const char*>(&five), 4);
  const std::string stable = Utf16Bytes(L"stable", false);
  const Shape shapes[] = {
      {"ap a number, InstallerResult text", REG_DWORD, five_bytes, "", REG_SZ,
       Utf16Bytes(L"5")},
      {"ap expandable text, InstallerResult 8 bytes", REG_EXPAND_SZ,
       Utf16Bytes(L"stable"), "", REG_DWORD, five_bytes + five_bytes},
      {"ap 128 units, InstallerResult 2 bytes", REG_SZ,
       Utf16Bytes(std::wstring(128, L'a')), "", REG_DWORD,
       five_bytes.substr(0, 2)},
      {"ap several strings, InstallerResult a binary 5", REG_MULTI_SZ,
       Utf16Bytes(L"stable") + std::string(2, '\0'), "", REG_BINARY,
       five_bytes},
      {"ap without terminator and an odd byte, InstallerResult a quadword",
       REG_SZ, stable + "x", Utf16Bytes(L"stable-full"), REG_QWORD,
       five_bytes + std::string(4, '\0')},
      {"ap empty, no bytes at all; InstallerResult empty", REG_SZ, "",
       Utf16Bytes(L"-full"), REG_DWORD, ""},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.what);
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, StatePath(), L"ap",
                            shape.ap_type, shape.ap.data(),
                            static_cast<DWORD>(shape.ap.size()), true));
    ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, StatePath(), L"InstallerResult",
                            shape.result_type, shape.result.data(),
                            static_cast<DWORD>(shape.result.size()), true));
    EXPECT_EQ(Run(installer), 7u);
    const RegistryValue ap = Value(L"ap");
    EXPECT_EQ(ap.type, shape.ap_after.empty() ? shape.ap_type
                                              : static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ap.data, shape.ap_after.empty() ? shape.ap : shape.ap_after);
    // A result that is not a 4-byte number is no result: all three are
    // written.
    EXPECT_EQ(Value(L"InstallerResult").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Value(L"InstallerResult").Dword(), 1u);
    EXPECT_EQ(Value(L"InstallerError").Dword(), 7u);
    EXPECT_EQ(Value(L"InstallerExtraCode1").Dword(), 0u);
  }

  // On success a wrongly typed "InstallerExtraCode1" is replaced, and the
  // failure values of an earlier run stay.
  options_.set_env.erase(L"STAND_IN_EXIT_CODE");
  ASSERT_TRUE(ResetState());
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(),
                             L"InstallerExtraCode1", L"x", true));
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(), L"InstallerError",
                             L"kept", true));
  EXPECT_EQ(Run(installer), 0u);
  EXPECT_EQ(Value(L"InstallerExtraCode1").type, static_cast<DWORD>(REG_DWORD));
  EXPECT_GE(Value(L"InstallerExtraCode1").Dword(), 0x30000u);
  EXPECT_LE(Value(L"InstallerExtraCode1").Dword(),
            0x30000u + kStragglerRetries);
  EXPECT_EQ(Value(L"InstallerError").data, Utf16Bytes(L"kept"));
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
}

TEST_F(FaultRun, ReadOnlyClientStateKeyIsLeftAsItWas) {
  const std::wstring installer = Build(InstallerPath());
  const std::wstring original =
      GetKeyAccessList(HKEY_CURRENT_USER, StatePath(), true);
  ASSERT_FALSE(original.empty());
  // Everyone may read the key and change its access list, nobody may set
  // a value.
  ASSERT_TRUE(SetKeyAccessList(HKEY_CURRENT_USER, StatePath(),
                               L"D:P(D;;0x2;;;WD)(A;;KA;;;WD)", true));
  HKEY probe = nullptr;
  const LONG opened =
      RegOpenKeyExW(HKEY_CURRENT_USER, StatePath().c_str(), 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, &probe);
  if (opened == ERROR_SUCCESS) {
    RegCloseKey(probe);
    SetKeyAccessList(HKEY_CURRENT_USER, StatePath(), original, true);
    GTEST_SKIP() << "this Wine opens a key for setting values although its "
                    "access list denies it";
  }
  EXPECT_EQ(opened, ERROR_ACCESS_DENIED);

  options_.set_env[L"STAND_IN_EXIT_CODE"] = L"7";
  const DWORD failed = Run(installer);
  options_.set_env.erase(L"STAND_IN_EXIT_CODE");
  const DWORD succeeded = Run(installer);
  ASSERT_TRUE(SetKeyAccessList(HKEY_CURRENT_USER, StatePath(), original, true));
  EXPECT_EQ(failed, 7u);
  EXPECT_EQ(succeeded, 0u);
  ExpectNothingRecorded();
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
}

TEST_F(FaultRun, TakenWorkDirectoryNamesAndLinksThereAreLeftAlone) {
  const std::wstring crowded = FixtureDirectory("FAULT_CROWDED_FOLDER");
  if (crowded.empty()) {
    GTEST_SKIP() << "FAULT_CROWDED_FOLDER was not made (CTest's fixture "
                    "makes it on the build machine)";
  }
  const std::wstring folder = crowded + L"\\folder";
  const std::wstring outside = crowded + L"\\outside";
  const std::wstring installer = folder + L"\\i.exe";
  RemoveTree(installer);  // left by an earlier run that failed
  const std::vector<std::wstring> before = ListDirectory(folder);
  // A quarter of all names (the first of the five digits 0 to 3), less the
  // 4096 links that lead nowhere: Wine lists none of those. The host checks
  // them after this test (fault_crowded_check).
  ASSERT_EQ(before.size(), 0x40000u - 0x1000u);
  ASSERT_EQ(ListDirectory(outside),
            (std::vector<std::wstring>{L"file", L"keep.txt"}));
  ASSERT_TRUE(
      CopyFileW(Build(dir_ / L"i.exe").c_str(), installer.c_str(), FALSE));

  // With a quarter taken, about one run in four draws a taken name first;
  // sixteen runs see several such draws, and a run that gave up on one
  // (109) or used it would show.
  std::set<std::wstring> used;
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    ASSERT_TRUE(ResetState());
    EXPECT_EQ(Run(installer), 0u);
    ASSERT_EQ(runs_.size(), 1u);
    const std::wstring work = WorkDirectoryOf(runs_[0]);
    const std::wstring name = work.substr(work.rfind(L'\\') + 1);
    ASSERT_EQ(name.size(), 12u);
    EXPECT_GE(name[3], L'4') << Narrow(name) << " was taken";
    used.insert(name);
    ExpectSuccessRecorded();
  }
  std::vector<std::wstring> after = ListDirectory(folder);
  EXPECT_EQ(after.size(), before.size() + 1);
  after.erase(std::find(after.begin(), after.end(), L"i.exe"));
  EXPECT_EQ(after, before) << "a taken name was removed, or a new one left";
  EXPECT_EQ(ListDirectory(outside),
            (std::vector<std::wstring>{L"file", L"keep.txt"}));
  EXPECT_EQ(ReadFileBytes(outside + L"\\file"), "the outside file\n");
  EXPECT_EQ(ReadFileBytes(outside + L"\\keep.txt"), "outside\n");
  EXPECT_EQ(ReadFileBytes(folder + L"\\ZK_00000.tmp\\keep.txt"), "inside\n");
  EXPECT_EQ(ReadFileBytes(folder + L"\\ZK_00FFF.tmp\\keep.txt"), "inside\n");
  RemoveTree(installer);
}

TEST_F(FaultRun, FolderPathsAtTheLengthLimit) {
  // 247 units with the closing backslash: no room for the work directory's
  // name; nothing is made and nothing is recorded.
  std::wstring folder = MakeFolderOfLength(dir_.path(), 246);
  ASSERT_EQ(folder.size() + 1, 247u);
  std::wstring installer = Build(folder + L"\\i.exe");
  EXPECT_EQ(Run(installer), 108u);
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"i.exe"});
  ExpectNothingRecorded();

  // 246 units: the work directory is made (259 units), but no payload file
  // name fits in it; the run cleans up and records the failure.
  folder = MakeFolderOfLength(dir_.path(), 245);
  ASSERT_EQ(folder.size() + 1, 246u);
  installer = Build(folder + L"\\i.exe");
  EXPECT_EQ(Run(installer), 108u);
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"i.exe"});
  ExpectFailureRecorded(108, 0);

  // 237 units: the longest folder from which a whole run with short
  // payload names ("setup.exe" the longest) succeeds, for a setup program
  // that writes nothing deeper beside itself.
  ASSERT_TRUE(ResetState());
  options_.set_env[stand_in::kWithout] = L"files";
  folder = MakeFolderOfLength(dir_.path(), 236);
  ASSERT_EQ(folder.size() + 1, 237u);
  InstallerVariant variant(folder + L"\\i.exe");
  variant.Add(L"B7", L"KORVEN", archive_)
      .Add(L"BN", L"SETUP", stand_in_)
      .SetupRecord(stand_in_);
  ASSERT_TRUE(variant.Build()) << variant.error();
  EXPECT_EQ(Run(variant.path()), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Widen(runs_[0].Get("exe")).size(), 259u);
  EXPECT_EQ(ListDirectory(folder), std::vector<std::wstring>{L"i.exe"});
  ExpectSuccessRecorded();
}

TEST_F(FaultRun, FolderThatCannotBeWrittenEndsWith109AndRecordsNothing) {
  // The read-only attribute on a folder does not stop anyone from creating
  // in it, on Windows as here: the run goes through.
  const std::wstring installer = Build(InstallerPath());
  ASSERT_TRUE(SetFileAttributesW(folder_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Run(installer), 0u);
  SetFileAttributesW(folder_.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ListDirectory(folder_),
            std::vector<std::wstring>{L"installer.exe"});
  ExpectSuccessRecorded();

  // A folder nobody can create in: a read-only view of another, made by
  // the fixture (a Windows access list would do the same; this Wine keeps
  // none on folders, and root passes any mode bits).
  const std::wstring source = FixtureDirectory("FAULT_READ_ONLY_SOURCE");
  const std::wstring view = FixtureDirectory("FAULT_READ_ONLY_VIEW");
  if (source.empty() || view.empty() || WriteFileBytes(view + L"\\probe", "")) {
    DeleteFileW((view + L"\\probe").c_str());
    GTEST_SKIP() << "no read-only view mounted at FAULT_READ_ONLY_VIEW "
                 << "(mounting needs root on the host)";
  }
  ASSERT_TRUE(ResetState());
  ASSERT_TRUE(
      CopyFileW(installer.c_str(), (source + L"\\i.exe").c_str(), FALSE));
  EXPECT_EQ(Run(view + L"\\i.exe"), 109u);
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(ListDirectory(source), std::vector<std::wstring>{L"i.exe"});
  ExpectNothingRecorded();
  RemoveTree(source + L"\\i.exe");
}

TEST_F(FaultRun, LinksPlantedWhereTheInstallerWritesOrDeletesLeadNowhere) {
  const std::wstring outside = dir_ / L"outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  const std::wstring victim = outside + L"\\victim.bin";
  ASSERT_TRUE(WriteFileBytes(victim, "victim"));
  // Second names of an outside file where the installer's folder would
  // hold the payload files, were they not put in a work directory.
  for (const wchar_t* name :
       {L"KORVEN.PACKED.7Z", L"SETUP.EX_", L"setup.exe"}) {
    ASSERT_TRUE(CreateHardLinkW((folder_ + L"\\" + name).c_str(),
                                victim.c_str(), nullptr));
  }
  const std::wstring installer = Build(InstallerPath());
  EXPECT_EQ(Run(installer), 0u);
  EXPECT_EQ(ListDirectory(folder_),
            (std::vector<std::wstring>{L"KORVEN.PACKED.7Z", L"SETUP.EX_",
                                       L"installer.exe", L"setup.exe"}));
  EXPECT_EQ(ReadFileBytes(folder_ + L"\\KORVEN.PACKED.7Z"), "victim");
  ExpectSuccessRecorded();

  // The setup program turns the archive into a second name of the outside
  // file: the cleanup removes that name, never the file or its content.
  ASSERT_TRUE(ResetState());
  options_.set_env[L"STAND_IN_LINK_ARCHIVE_TO"] = victim;
  // (It would read the outside file as its archive.)
  options_.set_env[stand_in::kWithout] = L"reread";
  EXPECT_EQ(Run(installer), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_EQ(Widen(runs_[0].Get("linked")), victim) << runs_[0].Get("error");
  EXPECT_FALSE(Exists(WorkDirectoryOf(runs_[0])));
  EXPECT_EQ(ListDirectory(outside), std::vector<std::wstring>{L"victim.bin"});
  EXPECT_EQ(ReadFileBytes(victim), "victim");
  ExpectSuccessRecorded();
}

}  // namespace
