// Finding the previously installed setup program through the update
// client's key, against Wine's real registry, and holding what its patch
// run left.
#include "setup_invocation.h"

#include <gtest/gtest.h>

#include <string>

#include "file_identity.h"
#include "launch_settings.h"
#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using namespace testing_support;

class FindPreviousSetupTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  void Clear() {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true);
  }
  void Store(const std::wstring& text, HKEY root = HKEY_CURRENT_USER) {
    ASSERT_TRUE(SetStringValue(root, ClientStatePath(kStableAppGuid),
                               L"UninstallString", text, true));
  }
  ExitResult Find(const wchar_t* version, bool system_level = false) {
    PathBuf target;
    const ExitResult result = FindPreviousSetup(
        system_level, kStableAppGuid, version, target.get(), kPathCapacity);
    found_ = target.get();
    return result;
  }
  std::wstring found_;
};

void ExpectResult(ExitResult result, uint32_t code, uint32_t error) {
  EXPECT_EQ(result.exit_code, code);
  EXPECT_EQ(result.windows_error, error);
}

TEST_F(FindPreviousSetupTest, MissingKeyOrValueIsNoPreviousSetup) {
  ExpectResult(Find(L"1.0"), 110, 2);
  CreateKey(HKEY_CURRENT_USER, ClientStatePath(kStableAppGuid), true);
  ExpectResult(Find(L"1.0"), 110, 2);
  EXPECT_FALSE(
      KeyExists(HKEY_LOCAL_MACHINE, ClientStatePath(kStableAppGuid), true));
}

TEST_F(FindPreviousSetupTest, UnreadableValuesCarryTheRegistryStatus) {
  SetDwordValue(HKEY_CURRENT_USER, ClientStatePath(kStableAppGuid),
                L"UninstallString", 1, true);
  ExpectResult(Find(L"1.0"), 110, 50);
  Store(std::wstring(260, L'p'));
  ExpectResult(Find(L"1.0"), 110, 234);
}

// The packer refuses them too; the installer must not rely on it, since
// either would take any installed program for the one the patch is for.
TEST_F(FindPreviousSetupTest, NoVersionOrAnEmptyOneMatchesNothing) {
  Store(L"C:\\Korven\\12.0.1\\setup.exe");
  ExpectResult(Find(nullptr), 111, ERROR_INVALID_DATA);
  ExpectResult(Find(L""), 111, ERROR_INVALID_DATA);
}

TEST_F(FindPreviousSetupTest, VersionMustBeAWholeFolderNameInAnyAsciiCase) {
  const struct {
    const wchar_t* stored;
    const wchar_t* version;
    uint32_t code;
  } cases[] = {
      {L"C:\\Korven\\12.0.1-Beta\\setup.exe --uninstall", L"12.0.1-BETA", 0},
      {L"C:\\Korven\\12.0.1-Beta\\setup.exe", L"12.0.2", 111},
      // A prefix or a suffix of a folder name is another version.
      {L"C:\\Korven\\11.0.0.0\\setup.exe", L"1.0.0.0", 111},
      {L"C:\\Korven\\1.0.0.0-old\\setup.exe", L"1.0.0.0", 111},
      {L"C:\\Korven\\1.0.0.0", L"1.0.0.0", 111},
      {L"C:\\Korven\\1.0.0.0.exe", L"1.0.0.0", 111},
      {L"\"\"", L"1.0", 111},
      // Found where it stands whole, after a mismatch earlier in the path.
      {L"\"C:\\1.0.0.0x\\1.0.0.0\\setup.exe\"", L"1.0.0.0", 0},
  };
  for (const auto& c : cases) {
    Store(c.stored);
    ExpectResult(Find(c.version), c.code, 0);
  }
  // An unquoted value with arguments stays whole.
  Store(L"C:\\Program Files\\Korven\\12.0.1-Beta\\setup.exe --uninstall");
  ExpectResult(Find(L"12.0.1-beta"), 0, 0);
  EXPECT_EQ(found_,
            L"C:\\Program Files\\Korven\\12.0.1-Beta\\setup.exe --uninstall");
}

