#include "referral_code.h"

#include <gtest/gtest.h>

#include <string>

#include "wide_buf.h"

namespace {

// The code found in a stub path, or "(none)"; a miss must leave the output
// empty even when it held text before.
std::wstring CodeOf(const std::wstring& stub_path) {
  WideBuf<kReferralCodeCapacity> output;
  SafeCopy(output.get(), kReferralCodeCapacity, L"stale");
  const bool found = ReferralCodeFromStubPath(stub_path.c_str(), output.get());
  if (!found) {
    EXPECT_TRUE(output.empty()) << "output left behind for a miss";
    return L"(none)";
  }
  return output.get();
}

TEST(ReferralCode, FromStubPath) {
  struct Row {
    std::wstring path;
    std::wstring code;
  };
  const Row rows[] = {
      {L"C:\\Users\\u1\\Downloads\\AppSetup-xyz789.exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-xyz789 (3).exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-XyZ789(12).exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-Spring-Promo.exe", L"Spring-Promo"},
      {L"C:\\dl\\AppSetup-ab1234.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-spring-sale2.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz789 (copy).exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz789.tar.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz7890.exe", L"(none)"},
      {L"C:\\dl\\AppSetup.exe", L"(none)"},
      {L"C:\\dl\\", L"(none)"},
      {L"C:\\dl\\.exe", L"(none)"},
      {L"xyz-abc123", L"ABC123"},
      {L"C:\\dl\\a-b--", L"-"},
      // A leading hyphen is enough for the standard form only.
      {L"-abc123", L"ABC123"},
      {L"C:\\dl\\-abc123.exe", L"ABC123"},
      {L"C:\\dl\\-Spring", L"(none)"},
      // Counters: empty digits, no space, one at most, only at the end.
      {L"C:\\dl\\AppSetup-xyz789().exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-xyz789   (3)   .exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz789 (3) (4).exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz789   .exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-xyz789\t.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-xyz789.", L"XYZ789"},
      // Forward slashes do not separate; the whole text is the name.
      {L"C:\\dl/AppSetup-xyz789.exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-xyz789.exe\\", L"(none)"},
      // Never a unit before the start of the name.
      {L"C:\\dl\\x", L"(none)"},
      {L"C:\\dl\\).exe", L"(none)"},
      {L"C:\\dl\\(7).exe", L"(none)"},
      {L"C:\\dl\\-", L"(none)"},
      {L"C:\\dl\\--", L"-"},
      // Units beside the letter and digit ranges.
      {L"C:\\dl\\AppSetup-@bc123.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-`bc123.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-ab[123.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-ab{123.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-abc12:.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-abc/12.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-Spring-Pro_mo.exe", L"(none)"},
      // Letters outside ASCII fail only where a code letter must stand.
      {L"C:\\dl\\AppSetup-x\u00E9z789.exe", L"(none)"},
      {L"C:\\dl\\AppSetup-x\u0179z789.exe", L"(none)"},
      {L"C:\\dl\\App\u00E9Setup-xyz789.exe", L"XYZ789"},
      {L"C:\\dl\\AppSetup-Spr\u00E9ng-Promo.exe", L"(none)"},
      {L"C:\\dl\\\u00E9App-Spring-Promo.exe", L"Spring-Promo"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CodeOf(row.path), row.code)
        << "stub path " << testing::PrintToString(row.path);
  }
}

TEST(ReferralCode, ExtendedCandidateMustFitTheOutput) {
  // 127 units fit the output of capacity 128; 128 do not.
  const std::wstring fits = std::wstring(125, L'a') + L"-b";
  ASSERT_EQ(fits.size(), 127u);
  EXPECT_EQ(CodeOf(L"C:\\dl\\x-" + fits + L".exe"), fits);
  EXPECT_EQ(CodeOf(L"C:\\dl\\x-a" + fits + L".exe"), L"(none)");
}

TEST(ReferralCode, NameThatDoesNotFitAPathGivesNoCode) {
  const std::wstring name = L"x-" + std::wstring(250, L'a') + L"-b";
  EXPECT_EQ(CodeOf(L"C:\\" + name.substr(0, 240) + L"-abc123"), L"ABC123");
  EXPECT_EQ(CodeOf(L"C:\\" + name + L"-abc123"), L"(none)");
}

TEST(ReferralCode, FormsOnTheCleanedName) {
  WideBuf<kReferralCodeCapacity> output;
  EXPECT_TRUE(ParseStandardCode(L"-abc123", output.get()));
  EXPECT_STREQ(output.get(), L"ABC123");
  output.clear();
  EXPECT_FALSE(ParseExtendedCode(L"-abc", output.get()));
  EXPECT_FALSE(ParseStandardCode(L"a-b-abc12", output.get()));
  EXPECT_FALSE(ParseExtendedCode(L"abc", output.get()));
  EXPECT_TRUE(output.empty());
  // Each form on its own: the standard shape is no extended code.
  EXPECT_FALSE(ParseExtendedCode(L"a-b-xyz789", output.get()));
  EXPECT_TRUE(ParseExtendedCode(L"a-b-xyz", output.get()));
  EXPECT_STREQ(output.get(), L"b-xyz");
}

}  // namespace
