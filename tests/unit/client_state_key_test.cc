#include "client_state_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch_settings.h"
#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using namespace testing_support;

const std::wstring kKey = ClientStatePath(kStableAppGuid);
const wchar_t kWowQuenby[] = L"Software\\Wow6432Node\\Quenby";

void ClearQuenby() {
  DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Quenby", true);
  DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true);
  DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quenby", false);
}

// "n" units of text, stored exactly with the byte count given, from a
// buffer whose next unit is not 0: the registry adds a terminator the
// caller "forgot" when the unit after the counted bytes is 0 (Windows and
// Wine alike), which would spoil an unterminated value.
// The unit before the data is not 0 either, for counts below one unit.
bool SetUnterminated(const wchar_t* name, const std::wstring& text,
                     DWORD bytes) {
  const std::wstring data = L"Z" + text + L"XY";
  return SetRawValue(HKEY_CURRENT_USER, kKey, name, REG_SZ, data.c_str() + 1,
                     bytes, true);
}

DWORD StoredSize(const wchar_t* name) {
  DWORD type = 0;
  std::string data;
  if (!GetRawValue(HKEY_CURRENT_USER, kKey, name, &type, &data, true)) {
    return 0xFFFFFFFF;
  }
  return static_cast<DWORD>(data.size());
}

class ClientStateKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearQuenby(); }
  void TearDown() override {
    CloseKey(&slot_);
    ClearQuenby();
  }

  // Opens the per-user key with query and set access.
  void OpenUserKey() {
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kKey, true));
    ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kStableAppGuid,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, &slot_),
              0u);
    ASSERT_NE(slot_, nullptr);
  }

  HKEY slot_ = nullptr;
};

TEST_F(ClientStateKeyTest, AbsentKeyGives2AndNothingIsCreated) {
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kStableAppGuid,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &slot_),
            2u);
  EXPECT_EQ(slot_, nullptr);
  EXPECT_EQ(OpenClientStateKey(HKEY_LOCAL_MACHINE, kStableAppGuid,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &slot_),
            2u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Quenby", true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Quenby", true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Quenby", false));

  // The parent exists, the application's key does not.
  ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER,
                        L"Software\\Quenby\\Update\\ClientState", true));
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kStableAppGuid,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &slot_),
            2u);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kKey, true));
}

TEST_F(ClientStateKeyTest, MachineKeyIsOpenedInThe32BitView) {
  const std::wstring wow_key =
      std::wstring(kWowQuenby) + L"\\Update\\ClientState\\" + kBetaAppGuid;
  ASSERT_TRUE(
      SetStringValue(HKEY_LOCAL_MACHINE, wow_key, L"ap", L"wow", false));
  // A key of the same name in the native view must not be the one opened.
  ASSERT_TRUE(SetStringValue(HKEY_LOCAL_MACHINE, ClientStatePath(kBetaAppGuid),
                             L"ap", L"native", false));
  ASSERT_EQ(OpenClientStateKey(HKEY_LOCAL_MACHINE, kBetaAppGuid,
                               KEY_QUERY_VALUE, &slot_),
            0u);
  WideBuf<16> text;
  ASSERT_EQ(ReadStringValue(&slot_, L"ap", text.get(), 16), 0u);
  EXPECT_STREQ(text.get(), L"wow");
  CloseKey(&slot_);
  EXPECT_EQ(slot_, nullptr);
  CloseKey(&slot_);  // an empty slot: nothing to do

  DeleteKeyTree(HKEY_LOCAL_MACHINE, kWowQuenby, false);
  EXPECT_EQ(OpenClientStateKey(HKEY_LOCAL_MACHINE, kBetaAppGuid,
                               KEY_QUERY_VALUE, &slot_),
            2u);
}