TEST_F(FindPreviousSetupTest, EnclosingQuotesAreRemovedOnlyWhenBothArePresent) {
  const struct {
    const wchar_t* stored;
    const wchar_t* found;
  } cases[] = {
      {L"\"C:\\Korven\\1.0\\setup.exe\"", L"C:\\Korven\\1.0\\setup.exe"},
      {L"C:\\Korven\\1.0\\setup.exe\"", L"C:\\Korven\\1.0\\setup.exe\""},
  };
  for (const auto& c : cases) {
    Store(c.stored);
    ExpectResult(Find(L"1.0"), 0, 0);
    EXPECT_EQ(found_, c.found) << Narrow(c.stored);
  }
  // The longest value that fits keeps fitting once unquoted.
  const std::wstring longest = L"\"C:\\1.0\\" + std::wstring(250, L'q') + L"\"";
  Store(longest);
  ExpectResult(Find(L"1.0"), 0, 0);
  EXPECT_EQ(found_, L"C:\\1.0\\" + std::wstring(250, L'q'));
}

TEST_F(FindPreviousSetupTest, OnlyAnAbsolutePathIsEverRun) {
  // Anything else would be resolved against the current directory.
  for (const wchar_t* stored :
       {L"x\\1.0\\setup.exe", L"\\1.0\\setup.exe", L"C:x\\1.0\\setup.exe",
        L"\"x\\1.0\\setup.exe\"", L"\"C:\\1.0\\setup.exe\" --uninstall"}) {
    Store(stored);
    ExpectResult(Find(L"1.0"), 110, ERROR_BAD_PATHNAME);
  }
  for (const wchar_t* stored :
       {L"c:\\1.0\\setup.exe", L"\\\\server\\share\\1.0\\setup.exe",
        L"\\\\?\\C:\\1.0\\setup.exe"}) {
    Store(stored);
    ExpectResult(Find(L"1.0"), 0, 0);
    EXPECT_EQ(found_, stored);
  }
}

TEST_F(FindPreviousSetupTest, SystemLevelReadsTheMachineKey) {
  Store(L"C:\\user\\1.0\\setup.exe");
  Store(L"C:\\machine\\1.0\\setup.exe", HKEY_LOCAL_MACHINE);
  ExpectResult(Find(L"1.0", true), 0, 0);
  EXPECT_EQ(found_, L"C:\\machine\\1.0\\setup.exe");
  ExpectResult(Find(L"1.0", false), 0, 0);
  EXPECT_EQ(found_, L"C:\\user\\1.0\\setup.exe");
}

}  // namespace

// The new setup program of the patch road is held from the moment the patch
// run ended: nothing can rewrite it in place (which keeps a FAT file's
// identity) or put another file under its name before the install run has
// it. Wine shows the hold; the FAT identity is Windows' to show.
TEST_F(FindPreviousSetupTest, NewSetupProgramIsHeldFromTheEndOfThePatchRun) {
  ScratchDir dir(L"newhold");
  const std::wstring previous = dir / L"1.0.0.0";
  ASSERT_TRUE(CreateDirectoryW(previous.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("STAND_IN_EXE").c_str(),
                        (previous + L"\\setup.exe").c_str(), FALSE));
  Store(L"\"" + previous + L"\\setup.exe\"");
  const std::wstring work = dir / L"work";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(work + L"\\SETUP.PATCH", "a patch"));
  OpenDirectory held_work(work);
  LaunchSettings settings = DefaultLaunchSettings();
  settings.previous_version = L"1.0.0.0";

  int32_t attempts = 0;
  FileIdentity written = UnknownFileIdentity(0);
  HeldProgram held;
  const std::wstring new_setup = work + L"\\setup.exe";
  ExpectResult(
      PatchPreviousSetup(settings, held_work.handle(),
                         (work + L"\\SETUP.PATCH").c_str(), new_setup.c_str(),
                         &attempts, &written, &held),
      0, 0);
  EXPECT_TRUE(
      SameFile(written, FileIdentityIn(held_work.handle(), L"setup.exe")));
  const HANDLE writer =
      CreateFileW(new_setup.c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "rewritable after the patch run";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(MoveFileW(new_setup.c_str(), (work + L"\\aside.exe").c_str()));

  held.Release();
  EXPECT_TRUE(MoveFileW(new_setup.c_str(), (work + L"\\aside.exe").c_str()));
}
