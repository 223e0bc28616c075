#include "launch_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::DeleteKeyTree;
using testing_support::InstallerVariant;
using testing_support::ScratchDir;
using testing_support::SetDwordValue;
using testing_support::SetStringValue;

// Keeps the machine-wide variable as the test wants it and restores it.
class MachineVariable {
 public:
  MachineVariable() { SetEnvironmentVariableW(kMachineWideVariable, nullptr); }
  ~MachineVariable() { SetEnvironmentVariableW(kMachineWideVariable, nullptr); }
  void Set(const wchar_t* value) {
    SetEnvironmentVariableW(kMachineWideVariable, value);
  }
};

struct Parsed {
  LaunchSettings settings;
  bool ok;
  Parsed(const wchar_t* command_line, const wchar_t* own_path = nullptr)
      : settings(DefaultLaunchSettings()) {
    ok = ParseLaunchCommandLine(&settings, command_line, own_path);
  }
  ~Parsed() { ResetLaunchSettings(&settings); }
};

TEST(ParseLaunchCommandLine, ProgramNameAloneKeepsEveryDefault) {
  MachineVariable variable;
  Parsed parsed(L"\"C:\\dl\\installer.exe\"");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.settings.argc, 1);
  EXPECT_STREQ(parsed.settings.app_guid, kStableAppGuid);
  EXPECT_FALSE(parsed.settings.system_level);
  EXPECT_FALSE(parsed.settings.early_exit);
  EXPECT_TRUE(parsed.settings.delete_extracted_files);
  EXPECT_STREQ(parsed.settings.command_line, L"\"C:\\dl\\installer.exe\"");
}

TEST(ParseLaunchCommandLine, ChannelSwitchesAreWholeCaseInsensitiveLastWins) {
  MachineVariable variable;
  EXPECT_STREQ(Parsed(L"i.exe --KORVEN-BETA").settings.app_guid, kBetaAppGuid);
  EXPECT_STREQ(Parsed(L"i.exe --korven-dev").settings.app_guid, kDevAppGuid);
  EXPECT_STREQ(Parsed(L"i.exe --korven-beta --korven-sxs").settings.app_guid,
               kSxsAppGuid);
  EXPECT_STREQ(Parsed(L"i.exe --korven-beta=1").settings.app_guid,
               kStableAppGuid);
  EXPECT_STREQ(Parsed(L"i.exe -korven-beta").settings.app_guid, kStableAppGuid);
  EXPECT_STREQ(Parsed(L"i.exe \"--korven-dev\"").settings.app_guid,
               kDevAppGuid);
}

TEST(ParseLaunchCommandLine, GuidsAreTheRegistryForms) {
  EXPECT_STREQ(kStableAppGuid, L"{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}");
  EXPECT_STREQ(kBetaAppGuid, L"{9B62E0C4-1F7A-4D35-8E29-C5B03A7D6E91}");
  EXPECT_STREQ(kDevAppGuid, L"{E4A7C913-6D28-4B5F-9A04-2F81D6C3B750}");
  EXPECT_STREQ(kSxsAppGuid, L"{5F08B3D6-A291-4C7E-8D65-E93F1B24A0C7}");
}

TEST(ParseLaunchCommandLine, EarlyExitSwitchesAnywhereButTheProgramName) {
  MachineVariable variable;
  EXPECT_TRUE(Parsed(L"i.exe --cleanup").settings.early_exit);
  EXPECT_TRUE(Parsed(L"i.exe --x --CleanUp --y").settings.early_exit);
  EXPECT_TRUE(Parsed(L"i.exe --korven-frame").settings.early_exit);
  EXPECT_FALSE(Parsed(L"--cleanup").settings.early_exit);
  EXPECT_FALSE(Parsed(L"--cleanup --korven-beta").settings.early_exit);
  EXPECT_FALSE(Parsed(L"i.exe --cleanup=1").settings.early_exit);
}

TEST(ParseLaunchCommandLine, PiecesOfAnUnquotedOwnPathAreNeverSwitches) {
  // Windows splits the bare path at its spaces; a folder named like a
  // switch must not end the run or change its channel.
  MachineVariable variable;
  const wchar_t own[] = L"C:\\dl\\new --cleanup --korven-beta\\i.exe";
  const Parsed bare(own, own);
  ASSERT_TRUE(bare.ok);
  EXPECT_EQ(bare.settings.argc, 3);
  EXPECT_FALSE(bare.settings.early_exit);
  EXPECT_STREQ(bare.settings.app_guid, kStableAppGuid);
  EXPECT_EQ(bare.settings.program_name_length, std::wstring(own).size());
  // The user's own switches after it still count.
  const std::wstring with_switch = std::wstring(own) + L" --korven-dev";
  EXPECT_STREQ(Parsed(with_switch.c_str(), own).settings.app_guid, kDevAppGuid);
  // Without the path to compare with, Windows' splitting alone decides.
  EXPECT_TRUE(Parsed(own).settings.early_exit);
}

