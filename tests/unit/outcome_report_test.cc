#include "outcome_report.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using namespace testing_support;

const std::wstring kKey = ClientStatePath(kStableAppGuid);

class OutcomeReport : public ::testing::Test {
 protected:
  void SetUp() override {
    Clear();
    settings_ = DefaultLaunchSettings();
    settings_.app_guid = kStableAppGuid;
  }
  void TearDown() override { Clear(); }
  static void Clear() {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true);
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", false);
  }

  // The "ap" value after marking, starting from the raw value given
  // (nullptr: absent).
  std::string MarkFrom(const std::string* raw, DWORD type = REG_SZ) {
    DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
    EXPECT_TRUE(CreateKey(HKEY_CURRENT_USER, kKey, true));
    if (raw != nullptr) {
      EXPECT_TRUE(SetRawValue(HKEY_CURRENT_USER, kKey, L"ap", type, raw->data(),
                              static_cast<DWORD>(raw->size()), true));
    }
    MarkFullInstallerChannel(settings_);
    DWORD stored_type = 0;
    std::string data;
    if (!GetRawValue(HKEY_CURRENT_USER, kKey, L"ap", &stored_type, &data,
                     true)) {
      return "<absent>";
    }
    EXPECT_EQ(stored_type, type);
    return data;
  }
  std::string MarkFromText(const std::wstring& text) {
    const std::string raw = Utf16Bytes(text);
    return MarkFrom(&raw);
  }

  // A REG_DWORD of four bytes; the per-user key unless another is named
  // (read in the native view then).
  static bool Dword(HKEY root, const wchar_t* name, DWORD* value,
                    const std::wstring& key = kKey) {
    DWORD type = 0;
    std::string data;
    if (!GetRawValue(root, key, name, &type, &data, key == kKey)) {
      return false;
    }
    if (type != REG_DWORD || data.size() != 4) return false;
    *value = *reinterpret_cast<const DWORD*>(data.data());
    return true;
  }

  LaunchSettings settings_;
};

TEST_F(OutcomeReport, MarkerIsAppendedOnceAndOnlyWhenItFits) {
  EXPECT_EQ(MarkFrom(nullptr), Utf16Bytes(L"-full"));
  EXPECT_EQ(MarkFromText(L""), Utf16Bytes(L"-full"));
  EXPECT_EQ(MarkFromText(L"abc"), Utf16Bytes(L"abc-full"));
  EXPECT_EQ(MarkFromText(L"abc-FULL"), Utf16Bytes(L"abc-FULL"));
  EXPECT_EQ(MarkFromText(L"abc-Full"), Utf16Bytes(L"abc-Full"));
  EXPECT_EQ(MarkFromText(L"-full-x"), Utf16Bytes(L"-full-x-full"));
  // Only ASCII letters fold: a u with diaeresis is not a u.
  EXPECT_EQ(MarkFromText(L"x-f\u00FCll"), Utf16Bytes(L"x-f\u00FCll-full"));

  const std::wstring t122(122, L'a');
  EXPECT_EQ(MarkFromText(t122), Utf16Bytes(t122 + L"-full"));
  for (size_t length : {123, 124, 127, 128, 200}) {
    const std::wstring text(length, L'b');
    EXPECT_EQ(MarkFromText(text), Utf16Bytes(text)) << length;
  }
  // A second marking changes nothing.
  MarkFullInstallerChannel(settings_);
  MarkFullInstallerChannel(settings_);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, kKey, L"ap", &type, &data, true));
  EXPECT_EQ(data, Utf16Bytes(std::wstring(200, L'b')));

  const std::string expand = Utf16Bytes(L"%X%");
  EXPECT_EQ(MarkFrom(&expand, REG_EXPAND_SZ), expand);
  const std::string number("\x01\x00\x00\x00", 4);
  EXPECT_EQ(MarkFrom(&number, REG_DWORD), number);
}

TEST_F(OutcomeReport, AbsentKeyGetsNothingAndIsNotCreated) {
  MarkFullInstallerChannel(settings_);
  WriteInstallerFailure(settings_, MakeExitResult(112, 2));
  WriteInstallerSuccess(settings_, 3);
  settings_.system_level = true;
  MarkFullInstallerChannel(settings_);
  WriteInstallerFailure(settings_, MakeExitResult(112, 2));
  WriteInstallerSuccess(settings_, 3);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Quenby", true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Quenby", false));
}