TEST_F(ClientStateKeyTest, PathThatDoesNotFitGives111AndKeepsTheOpenKey) {
  OpenUserKey();
  ASSERT_TRUE(SetDwordValue(HKEY_CURRENT_USER, kKey, L"n", 7, true));
  const HKEY open_key = slot_;
  // The prefix takes 35 of the 259 units a PathBuf holds.
  const std::wstring longest(224, L'g');
  const std::wstring too_long(225, L'g');
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, too_long.c_str(),
                               KEY_QUERY_VALUE, &slot_),
            111u);
  ASSERT_EQ(slot_, open_key);
  uint32_t value = 0;
  EXPECT_EQ(ReadDwordValue(&slot_, L"n", &value), 0u) << "still open";
  EXPECT_EQ(value, 7u);
  // One unit shorter fits: the registry itself answers (no such key), and
  // the earlier key has been given up.
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, longest.c_str(),
                               KEY_QUERY_VALUE, &slot_),
            2u);
  EXPECT_FALSE(
      KeyExists(HKEY_CURRENT_USER, ClientStatePath(longest.c_str()), true));
}

TEST_F(ClientStateKeyTest, AccessMaskIsPassedOn) {
  ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, kKey, true));
  ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kStableAppGuid,
                               KEY_QUERY_VALUE, &slot_),
            0u);
  EXPECT_EQ(WriteDwordValue(&slot_, L"InstallerResult", 1), 5u);
  // Reopening the same slot with set access closes the query-only key.
  ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kStableAppGuid,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, &slot_),
            0u);
  EXPECT_EQ(WriteDwordValue(&slot_, L"InstallerResult", 1), 0u);
}

TEST_F(ClientStateKeyTest, StringStatusesAndTermination) {
  OpenUserKey();
  constexpr size_t kCap = 8;
  WideBuf<kCap> text;

  EXPECT_EQ(ReadStringValue(&slot_, L"absent", text.get(), kCap), 2u);

  ASSERT_TRUE(
      SetRawValue(HKEY_CURRENT_USER, kKey, L"empty", REG_SZ, L"", 0, true));
  text.get()[0] = L'q';
  EXPECT_EQ(ReadStringValue(&slot_, L"empty", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"");

  // Capacity units without a terminator: no room to add one.
  ASSERT_TRUE(SetUnterminated(L"full", L"abcdefgh", 16));
  ASSERT_EQ(StoredSize(L"full"), 16u);
  EXPECT_EQ(ReadStringValue(&slot_, L"full", text.get(), kCap), 234u);

  // One unit fewer, unterminated: terminated in place.
  ASSERT_TRUE(SetUnterminated(L"fits", L"abcdefg", 14));
  ASSERT_EQ(StoredSize(L"fits"), 14u);
  FillBytes(text.get(), 0x41, kCap * 2);
  EXPECT_EQ(ReadStringValue(&slot_, L"fits", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"abcdefg");

  // Capacity - 1 characters with their terminator fill the buffer exactly.
  ASSERT_TRUE(
      SetStringValue(HKEY_CURRENT_USER, kKey, L"exact", L"1234567", true));
  EXPECT_EQ(ReadStringValue(&slot_, L"exact", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"1234567");

  // Capacity characters with a terminator do not fit at all.
  ASSERT_TRUE(
      SetStringValue(HKEY_CURRENT_USER, kKey, L"over", L"12345678", true));
  EXPECT_EQ(ReadStringValue(&slot_, L"over", text.get(), kCap), 234u);

  // An odd count: the dangling byte is dropped, the text ends after the
  // last whole unit.
  ASSERT_TRUE(SetUnterminated(L"odd", L"abc", 7));
  ASSERT_EQ(StoredSize(L"odd"), 7u);
  EXPECT_EQ(ReadStringValue(&slot_, L"odd", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"abc");
  // A single byte reads as the empty text.
  ASSERT_TRUE(SetUnterminated(L"one", L"", 1));
  ASSERT_EQ(StoredSize(L"one"), 1u);
  EXPECT_EQ(ReadStringValue(&slot_, L"one", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"");
  // Odd count at the capacity: 15 bytes are 7 whole units and the last one
  // is not 0, so a terminator goes after it.
  ASSERT_TRUE(SetUnterminated(L"odd15", L"abcdefgh", 15));
  ASSERT_EQ(StoredSize(L"odd15"), 15u);
  EXPECT_EQ(ReadStringValue(&slot_, L"odd15", text.get(), kCap), 0u);
  EXPECT_STREQ(text.get(), L"abcdefg");
}

TEST_F(ClientStateKeyTest, RegistryCompletesAForgottenTerminator) {
  // What the Wine padding of odd-sized strings really is: when the unit
  // just after the counted bytes is 0, RegSetValueExW stores that
  // terminator too. 9 bytes of "abcd" followed by a 0 unit are kept as 11.
  OpenUserKey();
  const wchar_t data[] = L"abcd";
  ASSERT_TRUE(
      SetRawValue(HKEY_CURRENT_USER, kKey, L"v", REG_SZ, data, 9, true));
  EXPECT_EQ(StoredSize(L"v"), 11u);
  WideBuf<8> text;
  EXPECT_EQ(ReadStringValue(&slot_, L"v", text.get(), 8), 0u);
  EXPECT_STREQ(text.get(), L"abcd");
}

TEST_F(ClientStateKeyTest, OnlyPlainStringsAndDwordsAreAccepted) {
  OpenUserKey();
  WideBuf<32> text;
  uint32_t value = 0;
  const std::string multi = Utf16Bytes(L"a") + Utf16Bytes(L"");
  ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, kKey, L"expand", REG_EXPAND_SZ,
                          L"%TEMP%", 14, true));
  ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, kKey, L"multi", REG_MULTI_SZ,
                          multi.data(), static_cast<DWORD>(multi.size()),
                          true));
  ASSERT_TRUE(SetDwordValue(HKEY_CURRENT_USER, kKey, L"dword", 9, true));
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, kKey, L"s1", L"a", true));
  ASSERT_TRUE(SetStringValue(HKEY_CURRENT_USER, kKey, L"s5", L"abcde", true));
  const unsigned char four[4] = {1, 0, 0, 0};
  ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, kKey, L"binary", REG_BINARY, four,
                          4, true));

  EXPECT_EQ(ReadStringValue(&slot_, L"expand", text.get(), 32), 50u);
  EXPECT_EQ(ReadStringValue(&slot_, L"multi", text.get(), 32), 50u);
  EXPECT_EQ(ReadStringValue(&slot_, L"dword", text.get(), 32), 50u);
  EXPECT_EQ(ReadDwordValue(&slot_, L"s1", &value), 50u);
  EXPECT_EQ(ReadDwordValue(&slot_, L"binary", &value), 50u);
  // A longer string does not even fit the four bytes: the registry's 234.
  EXPECT_EQ(ReadDwordValue(&slot_, L"s5", &value), 234u);
}