TEST(ParseLaunchCommandLine, MachineWideOnlyForTheExactTextOne) {
  MachineVariable variable;
  EXPECT_FALSE(Parsed(L"i.exe").settings.system_level);  // absent
  const struct {
    const wchar_t* value;
    bool machine_wide;
  } cases[] = {{L"1", true},   {L"0", false}, {L"01", false}, {L"true", false},
               {L"1 ", false}, {L"", false},  {L"11", false}, {L" 1", false}};
  for (const auto& c : cases) {
    variable.Set(c.value);
    EXPECT_EQ(Parsed(L"i.exe").settings.system_level, c.machine_wide)
        << "value '" << testing_support::Narrow(c.value) << "'";
  }
}

TEST(ParseLaunchCommandLine, SystemLevelSwitchWinsOverTheVariable) {
  MachineVariable variable;
  variable.Set(L"0");
  EXPECT_TRUE(Parsed(L"i.exe --system-level").settings.system_level);
  EXPECT_TRUE(Parsed(L"i.exe --SYSTEM-LEVEL").settings.system_level);
  EXPECT_FALSE(Parsed(L"i.exe --system-level=1").settings.system_level);
}

TEST(ResetLaunchSettings, ReleasesTheArgumentsAndRestoresDefaults) {
  MachineVariable variable;
  variable.Set(L"1");
  LaunchSettings settings = DefaultLaunchSettings();
  ASSERT_TRUE(
      ParseLaunchCommandLine(&settings, L"i.exe --korven-dev --cleanup a b"));
  EXPECT_NE(settings.argv, nullptr);
  EXPECT_EQ(settings.argc, 5);
  settings.delete_extracted_files = false;
  settings.previous_version = L"1.0";
  ResetLaunchSettings(&settings);
  EXPECT_EQ(settings.argv, nullptr);
  EXPECT_STREQ(settings.app_guid, kStableAppGuid);
  EXPECT_EQ(settings.command_line, nullptr);
  EXPECT_EQ(settings.argc, 0);
  EXPECT_FALSE(settings.system_level);
  EXPECT_FALSE(settings.early_exit);
  EXPECT_TRUE(settings.delete_extracted_files);
  EXPECT_EQ(settings.previous_version, nullptr);
  // A second reset, with nothing to release, only restores the defaults.
  ResetLaunchSettings(&settings);
  EXPECT_EQ(settings.argv, nullptr);
}

// The cleanup preference lives in the native view of HKCU.
class CleanupPreference : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  void Clear() {
    DeleteKeyTree(HKEY_CURRENT_USER, kCleanupPreferenceKey, false);
  }
  bool DeleteAfterInit() {
    LaunchSettings settings = DefaultLaunchSettings();
    EXPECT_TRUE(InitLaunchSettings(&settings, GetModuleHandleW(nullptr)));
    const bool result = settings.delete_extracted_files;
    ResetLaunchSettings(&settings);
    return result;
  }
};

TEST_F(CleanupPreference, OnlyTheStringZeroTurnsDeletionOff) {
  EXPECT_TRUE(DeleteAfterInit()) << "absent key";
  testing_support::CreateKey(HKEY_CURRENT_USER, kCleanupPreferenceKey, false);
  EXPECT_TRUE(DeleteAfterInit()) << "absent value";

  const struct {
    const wchar_t* text;
    bool deletes;
  } cases[] = {
      {L"0", false}, {L"00", true}, {L"1", true}, {L"", true}, {L"0 ", true}};
  for (const auto& c : cases) {
    SetStringValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                   kCleanupPreferenceValue, c.text, false);
    EXPECT_EQ(DeleteAfterInit(), c.deletes)
        << "text '" << testing_support::Narrow(c.text) << "'";
  }
}

TEST_F(CleanupPreference, ValuesOfOtherTypesLeaveDeletionOn) {
  SetDwordValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                kCleanupPreferenceValue, 0, false);
  EXPECT_TRUE(DeleteAfterInit()) << "REG_DWORD 0";
  const wchar_t zero[] = L"0";
  testing_support::SetRawValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                               kCleanupPreferenceValue, REG_EXPAND_SZ, zero,
                               sizeof zero, false);
  EXPECT_TRUE(DeleteAfterInit()) << "REG_EXPAND_SZ 0";
  // A "0" stored without its terminator still reads as the text "0".
  testing_support::SetRawValue(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                               kCleanupPreferenceValue, REG_SZ, zero, 2, false);
  EXPECT_FALSE(DeleteAfterInit()) << "unterminated 0";
}

