// Finding the previously installed setup program through the update
// client's key, against Wine's real registry.
#include "setup_invocation.h"

#include <gtest/gtest.h>

#include <string>

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