TEST_F(ClientStateKeyTest, DwordStatuses) {
  OpenUserKey();
  uint32_t value = 0;
  EXPECT_EQ(ReadDwordValue(&slot_, L"absent", &value), 2u);

  ASSERT_TRUE(SetDwordValue(HKEY_CURRENT_USER, kKey, L"d", 0x12345678, true));
  EXPECT_EQ(ReadDwordValue(&slot_, L"d", &value), 0u);
  EXPECT_EQ(value, 0x12345678u);

  const unsigned char two[2] = {1, 2};
  ASSERT_TRUE(
      SetRawValue(HKEY_CURRENT_USER, kKey, L"short", REG_DWORD, two, 2, true));
  EXPECT_EQ(ReadDwordValue(&slot_, L"short", &value), 232u);

  const uint64_t wide = 5;
  ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, kKey, L"qword", REG_QWORD, &wide,
                          8, true));
  EXPECT_EQ(ReadDwordValue(&slot_, L"qword", &value), 234u);
}

TEST_F(ClientStateKeyTest, WritesStoreExactTypesAndSizes) {
  OpenUserKey();
  WriteStringValue(&slot_, L"ap", L"abc-full");
  WriteStringValue(&slot_, L"blank", L"");
  EXPECT_EQ(WriteDwordValue(&slot_, L"InstallerError", 0xDEADBEEF), 0u);

  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, kKey, L"ap", &type, &data, true));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, Utf16Bytes(L"abc-full"));
  ASSERT_TRUE(
      GetRawValue(HKEY_CURRENT_USER, kKey, L"blank", &type, &data, true));
  EXPECT_EQ(data, std::string(2, '\0'));
  ASSERT_TRUE(GetRawValue(HKEY_CURRENT_USER, kKey, L"InstallerError", &type,
                          &data, true));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\xEF\xBE\xAD\xDE", 4));
}

}  // namespace
