#include "run_installer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace {

std::wstring Cut(std::wstring path, size_t length) {
  path.resize(kPathCapacity + 1, L'\0');
  if (!CutToInstallerDirectory(&path[0], length)) return L"<refused>";
  return std::wstring(path.c_str());
}

std::wstring Cut(const std::wstring& path) { return Cut(path, path.size()); }

TEST(CutToInstallerDirectory, KeepsTheDirectoryWithItsTrailingBackslash) {
  EXPECT_EQ(Cut(L"C:\\Downloads\\stub.exe"), L"C:\\Downloads\\");
  EXPECT_EQ(Cut(L"C:\\x.exe"), L"C:\\");
  EXPECT_EQ(Cut(L"\\x.exe"), L"\\");
  EXPECT_EQ(Cut(L"\\\\server\\share\\a b\\i.exe"), L"\\\\server\\share\\a b\\");
  // Forward slashes do not separate.
  EXPECT_EQ(Cut(L"C:\\a/b/i.exe"), L"C:\\");
}

TEST(CutToInstallerDirectory, RefusesWhatCannotBeTrusted) {
  EXPECT_EQ(Cut(L"installer.exe"), L"<refused>");
  EXPECT_EQ(Cut(L"C:/dir/installer.exe"), L"<refused>");
  EXPECT_EQ(Cut(L"", 0), L"<refused>");
  // GetModuleFileNameW reports a cut path as exactly the buffer size.
  const std::wstring cut = L"C:\\" + std::wstring(257, L'a');
  ASSERT_EQ(cut.size(), 260u);
  EXPECT_EQ(Cut(cut), L"<refused>");
}

TEST(CutToInstallerDirectory, AcceptsAModulePathOf259Units) {
  const std::wstring longest = L"C:\\" + std::wstring(250, L'd') + L"\\i.exe";
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_EQ(Cut(longest), L"C:\\" + std::wstring(250, L'd') + L"\\");
}

}  // namespace

namespace {

TEST(FindInstallerDirectory, GivesTheModulesOwnFolder) {
  PathBuf directory;
  const ExitResult result =
      FindInstallerDirectory(GetModuleHandleW(nullptr), &directory);
  EXPECT_EQ(result.exit_code, 0u);
  wchar_t own[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring expected(own, n);
  expected.resize(expected.rfind(L'\\') + 1);
  EXPECT_EQ(std::wstring(directory.get()), expected);
}

TEST(FindInstallerDirectory, UnknownModuleEndsWith108AndTheError) {
  PathBuf directory;
  const ExitResult result =
      FindInstallerDirectory(reinterpret_cast<HMODULE>(0x12340000), &directory);
  EXPECT_EQ(result.exit_code, 108u);
  EXPECT_EQ(result.windows_error, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
}

// Wine cannot start a program whose path is 260 units or longer, but it
// can map one, which is enough for the loader to report a cut path.
TEST(FindInstallerDirectory, ModulePathCutAt260UnitsEndsWith108) {
  wchar_t own[MAX_PATH];
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  testing_support::ScratchDir dir(L"deep");
  const std::wstring folder =
      testing_support::MakeFolderOfLength(dir.path(), 270);
  ASSERT_FALSE(folder.empty());
  // Past MAX_PATH a program that is not long-path aware reaches the file
  // only by the prefixed form.
  const std::wstring deep = testing_support::LongPath(folder + L"\\copy.exe");
  ASSERT_TRUE(CopyFileW(own, deep.c_str(), FALSE)) << GetLastError();
  HMODULE mapped =
      LoadLibraryExW(deep.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (mapped == nullptr && !testing_support::RunningOnWine()) {
    GTEST_SKIP() << "this system maps no module by a path of "
                 << deep.size() - 4 << " units (error " << GetLastError()
                 << ")";
  }
  ASSERT_NE(mapped, nullptr) << GetLastError();
  PathBuf directory;
  const ExitResult result = FindInstallerDirectory(mapped, &directory);
  FreeLibrary(mapped);
  EXPECT_EQ(result.exit_code, 108u);
  EXPECT_EQ(result.windows_error,
            static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