TEST(ReadStringFromKey, TerminatesOrRefusesAtTheCapacity) {
  const wchar_t* key = L"Software\\KorvenInstallerTests\\ReadString";
  struct Removed {
    ~Removed() {
      DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\KorvenInstallerTests",
                    false);
    }
  } removed;
  DeleteKeyTree(HKEY_CURRENT_USER, key, false);
  wchar_t buffer[5];

  SetStringValue(HKEY_CURRENT_USER, key, L"v", L"abcd", false);
  EXPECT_TRUE(ReadStringFromKey(HKEY_CURRENT_USER, key, L"v", buffer, 5));
  EXPECT_STREQ(buffer, L"abcd");
  testing_support::SetRawValue(HKEY_CURRENT_USER, key, L"v", REG_SZ, L"abcde",
                               10, false);
  EXPECT_FALSE(ReadStringFromKey(HKEY_CURRENT_USER, key, L"v", buffer, 5))
      << "five units with no room for a terminator";
  // Wine pads an odd-sized REG_SZ when it stores it, so the larger buffer.
  wchar_t wide[8];
  testing_support::SetRawValue(HKEY_CURRENT_USER, key, L"v", REG_SZ, L"abcd", 9,
                               false);
  EXPECT_TRUE(ReadStringFromKey(HKEY_CURRENT_USER, key, L"v", wide, 8));
  EXPECT_STREQ(wide, L"abcd") << "odd byte count drops the last byte";
  testing_support::SetRawValue(HKEY_CURRENT_USER, key, L"v", REG_SZ, L"", 0,
                               false);
  buffer[0] = L'#';
  EXPECT_TRUE(ReadStringFromKey(HKEY_CURRENT_USER, key, L"v", buffer, 5));
  EXPECT_STREQ(buffer, L"");
  EXPECT_FALSE(ReadStringFromKey(HKEY_CURRENT_USER, key, L"absent", buffer, 5));
  EXPECT_FALSE(ReadStringFromKey(HKEY_CURRENT_USER, L"Software\\NoSuchKey",
                                 L"v", buffer, 5));
  DeleteKeyTree(HKEY_CURRENT_USER, key, false);
}

// The previous-version resource, read from installer variants loaded as
// data files.
class PreviousVersion : public ::testing::Test {
 protected:
  const wchar_t* ReadFrom(InstallerVariant& variant) {
    EXPECT_TRUE(variant.Build()) << variant.error();
    module_ = LoadLibraryExW(variant.path().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(module_, nullptr);
    LaunchSettings settings = DefaultLaunchSettings();
    EXPECT_TRUE(InitLaunchSettings(&settings, module_));
    const wchar_t* version = settings.previous_version;
    ResetLaunchSettings(&settings);
    return version;
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  ScratchDir dir_{L"prevver"};
  HMODULE module_ = nullptr;
};

TEST_F(PreviousVersion, AbsentResourceGivesNone) {
  InstallerVariant variant(dir_ / L"plain.exe");
  EXPECT_EQ(ReadFrom(variant), nullptr);
}

TEST_F(PreviousVersion, TerminatedTextIsUsedInPlace) {
  InstallerVariant variant(dir_ / L"versioned.exe");
  variant.PreviousVersion(L"118.0.5993.71");
  const wchar_t* version = ReadFrom(variant);
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, L"118.0.5993.71");
}

TEST_F(PreviousVersion, EmptyTextWithTerminatorIsAVersion) {
  InstallerVariant variant(dir_ / L"empty.exe");
  variant.PreviousVersion(L"");
  const wchar_t* version = ReadFrom(variant);
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, L"");
}

TEST_F(PreviousVersion, OddSizedEmptyOrUnterminatedResourcesAreIgnored) {
  const std::string unterminated = testing_support::Utf16Bytes(L"1.2", false);
  const std::string odd = testing_support::Utf16Bytes(L"1.2") + "x";
  // An empty resource cannot be made with Wine's resource updater; the
  // size test that refuses it is the same one that refuses odd sizes.
  const std::string cases[] = {unterminated, odd, std::string("\0", 1)};
  int index = 0;
  for (const std::string& bytes : cases) {
    InstallerVariant variant(dir_ /
                             (L"bad" + std::to_wstring(index++) + L".exe"));
    variant.Add(MAKEINTRESOURCEW(10), 1, bytes);
    EXPECT_EQ(ReadFrom(variant), nullptr) << "case " << index;
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
}

}  // namespace