TEST_F(OutcomeReport, FailureRecordUnlessANonZeroResultIsThere) {
  ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kKey, true));
  WriteInstallerFailure(settings_, MakeExitResult(112, 2));
  DWORD value = 0;
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerResult", &value));
  EXPECT_EQ(value, 1u);
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerError", &value));
  EXPECT_EQ(value, 112u);
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerExtraCode1", &value));
  EXPECT_EQ(value, 2u);

  // The record just written is non-zero, so a later failure keeps it.
  WriteInstallerFailure(settings_, MakeExitResult(124, 5));
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerError", &value));
  EXPECT_EQ(value, 112u);

  // An earlier 5 (from the setup program) wins as well.
  ASSERT_TRUE(
      SetDwordValue(HKEY_CURRENT_USER, kKey, L"InstallerResult", 5, true));
  ASSERT_TRUE(
      SetDwordValue(HKEY_CURRENT_USER, kKey, L"InstallerError", 9, true));
  WriteInstallerFailure(settings_, MakeExitResult(124, 5));
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerResult", &value));
  EXPECT_EQ(value, 5u);
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerError", &value));
  EXPECT_EQ(value, 9u);

  // 0, a string, or a short number is overwritten; a setup program's own
  // exit code passes through with windows_error 0.
  const unsigned char two[2] = {7, 0};
  for (int variant = 0; variant < 3; ++variant) {
    if (variant == 0) {
      SetDwordValue(HKEY_CURRENT_USER, kKey, L"InstallerResult", 0, true);
    } else if (variant == 1) {
      SetStringValue(HKEY_CURRENT_USER, kKey, L"InstallerResult", L"7", true);
    } else {
      SetRawValue(HKEY_CURRENT_USER, kKey, L"InstallerResult", REG_DWORD, two,
                  2, true);
    }
    WriteInstallerFailure(settings_, MakeExitResult(33, 0));
    ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerResult", &value))
        << variant;
    EXPECT_EQ(value, 1u);
    ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerError", &value));
    EXPECT_EQ(value, 33u);
    ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerExtraCode1", &value));
    EXPECT_EQ(value, 0u);
  }
}

TEST_F(OutcomeReport, ExitCodeZeroIsNoFailure) {
  ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kKey, true));
  WriteInstallerFailure(settings_, MakeExitResult(0, 5));
  DWORD value = 0;
  EXPECT_FALSE(Dword(HKEY_CURRENT_USER, L"InstallerResult", &value));
  EXPECT_FALSE(Dword(HKEY_CURRENT_USER, L"InstallerExtraCode1", &value));
}

TEST_F(OutcomeReport, SuccessRecordsRetriesAndLeavesTheRestAlone) {
  ASSERT_TRUE(
      SetDwordValue(HKEY_CURRENT_USER, kKey, L"InstallerResult", 1, true));
  ASSERT_TRUE(
      SetDwordValue(HKEY_CURRENT_USER, kKey, L"InstallerError", 116, true));
  const struct {
    int32_t attempts;
    DWORD expected;
  } cases[] = {{0, 0x30000},       {1, 0x30000},      {2, 0x30001},
               {3, 0x30002},       {100, 0x30063},    {-5, 0x30000},
               {0x10001, 0x30000}, {0x10002, 0x30001}};
  for (const auto& c : cases) {
    WriteInstallerSuccess(settings_, c.attempts);
    DWORD value = 0;
    ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerExtraCode1", &value));
    EXPECT_EQ(value, c.expected) << c.attempts;
  }
  DWORD value = 0;
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerResult", &value));
  EXPECT_EQ(value, 1u);
  ASSERT_TRUE(Dword(HKEY_CURRENT_USER, L"InstallerError", &value));
  EXPECT_EQ(value, 116u);
}

TEST_F(OutcomeReport, SystemLevelUsesTheMachineKeyIn32BitView) {
  settings_.system_level = true;
  settings_.app_guid = kDevAppGuid;
  const std::wstring wow_key =
      std::wstring(L"Software\\Wow6432Node\\Quenby\\Update\\ClientState\\") +
      kDevAppGuid;
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, wow_key, false));
  // The per-user key of the same channel must stay untouched.
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, ClientStatePath(kDevAppGuid),
                             L"ap", L"user", true));

  MarkFullInstallerChannel(settings_);
  WriteInstallerFailure(settings_, MakeExitResult(115, 13));
  WriteInstallerSuccess(settings_, 4);

  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(
      GetRawValue(HKEY_LOCAL_MACHINE, wow_key, L"ap", &type, &data, false));
  EXPECT_EQ(data, Utf16Bytes(L"-full"));
  DWORD value = 0;
  ASSERT_TRUE(Dword(HKEY_LOCAL_MACHINE, L"InstallerError", &value, wow_key));
  EXPECT_EQ(value, 115u);
  ASSERT_TRUE(
      Dword(HKEY_LOCAL_MACHINE, L"InstallerExtraCode1", &value, wow_key));
  EXPECT_EQ(value, 0x30003u);

  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kDevAppGuid),
                          L"ap", &type, &data, true));
  EXPECT_EQ(data, Utf16Bytes(L"user"));
  EXPECT_FALSE(GetRawValue(HKEY_CURRENT_USER, ClientStatePath(kDevAppGuid),
                           L"InstallerResult", &type, &data, true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Quenby", false));
}

}  // namespace
